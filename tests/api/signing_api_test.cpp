// The exported signing functions: the argument frame, the codes a merchant
// sees, and results checked by real tools.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <zmr/zmr.h>

#include <ctime>
#include <string>

#include "support/apitest.h"
#include "support/merchant.h"
#include "support/merchantvariants.h"
#include "support/verifiers.h"

namespace {

std::string take(char*& text) {
  std::string out = text != nullptr ? text : "";
  if (text != nullptr) {
    EXPECT_EQ(0, zmr_free(text));
  }
  text = nullptr;
  return out;
}

class SigningApi : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0, zmr_initialize()); }
  void TearDown() override {
    if (unreadable != nullptr) munmap(unreadable, 4096);
    EXPECT_EQ(0, zmr_finalize());
  }
  int open(const zmrtest::MerchantFiles& m) {
    int s = -1;
    EXPECT_EQ(0, zmr_opensession(&s, m.keyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr, nullptr,
                                 nullptr, nullptr, nullptr, nullptr))
        << zmrtest::recentError();
    return s;
  }
  // An address the process cannot read.
  void* noaccess() {
    if (unreadable == nullptr) unreadable = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return unreadable;
  }
  void* unreadable = nullptr;
};

TEST_F(SigningApi, ArgumentFrame) {
  zmrtest::MerchantFiles m = zmrtest::makeMerchantFiles("signing-api-frame", 2);
  int s = open(m);
  const unsigned char* data = reinterpret_cast<const unsigned char*>("data");
  const char* text = "text";
  auto* bad = static_cast<const unsigned char*>(noaccess());
  auto* badtext = static_cast<const char*>(noaccess());
  auto** badout = static_cast<char**>(noaccess());
  char* out = nullptr;
  char* out2 = nullptr;
  int days = 0;
  struct Case {
    const char* what;
    int code;
    int rc;
  } cases[] = {
      {"signdata session -1", 33002, zmr_signdata(-1, data, 4, &out)},
      {"signdata null data", 33002, zmr_signdata(s, nullptr, 0, &out)},
      {"signdata unreadable data", 33003, zmr_signdata(s, bad, 4, &out)},
      {"signdata null out", 33002, zmr_signdata(s, data, 4, nullptr)},
      {"signdata unreadable out", 33003, zmr_signdata(s, data, 4, badout)},
      {"signdata not open", 2009, zmr_signdata(s + 1, data, 4, &out)},
      {"signdatap1 session -1", 33002, zmr_signdatap1(-1, data, 4, &out)},
      {"signdatap1 null data", 33002, zmr_signdatap1(s, nullptr, 4, &out)},
      {"signdatap1 unreadable data", 33003, zmr_signdatap1(s, bad, 4, &out)},
      {"signdatap1 null out", 33002, zmr_signdatap1(s, data, 4, nullptr)},
      {"signdatap1 not open", 2009, zmr_signdatap1(s + 1, data, 4, &out)},
      {"signxml session -1", 33002, zmr_signxml(-1, text, 4, text, 4, &out, &out2)},
      {"signxml null xml", 33002, zmr_signxml(s, nullptr, 0, text, 4, &out, &out2)},
      {"signxml unreadable xsl", 33003, zmr_signxml(s, text, 4, badtext, 4, &out, &out2)},
      {"signxml null envelope out", 33002, zmr_signxml(s, text, 4, text, 4, &out, nullptr)},
      {"signxml not open", 2009, zmr_signxml(s + 1, text, 4, text, 4, &out, &out2)},
      {"createxmldsig session -1", 33002, zmr_createxmldsig(-1, text, &out, &days)},
      {"createxmldsig null order", 33002, zmr_createxmldsig(s, nullptr, &out, &days)},
      {"createxmldsig unreadable order", 33003, zmr_createxmldsig(s, badtext, &out, &days)},
      {"createxmldsig null days", 33002, zmr_createxmldsig(s, text, &out, nullptr)},
      {"createxmldsig not open", 2009, zmr_createxmldsig(s + 1, text, &out, &days)},
  };
  for (const Case& c : cases) EXPECT_EQ(c.code, c.rc) << c.what;
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(nullptr, out2);
}

TEST_F(SigningApi, ResultsAreAcceptedByRealTools) {
  zmrtest::MerchantFiles m = zmrtest::makeMerchantFiles("signing-api-tools", 1);
  int s = open(m);
  const std::string data = std::string("amount=100\0EUR", 14);
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  char* out = nullptr;
  char* envelope = nullptr;
  std::string log;

  ASSERT_EQ(0, zmr_signdata(s, bytes, data.size(), &out)) << zmrtest::recentError();
  EXPECT_TRUE(zmrtest::cmsVerifies(take(out), data, {m.pki.root.get()}, &log)) << log;
  ASSERT_EQ(0, zmr_signdata(s, bytes, 0, &out)) << zmrtest::recentError();
  EXPECT_TRUE(zmrtest::cmsVerifies(take(out), "", {m.pki.root.get()}, &log)) << log;

  ASSERT_EQ(0, zmr_signdatap1(s, bytes, data.size(), &out)) << zmrtest::recentError();
  EXPECT_TRUE(zmrtest::pkeyutlVerifies(take(out), data, m.pki.merchantSign.get(), "sha256", &log)) << log;

  ASSERT_EQ(0, zmr_signxml(s, "<a/>", 4, "<b/>", 4, &out, &envelope)) << zmrtest::recentError();
  std::string text = zmrtest::fromBase64(take(envelope));
  EXPECT_EQ("<ZelmorXML><ZMRXML><a/></ZMRXML><ZMRXSL><b/></ZMRXSL></ZelmorXML>", text);
  EXPECT_TRUE(zmrtest::cmsVerifies(take(out), text, {m.pki.root.get()}, &log)) << log;

  int days = -1;
  int before = 0, seconds = 0;
  ASN1_TIME_diff(&before, &seconds, nullptr, X509_get0_notAfter(m.pki.merchantSign.get()));
  ASSERT_EQ(0, zmr_createxmldsig(s, "<order><sum>100</sum></order>", &out, &days)) << zmrtest::recentError();
  EXPECT_TRUE(days == before || days == before - 1) << days;
  EXPECT_TRUE(zmrtest::xmlsecVerifies(take(out), {m.pki.root.get()}, {m.pki.ca.get()}, &log)) << log;
}

TEST_F(SigningApi, XmlDsigNeedsTheSignOnlyPolicy) {
  zmrtest::CertSpec sign = zmrtest::merchantSignSpec();
  sign.policies = {zmrtest::kPolicyMerchantAuth};
  zmrtest::MerchantFiles m = zmrtest::writeMerchantFiles(
      "signing-api-policy", zmrtest::makeMerchantPki(2, zmrtest::merchantAuthSpec(), sign));
  int s = open(m);
  char* out = nullptr;
  int days = 77;
  EXPECT_EQ(30001, zmr_createxmldsig(s, "<order></order>", &out, &days));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(0, days);
  EXPECT_EQ("createxmldsig_createxmldsig: To create XMLDSIG signatures an RA Signing certificate must be aquired\n",
            zmrtest::recentError());
  // Signing as such is not bound to the policy.
  EXPECT_EQ(0, zmr_signdata(s, reinterpret_cast<const unsigned char*>("x"), 1, &out)) << zmrtest::recentError();
  take(out);
}

}  // namespace
