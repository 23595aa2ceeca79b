#include "shared/text/percent.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(PercentEncoding, Table) {
  struct Case {
    std::string raw;
    bool keep_slash;
    std::string encoded;
  };
  const std::vector<Case> cases = {
      {"abcXYZ019-._~", false, "abcXYZ019-._~"},
      {"a/b c", true, "a/b%20c"},
      {"a/b c", false, "a%2Fb%20c"},
      {"x+y=z&?#%", false, "x%2By%3Dz%26%3F%23%25"},
      {"\xC3\xA4\xE2\x86\x92", true, "%C3%A4%E2%86%92"},
      {"", true, ""},
      {std::string("\0\xff", 2), false, "%00%FF"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(shared::text::percent_encode(c.raw, c.keep_slash), c.encoded) << c.encoded;
    EXPECT_EQ(shared::text::percent_decode(c.encoded), c.raw) << c.encoded;
  }
  // Broken escapes stay as they are; "+" is not a space.
  EXPECT_EQ(shared::text::percent_decode("100%"), "100%");
  EXPECT_EQ(shared::text::percent_decode("%4"), "%4");
  EXPECT_EQ(shared::text::percent_decode("%zz%2f"), "%zz/");
  EXPECT_EQ(shared::text::percent_decode("a+b"), "a+b");
}
