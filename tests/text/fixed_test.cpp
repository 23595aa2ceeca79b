#include "shared/text/fixed.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using shared::text::fixed;

TEST(Fixed, WritesAsPrintfDoesWithNothingCut) {
  struct Case {
    double v;
    int decimals;
    std::string text;
  };
  const std::vector<Case> cases = {
      {2.5, 2, "2.50"},  {59.96, 1, "60.0"}, {0.05, 1, "0.1"}, {3599.6, 0, "3600"},
      {-1.25, 1, "-1.2"}, {0.12345, 4, "0.1235"},
      // Longer than any fixed buffer: every digit is kept.
      {1e70, 1, "10000000000000000725314363815292351261583744096465219555182101554790400.0"},
  };
  for (const Case& c : cases) EXPECT_EQ(fixed(c.v, c.decimals), c.text) << c.v;
}
