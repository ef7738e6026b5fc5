// Filling the pairs of a verification answer from the calling thread's
// info items.
#include <gtest/gtest.h>

#include "services/inittransaction/inittransactionops.h"
#include "store/sessionstore.h"
#include "store/threadstore.h"
#include "support/recenterror.h"
#include "support/storesession.h"

namespace zmr {
namespace {

TEST(ValuesFromInfoItems, SetItemsAreAddedUnsetOnesOnlyWhenOptional) {
  zmrtest::StoreSession open;
  const int session = open.number;
  ASSERT_EQ(0, removeallinfoitems(session));
  ASSERT_EQ(0, pushinfoitem(session, "Status", "OK"));
  ASSERT_EQ(0, pushinfoitem(session, "status", "second"));
  values v;
  EXPECT_EQ(0, values_add_infoitem(v, session, "STATUS", 1));
  EXPECT_EQ(0, values_add_infoitem(v, session, "nextURL", 0));
  ASSERT_EQ(1u, v.pairs.size());
  EXPECT_EQ("STATUS", v.pairs[0].first);  // the name asked for, the first item's value
  EXPECT_EQ("OK", v.pairs[0].second);
  EXPECT_EQ("", zmrtest::takeRecentError());
  EXPECT_EQ(39001, values_add_infoitem(v, session, "nextURL", 1));
  EXPECT_EQ("inittransaction_values_add_infoitem: A mandatory infoitem is not set\n", zmrtest::takeRecentError());
  EXPECT_EQ(1u, v.pairs.size());
  EXPECT_EQ(2009, values_add_infoitem(v, session + 1, "status", 0));
  EXPECT_EQ(
      "inittransaction_values_add_infoitem: An error occured retrieving an infoitem from merchant's session store.\n",
      zmrtest::takeRecentError());
  freeSessions();
}

}  // namespace
}  // namespace zmr
