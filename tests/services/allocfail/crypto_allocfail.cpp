// Verification, signer information, signer listing, central-verifier
// decryption and transaction initialisation with allocations failing: each
// failure runs in a child process of its own (the first allocation of every
// call stack the call makes), where a call that gives 0 hands out exactly
// what it gives without failures, a failed call hands out nothing, the same
// call made again without failures gives the right result (a failure leaves
// nothing broken behind) and, in the address-sanitizer tree, nothing leaks.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <zmr/zmr.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include "allocfail/failingalloc.h"
#include "support/apitest.h"
#include "support/fixtures.h"
#include "support/merchant.h"
#include "support/tempdir.h"
#include "support/txclient.h"
#include "support/txscheme.h"
#include "support/verifiers.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#define CRYPTO_LEAK_CHECK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/lsan_interface.h>
#define CRYPTO_LEAK_CHECK 1
#endif
#endif

namespace {

using zmrtest::take;

#if !defined(ZMR_CRYPTO_SWEEP_STRIDE)
#define ZMR_CRYPTO_SWEEP_STRIDE 1
#endif
// Every how many call stacks a sweep runs (tests/services/extra.cmake).
constexpr unsigned kStride = ZMR_CRYPTO_SWEEP_STRIDE;

std::string leaks() {
#if defined(CRYPTO_LEAK_CHECK)
  if (__lsan_do_recoverable_leak_check() != 0) return "leaks (the report is above)";
#endif
  return "";
}

// A call of the exported interface; text receives what it hands out.
using Call = std::function<int(char** text)>;
// "" when what a call handed out with 0 is right.
using Judge = std::function<std::string(const std::string& text)>;

std::string describe(int rc, const std::string& text) {
  return std::to_string(rc) + " with '" + text.substr(0, 80) + "' " + zmrtest::recentError();
}

// One run: call with allocation n failing, then call again without.
allocfail::Outcome once(uint64_t n, const Call& call, const Judge& judge) {
  allocfail::Outcome o;
  char* text = nullptr;
  allocfail::arm(allocfail::kAll, n);
  int rc = call(&text);
  o.reached = allocfail::disarm();
  std::string got = take(text);
  if (rc == 0) {
    if (std::string why = judge(got); !why.empty()) o.fault = "0 with a wrong result: " + why;
  } else if (text != nullptr) {
    o.fault = std::to_string(rc) + " and still a text";
  }
  zmrtest::recentError();
  if (o.fault.empty()) {
    text = nullptr;
    rc = call(&text);
    got = take(text);
    if (rc != 0 || !judge(got).empty()) o.fault = "the next call without failures gave " + describe(rc, got);
  }
  if (o.fault.empty()) o.fault = leaks();
  return o;
}

// precheck: the call is made once here first (not for a call whose first
// use on a session differs from the later ones).
void sweep(const Call& call, const Judge& judge, uint64_t atleast, bool precheck = true) {
  if (precheck) {
    char* text = nullptr;
    int rc = call(&text);
    std::string got = take(text);
    ASSERT_EQ(rc, 0) << zmrtest::recentError();
    ASSERT_EQ(judge(got), "");
  }
  allocfail::Forked s = allocfail::sweepforked([&](uint64_t n) { return once(n, call, judge); }, kStride);
  std::printf("%llu runs over %llu allocations\n", static_cast<unsigned long long>(s.runs),
              static_cast<unsigned long long>(s.allocations));
  EXPECT_TRUE(s.faults.empty()) << s.describe();
  EXPECT_GT(s.runs * kStride, atleast) << s.describe();
}

Judge equals(const std::string& expected) {
  return [expected](const std::string& got) { return got == expected ? "" : "'" + got.substr(0, 60) + "'"; };
}

class CryptoUnderAllocationFailure : public ::testing::Test {
 protected:
  void SetUp() override {
    m = zmrtest::makeMerchantFiles("allocfail-crypto", 2);
    ASSERT_EQ(zmr_initialize(), 0);
    session = open();
    const std::string data = "pay 100 to account 1234.56.78903";
    char* out = nullptr;
    ASSERT_EQ(zmr_signdata(session, bytes(data), data.size(), &out), 0) << zmrtest::recentError();
    merchant = take(out);
    signed_ = data;
  }
  void TearDown() override { std::ignore = zmr_finalize(); }
  int open() {
    int s = -1;
    EXPECT_EQ(zmr_opensession(&s, m.keyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr, nullptr,
                              nullptr, nullptr, nullptr, nullptr),
              0)
        << zmrtest::recentError();
    return s;
  }
  static const unsigned char* bytes(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

  zmrtest::MerchantFiles m;
  int session = -1;
  std::string merchant, signed_;
};

// Verification never passes a signature over other data, and a genuine one
// passes again after any failure.
TEST_F(CryptoUnderAllocationFailure, VerifyData) {
  const std::string other = signed_ + ".";
  sweep(
      [&](char**) {
        int forged = zmr_verifydata(session, merchant.c_str(), bytes(other), other.size());
        int rc = zmr_verifydata(session, merchant.c_str(), bytes(signed_), signed_.size());
        return forged == 0 ? -1 : rc;
      },
      equals(""), 200);
}

// The same on the thread's first verification, whose certificates are
// decoded afresh and kept for the thread's later calls: a certificate that
// an allocation failure left half read is not kept, so the thread verifies
// again right after. (The process's first verification runs on another
// thread, so that only this thread's first decode is swept.)
TEST_F(CryptoUnderAllocationFailure, VerifyDataOnTheThreadsFirstDecode) {
  const std::string other = signed_ + ".";
  auto call = [&](char**) {
    int forged = zmr_verifydata(session, merchant.c_str(), bytes(other), other.size());
    int rc = zmr_verifydata(session, merchant.c_str(), bytes(signed_), signed_.size());
    return forged == 0 ? -1 : rc;
  };
  int first = -1;
  std::thread([&] { first = call(nullptr); }).join();
  ASSERT_EQ(first, 0) << zmrtest::recentError();
  sweep(call, equals(""), 200, false);
}

// The first verification on a session of its own, which reads the trust
// anchors from the session's trust store for the first time: a failure
// there leaves none of them unusable for the session's later calls.
TEST_F(CryptoUnderAllocationFailure, VerifyDataOnTheSessionsFirstChainCheck) {
  const int fresh = open();
  const std::string other = signed_ + ".";
  sweep(
      [&](char**) {
        int forged = zmr_verifydata(fresh, merchant.c_str(), bytes(other), other.size());
        int rc = zmr_verifydata(fresh, merchant.c_str(), bytes(signed_), signed_.size());
        return forged == 0 ? -1 : rc;
      },
      equals(""), 200, false);
}

TEST_F(CryptoUnderAllocationFailure, HashVerifyData) {
  const std::string digest = zmrtest::toBase64(zmrtest::digestOf(EVP_sha256(), signed_));
  const std::string other = zmrtest::toBase64(zmrtest::digestOf(EVP_sha256(), signed_ + "."));
  sweep(
      [&](char**) {
        int forged = zmr_hashverifydata(session, merchant.c_str(), other.c_str(), 0);
        int rc = zmr_hashverifydata(session, merchant.c_str(), digest.c_str(), 0);
        return forged == 0 ? -1 : rc;
      },
      equals(""), 200);
}

// Every item an end user's signature has, the key's size and algorithm
// among them.
TEST_F(CryptoUnderAllocationFailure, Pkcs7Info) {
  const std::string user = zmrtest::makePkcs7Base64(zmrtest::pkcs7For(m.pki.endUser, signed_));
  int items = 0;
  for (int item = ZMR_P7_ISSUERNAME; item <= ZMR_P7_SIGNINGTIMELONGSTRING; ++item) {
    SCOPED_TRACE("item " + std::to_string(item));
    char* text = nullptr;
    if (zmr_getpkcs7info(session, user.c_str(), item, &text) != 0) continue;
    ++items;
    sweep([&](char** out) { return zmr_getpkcs7info(session, user.c_str(), item, out); }, equals(take(text)), 20);
    if (HasFailure()) break;
  }
  EXPECT_GE(items, 17);
}

TEST_F(CryptoUnderAllocationFailure, Signers) {
  signatures second{const_cast<char*>(merchant.c_str()), nullptr, nullptr};
  signatures first{const_cast<char*>(merchant.c_str()), nullptr, &second};
  char* text = nullptr;
  ASSERT_EQ(zmr_getsigners(session, &first, &text), 0) << zmrtest::recentError();
  sweep([&](char** out) { return zmr_getsigners(session, &first, out); }, equals(take(text)), 50);
}

// The key is loaded by the first call of a session: each run's session has
// none yet, and a key that a failure left damaged must not stay.
TEST_F(CryptoUnderAllocationFailure, AssymetricDecrypt) {
  const std::string dir = zmrtest::makeTempDir("allocfail-crypto-verifier");
  zmr::EvpPkeyPtr key = zmrtest::testKey(2048, 60);
  {
    zmr::BioPtr bio(BIO_new_file((dir + "/key.pem").c_str(), "w"));
    ASSERT_TRUE(bio && PEM_write_bio_PKCS8PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr));
  }
  const std::string plain = "the verifier's plaintext";
  zmrtest::writeFile(dir + "/plain", plain);
  ASSERT_EQ(0, zmrtest::runCommand("openssl pkcs8 -topk8 -in " + dir + "/key.pem -outform DER -out " + dir +
                                       "/key.der -passout pass:central-pw && openssl pkeyutl -encrypt -inkey " + dir +
                                       "/key.pem -pkeyopt rsa_padding_mode:pkcs1 -in " + dir + "/plain -out " + dir +
                                       "/cipher",
                                   nullptr));
  const std::string keyfile = dir + "/key.der", cipher = zmrtest::toBase64(zmrtest::readFile(dir + "/cipher"));
  // The sweep's own session has no key yet when each run starts.
  const int fresh = open();
  auto call = [&](int s) {
    return [&, s](char** out) { return zmr_assymetricdecrypt(s, keyfile.c_str(), "central-pw", cipher.c_str(), out); };
  };
  char* text = nullptr;
  ASSERT_EQ(call(session)(&text), 0) << zmrtest::recentError();
  ASSERT_EQ(zmrtest::fromBase64(take(text)), plain);
  sweep(call(fresh), equals(zmrtest::toBase64(plain)), 200, false);
}

// The process's first decryption of a client message (ctest gives each
// test a process of its own): what a failure stopped from being made once
// per process is made by the next call.
TEST_F(CryptoUnderAllocationFailure, FirstClientMessageOfTheProcess) {
  const std::string plain = "carrier=NC_ZMR20&clientInfo=2.0&traceId=trace-0001";
  std::string basekey;
  const zmrtest::tx::Envelope e =
      zmrtest::tx::clientRequest(m.pki.merchantAuth.key.get(), plain, "initAuth", std::nullopt, "", &basekey);
  char* key = nullptr;
  auto call = [&](char** out) {
    return zmr_decrypttransactiondata(session, e.encKey.c_str(), e.encData.c_str(), e.encAuth.c_str(), "initAuth",
                                      nullptr, out, &key);
  };
  sweep(call,
        [&](const std::string& data) {
          std::string handed = take(std::exchange(key, nullptr));
          if (data != plain) return "'" + data.substr(0, 60) + "'";
          return handed == zmrtest::tx::b64(basekey) ? std::string() : "the base key '" + handed + "'";
        },
        50, false);
  std::ignore = zmr_free(key);
}

// The answer handed out with 0 opens under the request's key and is the
// whole answer the client expects.
TEST_F(CryptoUnderAllocationFailure, InitTransaction) {
  zmrtest::TxClient client(m.pki, "merchant.example,127.0.0.1", zmrtest::devCoiKey(2));
  zmrtest::MerchantItems items;
  items.optional = {{"userID", "kari"}, {"timeout", "120"}};
  const zmrtest::TxRequest r = client.request("initAuth", client.authFields(zmrtest::Carrier::nczmr20, "2.0"));
  auto call = [&](char** out) {
    {
      allocfail::Pause paused;
      std::ignore = zmr_removeinfoitems(session);
      if (items.apply(session) != 0) return -1;
    }
    return zmr_inittransaction(session, r.envelope.encKey.c_str(), r.envelope.encData.c_str(),
                               r.envelope.encAuth.c_str(), r.operation.c_str(),
                               r.extra ? r.extra->c_str() : nullptr, out);
  };
  sweep(call,
        [&](const std::string& answer) {
          zmrtest::TxAnswer a = client.check(r, answer, items);
          return a.ok ? "" : a.why;
        },
        200);
}

}  // namespace
