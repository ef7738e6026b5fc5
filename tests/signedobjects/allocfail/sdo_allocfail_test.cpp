// The exported SDO functions under allocation failure: each call fails and
// hands out nothing, or hands out a whole result (an SDO that writes the
// same XML and validates, the same signer text, the same signatures); a
// failed change leaves the SDO writing what it wrote before, or, for the
// seal and the added signatures, an SDO that still writes. The sanitizer
// tree checks that nothing leaks on any path.
#include <gtest/gtest.h>
#include <zmr/zmr.h>

#include <cstring>
#include <string>
#include <utility>

#include "allocfail/failingalloc.h"
#include "support/apitest.h"
#include "support/merchant.h"
#include "support/sdosigning.h"
#include "support/sdotrees.h"
#include "support/verifiers.h"

namespace {

using allocfail::kCxx;
using allocfail::kMalloc;
using allocfail::kOpenssl;

bool failed() { return ::testing::Test::HasFailure(); }

class SdoUnderAllocationFailure : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(zmr_initialize(), 0);
    m = zmrtest::makeMerchantFiles("allocfail-sdo", 2);
    ASSERT_EQ(zmr_opensession(&s, m.keyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr, nullptr,
                              nullptr, nullptr, nullptr, nullptr),
              0)
        << zmrtest::recentError();
    data = zmrtest::toBase64(kDocument);
    userPkcs7 = zmrtest::sdoSignature(m.pki.endUser, kDocument);
    userOcsp = zmrtest::goodOcsp(m.pki, m.pki.endUser.get());
    merchantOcsp = zmrtest::goodOcsp(m.pki, m.pki.merchantSign.get());
    char* out = nullptr;
    ASSERT_EQ(0, zmr_signdata(s, reinterpret_cast<const unsigned char*>(kDocument), std::strlen(kDocument), &out));
    merchantPkcs7 = zmrtest::take(out);
  }
  void TearDown() override { std::ignore = zmr_finalize(); }

  std::string xmlOf(seidsdo** h) {
    char* xml = nullptr;
    int rc = zmr_sdotoxmlex(s, h, &xml);
    std::string text = zmrtest::take(xml);
    return rc == 0 ? text : "code " + std::to_string(rc);
  }
  seidsdo** dynamic() {
    zmrtest::SignatureList list;
    list.add(userPkcs7, userOcsp);
    seidsdo** h = nullptr;
    EXPECT_EQ(0, zmr_createdynamicsdo(s, &h, data.c_str(), "text/plain", "Contract", list.link()));
    return h;
  }

  static constexpr const char* kDocument = "A contract signed under allocation failure.";
  zmrtest::MerchantFiles m;
  int s = -1;
  std::string data, userPkcs7, userOcsp, merchantOcsp, merchantPkcs7;
};

TEST_F(SdoUnderAllocationFailure, ClassicSdo) {
  seidsdo** h = nullptr;
  auto create = [&] {
    return zmr_createsdo(s, &h, data.c_str(), "text/plain", "Bl\xE6 & <b>", userPkcs7.c_str(), merchantPkcs7.c_str(),
                         userOcsp.c_str(), merchantOcsp.c_str());
  };
  ASSERT_EQ(0, create()) << zmrtest::recentError();
  const std::string xml = xmlOf(h);
  ASSERT_EQ(0, zmr_sdofree(s, h));
  // A classic SDO's seal is new each time: judged by validation.
  uint64_t runs = allocfail::sweep(kCxx, create, [&](int rc, uint64_t n, bool) {
    if (rc == 0) {
      EXPECT_NE(h, nullptr);
      EXPECT_EQ(0, zmr_sdovalidate(s, h, 0)) << "allocation " << n;
      EXPECT_EQ(0, zmr_sdofree(s, h));
    } else {
      EXPECT_EQ(h, nullptr) << "allocation " << n;
    }
    return !failed();
  });
  EXPECT_GT(runs, 100u);
}

TEST_F(SdoUnderAllocationFailure, DynamicSdo) {
  zmrtest::SignatureList list;
  list.add(userPkcs7, userOcsp);
  seidsdo** d = nullptr;
  ASSERT_EQ(0, zmr_createdynamicsdo(s, &d, data.c_str(), "text/plain", "Contract", list.link()));
  const std::string dynamicxml = xmlOf(d);
  ASSERT_EQ(0, zmr_sdofree(s, d));
  signatures* head = list.link();
  allocfail::sweep(
      kCxx | kOpenssl, [&] { return zmr_createdynamicsdo(s, &d, data.c_str(), "text/plain", "Contract", head); },
      [&](int rc, uint64_t n, bool) {
        if (rc == 0) {
          EXPECT_EQ(xmlOf(d), dynamicxml) << "allocation " << n;
          EXPECT_EQ(0, zmr_sdofree(s, d));
        } else {
          EXPECT_EQ(d, nullptr) << "allocation " << n;
        }
        return !failed();
      });
}

TEST_F(SdoUnderAllocationFailure, ReadWriteListAndTakeApart) {
  seidsdo** h = nullptr;
  ASSERT_EQ(0, zmr_createsdo(s, &h, data.c_str(), "text/plain", "Bl\xE6 & <b>", userPkcs7.c_str(),
                             merchantPkcs7.c_str(), userOcsp.c_str(), merchantOcsp.c_str()));
  const std::string xml = xmlOf(h);
  ASSERT_EQ(0, zmr_sdofree(s, h));
  allocfail::sweep(kCxx | kOpenssl, [&] { return zmr_xmltosdoex(s, xml.c_str(), &h); }, [&](int rc, uint64_t n, bool) {
    if (rc == 0) {
      EXPECT_EQ(xmlOf(h), xml) << "allocation " << n;
      EXPECT_EQ(0, zmr_sdofree(s, h));
    } else {
      EXPECT_EQ(h, nullptr) << "allocation " << n;
    }
    return !failed();
  });

  ASSERT_EQ(0, zmr_xmltosdoex(s, xml.c_str(), &h));
  char* out = nullptr;
  // The text is written straight into the caller's malloc'ed copy.
  constexpr unsigned kAny = kCxx | kOpenssl | kMalloc;
  allocfail::sweep(kAny, [&] { return zmr_sdotoxmlex(s, h, &out); }, [&](int rc, uint64_t n, bool) {
    std::string got = zmrtest::take(std::exchange(out, nullptr));
    EXPECT_EQ(got, rc == 0 ? xml : "") << "allocation " << n;
    return !failed();
  });
  ASSERT_EQ(0, zmr_dynamicsdogetsigners(s, h, &out));
  const std::string signers = zmrtest::take(out);
  auto judgeSigners = [&](int rc, uint64_t n, bool) {
    std::string got = zmrtest::take(std::exchange(out, nullptr));
    EXPECT_EQ(got, rc == 0 ? signers : "") << "allocation " << n;
    return !failed();
  };
  allocfail::sweep(kCxx | kOpenssl, [&] { return zmr_dynamicsdogetsigners(s, h, &out); }, judgeSigners);
  allocfail::sweep(kCxx, [&] { return zmr_dynamicsdoxmlgetsigners(s, xml.c_str(), &out); },
                   judgeSigners);

  // Adding the document: the old one stays on failure.
  const std::string other = zmrtest::toBase64("another document");
  allocfail::sweep(kCxx | kOpenssl, [&] { return zmr_sdoadddata(s, h, other.c_str()); },
                   [&](int rc, uint64_t n, bool) {
                     const std::string now = xmlOf(h);
                     if (rc != 0) {
                       EXPECT_EQ(now, xml) << "allocation " << n;
                     } else {
                       EXPECT_NE(now.find("<SignersDocument>" + other + "<"), std::string::npos) << "allocation " << n;
                       EXPECT_EQ(0, zmr_sdofree(s, h));
                       EXPECT_EQ(0, zmr_xmltosdoex(s, xml.c_str(), &h));
                     }
                     return !failed();
                   });
  // Freeing allocates nothing that can fail it.
  EXPECT_EQ(0, zmr_sdofree(s, h));

  char *document = nullptr, *mimetype = nullptr, *description = nullptr;
  signatures* pairs = nullptr;
  allocfail::sweep(
      kCxx | kOpenssl,
      [&] { return zmr_sdoxmlextractsignatures(s, xml.c_str(), &document, &mimetype, &description, &pairs); },
      [&](int rc, uint64_t n, bool) {
        if (rc == 0) {
          EXPECT_EQ(zmrtest::take(std::exchange(document, nullptr)), "") << "allocation " << n;
          EXPECT_EQ(zmrtest::take(std::exchange(mimetype, nullptr)), "text/plain") << "allocation " << n;
          EXPECT_EQ(zmrtest::take(std::exchange(description, nullptr)), "Bl\xE6 & <b>") << "allocation " << n;
          EXPECT_TRUE(pairs != nullptr && pairs->next != nullptr && pairs->next->next == nullptr &&
                      pairs->pkcs7 == userPkcs7 && pairs->next->ocsp == merchantOcsp)
              << "allocation " << n;
          EXPECT_EQ(0, zmr_signaturesfree(s, std::exchange(pairs, nullptr)));
        } else {
          EXPECT_TRUE(document == nullptr && mimetype == nullptr && description == nullptr && pairs == nullptr)
              << "allocation " << n;
        }
        return !failed();
      });
}

TEST_F(SdoUnderAllocationFailure, SealingAndAddingSignatures) {
  seidsdo** h = dynamic();
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(0, zmr_sdoadddata(s, h, data.c_str()));
  const std::string unsealed = xmlOf(h);

  // A failed seal leaves the SDO as it was, or sealed anew when only the
  // closing validation failed; a seal made with 0 validates.
  uint64_t runs = allocfail::sweep(kCxx, [&] { return zmr_sdoseal(s, h, merchantOcsp.c_str(), nullptr); },
                                   [&](int rc, uint64_t n, bool) {
                                     const std::string now = xmlOf(h);
                                     if (rc == 0) {
                                       EXPECT_EQ(0, zmr_dynamicsdovalidate(s, h, nullptr, 1, 0)) << "allocation " << n;
                                     } else if (now != unsealed) {
                                       EXPECT_NE(now.find("<SDOSeal>"), std::string::npos) << "allocation " << n;
                                     }
                                     EXPECT_EQ(now.find("code "), std::string::npos) << "allocation " << n;
                                     EXPECT_EQ(0, zmr_sdofree(s, h));
                                     h = dynamic();
                                     EXPECT_EQ(0, zmr_sdoadddata(s, h, data.c_str()));
                                     return !failed();
                                   });
  EXPECT_GT(runs, 50u);

  const std::string second = zmrtest::sdoSignature(m.pki.merchantSign, kDocument);
  zmrtest::SignatureList more;
  more.add(second, merchantOcsp);
  signatures* head = more.link();
  runs = allocfail::sweep(kCxx, [&] { return zmr_sdoaddsignature(s, h, head, nullptr); },
                          [&](int rc, uint64_t n, bool) {
                            const std::string now = xmlOf(h);
                            if (rc == 0) {
                              EXPECT_EQ(0, zmr_dynamicsdovalidate(s, h, nullptr, 2, 1)) << "allocation " << n;
                            } else if (now != unsealed) {
                              EXPECT_NE(now.find(second), std::string::npos) << "allocation " << n;
                            }
                            EXPECT_EQ(now.find("code "), std::string::npos) << "allocation " << n;
                            EXPECT_EQ(0, zmr_sdofree(s, h));
                            h = dynamic();
                            EXPECT_EQ(0, zmr_sdoadddata(s, h, data.c_str()));
                            return !failed();
                          });
  // Each signature is decoded once per check, so adding one allocates less
  // than sealing does; the floor only proves the sweep went the whole way.
  EXPECT_GT(runs, 40u);

  EXPECT_EQ(0, zmr_sdofree(s, h));
}

TEST_F(SdoUnderAllocationFailure, Validating) {
  seidsdo** h = dynamic();
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(0, zmr_sdoadddata(s, h, data.c_str()));
  ASSERT_EQ(0, zmr_sdoseal(s, h, merchantOcsp.c_str(), nullptr));
  const std::string sealed = xmlOf(h);
  auto validating = [&](int rc, uint64_t n, bool) {
    EXPECT_TRUE(rc == 0 || rc == 33001 || rc >= 5000) << "allocation " << n << ": " << rc;
    EXPECT_EQ(xmlOf(h), sealed) << "allocation " << n;
    return !failed();
  };
  allocfail::sweep(kCxx, [&] { return zmr_dynamicsdovalidate(s, h, data.c_str(), 1, 0); }, validating);
  allocfail::sweep(kCxx, [&] { return zmr_sdovalidate(s, h, 0); }, validating);
  allocfail::sweep(kCxx, [&] { return zmr_sdoxmlvalidate(s, sealed.c_str(), 0); }, validating);
  allocfail::sweep(kCxx, [&] { return zmr_simpledynamicsdoxmlvalidate(s, sealed.c_str(), 1); }, validating);
  // After every failure the SDO still validates.
  EXPECT_EQ(0, zmr_sdovalidate(s, h, 0));
  EXPECT_EQ(0, zmr_sdofree(s, h));
}

}  // namespace
