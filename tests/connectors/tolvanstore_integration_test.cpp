#include "shared/connectors/tolvanstore.hpp"

#include <gtest/gtest.h>

#include "connectors/pg_testing.hpp"
#include "shared/errors.hpp"
#include "shared/text/pyjson.hpp"

namespace tolvanstore = shared::connectors::tolvanstore;
namespace pg = shared::connectors::pg;
using pg_testing::messages;
using shared::Record;
using shared::text::dumps_compact;
using testing_support::LogCapture;

namespace {

const std::string kName = "Tolvan/Docs/2024/SOP QD-000958 rev B.docx";

class RegistryDb : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!pg_testing::have_cluster()) GTEST_SKIP();
    table_ = std::make_unique<pg_testing::RegistryTable>();
    shared::config::Settings s = shared::config::from_environment();
    s.TOLVANSTORE_SCHEMA = "ops";
    s.TOLVANSTORE_TABLE = table_->name();
    settings_ = std::make_unique<testing_support::ScopedSettings>(s);
    tolvanstore::close_connection();
  }
  void TearDown() override {
    tolvanstore::close_connection();
    settings_.reset();
  }
  std::string qualified() const { return "ops." + table_->name(); }
  std::string connected_line() const {
    return "Connected to Tolvan database: " + pg_testing::registry_db() + " at " + testing_support::env("PGHOST") +
           ":" + testing_support::env("PGPORT");
  }

  std::unique_ptr<pg_testing::RegistryTable> table_;
  std::unique_ptr<testing_support::ScopedSettings> settings_;
  testing_support::RecordedSleeps sleeps_;
};

}  // namespace

TEST_F(RegistryDb, ExactLookupReturnsSixColumnsAndBlobName) {
  table_->add(kName, "NEW", "QD-000958", "Cleaning", "https://veeva.example/958");
  const Record doc = tolvanstore::get_document_status(kName);
  EXPECT_EQ(dumps_compact(doc),
            R"({"id":1,"blob_filename":"Tolvan/Docs/2024/SOP QD-000958 rev B.docx","kesto_status":"NEW",)"
            R"("document_name":"Cleaning","document_number":"QD-000958","url_document_name":"https://veeva.example/958",)"
            R"("blob_name":"Tolvan/Docs/2024/SOP QD-000958 rev B.docx"})");
}

TEST_F(RegistryDb, FallbackMatchesTheNameAfterItsFirstFifteenCharacters) {
  table_->add(kName, "UPDATED", "QD-000958", "Cleaning", "https://veeva.example/958");
  table_->add("Tolvan/Docs/2024/SOP QD-000111.docx", "NEW", "QD-000111");
  // 15 characters of another prefix (non-ASCII: characters, not bytes), then a part of the registry's name.
  const std::string asked = "ÅÄÖåäöÅÄÖåäöÅÄÖSOP QD-000958 rev";
  const Record doc = tolvanstore::get_document_status(asked);
  EXPECT_EQ(dumps_compact(doc),
            R"({"blob_filename":"Tolvan/Docs/2024/SOP QD-000958 rev B.docx","kesto_status":"UPDATED",)"
            R"("document_name":"Cleaning","document_number":"QD-000958","url_document_name":"https://veeva.example/958",)"
            R"("blob_name":"Tolvan/Docs/2024/SOP QD-000958 rev B.docx"})");
  EXPECT_TRUE(sleeps_.waits().empty());
}

TEST_F(RegistryDb, NamesOfFifteenCharactersOrFewerGetNoFallback) {
  // Any fallback with an empty remainder would match every row.
  table_->add(kName, "NEW", "QD-000958");
  for (const std::string asked : {"ÅÄÖåäöÅÄÖåäöÅÄÖ", "123456789012345", "x"}) {
    LogCapture cap(shared::logsetup::Level::warning);
    try {
      tolvanstore::get_document_status(asked);
      ADD_FAILURE() << asked << " found";
    } catch (const shared::ValueError& e) {
      EXPECT_EQ(std::string(e.what()), "Document not found in " + qualified() + ": " + asked);
    }
    EXPECT_EQ(messages(cap, "failed after 3 attempts").size(), 1u);
  }
  EXPECT_EQ(sleeps_.waits(), (std::vector<double>{1.0, 2.0, 1.0, 2.0, 1.0, 2.0}));
}

TEST_F(RegistryDb, PendingDocumentsByStatusOrderedByFileName) {
  table_->add("c.docx", "DELETED", "QD-3");
  table_->add("a.docx", "NEW", "QD-1");
  table_->add("d.docx", "PROCESSED", "QD-4");
  table_->add("b.docx", "UPDATED", "QD-2");
  std::vector<std::string> names;
  for (const Record& r : tolvanstore::get_all_pending_documents()) {
    names.push_back(r["blob_filename"]);
    EXPECT_EQ(r["blob_name"], r["blob_filename"]);
    EXPECT_EQ(r.size(), 7u) << r.dump();
  }
  EXPECT_EQ(names, (std::vector<std::string>{"a.docx", "b.docx", "c.docx"}));

  const auto only_new = tolvanstore::get_all_pending_documents(std::vector<std::string>{"NEW"});
  ASSERT_EQ(only_new.size(), 1u);
  EXPECT_EQ(dumps_compact(only_new[0]),
            R"({"id":2,"blob_filename":"a.docx","kesto_status":"NEW","document_name":"Title",)"
            R"("document_number":"QD-1","url_document_name":"https://veeva.example/doc","blob_name":"a.docx"})");
  EXPECT_TRUE(tolvanstore::get_all_pending_documents(std::vector<std::string>{"PROCESSED", "NEW"}).size() == 2);
  EXPECT_TRUE(tolvanstore::get_all_pending_documents(std::vector<std::string>{}).empty());
}

TEST_F(RegistryDb, AllDocumentsAndTableColumns) {
  table_->add("b.docx", "NEW", "QD-2");
  table_->add("a.docx", "PROCESSED", "QD-1");
  std::string all;
  for (const Record& r : tolvanstore::get_all_documents()) all += dumps_compact(r) + "\n";
  EXPECT_EQ(all,
            "{\"blob_filename\":\"a.docx\",\"kesto_status\":\"PROCESSED\",\"blob_name\":\"a.docx\"}\n"
            "{\"blob_filename\":\"b.docx\",\"kesto_status\":\"NEW\",\"blob_name\":\"b.docx\"}\n");
  EXPECT_EQ(tolvanstore::get_table_columns(),
            (std::vector<std::string>{"id", "blob_filename", "kesto_status", "document_name", "document_number",
                                      "url_document_name"}));
  shared::config::Settings s = shared::config::get();
  s.TOLVANSTORE_TABLE = table_->name() + "_missing";
  testing_support::ScopedSettings missing(s);
  EXPECT_EQ(tolvanstore::get_table_columns(), std::vector<std::string>{});
}

TEST_F(RegistryDb, OneConnectionReusedUntilClosedThenReopened) {
  table_->add("a.docx", "NEW", "QD-1");
  LogCapture cap;
  tolvanstore::get_all_documents();
  tolvanstore::get_all_pending_documents();
  tolvanstore::TolvanstoreConnector connector;
  connector.get_table_columns();
  connector.close();
  connector.close();
  tolvanstore::get_all_documents();
  EXPECT_EQ(messages(cap, "Tolvan database"),
            (std::vector<std::string>{connected_line(), "Closed Tolvan database connection", connected_line()}));
}

TEST_F(RegistryDb, AFailedReadDoesNotSpoilTheConnection) {
  table_->add("a.docx", "NEW", "QD-1");
  LogCapture cap;
  EXPECT_EQ(tolvanstore::get_all_documents().size(), 1u);
  {
    shared::config::Settings s = shared::config::get();
    s.TOLVANSTORE_TABLE = table_->name() + "_missing";
    testing_support::ScopedSettings missing(s);
    try {
      tolvanstore::get_all_documents();
      FAIL();
    } catch (const shared::DatabaseError& e) {
      EXPECT_EQ(e.sqlstate, "42P01");
    }
  }
  EXPECT_EQ(tolvanstore::get_all_documents().size(), 1u);
  EXPECT_EQ(messages(cap, "Connected to Tolvan").size(), 1u) << "the same connection served every read";
}

TEST_F(RegistryDb, ABrokenConnectionIsReplacedOnTheNextTry) {
  table_->add("a.docx", "NEW", "QD-1");
  LogCapture cap;
  PGconn* shared_conn = tolvanstore::_get_connection();
  const auto pid = pg::first_row(pg::execute(shared_conn, "SELECT pg_backend_pid() AS pid").get()).value()["pid"];
  pg_testing::exec(pg_testing::registry_db(), "SELECT pg_terminate_backend(%s, 5000)", {pid});
  EXPECT_EQ(tolvanstore::get_all_documents().size(), 1u);
  EXPECT_EQ(sleeps_.waits(), std::vector<double>{1.0});
  EXPECT_EQ(messages(cap, "Connected to Tolvan").size(), 2u);
}

TEST_F(RegistryDb, DefaultDatabaseNameWhenTheSettingIsEmpty) {
  shared::config::Settings s = shared::config::get();
  s.TOLVANSTORE_NAME = "";
  testing_support::ScopedSettings scoped(s);
  LogCapture cap;
  if (pg_testing::registry_db() != "0348_kesto") GTEST_SKIP() << "the cluster's registry database has another name";
  EXPECT_EQ(tolvanstore::get_all_documents().size(), 0u);
  EXPECT_EQ(messages(cap, "Connected to Tolvan"), std::vector<std::string>{connected_line()});
}
