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
#include <fstream>
#include <functional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <utility>
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

// Every text argument (a `const char *`) of every function zmr.h exports,
// read from the header itself: a new export or argument shows up here
// before anyone thinks of adding it to the table below.
std::set<std::pair<std::string, std::string>> declaredtexts() {
  std::ifstream in(ZMR_SOURCE_DIR "/include/zmr/zmr.h");
  std::stringstream buffer;
  buffer << in.rdbuf();
  // Without its comments, which speak of arguments too.
  std::string text;
  const std::string all = buffer.str();
  for (size_t at = 0; at < all.size();) {
    size_t open = all.find("/*", at);
    text.append(all, at, open == std::string::npos ? std::string::npos : open - at);
    if (open == std::string::npos) break;
    size_t close = all.find("*/", open + 2);
    at = close == std::string::npos ? all.size() : close + 2;
    text.push_back(' ');
  }
  static const std::regex declaration(R"(ZMR_EXPORT\s+int\s+(\w+)\s*\(([^)]*)\))");
  static const std::regex textparameter(R"(^\s*const\s+char\s*\*\s*(\w+)\s*$)");
  std::set<std::pair<std::string, std::string>> found;
  for (std::sregex_iterator it(text.begin(), text.end(), declaration), end; it != end; ++it) {
    const std::string function = (*it)[1], parameters = (*it)[2];
    std::stringstream list(parameters);
    for (std::string parameter; std::getline(list, parameter, ',');) {
      std::smatch m;
      if (std::regex_match(parameter, m, textparameter)) found.emplace(function, m[1]);
    }
  }
  return found;
}

// What a call in a child process gave: its code, or how the child died.
struct ChildResult {
  int rc = -1;
  bool touchedsession = false;
  std::string death;  // "" when the call returned
};

// Runs call in a child, so that a call that crashes does not hide the
// others.
ChildResult inchild(const std::function<int(int*)>& call) {
  ChildResult result;
  int fds[2];
  if (pipe(fds) != 0) {
    result.death = "no pipe";
    return result;
  }
  pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    int session = -1;
    int reply[2] = {call(&session), session != -1};
    _exit(write(fds[1], reply, sizeof reply) == static_cast<ssize_t>(sizeof reply) ? 0 : 1);
  }
  close(fds[1]);
  int reply[2] = {-1, 0};
  ssize_t n = child > 0 ? read(fds[0], reply, sizeof reply) : -1;
  close(fds[0]);
  int status = 0;
  if (child > 0) waitpid(child, &status, 0);
  if (n != static_cast<ssize_t>(sizeof reply)) {
    result.death = WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status))
                                       : "exited " + std::to_string(WEXITSTATUS(status));
    return result;
  }
  result.rc = reply[0];
  result.touchedsession = reply[1] != 0;
  return result;
}

TEST(Frame, ATextRunningIntoAnUnreadablePageIsUnreadable) {
  Guarded page(1);
  const char* bad = page.tail(16);
  char* out = nullptr;
  unsigned char* bytes = nullptr;
  uint64_t length = 0;
  int days = 0;
  const auto* bytes0 = reinterpret_cast<const unsigned char*>("d");
  // A handle the frame may read (it only probes it); a text argument after
  // it is checked before anything follows it.
  void* cell[2] = {nullptr, nullptr};
  auto* handle = reinterpret_cast<seidsdo**>(cell);
  seidsdo** made = nullptr;
  signatures node = {const_cast<char*>("p"), const_cast<char*>("o"), nullptr};
  // One entry per text argument of zmr.h: the call with that argument
  // running into the unreadable page and every other one well-formed, or
  // no call for an argument that is not a text the library reads.
  using Call = std::function<int(const char*, int*)>;
  struct Case {
    const char* function;
    const char* argument;
    Call call;
  } cases[] = {
      {"zmr_hsminitialize", "driverpath", [&](const char* t, int*) { return zmr_hsminitialize(t); }},
      {"zmr_opensession", "keyfile", [&](const char* t, int* n) { return zmr_opensession(n, t, "p", "f", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr); }},
      {"zmr_opensession", "password", [&](const char* t, int* n) { return zmr_opensession(n, "k", t, "f", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr); }},
      {"zmr_opensession", "propertiesfile", [&](const char* t, int* n) { return zmr_opensession(n, "k", "p", t, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr); }},
      {"zmr_opensession", "webaddress", [&](const char* t, int* n) { return zmr_opensession(n, "k", "p", nullptr, t, nullptr, "t", "g", nullptr, nullptr); }},
      {"zmr_opensession", "ignored", nullptr},  // neither checked nor read
      {"zmr_opensession", "truststore", [&](const char* t, int* n) { return zmr_opensession(n, "k", "p", nullptr, "w", nullptr, t, "g", nullptr, nullptr); }},
      {"zmr_opensession", "grantedpolicies", [&](const char* t, int* n) { return zmr_opensession(n, "k", "p", nullptr, "w", nullptr, "t", t, nullptr, nullptr); }},
      {"zmr_opensession", "httpproxyserver", [&](const char* t, int* n) { return zmr_opensession(n, "k", "p", nullptr, "w", nullptr, "t", "g", t, nullptr); }},
      {"zmr_opensession", "httpproxyport", [&](const char* t, int* n) { return zmr_opensession(n, "k", "p", nullptr, "w", nullptr, "t", "g", nullptr, t); }},
      {"zmr_hsmopensession", "keyfile", [&](const char* t, int* n) { return zmr_hsmopensession(n, t, "p", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, "1", -1); }},
      {"zmr_hsmopensession", "password", [&](const char* t, int* n) { return zmr_hsmopensession(n, "k", t, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, "1", -1); }},
      {"zmr_hsmopensession", "propertiesfile", [&](const char* t, int* n) { return zmr_hsmopensession(n, "k", "p", t, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, "1", -1); }},
      {"zmr_hsmopensession", "webaddress", [&](const char* t, int* n) { return zmr_hsmopensession(n, "k", "p", nullptr, t, nullptr, nullptr, nullptr, nullptr, nullptr, "1", -1); }},
      {"zmr_hsmopensession", "ignored", nullptr},  // neither checked nor read
      {"zmr_hsmopensession", "truststore", [&](const char* t, int* n) { return zmr_hsmopensession(n, "k", "p", nullptr, nullptr, nullptr, t, nullptr, nullptr, nullptr, "1", -1); }},
      {"zmr_hsmopensession", "grantedpolicies", [&](const char* t, int* n) { return zmr_hsmopensession(n, "k", "p", nullptr, nullptr, nullptr, nullptr, t, nullptr, nullptr, "1", -1); }},
      {"zmr_hsmopensession", "httpproxyserver", [&](const char* t, int* n) { return zmr_hsmopensession(n, "k", "p", nullptr, nullptr, nullptr, nullptr, nullptr, t, nullptr, "1", -1); }},
      {"zmr_hsmopensession", "httpproxyport", [&](const char* t, int* n) { return zmr_hsmopensession(n, "k", "p", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, t, "1", -1); }},
      {"zmr_hsmopensession", "pkcs11password", [&](const char* t, int* n) { return zmr_hsmopensession(n, "k", "p", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, t, -1); }},
      {"zmr_rahsmopensession", "keyfile", [&](const char* t, int* n) { return zmr_rahsmopensession(n, t, "p", "1", -1); }},
      {"zmr_rahsmopensession", "password", [&](const char* t, int* n) { return zmr_rahsmopensession(n, "k", t, "1", -1); }},
      {"zmr_rahsmopensession", "pkcs11password", [&](const char* t, int* n) { return zmr_rahsmopensession(n, "k", "p", t, -1); }},
      {"zmr_setinfoitem", "key", [&](const char* t, int*) { return zmr_setinfoitem(0, t, "v"); }},
      {"zmr_setinfoitem", "value", [&](const char* t, int*) { return zmr_setinfoitem(0, "k", t); }},
      {"zmr_getinfoitem", "key", [&](const char* t, int*) { return zmr_getinfoitem(0, t, &out); }},
      {"zmr_getreportdata", "key", [&](const char* t, int*) { return zmr_getreportdata(0, t, &out); }},
      {"zmr_adddocumenttext", "text", [&](const char* t, int*) { return zmr_adddocumenttext(0, t, "d"); }},
      {"zmr_adddocumenttext", "description", [&](const char* t, int*) { return zmr_adddocumenttext(0, "t", t); }},
      {"zmr_adddocumentxml", "xml", [&](const char* t, int*) { return zmr_adddocumentxml(0, t, "s", "d"); }},
      {"zmr_adddocumentxml", "xsl", [&](const char* t, int*) { return zmr_adddocumentxml(0, "x", t, "d"); }},
      {"zmr_adddocumentxml", "description", [&](const char* t, int*) { return zmr_adddocumentxml(0, "x", "s", t); }},
      {"zmr_adddocumentpdf", "pdfbase64", [&](const char* t, int*) { return zmr_adddocumentpdf(0, t, "d"); }},
      {"zmr_adddocumentpdf", "description", [&](const char* t, int*) { return zmr_adddocumentpdf(0, "YQ==", t); }},
      {"zmr_setsigneddata", "signeddata", [&](const char* t, int*) { return zmr_setsigneddata(0, t); }},
      {"zmr_hashdata", "data", [&](const char* t, int*) { return zmr_hashdata(0, &out, 0, t); }},
      {"zmr_base64decode", "text", [&](const char* t, int*) { return zmr_base64decode(0, t, &bytes, &length); }},
      {"zmr_removecrlf", "text", [&](const char* t, int*) { return zmr_removecrlf(0, t, &out); }},
      {"symmetricencrypt", "key", [&](const char* t, int*) { return symmetricencrypt(0, t, "p", &out); }},
      {"symmetricencrypt", "plain", [&](const char* t, int*) { return symmetricencrypt(0, "k", t, &out); }},
      {"symmetricdecrypt", "key", [&](const char* t, int*) { return symmetricdecrypt(0, t, "c", &out); }},
      {"symmetricdecrypt", "cipher", [&](const char* t, int*) { return symmetricdecrypt(0, "k", t, &out); }},
      {"zmr_signxml", "xml", nullptr},  // a buffer with a length
      {"zmr_signxml", "xsl", nullptr},  // a buffer with a length
      {"zmr_createxmldsig", "order", [&](const char* t, int*) { return zmr_createxmldsig(0, t, &out, &days); }},
      {"zmr_decrypttransactiondata", "enckey", [&](const char* t, int*) { return zmr_decrypttransactiondata(0, t, "d", "a", "o", nullptr, &out, &out); }},
      {"zmr_decrypttransactiondata", "encdata", [&](const char* t, int*) { return zmr_decrypttransactiondata(0, "k", t, "a", "o", nullptr, &out, &out); }},
      {"zmr_decrypttransactiondata", "encauth", [&](const char* t, int*) { return zmr_decrypttransactiondata(0, "k", "d", t, "o", nullptr, &out, &out); }},
      {"zmr_decrypttransactiondata", "operation", [&](const char* t, int*) { return zmr_decrypttransactiondata(0, "k", "d", "a", t, nullptr, &out, &out); }},
      {"zmr_decrypttransactiondata", "extra", [&](const char* t, int*) { return zmr_decrypttransactiondata(0, "k", "d", "a", "o", t, &out, &out); }},
      {"zmr_inittransaction", "enckey", [&](const char* t, int*) { return zmr_inittransaction(0, t, "d", "a", "o", nullptr, &out); }},
      {"zmr_inittransaction", "encdata", [&](const char* t, int*) { return zmr_inittransaction(0, "k", t, "a", "o", nullptr, &out); }},
      {"zmr_inittransaction", "encauth", [&](const char* t, int*) { return zmr_inittransaction(0, "k", "d", t, "o", nullptr, &out); }},
      {"zmr_inittransaction", "operation", [&](const char* t, int*) { return zmr_inittransaction(0, "k", "d", "a", t, nullptr, &out); }},
      {"zmr_inittransaction", "extra", [&](const char* t, int*) { return zmr_inittransaction(0, "k", "d", "a", "o", t, &out); }},
      {"zmr_verifytransactionrequest", "enckey", [&](const char* t, int*) { return zmr_verifytransactionrequest(0, t, "d", "a", "o", nullptr); }},
      {"zmr_verifytransactionrequest", "encdata", [&](const char* t, int*) { return zmr_verifytransactionrequest(0, "k", t, "a", "o", nullptr); }},
      {"zmr_verifytransactionrequest", "encauth", [&](const char* t, int*) { return zmr_verifytransactionrequest(0, "k", "d", t, "o", nullptr); }},
      {"zmr_verifytransactionrequest", "operation", [&](const char* t, int*) { return zmr_verifytransactionrequest(0, "k", "d", "a", t, nullptr); }},
      {"zmr_verifytransactionrequest", "extra", [&](const char* t, int*) { return zmr_verifytransactionrequest(0, "k", "d", "a", "o", t); }},
      {"zmr_authenticateserver", "clientchallenge", [&](const char* t, int*) { return zmr_authenticateserver(0, &out, &out, t, nullptr, nullptr); }},
      {"zmr_authenticateserver", "authheader", [&](const char* t, int*) { return zmr_authenticateserver(0, &out, &out, "c", t, nullptr); }},
      {"zmr_authenticateserver", "prepareflag", [&](const char* t, int*) { return zmr_authenticateserver(0, &out, &out, "c", "h", t); }},
      {"zmr_authenticateclient", "clientpkcs7", [&](const char* t, int*) { return zmr_authenticateclient(0, t, "c"); }},
      {"zmr_authenticateclient", "serverchallenge", [&](const char* t, int*) { return zmr_authenticateclient(0, "p", t); }},
      {"zmr_createsecurechannel", "pkcs7", [&](const char* t, int*) { return zmr_createsecurechannel(0, t, &out, &out); }},
      {"zmr_getcertstatus", "pkcs7", [&](const char* t, int*) { return zmr_getcertstatus(0, t, &out); }},
      {"zmr_getcertstatuswithnonce", "pkcs7", [&](const char* t, int*) { return zmr_getcertstatuswithnonce(0, t, &out, &out); }},
      {"zmr_gettransactioninfo", "key", [&](const char* t, int*) { return zmr_gettransactioninfo(0, t, "1.2.3", ""); }},
      {"zmr_gettransactioninfo", "oids", [&](const char* t, int*) { return zmr_gettransactioninfo(0, "k", t, ""); }},
      {"zmr_gettransactioninfo", "unused", [&](const char* t, int*) { return zmr_gettransactioninfo(0, "k", "1.2.3", t); }},
      {"zmr_requestmobilestatus", "reference", [&](const char* t, int*) { return zmr_requestmobilestatus(0, t, &out); }},
      {"zmr_pushsms", "reference", [&](const char* t, int*) { return zmr_pushsms(0, t, "text"); }},
      {"zmr_pushsms", "text", [&](const char* t, int*) { return zmr_pushsms(0, "ref", t); }},
      {"zmr_generatemerchantreference", "locale", [&](const char* t, int*) { return zmr_generatemerchantreference(0, t, &out); }},
      {"zmr_createsdo", "data", [&](const char* t, int*) { return zmr_createsdo(0, &made, t, "m", "d", "u", "p", "o", "q"); }},
      {"zmr_createsdo", "mimetype", [&](const char* t, int*) { return zmr_createsdo(0, &made, "YQ==", t, "d", "u", "p", "o", "q"); }},
      {"zmr_createsdo", "description", [&](const char* t, int*) { return zmr_createsdo(0, &made, "YQ==", "m", t, "u", "p", "o", "q"); }},
      {"zmr_createsdo", "userpkcs7", [&](const char* t, int*) { return zmr_createsdo(0, &made, "YQ==", "m", "d", t, "p", "o", "q"); }},
      {"zmr_createsdo", "merchantpkcs7", [&](const char* t, int*) { return zmr_createsdo(0, &made, "YQ==", "m", "d", "u", t, "o", "q"); }},
      {"zmr_createsdo", "userocsp", [&](const char* t, int*) { return zmr_createsdo(0, &made, "YQ==", "m", "d", "u", "p", t, "q"); }},
      {"zmr_createsdo", "merchantocsp", [&](const char* t, int*) { return zmr_createsdo(0, &made, "YQ==", "m", "d", "u", "p", "o", t); }},
      {"zmr_createdynamicsdo", "data", [&](const char* t, int*) { return zmr_createdynamicsdo(0, &made, t, "m", "d", &node); }},
      {"zmr_createdynamicsdo", "mimetype", [&](const char* t, int*) { return zmr_createdynamicsdo(0, &made, "YQ==", t, "d", &node); }},
      {"zmr_createdynamicsdo", "description", [&](const char* t, int*) { return zmr_createdynamicsdo(0, &made, "YQ==", "m", t, &node); }},
      {"zmr_sdoadddata", "data", [&](const char* t, int*) { return zmr_sdoadddata(0, handle, t); }},
      {"zmr_sdoaddsignature", "data", [&](const char* t, int*) { return zmr_sdoaddsignature(0, handle, &node, t); }},
      {"zmr_sdoseal", "merchantocsp", [&](const char* t, int*) { return zmr_sdoseal(0, handle, t, nullptr); }},
      {"zmr_sdoseal", "data", [&](const char* t, int*) { return zmr_sdoseal(0, handle, "o", t); }},
      {"zmr_xmltosdoex", "xml", [&](const char* t, int*) { return zmr_xmltosdoex(0, t, &made); }},
      {"zmr_dynamicsdovalidate", "data", [&](const char* t, int*) { return zmr_dynamicsdovalidate(0, handle, t, 0, 0); }},
      {"zmr_sdoxmlvalidate", "xml", [&](const char* t, int*) { return zmr_sdoxmlvalidate(0, t, 0); }},
      {"zmr_simpledynamicsdoxmlvalidate", "xml", [&](const char* t, int*) { return zmr_simpledynamicsdoxmlvalidate(0, t, 0); }},
      {"zmr_dynamicsdoxmlgetsigners", "xml", [&](const char* t, int*) { return zmr_dynamicsdoxmlgetsigners(0, t, &out); }},
      {"zmr_sdoxmlextractsignatures", "xml", [&](const char* t, int*) {
         signatures* list = nullptr;
         return zmr_sdoxmlextractsignatures(0, t, &out, &out, &out, &list);
       }},
      {"zmr_verifydata", "pkcs7", [&](const char* t, int*) { return zmr_verifydata(0, t, bytes0, 1); }},
      {"zmr_hashverifydata", "pkcs7", [&](const char* t, int*) { return zmr_hashverifydata(0, t, "YQ==", 0); }},
      {"zmr_hashverifydata", "hash", [&](const char* t, int*) { return zmr_hashverifydata(0, "p", t, 0); }},
      {"zmr_getpkcs7info", "pkcs7", [&](const char* t, int*) { return zmr_getpkcs7info(0, t, 0, &out); }},
      {"zmr_assymetricdecrypt", "keyfile", [&](const char* t, int*) { return zmr_assymetricdecrypt(0, t, "p", "i", &out); }},
      {"zmr_assymetricdecrypt", "password", [&](const char* t, int*) { return zmr_assymetricdecrypt(0, "k", t, "i", &out); }},
      {"zmr_assymetricdecrypt", "input", [&](const char* t, int*) { return zmr_assymetricdecrypt(0, "k", "p", t, &out); }},
  };

  std::set<std::pair<std::string, std::string>> listed;
  for (const Case& c : cases) EXPECT_TRUE(listed.emplace(c.function, c.argument).second) << c.function << " " << c.argument;
  const auto declared = declaredtexts();
  ASSERT_GT(declared.size(), 50u) << "zmr.h was not read";
  for (const auto& [function, argument] : declared)
    EXPECT_TRUE(listed.count({function, argument})) << function << "(" << argument << ") is not in the table";
  for (const auto& [function, argument] : listed)
    EXPECT_TRUE(declared.count({function, argument})) << function << "(" << argument << ") is not in zmr.h";

  // No session is open and the library is not started: a text that passed
  // the frame would meet 2009 or 2049, not 33003.
  for (const Case& c : cases) {
    if (!c.call) continue;
    ChildResult r = inchild([&](int* session) { return c.call(bad, session); });
    EXPECT_EQ(r.death.empty() ? std::to_string(r.rc) : r.death, "33003") << c.function << "(" << c.argument << ")";
    EXPECT_FALSE(r.touchedsession) << c.function << "(" << c.argument << ")";
  }
}

// The signer listing reads every node of its list: a node's text or link
// that runs into an unreadable page is 33003, not a crash.
TEST(Frame, SignerListNodesAreProbed) {
  Guarded page(1);
  char* out = nullptr;
  auto* unreadablenode = reinterpret_cast<signatures*>(page.start + page.size);
  signatures second = {const_cast<char*>(page.tail(16)), const_cast<char*>("o"), nullptr};
  signatures first = {const_cast<char*>("p"), const_cast<char*>("o"), &second};
  EXPECT_EQ(zmr_getsigners(0, &first, &out), 33003) << "a second node's pkcs7";
  second = {const_cast<char*>("p"), const_cast<char*>("o"), unreadablenode};
  EXPECT_EQ(zmr_getsigners(0, &first, &out), 33003) << "a second node's next";
  EXPECT_EQ(out, nullptr);
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

// Texts over more pages than one check takes, and an unreadable page in
// the middle of a long text: before its end it makes the text unreadable,
// after it nothing.
TEST(Frame, LongTextsAndHolesAcrossManyPages) {
  const size_t page = Guarded::pagesize();
  Guarded runaway(700);
  Guarded ending(700);
  ending.terminate();
  EXPECT_EQ(zmr_setinfoitem(0, "key", runaway.start), 33003);
  EXPECT_EQ(zmr_setinfoitem(0, "key", runaway.start + page / 2), 33003);
  EXPECT_EQ(zmr_setinfoitem(0, "key", ending.start), 2009);
  EXPECT_EQ(zmr_setinfoitem(0, "key", ending.start + 7), 2009);
  for (size_t hole : {1, 2, 3, 200, 255, 256, 257, 511, 600}) {
    Guarded holed(700);
    mprotect(holed.start + hole * page, page, PROT_NONE);
    holed.terminate();
    EXPECT_EQ(zmr_setinfoitem(0, "key", holed.start), 33003) << "hole at page " << hole;
    holed.start[hole * page - 1] = '\0';
    EXPECT_EQ(zmr_setinfoitem(0, "key", holed.start), 2009) << "end just before the hole at page " << hole;
  }
}

// The transaction calls ask the kernel about all their arguments at once:
// the codes and the pages checked stay those of one check after another.
// No session is open, so arguments that pass reach the operation (2009).
TEST(Frame, ArgumentsCheckedTogetherInTheirOrder) {
  const size_t page = Guarded::pagesize();
  Unreadable bad;
  Guarded runaway(3);
  Guarded ending(3);
  ending.terminate();
  Guarded holed(3);
  mprotect(holed.start + page, page, PROT_NONE);
  holed.terminate();
  Guarded cut(3);
  mprotect(cut.start + page, page, PROT_NONE);
  cut.start[page - 1] = '\0';
  const char* e = ending.start;
  char* out = nullptr;
  struct Case {
    const char* name;
    std::function<int()> call;
    int code;
  } cases[] = {
      {"unreadable before null", [&] { return zmr_inittransaction(0, bad.text(), nullptr, "a", "o", nullptr, &out); }, 33003},
      {"null before unreadable", [&] { return zmr_inittransaction(0, "k", nullptr, bad.text(), "o", nullptr, &out); }, 33002},
      {"null out after unreadable extra", [&] { return zmr_inittransaction(0, "k", "d", "a", "o", bad.text(), nullptr); }, 33003},
      {"unreadable out after long texts", [&] { return zmr_inittransaction(0, e, e + 7, e, e, e, bad.out()); }, 33003},
      {"third runs into a guard", [&] { return zmr_inittransaction(0, e, e, runaway.start, "o", nullptr, &out); }, 33003},
      {"extra runs into a guard", [&] { return zmr_inittransaction(0, e, "d", "a", "o", runaway.tail(5), &out); }, 33003},
      {"hole in the first's second page", [&] { return zmr_inittransaction(0, holed.start, e, "a", "o", nullptr, &out); }, 33003},
      {"hole after the first's end", [&] { return zmr_inittransaction(0, cut.start, e, "a", "o", nullptr, &out); }, 2009},
      {"long texts all ending", [&] { return zmr_inittransaction(0, e, e + 7, e, ending.tail(1), e, &out); }, 2009},
      {"verify: unreadable before null", [&] { return zmr_verifytransactionrequest(0, "k", bad.text(), nullptr, "o", nullptr); }, 33003},
      {"verify: operation runs into a guard", [&] { return zmr_verifytransactionrequest(0, e, e, e, runaway.start, nullptr); }, 33003},
      {"verify: hole in the second", [&] { return zmr_verifytransactionrequest(0, "k", holed.start, "a", "o", "x"); }, 33003},
      {"verify: long texts all ending", [&] { return zmr_verifytransactionrequest(0, e, e, cut.start, e, e + 9); }, 2009},
  };
  for (const auto& c : cases) EXPECT_EQ(c.call(), c.code) << c.name;
}

// The probe's process id is this process's in a child of fork too: a page
// only the child cannot read, and one only the child has.
TEST(Frame, AForkedChildProbesItsOwnMemory) {
  Guarded shared(2);
  shared.terminate();
  ASSERT_EQ(zmr_setinfoitem(0, "key", shared.start), 2009);  // probed once in this process
  pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    Guarded own(2);
    own.terminate();
    mprotect(shared.start, Guarded::pagesize(), PROT_NONE);
    bool ok = zmr_setinfoitem(0, "key", shared.start) == 33003 && zmr_setinfoitem(0, "key", own.start) == 2009;
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "the child died";
  EXPECT_EQ(WEXITSTATUS(status), 0);
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
  EXPECT_EQ(0, zmr_free(text));
  EXPECT_EQ(v.rfind("[zelmorServerType=C][zelmorServerVersion=5.2.2][platform=LINUX][arch=64][opensslversion=OpenSSL 3.", 0), 0u) << v;
  EXPECT_NE(v.find("][expatversion=2."), std::string::npos) << v;
  EXPECT_NE(v.find("][compiler="), std::string::npos) << v;
  EXPECT_EQ(v.back(), ']');
}

}  // namespace
