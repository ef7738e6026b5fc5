// SDO validation under allocation failure: a forged SDO is refused under
// every failure, and a genuine one passes whenever nothing failed. Each
// sweep fails every allocation of one validation in turn.
#include <gtest/gtest.h>

#include <new>

#include "allocfail/failingalloc.h"
#include "store/setup.h"
#include "signedobjects/seid/seidsdo.h"
#include "store/sessionstore.h"
#include "support/fixtures.h"
#include "support/sdotrees.h"
#include "support/storesession.h"
#include "support/tempdir.h"
#include "support/verifiers.h"

namespace {

using allocfail::kCxx;
using allocfail::kOpenssl;

TEST(SdoValidationUnderAllocationFailure, ForgedNeverPasses) {
  ASSERT_EQ(zmr::initstructures(), 0);
  zmrtest::TestPki pki = zmrtest::makePki(2);
  std::string dir = zmrtest::makeTempDir("allocfail-sdovalidate");
  ASSERT_TRUE(zmrtest::writeTrustStore(dir, pki.caCerts()));
  zmrtest::StoreSession session;
  X509_STORE* store = X509_STORE_new();
  ASSERT_EQ(X509_STORE_load_locations(store, nullptr, dir.c_str()), 1);
  session.state().truststore.reset(store);

  // One element, unsealed, validated in mode 1 with a seal forbidden: one
  // signature, one kept answer.
  const std::string document = "pay 100 to account 1234.56.78903";
  auto genuine = zmrtest::sdoTree({zmrtest::signedElementTexts(zmrtest::pkcs7For(pki.endUser, document),
                                                               zmrtest::goodOcsp(pki, pki.endUser.get()))});
  // An answer signed by another key under the responder's name: refused
  // only at the last step, so that the sweep covers the whole check.
  zmrtest::TestCert impostor = pki.responder;
  impostor.key = zmrtest::testKey(2048, 68);
  zmrtest::OcspSpec answer = zmrtest::ocspFor(pki.responder, pki.endUser.get(), pki.ca.get());
  answer.signer = &impostor;
  auto forged = zmrtest::sdoTree({zmrtest::signedElementTexts(zmrtest::pkcs7For(pki.endUser, document),
                                                              zmrtest::toBase64(zmrtest::makeOcspBasicDer(answer)))});
  const std::string data = zmrtest::toBase64(document);
  auto validate = [&](const zmr::seidsdocell& tree) {
    try {
      return zmr::seidsdovalidate(session.number, &tree, 0, data, 1, 1, 1);
    } catch (const std::bad_alloc&) {
      return 33001;
    }
  };
  ASSERT_EQ(validate(*genuine), 0);
  ASSERT_EQ(validate(*forged), 13023);

  uint64_t runs = allocfail::sweep(
      kCxx | kOpenssl, [&] { return validate(*forged); },
      [&](int rc, uint64_t n, bool) {
        EXPECT_NE(rc, 0) << "allocation " << n << " failed";
        return !::testing::Test::HasFailure();
      });
  EXPECT_GT(runs, 100u) << "the sweep stopped early";
  // C++ allocations alone here: the OpenSSL ones are those of the forged
  // sweep, which reaches the same steps.
  runs = allocfail::sweep(
      kCxx, [&] { return validate(*genuine); },
      [&](int rc, uint64_t n, bool injected) {
        if (!injected) {
          EXPECT_EQ(rc, 0) << "allocation " << n;
        }
        return !::testing::Test::HasFailure();
      });
  // The digests make no C++ allocation of their own now: some 17 runs.
  EXPECT_GT(runs, 10u) << "the sweep stopped early";
}

}  // namespace
