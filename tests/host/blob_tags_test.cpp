// Who owns a blob when a store is backfilled with blob index tags, and the
// numbers a blob's name carries.
#include "shared/host/blob_tags.hpp"

#include <gtest/gtest.h>

#include "shared/text/qd_number.hpp"

using shared::host::blob_tags::owner_of;

TEST(BlobTagsBackfill, OwnerFollowsTheDeletionsRules) {
  struct Case {
    std::vector<std::string> recorded;
    std::string trail_owner;
    std::vector<std::string> named;
    bool named_live;
    std::string owner, reason_part;
  };
  const std::vector<Case> cases = {
      {{"QD-1"}, "", {}, false, "QD-1", ""},                     // its recorded file
      {{"QD-1"}, "QD-1", {"QD-2"}, true, "QD-1", ""},             // a recorded file beats the name
      {{"QD-1", "QD-2"}, "", {}, false, "", "several documents (QD-1, QD-2)"},
      {{"QD-1"}, "QD-3", {}, false, "", "audit trail holds it as QD-3's live artefact"},
      {{}, "", {"QD-4"}, true, "QD-4", ""},                       // named after a live document
      {{}, "QD-4", {"QD-4"}, true, "QD-4", ""},
      {{}, "QD-5", {"QD-4"}, true, "", "audit trail holds it as QD-5's"},
      {{}, "", {"QD-4"}, false, "", "named after QD-4, which has no metadata row"},
      {{}, "", {"QD-4", "QD-6"}, true, "", "named after several documents (QD-4, QD-6)"},
      {{}, "QD-7", {}, false, "", "neither named after QD-7 nor an artefact"},
      {{}, "", {}, false, "", "names no document, and no document records it"},
  };
  for (const Case& c : cases) {
    std::string reason;
    EXPECT_EQ(owner_of(c.recorded, c.trail_owner, c.named, c.named_live, reason), c.owner) << c.reason_part;
    if (c.owner.empty()) {
      EXPECT_NE(reason.find(c.reason_part), std::string::npos) << reason;
    } else {
      EXPECT_EQ(reason, "");
    }
  }
}

TEST(BlobTagsBackfill, NumbersANameCarries) {
  using shared::text::qd_numbers_in;
  using V = std::vector<std::string>;
  EXPECT_EQ(qd_numbers_in("md/SOP QD-000958 rev B.md"), V{"QD-000958"});
  EXPECT_EQ(qd_numbers_in("md/qd-95 and QD-950 and Qd-95.md"), (V{"QD-95", "QD-950"}));
  EXPECT_EQ(qd_numbers_in("md/XQD-95.md"), V{});   // not a whole number
  EXPECT_EQ(qd_numbers_in("md/QD-.md QD-x"), V{});
  EXPECT_EQ(qd_numbers_in("QD-1_QD-2"), (V{"QD-1", "QD-2"}));
  EXPECT_EQ(qd_numbers_in("QD-12QD-3"), (V{"QD-12"}));  // the second follows a digit
}
