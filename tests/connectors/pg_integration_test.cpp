#include "shared/connectors/pg.hpp"

#include <gtest/gtest.h>

#include "connectors/pg_testing.hpp"
#include "shared/errors.hpp"

namespace pg = shared::connectors::pg;
using shared::Record;

namespace {
class PgDb : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!pg_testing::have_cluster()) GTEST_SKIP();
    conn_ = pg_testing::connect_db(testing_support::env("PGDATABASE"));
  }
  pg::PgConn conn_;
};
}  // namespace

TEST_F(PgDb, RowsInColumnOrderWithValuesByType) {
  pg::execute(conn_.get(), "SET TimeZone TO 'UTC'");
  auto res = pg::execute(conn_.get(),
                         "SELECT %s::int8 AS z_int, 1.5::float4 AS a_float, 12.50::numeric AS num, true AS flag, "
                         "'{\"b\": [1, null], \"a\": \"x\"}'::jsonb AS doc, '{\"k\": 1}'::json AS js, "
                         "'2024-05-01 08:30:00.5+02'::timestamptz AS at_tz, '2024-05-01 08:30:00'::timestamp AS at, "
                         "'2024-05-01'::date AS day, NULL::text AS nothing, %s AS said, "
                         "ARRAY[0.25, -1.5]::real[] AS emb, 'x'::bytea AS raw",
                         {9007199254740993LL, "Tïtle → %s"});
  const auto row = pg::first_row(res.get());
  ASSERT_TRUE(row.has_value());
  EXPECT_EQ(row->dump(),
            R"({"z_int":9007199254740993,"a_float":1.5,"num":12.5,"flag":true,"doc":{"a":"x","b":[1,null]},)"
            R"("js":{"k":1},"at_tz":"2024-05-01T06:30:00.5+00:00","at":"2024-05-01T08:30:00","day":"2024-05-01",)"
            R"("nothing":null,"said":"Tïtle → %s","emb":[0.25,-1.5],"raw":"\\x78"})");
}

TEST_F(PgDb, BoundValuesAreNeverPartOfTheStatement) {
  const std::string hostile = "x'); DROP TABLE pg_class; --";
  auto res = pg::execute(conn_.get(), "SELECT %s AS v, %s::jsonb AS j, %s::bool AS b",
                         {hostile, Record::parse(R"({"a": [1, 2]})"), false});
  EXPECT_EQ(pg::first_row(res.get())->dump(), R"({"v":"x'); DROP TABLE pg_class; --","j":{"a":[1,2]},"b":false})");
}

TEST_F(PgDb, WrongValueCountAndServerErrors) {
  EXPECT_THROW(pg::execute(conn_.get(), "SELECT %s, %s", {1}), shared::ValueError);
  try {
    pg::execute(conn_.get(), "SELECT * FROM no_such_table_here");
    FAIL();
  } catch (const shared::DatabaseError& e) {
    EXPECT_EQ(e.sqlstate, "42P01");
    EXPECT_STREQ(e.what(), "relation \"no_such_table_here\" does not exist");
  }
  // The connection is still usable after a failed statement outside a transaction.
  EXPECT_EQ(Record(pg::all_rows(pg::execute(conn_.get(), "SELECT 1 AS one").get())).dump(), R"([{"one":1}])");
}

TEST_F(PgDb, TransactionRollsBackUnlessCommitted) {
  const std::string t = pg_testing::unique_name("tx");
  pg::execute(conn_.get(), "CREATE TABLE " + t + " (v int)");
  {
    pg::Transaction tx(conn_.get());
    pg::execute(conn_.get(), "INSERT INTO " + t + " VALUES (1)");
  }
  {
    pg::Transaction tx(conn_.get());
    auto res = pg::execute(conn_.get(), "INSERT INTO " + t + " VALUES (2), (3)");
    EXPECT_EQ(pg::affected_rows(res.get()), 2u);
    tx.commit();
  }
  try {
    pg::Transaction tx(conn_.get());
    pg::execute(conn_.get(), "INSERT INTO " + t + " VALUES (4)");
    pg::execute(conn_.get(), "INSERT INTO " + t + " VALUES ('four')");
    tx.commit();
    FAIL();
  } catch (const shared::DatabaseError& e) {
    EXPECT_EQ(e.sqlstate, "22P02");
  }
  auto res = pg::execute(conn_.get(), "SELECT v FROM " + t + " ORDER BY v");
  EXPECT_EQ(Record(pg::all_rows(res.get())).dump(), R"([{"v":2},{"v":3}])");
  pg::execute(conn_.get(), "DROP TABLE " + t);
}

TEST_F(PgDb, NoticesDoNotReachStandardError) {
  testing::internal::CaptureStderr();
  pg::execute(conn_.get(), "DROP TABLE IF EXISTS surely_not_here_" + std::to_string(::getpid()));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

namespace {
// A kept connection of the test's own: one connection, replaced on demand.
struct TestSession {
  pg::PgConn conn;
  std::uint64_t opened = 1;
  template <class F>
  auto with_conn(F&& fn) {
    return fn(conn.get());
  }
  std::uint64_t generation() const { return opened; }
};
}  // namespace

TEST_F(PgDb, AdvisoryLocksAreTakenAllOrNoneAndGoWithTheGuard) {
  const std::string db = testing_support::env("PGDATABASE");
  const std::string a = pg_testing::unique_name("lock_a"), b = pg_testing::unique_name("lock_b");
  TestSession mine{pg_testing::connect_db(db)};
  // Another process holds b, keyed as every lock of the system is.
  pg::execute(conn_.get(), "SELECT pg_advisory_lock(hashtextextended(%s, 0))", {b});
  auto held_elsewhere = [&](const std::string& name) {
    pg::PgConn probe = pg_testing::connect_db(db);
    if (!pg::try_advisory_lock(probe.get(), name)) return true;
    // Given back before the connection closes: a closed session's locks go
    // only once its server process has ended, which may be after the next
    // statement of this test.
    pg::advisory_unlock(probe.get(), name);
    return false;
  };
  {
    pg::AdvisoryLock<TestSession> lock(mine);
    EXPECT_FALSE(lock.try_lock({a, b}));
    EXPECT_FALSE(lock.intact());
    EXPECT_FALSE(held_elsewhere(a)) << "a lock of a refused set stays held";
  }
  pg::advisory_unlock(conn_.get(), b);
  {
    pg::AdvisoryLock<TestSession> lock(mine);
    ASSERT_TRUE(lock.try_lock({a, b}));
    EXPECT_TRUE(lock.intact());
    EXPECT_TRUE(held_elsewhere(a));
    EXPECT_TRUE(held_elsewhere(b));
    // The session opened another connection: the locks went with the old one.
    ++mine.opened;
    EXPECT_FALSE(lock.intact());
    --mine.opened;
  }
  EXPECT_FALSE(held_elsewhere(a));
  EXPECT_FALSE(held_elsewhere(b));
}
