#include "shared/connectors/pg.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "shared/errors.hpp"
#include "shared/text/pyjson.hpp"

namespace pg = shared::connectors::pg;
using shared::Record;

TEST(PgPlaceholders, TranslatedInOrderAndCounted) {
  struct Case {
    const char* in;
    const char* out;
    std::size_t count;
  };
  const Case cases[] = {
      {"SELECT 1", "SELECT 1", 0},
      {"\n        SELECT * FROM t\n        WHERE a = %s;\n    ", "\n        SELECT * FROM t\n        WHERE a = $1;\n    ", 1},
      {"INSERT INTO t (a, b, c) VALUES (%s, %s, %s)", "INSERT INTO t (a, b, c) VALUES ($1, $2, $3)", 3},
      {"WHERE k IN (%s,%s,%s,%s,%s,%s,%s,%s,%s,%s)", "WHERE k IN ($1,$2,$3,$4,$5,$6,$7,$8,$9,$10)", 10},
      {"SELECT '100%%' || %s", "SELECT '100%' || $1", 1},
      {"%s%s", "$1$2", 2},
  };
  for (const Case& c : cases) {
    std::size_t n = 99;
    EXPECT_EQ(pg::translate_placeholders(c.in, &n), c.out) << c.in;
    EXPECT_EQ(n, c.count) << c.in;
  }
  for (const char* bad : {"LIKE 'a%'", "%d", "WHERE a = %", "%(name)s"}) {
    EXPECT_THROW(pg::translate_placeholders(bad), shared::ValueError) << bad;
  }
}

TEST(PgParams, TextOfEachValueKind) {
  EXPECT_EQ(pg::param_text(Record(nullptr)), std::nullopt);
  const std::pair<Record, std::string> cases[] = {
      {"QD-000958", "QD-000958"},
      {"", ""},
      {"Tïtle → ok", "Tïtle → ok"},
      {42, "42"},
      {-7, "-7"},
      {Record(static_cast<std::uint64_t>(18446744073709551615ULL)), "18446744073709551615"},
      {1.5, "1.5"},
      {12.0, "12.0"},
      {std::numeric_limits<double>::quiet_NaN(), "NaN"},
      {-std::numeric_limits<double>::infinity(), "-Infinity"},
      {true, "true"},
      {false, "false"},
      {Record::parse(R"({"b": [1, null], "a": "x"})"), R"({"b":[1,null],"a":"x"})"},
      {Record::array({1, 2}), "[1,2]"},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(pg::param_text(value), text) << value.dump();
  EXPECT_THROW(pg::param_text(Record(std::string("a\0b", 3))), shared::ValueError);
}

TEST(PgValues, ConvertedByColumnType) {
  struct Case {
    Oid type;
    const char* text;
    const char* json;
  };
  const Case cases[] = {
      {16, "t", "true"},
      {16, "f", "false"},
      {21, "-12", "-12"},
      {23, "2147483647", "2147483647"},
      {20, "9223372036854775807", "9223372036854775807"},
      {700, "1.5", "1.5"},
      {701, "-0.25", "-0.25"},
      {1700, "12.50", "12.5"},
      {701, "NaN", "null"},  // JSON has no NaN: written as null
      {114, R"({"b": 1, "a": [true, null]})", R"({"b":1,"a":[true,null]})"},
      {3802, R"({"a": 1, "b": "x"})", R"({"a":1,"b":"x"})"},
      {114, "not json", R"("not json")"},
      {1114, "2024-05-01 08:30:00.5", R"("2024-05-01T08:30:00.5")"},
      {1184, "2024-05-01 08:30:00+02", R"("2024-05-01T08:30:00+02:00")"},
      {1184, "2024-05-01 08:30:00.123456-05:30", R"("2024-05-01T08:30:00.123456-05:30")"},
      {1184, "infinity", R"("infinity")"},
      {1184, "0044-03-15 12:00:00+00 BC", R"("0044-03-15 12:00:00+00 BC")"},
      {1082, "2024-05-01", R"("2024-05-01")"},
      {1083, "08:30:00", R"("08:30:00")"},
      {1266, "08:30:00+01", R"("08:30:00+01:00")"},
      {1021, "{0.25,-1.5,NULL}", "[0.25,-1.5,null]"},
      {1007, "{}", "[]"},
      {1009, R"({a,"b,c","say \"hi\"",NULL,"NULL"})", R"(["a","b,c","say \"hi\"",null,"NULL"])"},
      {1007, "{{1,2},{3,4}}", R"("{{1,2},{3,4}}")"},
      {1007, "[0:1]={1,2}", R"("[0:1]={1,2}")"},
      {25, "plain text", R"("plain text")"},
      {2950, "a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11", R"("a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11")"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(pg::convert_value(c.type, c.text).dump(), c.json) << c.type << " " << c.text;
  }
}

TEST(PgIdentifiers, PlainNamesOnly) {
  struct Case {
    const char* name;
    bool plain;
    bool qualified;
  };
  const Case cases[] = {
      {"sop_metadata", true, true},
      {"_t1", true, true},
      {"SOP_Metadata", true, true},
      {"ops.kesto_prod", false, true},
      {"", false, false},
      {"1table", false, false},
      {"ops.", false, false},
      {".t", false, false},
      {"a.b.c", false, false},
      {"ops.1t", false, false},
      {"sop_metadata; DROP TABLE sop_metadata", false, false},
      {"t--", false, false},
      {"document_name) VALUES ('x'); --", false, false},
      {"\"quoted\"", false, false},
      {"t a", false, false},
      {"tä", false, false},
      {"t$1", false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(pg::is_plain_identifier(c.name, false), c.plain) << c.name;
    EXPECT_EQ(pg::is_plain_identifier(c.name, true), c.qualified) << c.name;
  }
}

TEST(PgIdentifiers, RejectionMessageNamesWhatAndShowsTheName) {
  try {
    pg::check_identifier("x; DROP TABLE y", "column name");
    FAIL() << "accepted";
  } catch (const shared::ValueError& e) {
    EXPECT_STREQ(e.what(),
                 "Invalid column name: 'x; DROP TABLE y' is not a plain SQL identifier (letters, digits and "
                 "underscores, not starting with a digit)");
  }
  try {
    pg::check_identifier("a'b\nc", "table name", true);
    FAIL() << "accepted";
  } catch (const shared::ValueError& e) {
    EXPECT_STREQ(e.what(),
                 "Invalid table name: \"a'b\\nc\" is not a plain SQL identifier (letters, digits and underscores, "
                 "not starting with a digit, optionally after one schema name and a dot)");
  }
  EXPECT_NO_THROW(pg::check_identifier("ops.kesto_prod", "table name", true));
}

TEST(PgRepr, PythonStyleRenderings) {
  EXPECT_EQ(pg::repr_tuple({"QD-000958", "Title", nullptr}), "('QD-000958', 'Title', None)");
  EXPECT_EQ(pg::repr_tuple({"x"}), "('x',)");
  EXPECT_EQ(pg::repr_tuple({}), "()");
  EXPECT_EQ(pg::repr_tuple({1, 2.5, 12.0, true, false}), "(1, 2.5, 12.0, True, False)");
  EXPECT_EQ(pg::repr(Record::parse(R"({"a": [1, "b"], "c": null})")), "{'a': [1, 'b'], 'c': None}");
  EXPECT_EQ(pg::repr("it's"), "\"it's\"");
  EXPECT_EQ(pg::repr("both ' and \""), "'both \\' and \"'");
  EXPECT_EQ(pg::repr("tab\there\\ \x01"), "'tab\\there\\\\ \\x01'");
  EXPECT_EQ(pg::repr("Tïtle → ok"), "'Tïtle → ok'");
  EXPECT_EQ(pg::repr_list({"document_number", "document_name"}), "['document_number', 'document_name']");
  EXPECT_EQ(pg::repr_list({}), "[]");
}

TEST(PgConnect, UnreachableServerIsADatabaseErrorWithLibpqsMessage) {
  // Port 1 on the loopback address: nothing listens there, nothing leaves the machine.
  try {
    pg::connect(pg::ConnectParams{.host = "127.0.0.1", .port = "1", .dbname = "x", .user = "u", .password = "p",
                                  .sslmode = "require", .connect_timeout = 2});
    FAIL() << "connected";
  } catch (const shared::DatabaseError& e) {
    const std::string msg = e.what();
    EXPECT_NE(msg.find("127.0.0.1"), std::string::npos) << msg;
    EXPECT_NE(msg.find("port 1 failed"), std::string::npos) << msg;
    EXPECT_NE(msg.back(), '\n');
  }
}
