// Shared by the certificate-status tests: a started library, merchants
// whose properties name a stand-in validation authority, and the calls and
// readers the tests make.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "services/certstatus.h"
#include "services/life.h"
#include "services/services.h"
#include "store/threadstore.h"
#include "support/merchantvariants.h"
#include "support/vastandin.h"

namespace certstatustest {

inline std::string takeError() {
  std::optional<std::string> text;
  zmr::getlasterror(-1, text);
  return text.value_or("");
}

// What one call of the operation gave.
struct Outcome {
  int rc = -1;
  std::string ocsp;
  std::optional<std::string> nonce;
  std::optional<std::string> fullocsp;
  std::string error;  // the recent error after the call
};

inline Outcome call(int session, const std::optional<std::string>& pkcs7) {
  Outcome o;
  o.rc = zmr::getcertstatus(session, pkcs7 ? pkcs7->c_str() : nullptr, o.ocsp, &o.nonce, &o.fullocsp);
  o.error = takeError();
  return o;
}

// The last line of a recent error (with its line feed), "" when none.
inline std::string lastLine(const std::string& error) {
  if (error.empty()) return "";
  size_t from = error.rfind('\n', error.size() - 2);
  return from == std::string::npos ? error : error.substr(from + 1);
}

inline std::string item(int session, const std::string& key) {
  std::string value;
  return zmr::popinfoitem(session, key, value) == 0 ? value : "<absent>";
}

class Library : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0, zmr::initialize(nullptr)); }
  void TearDown() override {
    zmr::removeinfoitems(0);
    zmr::finalize();
  }
  // Opens a session on the set-up's merchant files.
  int open(const zmrtest::VaSetup& setup, const char* pin = nullptr) {
    int s = -1;
    EXPECT_EQ(0, zmr::opensession(s, setup.merchant.keyfile.c_str(), setup.merchant.password.c_str(),
                                  setup.merchant.properties.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, pin,
                                  -1))
        << takeError();
    return s;
  }
};

}  // namespace certstatustest
