// Helpers of the database tests: the throwaway cluster that
// scripts/services/postgres.sh starts (reached through the PG* and
// TOLVANSTORE_* variables it exports), uniquely named tables made from the
// committed schema scripts and dropped again, and log messages.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "shared/config.hpp"
#include "shared/connectors/pg.hpp"
#include "support/testing.hpp"

namespace pg_testing {

namespace pg = shared::connectors::pg;

// Fails the test when the cluster's variables are missing.
inline bool have_cluster() {
  if (testing_support::env("PGHOST").empty() || testing_support::env("TOLVANSTORE_HOST").empty()) {
    ADD_FAILURE() << "PGHOST/TOLVANSTORE_HOST not set: run the integration tests through scripts/test.sh, "
                     "or eval \"$(bash scripts/services/postgres.sh start DIR)\" first";
    return false;
  }
  return true;
}

// "prefix_<pid>_<n>": distinct across the test processes that run at once.
inline std::string unique_name(const std::string& prefix) {
  static std::atomic<int> n{0};
  return prefix + "_" + std::to_string(::getpid()) + "_" + std::to_string(n++);
}

inline std::string registry_db() {
  const std::string name = testing_support::env("TOLVANSTORE_NAME");
  return name.empty() ? "0348_kesto" : name;
}

// A TLS connection to `dbname` of the cluster as the test role.
inline pg::PgConn connect_db(const std::string& dbname) {
  return pg::connect(pg::ConnectParams{.host = testing_support::env("PGHOST"),
                                       .port = testing_support::env("PGPORT"),
                                       .dbname = dbname,
                                       .user = testing_support::env("PGUSER"),
                                       .password = testing_support::env("PGPASSWORD"),
                                       .sslmode = "require"});
}

inline void exec(const std::string& dbname, const std::string& sql, const std::vector<shared::Record>& values = {}) {
  pg::PgConn c = connect_db(dbname);
  pg::execute(c.get(), sql, values);
}

inline std::vector<shared::Record> query(const std::string& dbname, const std::string& sql,
                                         const std::vector<shared::Record>& values = {}) {
  pg::PgConn c = connect_db(dbname);
  pg::PgResult r = pg::execute(c.get(), sql, values);
  return pg::all_rows(r.get());
}

// Applies sql/<script> with psql and the given -v variables; returns psql's
// exit status.
inline int apply_script(const std::string& dbname, const std::string& script, const std::string& vars) {
  const std::string cmd = "psql -X -q -v ON_ERROR_STOP=1 -d '" + dbname + "' " + vars + " -f '" +
                          (testing_support::source_dir() / "sql" / script).string() + "' 2>&1";
  std::string out;
  const int rc = testing_support::run_command(cmd, &out);
  if (rc != 0) ADD_FAILURE() << cmd << "\n" << out;
  return rc;
}

// A metadata table made from sql/sop_metadata.sql, dropped at the end.
class MetadataTable {
 public:
  MetadataTable() : name_(unique_name("meta")) {
    apply_script(testing_support::env("PGDATABASE"), "sop_metadata.sql", "-v table=" + name_);
  }
  ~MetadataTable() {
    try {
      exec(testing_support::env("PGDATABASE"), "DROP TABLE IF EXISTS " + name_);
    } catch (const std::exception&) {
    }
  }
  const std::string& name() const { return name_; }

 private:
  std::string name_;
};

// A registry table made from sql/kesto_prod.sql in schema ops, dropped at the end.
class RegistryTable {
 public:
  RegistryTable() : name_(unique_name("reg")) {
    apply_script(registry_db(), "kesto_prod.sql", "-v schema=ops -v table=" + name_);
  }
  ~RegistryTable() {
    try {
      exec(registry_db(), "DROP TABLE IF EXISTS ops." + name_);
    } catch (const std::exception&) {
    }
  }
  const std::string& name() const { return name_; }
  void add(const std::string& blob_filename, const std::string& status, const std::string& number,
           const std::string& title = "Title", const std::string& url = "https://veeva.example/doc") const {
    exec(registry_db(),
         "INSERT INTO ops." + name_ +
             " (blob_filename, kesto_status, document_name, document_number, url_document_name) "
             "VALUES (%s, %s, %s, %s, %s)",
         {blob_filename, status, title, number, url});
  }

 private:
  std::string name_;
};

// The "message" of every captured log line.
inline std::vector<std::string> messages(const testing_support::LogCapture& cap, const std::string& needle = "") {
  std::vector<std::string> out;
  for (const std::string& line : cap.lines()) {
    const std::string m = shared::Record::parse(line).value("message", std::string());
    if (m.find(needle) != std::string::npos) out.push_back(m);
  }
  return out;
}

}  // namespace pg_testing
