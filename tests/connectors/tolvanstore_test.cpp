#include "shared/connectors/tolvanstore.hpp"

#include <gtest/gtest.h>

#include "shared/errors.hpp"
#include "support/testing.hpp"

namespace tolvanstore = shared::connectors::tolvanstore;
using shared::config::Settings;
using testing_support::ScopedSettings;

namespace {
const char* const kMissing =
    "Missing required PostgreSQL connection parameters. Set TOLVANSTORE_HOST, TOLVANSTORE_USER, and "
    "TOLVANSTORE_PASSWORD environment variables.";

Settings registry_settings() {
  Settings s;
  s.TOLVANSTORE_HOST = "db.example";
  s.TOLVANSTORE_USER = "reader";
  s.TOLVANSTORE_PASSWORD = "secret";
  s.TOLVANSTORE_SCHEMA = "ops";
  s.TOLVANSTORE_TABLE = "kesto_prod";
  return s;
}
}  // namespace

TEST(TolvanstoreParameters, DefaultsForEmptyPortAndDatabase) {
  struct Case {
    const char* port;
    const char* name;
    int want_port;
    const char* want_db;
  };
  const Case cases[] = {
      {"", "", 5432, "0348_kesto"},
      {"6543", "registry", 6543, "registry"},
      {" 6543 ", "", 6543, "0348_kesto"},
  };
  for (const Case& c : cases) {
    Settings s = registry_settings();
    s.TOLVANSTORE_PORT = c.port;
    s.TOLVANSTORE_NAME = c.name;
    ScopedSettings scoped(s);
    const auto p = tolvanstore::connection_parameters();
    EXPECT_EQ(p.port, c.want_port) << c.port;
    EXPECT_EQ(p.database, c.want_db) << c.name;
    EXPECT_EQ(p.host, "db.example");
    EXPECT_EQ(p.user, "reader");
  }
}

TEST(TolvanstoreParameters, MissingOrBadValuesAreRefused) {
  struct Case {
    const char* what;
    std::function<void(Settings&)> change;
    const char* message;
  };
  const Case cases[] = {
      {"host", [](Settings& s) { s.TOLVANSTORE_HOST = ""; }, kMissing},
      {"user", [](Settings& s) { s.TOLVANSTORE_USER = ""; }, kMissing},
      {"password", [](Settings& s) { s.TOLVANSTORE_PASSWORD = ""; }, kMissing},
      {"port", [](Settings& s) { s.TOLVANSTORE_PORT = "54x"; }, "TOLVANSTORE_PORT is not a whole number: '54x'"},
  };
  for (const Case& c : cases) {
    Settings s = registry_settings();
    c.change(s);
    ScopedSettings scoped(s);
    try {
      tolvanstore::connection_parameters();
      ADD_FAILURE() << c.what << " accepted";
    } catch (const shared::ValueError& e) {
      EXPECT_STREQ(e.what(), c.message) << c.what;
    }
  }
}

TEST(TolvanstoreReads, MissingParametersAreRetriedThreeTimesThenRaised) {
  Settings s = registry_settings();
  s.TOLVANSTORE_PASSWORD = "";
  ScopedSettings scoped(s);
  testing_support::RecordedSleeps sleeps;
  testing_support::LogCapture cap(shared::logsetup::Level::warning);
  try {
    tolvanstore::get_all_documents();
    FAIL() << "read without credentials";
  } catch (const shared::ValueError& e) {
    EXPECT_STREQ(e.what(), kMissing);
  }
  EXPECT_EQ(sleeps.waits(), (std::vector<double>{1.0, 2.0}));
  const std::vector<std::string> lines = cap.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[2], std::string(R"({"message": "[retry] get_all_documents failed after 3 attempts: )") + kMissing +
                          "\"}");
}

TEST(TolvanstoreReads, EmptyStatusListReturnsNothingWithoutAQuery) {
  // No credentials at all: any attempt to connect would raise.
  ScopedSettings scoped(Settings{});
  testing_support::RecordedSleeps sleeps;
  EXPECT_TRUE(tolvanstore::get_all_pending_documents(std::vector<std::string>{}).empty());
  EXPECT_TRUE(sleeps.waits().empty());
}

TEST(TolvanstoreReads, SchemaAndTableMustBePlainIdentifiers) {
  const std::pair<const char*, const char*> cases[] = {
      {"ops", "kesto_prod; DROP TABLE ops.kesto_prod"},
      {"ops; --", "kesto_prod"},
      {"", "kesto_prod"},
  };
  testing_support::RecordedSleeps sleeps;
  for (const auto& [schema, table] : cases) {
    Settings s = registry_settings();
    s.TOLVANSTORE_HOST = "127.0.0.1";
    s.TOLVANSTORE_PORT = "1";  // would fail to connect; the names are refused first
    s.TOLVANSTORE_SCHEMA = schema;
    s.TOLVANSTORE_TABLE = table;
    ScopedSettings scoped(s);
    EXPECT_THROW(tolvanstore::get_all_documents(), shared::ValueError) << schema << "." << table;
  }
}

TEST(TolvanstoreConnectorClass, FieldsFromSettingsAndModuleLogger) {
  ScopedSettings scoped(registry_settings());
  const tolvanstore::TolvanstoreConnector c;
  EXPECT_EQ(c.schema, "ops");
  EXPECT_EQ(c.table, "kesto_prod");
  EXPECT_EQ(c.logger->name(), "shared.connectors.tolvanstore");
  shared::logsetup::Logger& mine = shared::logsetup::get_logger("host.provider");
  EXPECT_EQ(tolvanstore::TolvanstoreConnector(&mine).logger, &mine);
}
