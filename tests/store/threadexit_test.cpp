// Runs the hosts of tests/store (threadexit_host.c, plain C, and firsttouch_oom.cpp)
// on a merchant set-up made for them; each reports its own findings.
#include <gtest/gtest.h>

#include <string>

#include "support/merchant.h"
#include "support/tempdir.h"

namespace {

std::string shellword(const std::string& s) { return "'" + s + "'"; }

class CHost : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { merchant = new zmrtest::MerchantFiles(zmrtest::makeMerchantFiles("threadexit")); }
  static void TearDownTestSuite() {
    delete merchant;
    merchant = nullptr;
  }
  // Exit status of the host; its output (both streams) in *out.
  static int run(const std::string& host, const std::string& mode, std::string* out) {
    std::string args = shellword(merchant->keyfile) + " " + shellword(merchant->password) + " " + shellword(merchant->properties);
    return zmrtest::runCommand(shellword(host) + (mode.empty() ? "" : " " + mode) + " " + args + " 2>&1", out);
  }
  static zmrtest::MerchantFiles* merchant;
};
zmrtest::MerchantFiles* CHost::merchant = nullptr;

TEST_F(CHost, KeyDestructorsSeeTheThreadsDataUntilItEnds) {
  std::string out;
  EXPECT_EQ(run(ZMR_THREADEXIT_HOST, "destructors", &out), 0) << out;
}

TEST_F(CHost, AtexitHandlerSeesTheMainThreadsDataAndShutsDown) {
  std::string out;
  EXPECT_EQ(run(ZMR_THREADEXIT_HOST, "atexit", &out), 0) << out;
}

TEST_F(CHost, LeavingWithASessionOpenAndNoShutdownIsClean) {
  std::string out;
  EXPECT_EQ(run(ZMR_THREADEXIT_HOST, "leaveopen", &out), 0) << out;
  EXPECT_EQ(out, "");
}

TEST_F(CHost, FailedAllocationsOnAThreadsFirstCallGiveOutOfMemory) {
  std::string out;
  EXPECT_EQ(run(ZMR_FIRSTTOUCH_OOM, "", &out), 0) << out;
}

}  // namespace
