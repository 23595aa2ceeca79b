#include "shared/record.hpp"

#include <gtest/gtest.h>

#include "shared/text/pyjson.hpp"
#include "shared/text/utf8.hpp"

using shared::Record;
namespace record = shared::record;
namespace text = shared::text;

TEST(Record, EmptinessAndTextForms) {
  const Record r = {{"s", "x"}, {"e", ""}, {"z", 0}, {"n", nullptr}, {"f", false}, {"i", 42},
                    {"d", 2.0},  {"t", true}, {"o", Record::object()}};
  EXPECT_TRUE(record::is_empty(record::find(r, "missing")));
  for (const char* k : {"e", "z", "n", "f", "o"}) EXPECT_TRUE(record::is_empty(record::find(r, k))) << k;
  for (const char* k : {"s", "i", "d", "t"}) EXPECT_FALSE(record::is_empty(record::find(r, k))) << k;
  EXPECT_EQ(record::get_text(r, "i"), "42");
  EXPECT_EQ(record::get_text(r, "d"), "2.0");
  EXPECT_EQ(record::get_text(r, "t"), "True");
  EXPECT_EQ(record::get_text(r, "n"), "None");
  EXPECT_EQ(record::get_text(r, "missing", "dflt"), "dflt");
  EXPECT_EQ(record::get_text_or(r, "e", "dflt"), "dflt");
  EXPECT_EQ(record::get_text_or(r, "s", "dflt"), "x");
}

TEST(Record, ShortestRoundTripFloats) {
  const std::vector<std::pair<double, std::string>> cases = {
      {2.3, "2.3"},   {12.0, "12.0"},      {0.1, "0.1"},         {1e16, "1e+16"},   {123456789.5, "123456789.5"},
      {1e-05, "1e-05"}, {0.0001, "0.0001"}, {-0.5, "-0.5"},      {1.0 / 3, "0.3333333333333333"}};
  for (const auto& [d, s] : cases) EXPECT_EQ(record::format_double(d), s);
}

TEST(PyJson, LayoutsAndEscapes) {
  const Record v = {{"a", "caf\u00e9 \u2192 \U0001F600"}, {"b", Record::array({1, 2.5})}, {"c", Record::object()},
                    {"d", "q\"\\\n\x1f"}};
  EXPECT_EQ(text::dumps_compact_ascii(v),
            R"({"a": "caf\u00e9 \u2192 \ud83d\ude00", "b": [1, 2.5], "c": {}, "d": "q\"\\\n\u001f"})");
  EXPECT_EQ(text::dumps_indented(v),
            "{\n  \"a\": \"caf\u00e9 \u2192 \U0001F600\",\n  \"b\": [\n    1,\n    2.5\n  ],\n  \"c\": {},\n"
            "  \"d\": \"q\\\"\\\\\\n\\u001f\"\n}");
  EXPECT_EQ(text::dumps_compact(v), "{\"a\":\"caf\u00e9 \u2192 \U0001F600\",\"b\":[1,2.5],\"c\":{},\"d\":\"q\\\"\\\\\\n\\u001f\"}");
  EXPECT_EQ(text::dumps_indented(Record::object()), "{}");
}

TEST(Utf8, WhitespaceSetStripAndCounts) {
  EXPECT_EQ(text::strip("\u00a0\u2003 x y\t\u3000\n\u0085"), "x y");
  EXPECT_EQ(text::strip("\x1c\x1f z \x0b\x0c\r"), "z");
  EXPECT_EQ(text::strip("\u200b x"), "\u200b x");  // zero-width space is not whitespace
  EXPECT_EQ(text::lstrip("  a  "), "a  ");
  EXPECT_EQ(text::rstrip("  a \u2029"), "  a");
  EXPECT_EQ(text::count_code_points("a\u00e9\u2192\U0001F600"), 4u);
  EXPECT_TRUE(text::is_valid("ok \u00e9"));
  for (const char* bad : {"\xff", "\xc0\xaf", "\xed\xa0\x80", "\xe2\x82", "\xf4\x90\x80\x80"}) {
    EXPECT_FALSE(text::is_valid(bad)) << bad;
  }
  EXPECT_EQ(text::first_invalid("ab\xff"), 2u);
}
