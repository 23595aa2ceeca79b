// kesto mainstore-check: reads a metadata table and prints its first row.
#include <iostream>

#include "apps/common/args.hpp"
#include "apps/common/commands.hpp"
#include "apps/common/settings.hpp"
#include "shared/connectors/mainstore.hpp"
#include "shared/logsetup.hpp"
#include "shared/text/pyjson.hpp"

namespace {

int run(const std::vector<std::string>& args) {
  apps::ArgParser parser("kesto mainstore-check",
                         "Fetches every row of a table of the pipeline's metadata database (PGHOST, PGPORT,\n"
                         "PGDATABASE, PGUSER, PGPASSWORD; TLS required) and prints the first row as one JSON\n"
                         "line; prints nothing when the table is empty.");
  parser.option("table", "t", "NAME", "table to read (default testing_table_metadata)").with_log_level();
  parser.epilog("Exit status: 0 read (also when empty), 1 the database failed, 2 usage error.");
  const apps::Parsed p = parser.parse(args);
  shared::logsetup::configure_root_logger(apps::log_level(p));
  apps::require_settings(apps::missing_settings({apps::Reach::database}));

  const std::vector<shared::Record> rows =
      shared::connectors::mainstore::fetch_all(p.get("table", "testing_table_metadata"));
  if (!rows.empty()) std::cout << shared::text::dumps_compact(rows.front()) << std::endl;
  return 0;
}

const apps::RegisterCommand reg{{"mainstore-check", "print the first row of a metadata table (database check)", run}};

}  // namespace
