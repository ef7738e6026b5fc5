// The OCSP request signed in the HSM, under allocation failure: a request
// handed out verifies with the merchant's certificate, and a DigestInfo
// that cannot be made (4012) is reported under the request signer's name.
#include <gtest/gtest.h>
#include <openssl/ocsp.h>
#include <zmr/zmr.h>

#include <memory>
#include <new>
#include <optional>
#include <string>

#include "allocfail/failingalloc.h"
#include "misc/ossl.h"
#include "services/certstatus/certstatusops.h"
#include "store/threadstore.h"
#include "support/apitest.h"
#include "support/keyfiles.h"
#include "support/merchant.h"
#include "support/softhsm.h"
#include "support/storesession.h"

namespace {

std::string takeerror() {
  std::optional<std::string> text;
  zmr::getlasterror(-1, text);
  return text.value_or("");
}

bool requestverifies(const std::string& der, X509* signer) {
  const auto* p = reinterpret_cast<const unsigned char*>(der.data());
  std::unique_ptr<OCSP_REQUEST, decltype(&OCSP_REQUEST_free)> request(
      d2i_OCSP_REQUEST(nullptr, &p, static_cast<long>(der.size())), OCSP_REQUEST_free);
  std::unique_ptr<X509_STORE, decltype(&X509_STORE_free)> store(X509_STORE_new(), X509_STORE_free);
  std::unique_ptr<STACK_OF(X509), void (*)(STACK_OF(X509)*)>
      certs(sk_X509_new_null(), [](STACK_OF(X509)* s) { sk_X509_free(s); });
  if (!request || !store || !certs || sk_X509_push(certs.get(), signer) <= 0) return false;
  // The signature alone: the merchant's chain is not what is judged here.
  return OCSP_request_verify(request.get(), certs.get(), store.get(), OCSP_NOVERIFY | OCSP_NOINTERN) == 1;
}

TEST(OcspRequestSigningUnderAllocationFailure, HsmDigestInfoFailureNamesTheRequestSigner) {
  zmrtest::SoftHsm hsm;
  ASSERT_TRUE(zmrtest::makeSoftHsm("allocfail-ocsp-hsm", hsm));
  ASSERT_TRUE(zmrtest::initToken(hsm, "merchant", "1234")) << hsm.log;
  zmrtest::TestPki pki = zmrtest::makePki(2);
  ASSERT_TRUE(zmrtest::importKey(hsm, "merchant", "1234", pki.merchantSign.key.get(), "sign", "10")) << hsm.log;
  ASSERT_TRUE(zmrtest::importKey(hsm, "merchant", "1234", pki.merchantAuth.key.get(), "auth", "11")) << hsm.log;
  zmrtest::MerchantFiles m = zmrtest::writeMerchantFiles("allocfail-ocsp-hsm", pki, [&](zmrtest::KeyFileSpec& spec) {
    spec.safes = zmrtest::hsmKeyFile(pki, "merchant-secret", "auth", "sign").safes;
  });
  // SoftHSM2 exits when its own allocation fails.
  allocfail::spare("libsofthsm2");
  ASSERT_EQ(zmr_hsminitialize(zmrtest::kSoftHsmModule), 0);
  int session = -1;
  ASSERT_EQ(zmr_hsmopensession(&session, m.keyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr,
                               nullptr, nullptr, nullptr, nullptr, nullptr, "1234", -1),
            0)
      << zmrtest::recentError();
  zmr::SessionRef s = zmrtest::sessionState(session);

  std::unique_ptr<OCSP_REQUEST, decltype(&OCSP_REQUEST_free)> request(nullptr, OCSP_REQUEST_free);
  auto makerequest = [&] {
    request.reset(OCSP_REQUEST_new());
    OCSP_CERTID* id = OCSP_cert_to_id(nullptr, pki.endUser.get(), pki.ca.get());
    ASSERT_TRUE(request && id && OCSP_request_add0_id(request.get(), id));
  };
  std::string signedder;
  makerequest();
  ASSERT_EQ(zmr::signocsprequest(*s, request.get(), signedder), 0) << takeerror();
  ASSERT_TRUE(requestverifies(signedder, pki.merchantSign.get()));

  int digestfailures = 0;
  uint64_t runs = allocfail::sweep(
      allocfail::kCxx | allocfail::kOpenssl,
      [&] {
        {
          allocfail::Pause pause;
          makerequest();
        }
        // As the exported functions' frame does.
        try {
          return zmr::signocsprequest(*s, request.get(), signedder);
        } catch (const std::bad_alloc&) {
          signedder.clear();
          return 33001;
        }
      },
      [&](int rc, uint64_t n, bool) {
        const std::string error = takeerror();
        if (rc == 0) {
          EXPECT_TRUE(requestverifies(signedder, pki.merchantSign.get())) << "0 with allocation " << n << " failed";
        } else {
          EXPECT_EQ(signedder, "") << "allocation " << n;
        }
        if (rc == 4012) {
          ++digestfailures;
          EXPECT_TRUE(error.ends_with(
              "getcertstatus_signocsprequest: An error occured signing the data with HSM private keys\n"))
              << "allocation " << n << ":\n"
              << error;
        }
        return !::testing::Test::HasFailure();
      });
  EXPECT_GT(runs, 20u) << "the sweep stopped early";
  EXPECT_GT(digestfailures, 0) << "no allocation failure reached the DigestInfo";
  s.reset();
  allocfail::spare(nullptr);
  EXPECT_EQ(zmr_closesession(session), 0);
  std::ignore = zmr_finalize();
}

}  // namespace
