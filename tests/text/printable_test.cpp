// What a terminal is shown of stored text: control characters escaped, so
// that a value can neither forge a line nor drive the terminal.
#include <gtest/gtest.h>

#include "shared/text/utf8.hpp"

using shared::text::printable;
using shared::text::printable_lines;

TEST(Printable, ControlCharactersAreEscapedAndTheRestStays) {
  const struct {
    std::string in, one_line, lines;
  } cases[] = {
      {"plain text, «Ärger», 日本, \\ and \"quotes\"", "plain text, «Ärger», 日本, \\ and \"quotes\"",
       "plain text, «Ärger», 日本, \\ and \"quotes\""},
      {"a\nb", "a\\nb", "a\nb"},
      {"a\r\nb\tc", "a\\r\\nb\\tc", "a\\r\nb\\tc"},
      // A title change and a cursor move: the escape character never passes.
      {"x\x1b]0;pwned\x07y\x1b[2J", "x\\x1b]0;pwned\\x07y\\x1b[2J", "x\\x1b]0;pwned\\x07y\\x1b[2J"},
      {std::string("nul\0del\x7f", 8), "nul\\x00del\\x7f", "nul\\x00del\\x7f"},
      // C1 controls written as UTF-8 (CSI, NEL) and the Unicode line separators.
      {"\u009b31m\u0085next\u2028sep\u2029par", "\\u009b31m\\u0085next\\u2028sep\\u2029par",
       "\\u009b31m\\u0085next\\u2028sep\\u2029par"},
      // The first character past the C1 range is text.
      {"\u00a0\u00e9", "\u00a0\u00e9", "\u00a0\u00e9"},
      // Bytes of no well-formed sequence: a raw 0x9b is CSI to an 8-bit terminal.
      {"a\x9b" "b\xc3", "a\\x9bb\\xc3", "a\\x9bb\\xc3"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(printable(c.in), c.one_line) << c.in;
    EXPECT_EQ(printable_lines(c.in), c.lines) << c.in;
  }
}
