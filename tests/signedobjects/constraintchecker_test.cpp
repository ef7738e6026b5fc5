// The completeness check: which gap is reported, and in which order.
#include <gtest/gtest.h>

#include <functional>

#include "signedobjects/seid/seidsdo.h"
#include "support/sdotrees.h"

namespace zmr {
namespace {

using zmrtest::sdoTree;
using zmrtest::shortTexts;

int check(const seidsdocell* tree) { return seidsdonullandconstraintchecker(0, tree); }

// One gap of an element, at its offset from the base code.
struct ElementGap {
  const char* name;
  int offset;
  std::function<void(cmssignatureelement&)> make;
};

const std::vector<ElementGap>& elementGaps() {
  static const std::vector<ElementGap> gaps = {
      {"hasheddata", 0, [](auto& e) { e.hasheddata.reset(); }},
      {"digestmethod", 1, [](auto& e) { e.hasheddata->digestmethod.reset(); }},
      {"digestvalue", 2, [](auto& e) { e.hasheddata->digestvalue.reset(); }},
      {"signaturepolicyidentifier", 3, [](auto& e) { e.signaturepolicyidentifier.reset(); }},
      {"signaturepolicyid", 4, [](auto& e) { e.signaturepolicyidentifier->signaturepolicyid.reset(); }},
      {"sigpolicyid", 5, [](auto& e) { e.signaturepolicyidentifier->signaturepolicyid->sigpolicyid.reset(); }},
      {"identifier", 6,
       [](auto& e) { e.signaturepolicyidentifier->signaturepolicyid->sigpolicyid->identifier.reset(); }},
      {"signersdocumentformat", 7, [](auto& e) { e.signersdocumentformat.reset(); }},
      {"mimetype", 8, [](auto& e) { e.signersdocumentformat->mimetype.reset(); }},
      {"usercertificateandrevocationdata", 9, [](auto& e) { e.usercertificateandrevocationdata.reset(); }},
      {"revocationvalues", 10, [](auto& e) { e.usercertificateandrevocationdata->revocationvalues.reset(); }},
      {"ocspvalues", 11,
       [](auto& e) { e.usercertificateandrevocationdata->revocationvalues->ocspvalues.reset(); }},
      {"encapsulatedocspvalue", 12,
       [](auto& e) {
         e.usercertificateandrevocationdata->revocationvalues->ocspvalues->encapsulatedocspvalue.reset();
       }},
      {"cmssignature", 13, [](auto& e) { e.cmssignature.reset(); }},
      {"sdoprofile", 14, [](auto& e) { e.sdoprofile.reset(); }},
  };
  return gaps;
}

TEST(SdoConstraintChecker, SdoLevelGapsInOrder) {
  struct Case {
    const char* name;
    std::function<void(seidsdocell&)> make;
    int code;
  };
  const Case cases[] = {
      {"complete, no seal, no metadata, no signed object", [](seidsdocell&) {}, 0},
      {"empty cell", [](seidsdocell& c) { c.first.reset(); }, 18003},
      {"two complete SDOs", [](seidsdocell& c) { c.first->next = std::move(sdoTree({shortTexts()})->first); }, 18004},
      {"neither data part nor version (data part first)",
       [](seidsdocell& c) {
         c.first->datapart.reset();
         c.first->version.reset();
       },
       18005},
      {"no version", [](seidsdocell& c) { c.first->version.reset(); }, 18007},
      {"empty version", [](seidsdocell& c) { c.first->version = ""; }, 0},
      {"data part without nodes", [](seidsdocell& c) { c.first->datapart->first.reset(); }, 18008},
      {"second node without element", [](seidsdocell& c) { c.first->datapart->first->next->element.reset(); },
       18010},
      {"seal without SDOSignature",
       [](seidsdocell& c) {
         c.first->seal = std::make_unique<seidsdoseal>();
       },
       18026},
      {"SDOSignature without element",
       [](seidsdocell& c) {
         c.first->seal = std::make_unique<seidsdoseal>();
         c.first->seal->sdosignature = std::make_unique<sdosignature>();
       },
       18027},
  };
  EXPECT_EQ(check(nullptr), 18002);
  for (const Case& c : cases) {
    auto tree = sdoTree({shortTexts(), shortTexts()});
    c.make(*tree);
    EXPECT_EQ(check(tree.get()), c.code) << c.name;
  }
}

TEST(SdoConstraintChecker, EveryElementGapInTheDataPartAndTheSeal) {
  for (const ElementGap& gap : elementGaps()) {
    SCOPED_TRACE(gap.name);
    auto first = sdoTree({shortTexts(), shortTexts()}, shortTexts());
    gap.make(*first->first->datapart->first->element);
    EXPECT_EQ(check(first.get()), 18011 + gap.offset);

    // The first element passed every test before the second one failed.
    auto second = sdoTree({shortTexts(), shortTexts()}, shortTexts());
    gap.make(*second->first->datapart->first->next->element);
    EXPECT_EQ(check(second.get()), 18011 + gap.offset);

    auto seal = sdoTree({shortTexts(), shortTexts()}, shortTexts());
    gap.make(*seal->first->seal->sdosignature->element);
    EXPECT_EQ(check(seal.get()), 18028 + gap.offset);
  }
}

TEST(SdoConstraintChecker, EmptyTextsArePresentAbsentOnesAreNot) {
  zmrtest::SdoElementTexts empty{"", "", "", "", "", "", ""};
  EXPECT_EQ(check(sdoTree({empty}, empty, "").get()), 0);

  zmrtest::SdoElementTexts noDigest = shortTexts();
  noDigest.digestmethod.reset();
  noDigest.digestvalue.reset();
  EXPECT_EQ(check(sdoTree({noDigest}).get()), 18012);
  EXPECT_EQ(check(sdoTree({shortTexts()}, noDigest).get()), 18029);
}

}  // namespace
}  // namespace zmr
