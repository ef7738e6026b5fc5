// What the validation authority answers and how the library judges it.
#include "certstatustest.h"

using namespace certstatustest;

namespace {

class Answers : public Library {};

TEST_F(Answers, GoodAnswerOverPlainHttp) {
  zmrtest::TestPki pki = zmrtest::makePki(2);
  zmrtest::VaSetup setup = zmrtest::makeVaSetup("cs-good", pki, false);
  int s = open(setup);
  ASSERT_EQ(0, zmr::setinfoitem(s, "operation", "verifyAuth"));
  Outcome o = call(s, zmrtest::endUserPkcs7(pki));
  EXPECT_EQ(0, o.rc) << o.error;
  EXPECT_FALSE(o.ocsp.empty());
  ASSERT_EQ(1u, setup.va->requests().size());
  zmrtest::VaRequest r = setup.va->requests()[0];
  EXPECT_TRUE(r.decoded) << r.why;
  EXPECT_TRUE(r.signatureValid);
}

}  // namespace
