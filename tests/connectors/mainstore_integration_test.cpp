#include "shared/connectors/mainstore.hpp"

#include <gtest/gtest.h>

#include "connectors/pg_testing.hpp"
#include "shared/errors.hpp"
#include "shared/text/pyjson.hpp"

namespace mainstore = shared::connectors::mainstore;
using pg_testing::messages;
using shared::Record;
using testing_support::LogCapture;

namespace {

const std::vector<std::string> kColumns = {
    "id",        "document_number", "document_name", "blob_filename", "url_document_name", "file_name",
    "blob_name", "kesto_status",    "status",        "stage",         "error",             "summary",
    "processed_at", "duration_s",   "source_etag",   "index_counts", "loss_report",
    "created_at"};

std::vector<std::string> keys_of(const Record& r) {
  std::vector<std::string> out;
  for (auto it = r.begin(); it != r.end(); ++it) out.push_back(it.key());
  return out;
}

class MainstoreDb : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!pg_testing::have_cluster()) GTEST_SKIP();
    table_ = std::make_unique<pg_testing::MetadataTable>();
  }
  const std::string& table() const { return table_->name(); }
  std::vector<Record> rows() const {
    return pg_testing::query(testing_support::env("PGDATABASE"),
                             "SELECT id, document_number, document_name, status FROM " + table() + " ORDER BY id");
  }

  std::unique_ptr<pg_testing::MetadataTable> table_;
};

}  // namespace

TEST_F(MainstoreDb, ConnectionRequiresTls) {
  shared::connectors::pg::PgConn conn = mainstore::get_conn();
  auto res = shared::connectors::pg::execute(conn.get(), "SELECT ssl FROM pg_stat_ssl WHERE pid = pg_backend_pid()");
  EXPECT_EQ(shared::connectors::pg::first_row(res.get())->dump(), R"({"ssl":true})");
}

TEST_F(MainstoreDb, GetAndDeleteByDocumentNumber) {
  LogCapture cap;
  EXPECT_EQ(mainstore::get_by_document_number("QD-000958", table()), std::nullopt);
  EXPECT_EQ(mainstore::delete_by_document_number("QD-000958", table()), std::nullopt);
  pg_testing::exec(testing_support::env("PGDATABASE"),
                   "INSERT INTO " + table() +
                       " (id, document_number, document_name, duration_s, processed_at) VALUES "
                       "('a1', 'QD-000958', 'Cleaning', 2.5, '2024-05-01 08:30:00+00'), ('a2', 'QD-000959', 'Other', "
                       "NULL, NULL)");

  const auto got = mainstore::get_by_document_number("QD-000958", table());
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(keys_of(*got), kColumns);
  EXPECT_EQ((*got)["id"], "a1");
  EXPECT_EQ((*got)["document_name"], "Cleaning");
  EXPECT_EQ((*got)["duration_s"], 2.5);
  EXPECT_EQ((*got)["status"], nullptr);
  EXPECT_EQ((*got)["processed_at"].get<std::string>().substr(0, 19), "2024-05-01T08:30:00");

  const auto deleted = mainstore::delete_by_document_number("QD-000958", table());
  ASSERT_TRUE(deleted.has_value());
  EXPECT_EQ(*deleted, *got);
  EXPECT_EQ(mainstore::get_by_document_number("QD-000958", table()), std::nullopt);
  EXPECT_EQ(rows().size(), 1u);
  // Reads and deletes write no diagnostic lines.
  EXPECT_EQ(messages(cap), std::vector<std::string>{});
}

TEST_F(MainstoreDb, InsertLogsStatementAndValuesAndReturnsTheStoredRow) {
  LogCapture cap;
  const Record data = Record::parse(R"({"document_number": "QD-000958", "document_name": "Tïtle", "duration_s": 1.5,
                                        "error": null})");
  const Record row = mainstore::insert_row(table(), data);
  EXPECT_EQ(keys_of(row), kColumns);
  EXPECT_EQ(row["id"].get<std::string>().size(), 36u) << "the column default gives a UUID";
  EXPECT_EQ(row["document_name"], "Tïtle");
  EXPECT_EQ(row["duration_s"], 1.5);
  const std::vector<std::string> want = {
      "[DB] INSERT query: \n        INSERT INTO " + table() +
          " (document_number, document_name, duration_s, error)\n        VALUES (%s, %s, %s, %s)\n"
          "        RETURNING *;\n    ",
      "[DB] INSERT values: ('QD-000958', 'Tïtle', 1.5, None)"};
  EXPECT_EQ(messages(cap), want);
  for (const std::string& line : cap.lines()) EXPECT_EQ(line.find("\"level\""), std::string::npos);
}

TEST_F(MainstoreDb, DuplicateKeyLeavesNothingHalfWrittenAndLogsTheError) {
  mainstore::insert_row(table(), Record{{"id", "first"}, {"document_number", "QD-000958"}, {"document_name", "A"}});
  LogCapture cap;
  try {
    mainstore::insert_row(table(), Record{{"id", "second"}, {"document_number", "QD-000958"}, {"document_name", "B"}});
    FAIL() << "duplicate accepted";
  } catch (const shared::DatabaseError& e) {
    EXPECT_EQ(e.sqlstate, "23505");
    const std::string want = "duplicate key value violates unique constraint \"" + table() +
                             "_document_number_key\"\nDETAIL:  Key (document_number)=(QD-000958) already exists.";
    EXPECT_EQ(std::string(e.what()), want);
    const auto msgs = messages(cap);
    ASSERT_EQ(msgs.size(), 3u);
    EXPECT_EQ(msgs[1], "[DB] INSERT values: ('second', 'QD-000958', 'B')");
    EXPECT_EQ(msgs[2], "[DB] INSERT error: " + want);
  }
  EXPECT_EQ(shared::text::dumps_compact(Record(rows())),
            R"([{"id":"first","document_number":"QD-000958","document_name":"A","status":null}])");
}

TEST_F(MainstoreDb, UpdateBindsKeyLastAndReturnsTheUpdatedRow) {
  mainstore::insert_row(table(), Record{{"id", "r1"}, {"document_number", "QD-1"}, {"document_name", "Old"}});
  LogCapture cap;
  const Record data = Record{{"document_name", "New"}, {"status", "PROCESSED"}, {"duration_s", 3}};
  const auto row = mainstore::update_row(table(), "document_number", "QD-1", data);
  ASSERT_TRUE(row.has_value());
  EXPECT_EQ((*row)["document_name"], "New");
  EXPECT_EQ((*row)["status"], "PROCESSED");
  EXPECT_EQ((*row)["duration_s"], 3.0);
  EXPECT_EQ((*row)["id"], "r1");
  const std::vector<std::string> want = {
      "[DB] UPDATE query: \n        UPDATE " + table() +
          "\n        SET document_name = %s, status = %s, duration_s = %s\n        WHERE document_number = %s\n"
          "        RETURNING *;\n    ",
      "[DB] UPDATE values: ('New', 'PROCESSED', 3, 'QD-1')"};
  EXPECT_EQ(messages(cap), want);

  cap.clear();
  EXPECT_EQ(mainstore::update_row(table(), "document_number", "QD-404", data), std::nullopt);
  EXPECT_EQ(messages(cap, "[DB] UPDATE error").size(), 0u);
  EXPECT_EQ(rows().size(), 1u);
}

TEST_F(MainstoreDb, UpdateFailureIsLoggedAndRolledBack) {
  mainstore::insert_row(table(), Record{{"id", "r1"}, {"document_number", "QD-1"}, {"document_name", "Old"}});
  LogCapture cap;
  EXPECT_THROW(mainstore::update_row(table(), "document_number", "QD-1",
                                     Record{{"document_name", "New"}, {"duration_s", "not a number"}}),
               shared::DatabaseError);
  const auto errors = messages(cap, "[DB] UPDATE error: ");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], "[DB] UPDATE error: invalid input syntax for type double precision: \"not a number\"");
  EXPECT_EQ(rows()[0]["document_name"], "Old");
}

TEST_F(MainstoreDb, UpsertInsertsNewAndUpdatesExistingWithoutId) {
  LogCapture cap;
  const Record first = Record{{"id", "reg-17"}, {"document_number", "QD-000958"}, {"document_name", "Cleaning"}};
  const auto inserted = mainstore::upsert_document(table(), "QD-000958", first);
  ASSERT_TRUE(inserted.has_value());
  EXPECT_EQ((*inserted)["id"], "reg-17");
  std::vector<std::string> want = {
      "[DB] upsert_document called:",
      "[DB]   table_name = '" + table() + "'",
      "[DB]   doc_number = 'QD-000958'",
      "[DB]   data keys = ['id', 'document_number', 'document_name']",
      "[DB]   existing record = False",
      "[DB] INSERT query: \n        INSERT INTO " + table() +
          " (id, document_number, document_name)\n        VALUES (%s, %s, %s)\n        RETURNING *;\n    ",
      "[DB] INSERT values: ('reg-17', 'QD-000958', 'Cleaning')"};
  EXPECT_EQ(messages(cap), want);

  cap.clear();
  const Record second = Record{{"id", "reg-99"}, {"document_number", "QD-000958"}, {"document_name", "Cleaning v2"},
                               {"status", "PROCESSED"}};
  const auto updated = mainstore::upsert_document(table(), "QD-000958", second);
  ASSERT_TRUE(updated.has_value());
  EXPECT_EQ((*updated)["id"], "reg-17") << "the id is never updated";
  EXPECT_EQ((*updated)["document_name"], "Cleaning v2");
  EXPECT_EQ((*updated)["status"], "PROCESSED");
  want = {"[DB] upsert_document called:",
          "[DB]   table_name = '" + table() + "'",
          "[DB]   doc_number = 'QD-000958'",
          "[DB]   data keys = ['id', 'document_number', 'document_name', 'status']",
          "[DB]   existing record = True",
          "[DB]   update_data keys = ['document_number', 'document_name', 'status']",
          "[DB] UPDATE query: \n        UPDATE " + table() +
              "\n        SET document_number = %s, document_name = %s, status = %s\n"
              "        WHERE document_number = %s\n        RETURNING *;\n    ",
          "[DB] UPDATE values: ('QD-000958', 'Cleaning v2', 'PROCESSED', 'QD-000958')"};
  EXPECT_EQ(messages(cap), want);
  EXPECT_EQ(rows().size(), 1u);

  // An existing document whose data holds only "id" has nothing to update.
  EXPECT_THROW(mainstore::upsert_document(table(), "QD-000958", Record{{"id", "x"}}), shared::ValueError);
}

TEST_F(MainstoreDb, FetchAllOfEmptyAndUnknownTables) {
  EXPECT_EQ(mainstore::fetch_all(table()), std::vector<Record>{});
  mainstore::insert_row(table(), Record{{"id", "b"}, {"document_number", "QD-2"}});
  mainstore::insert_row(table(), Record{{"id", "a"}, {"document_number", "QD-1"}});
  EXPECT_EQ(mainstore::fetch_all(table()).size(), 2u);
  try {
    mainstore::fetch_all(table() + "_missing");
    FAIL();
  } catch (const shared::DatabaseError& e) {
    EXPECT_EQ(e.sqlstate, "42P01");
    EXPECT_EQ(std::string(e.what()), "relation \"" + table() + "_missing\" does not exist");
  }
}

TEST_F(MainstoreDb, CraftedNamesAreRefusedAndRunNothing) {
  mainstore::insert_row(table(), Record{{"id", "keep"}, {"document_number", "QD-1"}});
  const std::string drop = "; DROP TABLE " + table() + "; --";
  LogCapture cap;
  using Call = std::function<void()>;
  const std::pair<const char*, Call> cases[] = {
      {"fetch_all", [&] { mainstore::fetch_all(table() + drop); }},
      {"get_one", [&] { mainstore::get_one(table(), "document_number = 'x'" + drop, "x"); }},
      {"insert key", [&] { mainstore::insert_row(table(), Record{{"document_number) VALUES ('x')" + drop, "v"}}); }},
      {"update key", [&] { mainstore::update_row(table(), "id", "keep", Record{{"status = 'x'" + drop, "v"}}); }},
      {"delete_row", [&] { mainstore::delete_row(table() + drop, "id", "keep"); }},
      {"delete_by_document_number", [&] { mainstore::delete_by_document_number("QD-1", table() + drop); }},
      {"upsert key", [&] { mainstore::upsert_document(table(), "QD-1", Record{{"id" + drop, "v"}}); }},
  };
  for (const auto& [what, call] : cases) EXPECT_THROW(call(), shared::ValueError) << what;
  EXPECT_EQ(messages(cap), std::vector<std::string>{});
  EXPECT_EQ(rows().size(), 1u) << "the table and its row are still there";
}

TEST_F(MainstoreDb, ConnectionFailureIsLoggedForWrites) {
  shared::config::Settings s = shared::config::get();
  s.PGPASSWORD = "wrong-password";
  testing_support::ScopedSettings scoped(s);
  LogCapture cap;
  EXPECT_THROW(mainstore::get_by_document_number("QD-1", table()), shared::DatabaseError);
  EXPECT_THROW(mainstore::insert_row(table(), Record{{"document_number", "QD-1"}}), shared::DatabaseError);
  const auto errors = messages(cap, "[DB] INSERT error: ");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].find("password authentication failed for user \"" + testing_support::env("PGUSER") + "\""),
            std::string::npos)
      << errors[0];
  EXPECT_EQ(errors[0].find("wrong-password"), std::string::npos);
}

TEST_F(MainstoreDb, FilesHoldingAFragmentTakeItLiterallyAndLeaveTheDocumentOut) {
  const std::string db = testing_support::env("PGDATABASE");
  for (const auto& [qd, file] : std::vector<std::pair<std::string, std::string>>{{"QD-3", "b/100% Clean.docx"},
                                                                                {"QD-1", "a/100% Clean.docm"},
                                                                                {"qd-2", "100x Clean.docx"},
                                                                                {"QD-4", "Other_1.docx"},
                                                                                {"QD-5", "OtherX1.docx"}}) {
    pg_testing::exec(db, "INSERT INTO " + table() + " (document_number, blob_filename) VALUES (%s, %s)", {qd, file});
  }
  auto numbers = [&](const std::string& qd, const std::vector<std::string>& fragments) {
    shared::connectors::pg::PgConn conn = mainstore::get_conn();
    std::vector<std::string> out;
    for (const Record& r : mainstore::files_holding(conn.get(), table(), qd, fragments)) {
      out.push_back(r.at("document_number").get<std::string>() + " " + r.at("blob_filename").get<std::string>());
    }
    return out;
  };
  // "%" and "_" are characters of the name, never wildcards; by number.
  EXPECT_EQ(numbers("QD-9", {"100% Clean"}),
            (std::vector<std::string>{"QD-1 a/100% Clean.docm", "QD-3 b/100% Clean.docx"}));
  EXPECT_EQ(numbers("QD-9", {"Other_1", "nothing"}), (std::vector<std::string>{"QD-4 Other_1.docx"}));
  // The document itself is left out whatever the case of its stored number.
  EXPECT_EQ(numbers("QD-2", {"100"}), (std::vector<std::string>{"QD-1 a/100% Clean.docm", "QD-3 b/100% Clean.docx"}));
  EXPECT_TRUE(numbers("QD-9", {}).empty());
}
