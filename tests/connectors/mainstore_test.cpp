#include "shared/connectors/mainstore.hpp"

#include <gtest/gtest.h>

#include "shared/errors.hpp"
#include "support/testing.hpp"

namespace mainstore = shared::connectors::mainstore;
using shared::Record;

namespace {
Record data_of(const char* json) { return Record::parse(json); }
}  // namespace

TEST(MainstoreStatements, TextsAndBoundValuesOfEveryOperation) {
  const Record data = data_of(R"({"document_name": "Title", "status": "PROCESSED", "duration_s": 1.5})");
  struct Case {
    const char* op;
    shared::connectors::pg::Statement st;
    const char* text;
    std::vector<Record> values;
  };
  const Case cases[] = {
      {"fetch_all", mainstore::fetch_all_statement("sop_metadata"), "SELECT * FROM sop_metadata;", {}},
      {"get_one",
       mainstore::get_one_statement("sop_metadata", "document_number", "QD-000958"),
       "\n        SELECT * FROM sop_metadata\n        WHERE document_number = %s;\n    ",
       {"QD-000958"}},
      {"insert_row",
       mainstore::insert_statement("sop_metadata", data),
       "\n        INSERT INTO sop_metadata (document_name, status, duration_s)\n        VALUES (%s, %s, %s)\n"
       "        RETURNING *;\n    ",
       {"Title", "PROCESSED", 1.5}},
      {"update_row",
       mainstore::update_statement("sop_metadata", "document_number", "QD-000958", data),
       "\n        UPDATE sop_metadata\n        SET document_name = %s, status = %s, duration_s = %s\n"
       "        WHERE document_number = %s\n        RETURNING *;\n    ",
       {"Title", "PROCESSED", 1.5, "QD-000958"}},
      {"delete_row",
       mainstore::delete_statement("public.sop_metadata", "id", 7),
       "\n        DELETE FROM public.sop_metadata\n        WHERE id = %s\n        RETURNING *;\n    ",
       {7}},
      {"delete_by_document_number",
       mainstore::delete_by_document_number_statement("QD-000958", "sop_metadata"),
       "\n        DELETE FROM sop_metadata\n        WHERE document_number = %s\n        RETURNING *;\n    ",
       {"QD-000958"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.st.text, c.text) << c.op;
    EXPECT_EQ(c.st.values, c.values) << c.op;
  }
  EXPECT_EQ(mainstore::TABLE_NAME, "sop_metadata");
}

TEST(MainstoreStatements, KeyOrderOfDataDecidesColumnAndValueOrder) {
  const Record data = data_of(R"({"z": 1, "a": 2, "m": null})");
  const auto st = mainstore::insert_statement("t", data);
  EXPECT_EQ(st.text, "\n        INSERT INTO t (z, a, m)\n        VALUES (%s, %s, %s)\n        RETURNING *;\n    ");
  EXPECT_EQ(st.values, (std::vector<Record>{1, 2, nullptr}));
}

TEST(MainstoreStatements, NamesThatAreNotPlainIdentifiersAreRefused) {
  const Record ok = data_of(R"({"document_name": "x"})");
  const Record bad_key = data_of(R"({"document_name) VALUES ('x'); DROP TABLE sop_metadata; --": "x"})");
  const char* const bad_table = "sop_metadata; DROP TABLE sop_metadata";
  using Build = std::function<void()>;
  const std::pair<const char*, Build> cases[] = {
      {"fetch_all table", [&] { mainstore::fetch_all_statement(bad_table); }},
      {"get_one table", [&] { mainstore::get_one_statement(bad_table, "document_number", "x"); }},
      {"get_one column", [&] { mainstore::get_one_statement("t", "document_number = document_number OR 1", "x"); }},
      {"insert table", [&] { mainstore::insert_statement(bad_table, ok); }},
      {"insert key", [&] { mainstore::insert_statement("t", bad_key); }},
      {"update table", [&] { mainstore::update_statement(bad_table, "document_number", "x", ok); }},
      {"update column", [&] { mainstore::update_statement("t", "1=1; --", "x", ok); }},
      {"update key", [&] { mainstore::update_statement("t", "document_number", "x", bad_key); }},
      {"delete table", [&] { mainstore::delete_statement(bad_table, "id", 1); }},
      {"delete column", [&] { mainstore::delete_statement("t", "id OR TRUE", 1); }},
      {"delete_by_document_number table", [&] { mainstore::delete_by_document_number_statement("x", bad_table); }},
      {"schema-qualified column", [&] { mainstore::get_one_statement("t", "t.id", 1); }},
  };
  for (const auto& [what, build] : cases) EXPECT_THROW(build(), shared::ValueError) << what;
}

TEST(MainstoreStatements, EmptyOrNonMapDataIsRefused) {
  try {
    mainstore::insert_statement("t", Record::object());
    FAIL();
  } catch (const shared::ValueError& e) {
    EXPECT_STREQ(e.what(), "data is empty: there is no column to insert");
  }
  try {
    mainstore::update_statement("t", "document_number", "x", Record::object());
    FAIL();
  } catch (const shared::ValueError& e) {
    EXPECT_STREQ(e.what(), "data is empty: there is no column to update");
  }
  EXPECT_THROW(mainstore::insert_statement("t", Record::array({1})), shared::TypeError);
}

TEST(MainstoreWrites, RefusedNamesLogNothingAndReachNoDatabase) {
  // An unreachable database: the refusal must come before any connection.
  shared::config::Settings s = shared::config::get();
  s.PGHOST = "127.0.0.1";
  s.PGPORT = "1";
  testing_support::ScopedSettings scoped(s);
  testing_support::LogCapture cap;
  const Record bad_key = data_of(R"({"a; DROP TABLE t": 1})");
  EXPECT_THROW(mainstore::insert_row("t", bad_key), shared::ValueError);
  EXPECT_THROW(mainstore::update_row("t", "id", 1, bad_key), shared::ValueError);
  EXPECT_THROW(mainstore::insert_row("t", Record::object()), shared::ValueError);
  EXPECT_THROW(mainstore::upsert_document("t x", "QD-1", data_of(R"({"a": 1})")), shared::ValueError);
  EXPECT_THROW(mainstore::upsert_document("t", "QD-1", Record::object()), shared::ValueError);
  EXPECT_EQ(cap.lines(), std::vector<std::string>{});
}
