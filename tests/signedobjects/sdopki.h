// The test PKI of the validation tests, with the certificates that forged
// and odd answers need, and a session that trusts its root and issuing CA.
#pragma once

#include <openssl/x509_vfy.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "store/sessionstore.h"
#include "support/pki.h"
#include "support/storesession.h"
#include "support/tempdir.h"

namespace sdotest {

using zmrtest::CertSpec;
using zmrtest::TestCert;

struct SdoPki {
  zmrtest::TestPki pki = zmrtest::makePki(2);
  // Another CA name under the same root.
  TestCert otherCa = zmrtest::makeCert(withKey(zmrtest::issuingCaSpec("Zelmor Other CA"), 64), &pki.root);
  TestCert noPolicy = responderWith([](CertSpec& s) { s.policies = {zmrtest::kPolicyPersonal}; }, 65);
  TestCert foreignRoot = zmrtest::makeCert(withKey(zmrtest::rootSpec("Zelmor Root CA"), 66));
  TestCert foreign = zmrtest::makeCert(withKey(zmrtest::responderSpec(), 67), &foreignRoot);
  // The genuine responder's certificate with another key beside it.
  TestCert impostor = withOtherKey(pki.responder, 68);
  // Siblings whose 16-byte serials agree in every low byte.
  TestCert longA = endUserWith([](CertSpec& s) { s.serial = "0x01000000000000000000000000000005"; });
  TestCert longB = endUserWith([](CertSpec& s) { s.serial = "0x02000000000000000000000000000005"; });

  static CertSpec withKey(CertSpec spec, int index) {
    spec.keyIndex = index;
    return spec;
  }
  static TestCert withOtherKey(const TestCert& genuine, int index) {
    TestCert out = genuine;
    out.key = zmrtest::testKey(2048, index);
    return out;
  }
  TestCert responderWith(const std::function<void(CertSpec&)>& edit, int index) const {
    CertSpec s = withKey(zmrtest::responderSpec(), index);
    edit(s);
    return zmrtest::makeCert(s, &pki.ca);
  }
  TestCert endUserWith(const std::function<void(CertSpec&)>& edit) const {
    CertSpec s = withKey(zmrtest::endUserSpec(), 63);
    edit(s);
    return zmrtest::makeCert(s, &pki.ca);
  }
};

// A published session whose trust store holds the PKI's root and issuing
// CA; -1 when the store cannot be made. Close it with zmr::freesession.
inline int trustingSession(const zmrtest::TestPki& pki, const std::string& tag) {
  std::string dir = zmrtest::makeTempDir(tag);
  if (!zmrtest::writeTrustStore(dir, pki.caCerts())) return -1;
  X509_STORE* store = X509_STORE_new();
  if (store == nullptr || X509_STORE_load_locations(store, nullptr, dir.c_str()) != 1) {
    X509_STORE_free(store);
    return -1;
  }
  int session = zmrtest::openStoreSession();
  zmrtest::sessionState(session)->truststore.reset(store);
  return session;
}

// A suite's world (a PKI with its trusting session), made once in
// SetUpTestSuite and released in TearDownTestSuite.
template <typename World>
void openWorld(World*& world, const std::string& tag) {
  ASSERT_EQ(0, zmr::initstructures());
  world = new World();
  world->session = trustingSession(world->pki, tag);
  ASSERT_GE(world->session, 0);
}

template <typename World>
void closeWorld(World*& world) {
  zmr::freesession(world->session);
  delete world;
  world = nullptr;
}

}  // namespace sdotest
