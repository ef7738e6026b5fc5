// The argument frame of the exported functions: 33002 for a null required
// pointer or a negative number, 33003 for a pointer the process cannot read.
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zmr/zmr.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "support/apitest.h"
#include "support/merchant.h"

namespace {

using zmrtest::Unreadable;

TEST(Frame, NullsNegativesAndUnreadablePointers) {
  Unreadable bad;
  char* out = nullptr;
  unsigned char* bytes = nullptr;
  uint64_t length = 0;
  int session = 0;
  struct Case {
    const char* name;
    std::function<int()> call;
    int code;
  } cases[] = {
      {"getinfoitem negative session", [&] { return zmr_getinfoitem(-1, nullptr, nullptr); }, 33002},
      {"getinfoitem null key", [&] { return zmr_getinfoitem(0, nullptr, &out); }, 33002},
      {"getinfoitem null out", [&] { return zmr_getinfoitem(0, "k", nullptr); }, 33002},
      {"getinfoitem unreadable key", [&] { return zmr_getinfoitem(0, bad.text(), &out); }, 33003},
      {"getinfoitem unreadable out", [&] { return zmr_getinfoitem(0, "k", bad.out()); }, 33003},
      {"getreportdata null out", [&] { return zmr_getreportdata(0, "k", nullptr); }, 33002},
      {"setinfoitem null value", [&] { return zmr_setinfoitem(0, "k", nullptr); }, 33002},
      {"setinfoitem unreadable value", [&] { return zmr_setinfoitem(0, "k", bad.text()); }, 33003},
      {"removeinfoitems negative", [&] { return zmr_removeinfoitems(-3); }, 33002},
      {"adddocumenttext null description", [&] { return zmr_adddocumenttext(0, "t", nullptr); }, 33002},
      {"adddocumentxml null xsl", [&] { return zmr_adddocumentxml(0, "<a/>", nullptr, "d"); }, 33002},
      {"adddocumentpdf unreadable", [&] { return zmr_adddocumentpdf(0, bad.text(), "d"); }, 33003},
      {"setsigneddata null", [&] { return zmr_setsigneddata(0, nullptr); }, 33002},
      {"getsigneddata negative index", [&] { return zmr_getsigneddata(0, -1, &out, &out); }, 33002},
      {"getsignatureandocsp null", [&] { return zmr_getsignatureandocsp(0, 0, &out, nullptr); }, 33002},
      {"getsignatureandfullocsp null", [&] { return zmr_getsignatureandfullocsp(0, 0, nullptr, &out); }, 33002},
      {"hashdata negative algorithm", [&] { return zmr_hashdata(0, &out, -1, "YQ=="); }, 33002},
      {"hashdata unknown algorithm", [&] { return zmr_hashdata(0, &out, 3, "YQ=="); }, 7001},
      {"hashdata unknown algorithm null data", [&] { return zmr_hashdata(0, &out, 3, nullptr); }, 33002},
      {"getrandom null out", [&] { return zmr_getrandom(0, nullptr, 20); }, 33002},
      {"base64encode null data", [&] { return zmr_base64encode(0, nullptr, 3, &out); }, 33002},
      {"base64decode null length", [&] { return zmr_base64decode(0, "YQ==", &bytes, nullptr); }, 33002},
      {"base64decode unreadable", [&] { return zmr_base64decode(0, bad.text(), &bytes, &length); }, 33003},
      {"removecrlf null", [&] { return zmr_removecrlf(0, nullptr, &out); }, 33002},
      {"getversioninfo null", [&] { return zmr_getversioninfo(nullptr); }, 33002},
      {"getrecenterror null", [&] { return zmr_getrecenterror(0, nullptr); }, 33002},
      {"free null", [&] { return zmr_free(nullptr); }, 33002},
      {"free unreadable", [&] { return zmr_free(bad.page); }, 33003},
      {"hsminitialize null", [&] { return zmr_hsminitialize(nullptr); }, 33002},
      {"hsminitialize unreadable", [&] { return zmr_hsminitialize(bad.text()); }, 33003},
      {"opensession null number", [&] { return zmr_opensession(nullptr, "k", "p", nullptr, "w", nullptr, "t", "g", nullptr, nullptr); }, 33002},
      {"opensession null keyfile", [&] { return zmr_opensession(&session, nullptr, "p", nullptr, "w", nullptr, "t", "g", nullptr, nullptr); }, 33002},
      {"opensession null password", [&] { return zmr_opensession(&session, "k", nullptr, nullptr, "w", nullptr, "t", "g", nullptr, nullptr); }, 33002},
      {"opensession no webaddress", [&] { return zmr_opensession(&session, "k", "p", nullptr, nullptr, nullptr, "t", "g", nullptr, nullptr); }, 33002},
      {"opensession no truststore", [&] { return zmr_opensession(&session, "k", "p", nullptr, "w", nullptr, nullptr, "g", nullptr, nullptr); }, 33002},
      {"opensession unreadable proxy", [&] { return zmr_opensession(&session, "k", "p", nullptr, "w", nullptr, "t", "g", bad.text(), nullptr); }, 33003},
      {"hsmopensession null pin", [&] { return zmr_hsmopensession(&session, "k", "p", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, -1); }, 33002},
      {"rahsmopensession null pin", [&] { return zmr_rahsmopensession(&session, "k", "p", nullptr, -1); }, 33002},
      {"closesession negative", [&] { return zmr_closesession(-1); }, 33002},
      {"getsessionstoreinfo null", [&] { return zmr_getsessionstoreinfo(0, nullptr); }, 33002},
      {"freesessionstoreinfo null", [&] { return zmr_freesessionstoreinfo(0, nullptr); }, 33002},
      {"inittransaction negative", [&] { return zmr_inittransaction(-1, "k", "d", "a", "o", nullptr, &out); }, 33002},
      {"inittransaction null encauth", [&] { return zmr_inittransaction(0, "k", "d", nullptr, "o", nullptr, &out); }, 33002},
      {"inittransaction null operation", [&] { return zmr_inittransaction(0, "k", "d", "a", nullptr, nullptr, &out); }, 33002},
      {"inittransaction null out", [&] { return zmr_inittransaction(0, "k", "d", "a", "o", "e", nullptr); }, 33002},
      {"inittransaction unreadable out", [&] { return zmr_inittransaction(0, "k", "d", "a", "o", nullptr, bad.out()); }, 33003},
      {"verifytransactionrequest negative", [&] { return zmr_verifytransactionrequest(-1, "k", "d", "a", "o", nullptr); }, 33002},
      {"verifytransactionrequest null enckey", [&] { return zmr_verifytransactionrequest(0, nullptr, "d", "a", "o", nullptr); }, 33002},
      {"verifytransactionrequest null operation", [&] { return zmr_verifytransactionrequest(0, "k", "d", "a", nullptr, "e"); }, 33002},
      {"verifytransactionresponse negative", [&] { return zmr_verifytransactionresponse(-1, &out); }, 33002},
      {"verifytransactionresponse null out", [&] { return zmr_verifytransactionresponse(0, nullptr); }, 33002},
      {"verifytransactionresponse unreadable out", [&] { return zmr_verifytransactionresponse(0, bad.out()); }, 33003},
      {"authenticateserver null signature", [&] { return zmr_authenticateserver(0, nullptr, &out, "c", nullptr, nullptr); }, 33002},
      {"authenticateserver unreadable challenge out", [&] { return zmr_authenticateserver(0, &out, bad.out(), "c", nullptr, nullptr); }, 33003},
      {"authenticateserver null challenge", [&] { return zmr_authenticateserver(0, &out, &out, nullptr, "h", "f"); }, 33002},
      {"authenticateclient null challenge first", [&] { return zmr_authenticateclient(0, bad.text(), nullptr); }, 33002},
      {"authenticateclient null pkcs7", [&] { return zmr_authenticateclient(0, nullptr, "c"); }, 33002},
      {"createsecurechannel null pkcs7", [&] { return zmr_createsecurechannel(0, nullptr, &out, &out); }, 33002},
      {"createsecurechannel null channel", [&] { return zmr_createsecurechannel(0, "p", &out, nullptr); }, 33002},
      {"createsecurechannel unreadable signature", [&] { return zmr_createsecurechannel(0, "p", bad.out(), &out); }, 33003},
      {"symmetricencrypt null key", [&] { return symmetricencrypt(0, nullptr, "YQ==", &out); }, 33002},
      {"symmetricdecrypt negative", [&] { return symmetricdecrypt(-1, "a", "b", &out); }, 33002},
  };
  for (const auto& c : cases) EXPECT_EQ(c.call(), c.code) << c.name;
}

// Readable pages of 'a' followed by a page the process cannot read. A text
// taken from the end of the readable part runs into that page unless the
// last readable byte is made a NUL.
struct Guarded {
  explicit Guarded(size_t pages) : size(pages * pagesize()) {
    auto* base = mmap(nullptr, size + pagesize(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    start = static_cast<char*>(base);
    std::memset(start, 'a', size);
    mprotect(start + size, pagesize(), PROT_NONE);
  }
  ~Guarded() { munmap(start, size + pagesize()); }
  static size_t pagesize() { return static_cast<size_t>(sysconf(_SC_PAGESIZE)); }
  // The last count readable bytes.
  const char* tail(size_t count) const { return start + size - count; }
  void terminate() { start[size - 1] = '\0'; }
  size_t size;
  char* start;
};

TEST(Frame, ATextRunningIntoAnUnreadablePageIsUnreadable) {
  Guarded page(1);
  const char* bad = page.tail(16);
  char* out = nullptr;
  unsigned char* bytes = nullptr;
  uint64_t length = 0;
  int session = -1;
  int days = 0;
  const auto* bytes0 = reinterpret_cast<const unsigned char*>("d");
  struct Case {
    const char* name;
    std::function<int()> call;
  } cases[] = {
      {"hsminitialize path", [&] { return zmr_hsminitialize(bad); }},
      {"opensession keyfile", [&] { return zmr_opensession(&session, bad, "p", "f", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr); }},
      {"opensession password", [&] { return zmr_opensession(&session, "k", bad, "f", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr); }},
      {"opensession properties", [&] { return zmr_opensession(&session, "k", "p", bad, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr); }},
      {"opensession webaddress", [&] { return zmr_opensession(&session, "k", "p", nullptr, bad, nullptr, "t", "g", nullptr, nullptr); }},
      {"opensession truststore", [&] { return zmr_opensession(&session, "k", "p", nullptr, "w", nullptr, bad, "g", nullptr, nullptr); }},
      {"opensession grantedpolicies", [&] { return zmr_opensession(&session, "k", "p", nullptr, "w", nullptr, "t", bad, nullptr, nullptr); }},
      {"opensession proxy server", [&] { return zmr_opensession(&session, "k", "p", nullptr, "w", nullptr, "t", "g", bad, nullptr); }},
      {"opensession proxy port", [&] { return zmr_opensession(&session, "k", "p", nullptr, "w", nullptr, "t", "g", nullptr, bad); }},
      {"hsmopensession keyfile", [&] { return zmr_hsmopensession(&session, bad, "p", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, "1", -1); }},
      {"hsmopensession password", [&] { return zmr_hsmopensession(&session, "k", bad, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, "1", -1); }},
      {"hsmopensession properties", [&] { return zmr_hsmopensession(&session, "k", "p", bad, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, "1", -1); }},
      {"hsmopensession webaddress", [&] { return zmr_hsmopensession(&session, "k", "p", nullptr, bad, nullptr, nullptr, nullptr, nullptr, nullptr, "1", -1); }},
      {"hsmopensession truststore", [&] { return zmr_hsmopensession(&session, "k", "p", nullptr, nullptr, nullptr, bad, nullptr, nullptr, nullptr, "1", -1); }},
      {"hsmopensession grantedpolicies", [&] { return zmr_hsmopensession(&session, "k", "p", nullptr, nullptr, nullptr, nullptr, bad, nullptr, nullptr, "1", -1); }},
      {"hsmopensession proxy server", [&] { return zmr_hsmopensession(&session, "k", "p", nullptr, nullptr, nullptr, nullptr, nullptr, bad, nullptr, "1", -1); }},
      {"hsmopensession proxy port", [&] { return zmr_hsmopensession(&session, "k", "p", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, bad, "1", -1); }},
      {"hsmopensession pin", [&] { return zmr_hsmopensession(&session, "k", "p", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, bad, -1); }},
      {"rahsmopensession keyfile", [&] { return zmr_rahsmopensession(&session, bad, "p", "1", -1); }},
      {"rahsmopensession password", [&] { return zmr_rahsmopensession(&session, "k", bad, "1", -1); }},
      {"rahsmopensession pin", [&] { return zmr_rahsmopensession(&session, "k", "p", bad, -1); }},
      {"setinfoitem key", [&] { return zmr_setinfoitem(0, bad, "v"); }},
      {"setinfoitem value", [&] { return zmr_setinfoitem(0, "k", bad); }},
      {"getinfoitem key", [&] { return zmr_getinfoitem(0, bad, &out); }},
      {"getreportdata key", [&] { return zmr_getreportdata(0, bad, &out); }},
      {"adddocumenttext text", [&] { return zmr_adddocumenttext(0, bad, "d"); }},
      {"adddocumenttext description", [&] { return zmr_adddocumenttext(0, "t", bad); }},
      {"adddocumentxml xml", [&] { return zmr_adddocumentxml(0, bad, "s", "d"); }},
      {"adddocumentxml xsl", [&] { return zmr_adddocumentxml(0, "x", bad, "d"); }},
      {"adddocumentxml description", [&] { return zmr_adddocumentxml(0, "x", "s", bad); }},
      {"adddocumentpdf pdf", [&] { return zmr_adddocumentpdf(0, bad, "d"); }},
      {"adddocumentpdf description", [&] { return zmr_adddocumentpdf(0, "YQ==", bad); }},
      {"setsigneddata", [&] { return zmr_setsigneddata(0, bad); }},
      {"hashdata data", [&] { return zmr_hashdata(0, &out, 0, bad); }},
      {"base64decode text", [&] { return zmr_base64decode(0, bad, &bytes, &length); }},
      {"removecrlf text", [&] { return zmr_removecrlf(0, bad, &out); }},
      {"createxmldsig order", [&] { return zmr_createxmldsig(0, bad, &out, &days); }},
      {"decrypttransactiondata enckey", [&] { return zmr_decrypttransactiondata(0, bad, "d", "a", "o", nullptr, &out, &out); }},
      {"decrypttransactiondata encdata", [&] { return zmr_decrypttransactiondata(0, "k", bad, "a", "o", nullptr, &out, &out); }},
      {"decrypttransactiondata encauth", [&] { return zmr_decrypttransactiondata(0, "k", "d", bad, "o", nullptr, &out, &out); }},
      {"decrypttransactiondata operation", [&] { return zmr_decrypttransactiondata(0, "k", "d", "a", bad, nullptr, &out, &out); }},
      {"decrypttransactiondata extra", [&] { return zmr_decrypttransactiondata(0, "k", "d", "a", "o", bad, &out, &out); }},
      {"inittransaction enckey", [&] { return zmr_inittransaction(0, bad, "d", "a", "o", nullptr, &out); }},
      {"inittransaction encdata", [&] { return zmr_inittransaction(0, "k", bad, "a", "o", nullptr, &out); }},
      {"inittransaction encauth", [&] { return zmr_inittransaction(0, "k", "d", bad, "o", nullptr, &out); }},
      {"inittransaction operation", [&] { return zmr_inittransaction(0, "k", "d", "a", bad, nullptr, &out); }},
      {"inittransaction extra", [&] { return zmr_inittransaction(0, "k", "d", "a", "o", bad, &out); }},
      {"verifytransactionrequest enckey", [&] { return zmr_verifytransactionrequest(0, bad, "d", "a", "o", nullptr); }},
      {"verifytransactionrequest encdata", [&] { return zmr_verifytransactionrequest(0, "k", bad, "a", "o", nullptr); }},
      {"verifytransactionrequest encauth", [&] { return zmr_verifytransactionrequest(0, "k", "d", bad, "o", nullptr); }},
      {"verifytransactionrequest operation", [&] { return zmr_verifytransactionrequest(0, "k", "d", "a", bad, nullptr); }},
      {"verifytransactionrequest extra", [&] { return zmr_verifytransactionrequest(0, "k", "d", "a", "o", bad); }},
      {"authenticateserver challenge", [&] { return zmr_authenticateserver(0, &out, &out, bad, nullptr, nullptr); }},
      {"authenticateserver header", [&] { return zmr_authenticateserver(0, &out, &out, "c", bad, nullptr); }},
      {"authenticateserver flag", [&] { return zmr_authenticateserver(0, &out, &out, "c", "h", bad); }},
      {"authenticateclient pkcs7", [&] { return zmr_authenticateclient(0, bad, "c"); }},
      {"authenticateclient challenge", [&] { return zmr_authenticateclient(0, "p", bad); }},
      {"createsecurechannel pkcs7", [&] { return zmr_createsecurechannel(0, bad, &out, &out); }},
      {"symmetricencrypt key", [&] { return symmetricencrypt(0, bad, "p", &out); }},
      {"symmetricencrypt plain", [&] { return symmetricencrypt(0, "k", bad, &out); }},
      {"symmetricdecrypt key", [&] { return symmetricdecrypt(0, bad, "c", &out); }},
      {"symmetricdecrypt cipher", [&] { return symmetricdecrypt(0, "k", bad, &out); }},
      {"verifydata pkcs7", [&] { return zmr_verifydata(0, bad, bytes0, 1); }},
      {"hashverifydata pkcs7", [&] { return zmr_hashverifydata(0, bad, "YQ==", 0); }},
      {"hashverifydata hash", [&] { return zmr_hashverifydata(0, "p", bad, 0); }},
      {"getpkcs7info pkcs7", [&] { return zmr_getpkcs7info(0, bad, 0, &out); }},
      {"assymetricdecrypt keyfile", [&] { return zmr_assymetricdecrypt(0, bad, "p", "i", &out); }},
      {"assymetricdecrypt password", [&] { return zmr_assymetricdecrypt(0, "k", bad, "i", &out); }},
      {"assymetricdecrypt input", [&] { return zmr_assymetricdecrypt(0, "k", "p", bad, &out); }},
  };
  for (const auto& c : cases) EXPECT_EQ(c.call(), 33003) << c.name;
  EXPECT_EQ(session, -1);
}

TEST(Frame, TextsAreReadToTheirEndAcrossPages) {
  // No session is open: a text that passes the frame reaches the operation,
  // which answers 2009.
  Guarded runaway(3);
  Guarded ending(3);
  ending.terminate();
  EXPECT_EQ(zmr_setinfoitem(0, "key", runaway.start), 33003);
  EXPECT_EQ(zmr_setinfoitem(0, "key", ending.start), 2009);
  EXPECT_EQ(zmr_setinfoitem(0, "key", ending.tail(1)), 2009);  // the empty text just before the guard
  // Buffers with a length are probed at their first byte only.
  char* out = nullptr;
  EXPECT_EQ(zmr_base64encode(0, reinterpret_cast<const unsigned char*>(runaway.tail(1)), 1, &out), 2009);
}

// Where a seccomp filter forbids reading our own memory through the
// kernel, the probes fall back to the kernel reading a path.
TEST(Frame, ProbesWorkWithoutReadingOurOwnMemory) {
  Guarded runaway(3);  // longer than a path may be
  Guarded ending(3);
  ending.terminate();
  Unreadable bad;
  pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    struct sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_process_vm_readv, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog program = {sizeof filter / sizeof filter[0], filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
      _exit(2);
    char* out = nullptr;
    bool ok = zmr_setinfoitem(0, "key", runaway.start) == 33003 && zmr_setinfoitem(0, "key", runaway.tail(5)) == 33003 &&
              zmr_setinfoitem(0, "key", ending.start) == 2009 && zmr_setinfoitem(0, "key", bad.text()) == 33003 &&
              zmr_getinfoitem(0, "key", bad.out()) == 33003 && zmr_getinfoitem(0, "key", &out) == 2009;
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "no seccomp filter here";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(Frame, OpeningProbesTheSessionPointerBeforeOpening) {
  ASSERT_EQ(zmr_initialize(), 0);
  zmrtest::MerchantFiles m = zmrtest::makeMerchantFiles("frame-opening", 2);
  auto open = [&](int* session) {
    return zmr_opensession(session, m.keyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr, nullptr,
                           nullptr, nullptr, nullptr, nullptr);
  };
  int first = -1;
  ASSERT_EQ(open(&first), 0) << zmrtest::recentError();
  ASSERT_EQ(zmr_closesession(first), 0);

  Unreadable bad;
  auto* badsession = static_cast<int*>(bad.page);
  EXPECT_EQ(open(badsession), 33003);
  EXPECT_EQ(zmr_hsmopensession(badsession, m.keyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr,
                               nullptr, nullptr, nullptr, nullptr, nullptr, "1234", -1),
            33003);
  EXPECT_EQ(zmr_rahsmopensession(badsession, m.keyfile.c_str(), m.password.c_str(), "1234", -1), 33003);

  // Nothing was opened: the same number is drawn again.
  int again = -1;
  ASSERT_EQ(open(&again), 0) << zmrtest::recentError();
  EXPECT_EQ(again, first);
  EXPECT_EQ(zmr_closesession(again), 0);
  EXPECT_EQ(zmr_finalize(), 0);
}

TEST(Frame, AFrameFailureLeavesTheRecentErrorAlone) {
  // No session is open: the operations answer 2009 and write nothing, and
  // a frame failure never reaches them.
  char* out = nullptr;
  EXPECT_EQ(zmr_getinfoitem(0, "key", &out), 2009);
  EXPECT_EQ(zmr_getinfoitem(0, "key", nullptr), 33002);
  EXPECT_EQ(zmr_getrecenterror(-1, &out), 0);  // any number reaches the operation
  EXPECT_EQ(out, nullptr);
}

TEST(Frame, VersionNamesTheRealLibraries) {
  char* text = nullptr;
  ASSERT_EQ(zmr_getversioninfo(&text), 0);
  std::string v = text;
  zmr_free(text);
  EXPECT_EQ(v.rfind("[zelmorServerType=C][zelmorServerVersion=5.2.2][platform=LINUX][arch=64][opensslversion=OpenSSL 3.", 0), 0u) << v;
  EXPECT_NE(v.find("][expatversion=2."), std::string::npos) << v;
  EXPECT_NE(v.find("][compiler="), std::string::npos) << v;
  EXPECT_EQ(v.back(), ']');
}

}  // namespace
