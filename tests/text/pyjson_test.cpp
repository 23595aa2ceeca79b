#include "shared/text/pyjson.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shared/text/utf8.hpp"

namespace {

// Long runs of plain ASCII are copied sixteen bytes at a time; a byte that
// needs escaping, or starts a sequence to check, must be found wherever it
// falls in such a run.
TEST(JsonString, EveryEscapeAtEveryOffsetOfAPlainRun) {
  struct Case {
    std::string raw;
    std::string as_itself;  // non-ASCII written as itself
    std::string ascii;      // non-ASCII as \u escapes
  };
  const std::vector<Case> cases = {
      {std::string(1, '\0'), "\\u0000", "\\u0000"},
      {"\x01", "\\u0001", "\\u0001"},
      {"\x1f", "\\u001f", "\\u001f"},
      {"\n", "\\n", "\\n"},
      {"\t", "\\t", "\\t"},
      {"\"", "\\\"", "\\\""},
      {"\\", "\\\\", "\\\\"},
      {"\x7f", "\x7f", "\x7f"},
      {" ", " ", " "},
      {"\xC3\xA9", "\xC3\xA9", "\\u00e9"},
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80", "\\ud83d\\ude00"},
      {"\xFF", "\xEF\xBF\xBD", "\\ufffd"},
      {"\xE2\x82", "\xEF\xBF\xBD\xEF\xBF\xBD", "\\ufffd\\ufffd"},
  };
  for (const Case& c : cases) {
    // Across two 16-byte steps of the scan.
    for (std::size_t at = 0; at <= 33; ++at) {
      const std::string before(at, 'a'), after(39 - at, 'b');
      std::string out;
      shared::text::append_json_string_content(out, before + c.raw + after, false);
      EXPECT_EQ(out, before + c.as_itself + after) << at << " " << c.as_itself;
      if (shared::text::is_valid(c.raw)) {
        out.clear();
        shared::text::append_valid_json_string_content(out, before + c.raw + after);
        EXPECT_EQ(out, before + c.as_itself + after) << at << " " << c.as_itself;
      }
      out.clear();
      shared::text::append_json_string(out, before + c.raw + after, true);
      EXPECT_EQ(out, "\"" + before + c.ascii + after + "\"") << at << " " << c.ascii;
    }
  }
}

TEST(Utf8, FirstInvalidAtEveryOffsetOfAnAsciiRun) {
  for (const std::string bad : {"\xFF", "\xC0\xAF", "\xED\xA0\x80", "\xE2\x82"}) {
    for (std::size_t at = 0; at <= 33; ++at) {
      const std::string text = std::string(at, 'a') + "\xC3\xA9" + bad + std::string(20, 'z');
      EXPECT_EQ(shared::text::first_invalid(text), at + 2) << at;
    }
  }
  EXPECT_EQ(shared::text::first_invalid(std::string(40, 'a') + "\xE2\x86\x92" + std::string(9, 'b')),
            std::string::npos);
}

}  // namespace
