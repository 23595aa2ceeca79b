#include <gtest/gtest.h>

#include "connectors/pg_testing.hpp"
#include "shared/connectors/audit.hpp"
#include "shared/errors.hpp"

namespace audit = shared::connectors::audit;
using shared::Record;

namespace {

const audit::Event kFailed{.document_number = "QD-000958", .action = std::string(audit::FAILED)};

TEST(AuditTable, RefusesAnExistingTableThatIsNoAuditTrail) {
  if (!pg_testing::have_cluster()) GTEST_SKIP();
  // A mistyped KESTO_AUDIT_TABLE naming the metadata table, or any other.
  pg_testing::MetadataTable metadata;
  const std::string db = testing_support::env("PGDATABASE");
  pg_testing::exec(db, "INSERT INTO " + metadata.name() + " (document_number, status) VALUES ('QD-1', 'PROCESSED')");
  shared::connectors::pg::PgConn conn = pg_testing::connect_db(db);
  try {
    audit::append(conn.get(), metadata.name(), {kFailed});
    ADD_FAILURE() << "a metadata table was taken for an audit trail";
  } catch (const shared::ValueError& e) {
    EXPECT_NE(std::string(e.what()).find("KESTO_AUDIT_TABLE names '" + metadata.name() +
                                         "', a table that is not an audit trail (it has no "),
              std::string::npos)
        << e.what();
  }
  // Nothing was added to it, and it still takes changes: no trigger was put on it.
  pg_testing::exec(db, "UPDATE " + metadata.name() + " SET status = 'ERROR'");
  const auto rows = pg_testing::query(db, "SELECT document_number, status FROM " + metadata.name());
  EXPECT_EQ(Record(rows).dump(), R"([{"document_number":"QD-1","status":"ERROR"}])");
}

TEST(AuditTable, ATrailMadeEarlierIsTakenAsItIs) {
  if (!pg_testing::have_cluster()) GTEST_SKIP();
  const std::string db = testing_support::env("PGDATABASE");
  const std::string table = pg_testing::unique_name("trail");
  shared::connectors::pg::PgConn conn = pg_testing::connect_db(db);
  audit::ensure_table(conn.get(), table);
  // A second process finds the table made and appends to it.
  audit::append(conn.get(), table, {kFailed});
  audit::ensure_table(conn.get(), table);
  EXPECT_EQ(audit::history(conn.get(), table, "QD-000958").size(), 1u);
  EXPECT_THROW(pg_testing::exec(db, "DELETE FROM " + table), shared::DatabaseError);
  pg_testing::exec(db, "DROP TABLE " + table);
}

}  // namespace
