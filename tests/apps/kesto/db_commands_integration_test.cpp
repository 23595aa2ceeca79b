// kesto mainstore-check and kesto registry against the test cluster.
#include <gtest/gtest.h>

#include <algorithm>

#include "connectors/pg_testing.hpp"

namespace {

struct Outcome {
  int status;
  std::string out, err;
};

Outcome kesto(const std::string& env_prefix, const std::string& args) {
  testing_support::TempDir tmp;
  Outcome r;
  r.status = testing_support::run_command(
      env_prefix + " '" + (testing_support::binary_dir() / "kesto").string() + "' " + args + " 2>'" +
          (tmp / "err").string() + "'",
      &r.out);
  r.err = testing_support::read_bytes(tmp / "err");
  return r;
}

}  // namespace

TEST(KestoMainstoreCheck, PrintsTheFirstRowOrNothing) {
  if (!pg_testing::have_cluster()) return;
  pg_testing::MetadataTable table;
  Outcome r = kesto("", "mainstore-check --table " + table.name());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");

  pg_testing::exec(testing_support::env("PGDATABASE"),
                   "INSERT INTO " + table.name() +
                       " (id, document_number, document_name, duration_s, created_at) VALUES "
                       "('a', 'QD-000958', 'Tïtle', 2.5, '2024-05-01 08:30:00+00')");
  r = kesto("PGTZ=UTC", "mainstore-check --table " + table.name());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "{\"id\":\"a\",\"document_number\":\"QD-000958\",\"document_name\":\"Tïtle\",\"blob_filename\":null,"
            "\"url_document_name\":null,\"file_name\":null,\"blob_name\":null,\"kesto_status\":null,\"status\":null,"
            "\"stage\":null,\"error\":null,\"summary\":null,\"processed_at\":null,\"duration_s\":2.5,"
            "\"source_etag\":null,\"index_counts\":null,\"loss_report\":null,\"created_at\":\"2024-05-01T08:30:00+00:00\"}\n");
}

TEST(KestoMainstoreCheck, FailuresAndTheirExitStatus) {
  if (!pg_testing::have_cluster()) return;
  Outcome r = kesto("", "mainstore-check --table 'x;DROP TABLE y'");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err,
            "kesto mainstore-check: error: Invalid table name: 'x;DROP TABLE y' is not a plain SQL identifier "
            "(letters, digits and underscores, not starting with a digit, optionally after one schema name and a "
            "dot)\n");
  r = kesto("", "mainstore-check --table " + pg_testing::unique_name("absent"));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("does not exist"), std::string::npos) << r.err;
  r = kesto("PGPASSWORD=wrong-password", "mainstore-check");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("password authentication failed"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("wrong-password"), std::string::npos) << "the password is never printed";
  EXPECT_EQ(r.out, "");
}

TEST(KestoRegistry, PendingListsTheCountThenOneRecordPerLine) {
  if (!pg_testing::have_cluster()) return;
  pg_testing::RegistryTable table;
  table.add("b.docx", "UPDATED", "QD-2");
  table.add("a.docx", "NEW", "QD-1");
  table.add("c.docx", "PROCESSED", "QD-3");
  const std::string env = "TOLVANSTORE_TABLE=" + table.name();
  Outcome r = kesto(env, "registry pending");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "Found 2 pending files\n"
            "{\"id\":2,\"blob_filename\":\"a.docx\",\"kesto_status\":\"NEW\",\"document_name\":\"Title\","
            "\"document_number\":\"QD-1\",\"url_document_name\":\"https://veeva.example/doc\",\"blob_name\":\"a.docx\"}\n"
            "{\"id\":1,\"blob_filename\":\"b.docx\",\"kesto_status\":\"UPDATED\",\"document_name\":\"Title\","
            "\"document_number\":\"QD-2\",\"url_document_name\":\"https://veeva.example/doc\",\"blob_name\":\"b.docx\"}\n");
  EXPECT_NE(r.err.find("Connected to Tolvan database: "), std::string::npos) << "the log goes to standard error";

  r = kesto(env, "registry pending --status PROCESSED");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.substr(0, r.out.find('\n')), "Found 1 pending files");

  r = kesto(env, "registry lookup a.docx");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.find("{\"id\":2,\"blob_filename\":\"a.docx\""), 0u) << r.out;

  r = kesto(env, "registry columns");
  EXPECT_EQ(r.out, "id\nblob_filename\nkesto_status\ndocument_name\ndocument_number\nurl_document_name\n");
  r = kesto(env, "registry documents");
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 3);
}

TEST(KestoRegistry, ConfigurationAndUsageErrorsExitTwoBeforeAnyRead) {
  if (!pg_testing::have_cluster()) return;
  const char* const missing =
      "Missing required PostgreSQL connection parameters. Set TOLVANSTORE_HOST, TOLVANSTORE_USER, and "
      "TOLVANSTORE_PASSWORD environment variables.";
  Outcome r = kesto("TOLVANSTORE_PASSWORD=", "registry pending");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, std::string("kesto registry: error: ") + missing + "\n");
  r = kesto("TOLVANSTORE_TABLE='t;DROP'", "registry documents");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("Invalid TOLVANSTORE_TABLE: 't;DROP'"), std::string::npos) << r.err;
  r = kesto("", "registry frobnicate");
  EXPECT_EQ(r.status, 2);
  r = kesto("", "registry");
  EXPECT_EQ(r.status, 2);
  r = kesto("", "registry lookup");
  EXPECT_EQ(r.status, 2);
  r = kesto("", "registry --help");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.find("usage: kesto registry SUBCOMMAND"), 0u);
  r = kesto("", "registry pending --help");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.find("usage: kesto registry pending [options]"), 0u);
}
