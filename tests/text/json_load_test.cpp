#include "shared/text/json_load.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shared/errors.hpp"

using shared::Record;
using shared::text::loads;

TEST(JsonLoad, ValuesAndMemberOrder) {
  struct Case {
    std::string text;
    std::string compact;
  };
  const std::vector<Case> cases = {
      {R"({"z": 1, "a": [true, null, -2, 18446744073709551615, 2.5, "\u00e9\n"], "m": {}})",
       "{\"z\":1,\"a\":[true,null,-2,18446744073709551615,2.5,\"\u00e9\\n\"],\"m\":{}}"},
      {R"({"b": 1, "a": 2, "b": 3})", R"({"b":3,"a":2})"},
      {R"([{"x": {"y": [1, {"k": "v", "k": "w"}]}}, []])", R"([{"x":{"y":[1,{"k":"w"}]}},[]])"},
      {" \"text\" ", "\"text\""},
      {"\xEF\xBB\xBF{\"a\": \"\xC3\xA4\"}", "{\"a\":\"\xC3\xA4\"}"},
  };
  for (const Case& c : cases) EXPECT_EQ(loads(c.text).dump(), c.compact) << c.text;
}

TEST(JsonLoad, ManyMembersStayInOrder) {
  std::string text = "{";
  const int n = 50000;
  for (int i = n; i > 0; --i) text += "\"k" + std::to_string(i) + "\": " + std::to_string(i) + (i > 1 ? ", " : "");
  text += ", \"k7\": \"again\"}";
  const Record r = loads(text);
  ASSERT_EQ(r.size(), static_cast<std::size_t>(n));
  EXPECT_EQ(r.begin().key(), "k" + std::to_string(n));
  EXPECT_EQ(r.back(), 1);
  EXPECT_EQ(r["k7"], "again");
  EXPECT_EQ(std::prev(r.end(), 7).key(), "k7");
}

TEST(JsonLoad, NotJsonIsAValueError) {
  for (const std::string text : {"", "{\"a\": ", "[1,]", "{'a': 1}", "[\"\xFF\"]", "NaN", "1 2"}) {
    try {
      loads(text);
      ADD_FAILURE() << "accepted: " << text;
    } catch (const shared::ValueError& e) {
      EXPECT_EQ(std::string(e.what()).rfind("[json.exception.parse_error.101] parse error at ", 0), 0u) << e.what();
    }
  }
}
