// kesto registry: read-only views of the source document registry.
#include <iostream>

#include "apps/common/args.hpp"
#include "apps/common/commands.hpp"
#include "shared/config.hpp"
#include "shared/connectors/pg.hpp"
#include "shared/connectors/tolvanstore.hpp"
#include "shared/errors.hpp"
#include "shared/logsetup.hpp"
#include "shared/text/pyjson.hpp"

namespace {

namespace tolvanstore = shared::connectors::tolvanstore;

const char* const kSettings =
    "Settings: TOLVANSTORE_HOST, TOLVANSTORE_USER, TOLVANSTORE_PASSWORD (required), TOLVANSTORE_PORT\n"
    "(default 5432), TOLVANSTORE_NAME (default 0348_kesto), TOLVANSTORE_SCHEMA and TOLVANSTORE_TABLE.\n"
    "Failed reads are tried three times. Exit status: 0 success, 1 the read failed or found nothing,\n"
    "2 usage or configuration error.";

std::string usage() {
  return std::string(
             "usage: kesto registry SUBCOMMAND [options]\n\n"
             "Reads the source document registry.\n\n"
             "subcommands:\n"
             "  pending [--status S]...   \"Found {n} pending files\", then each pending document as one JSON line\n"
             "                            (statuses NEW, UPDATED, DELETED unless given)\n"
             "  lookup BLOB_FILENAME      the document record of that source file as one JSON line\n"
             "  documents                 blob_filename and kesto_status of every document, one JSON line each\n"
             "  columns                   the registry table's column names, one per line\n\n") +
         kSettings + "\n";
}

// Configuration faults end the command before any read (exit status 2).
void check_settings() {
  tolvanstore::connection_parameters();
  const shared::config::Settings& s = shared::config::get();
  shared::connectors::pg::check_identifier(s.TOLVANSTORE_SCHEMA, "TOLVANSTORE_SCHEMA");
  shared::connectors::pg::check_identifier(s.TOLVANSTORE_TABLE, "TOLVANSTORE_TABLE");
}

apps::Parsed parse(apps::ArgParser& parser, const std::vector<std::string>& args) {
  parser.with_log_level().epilog(kSettings);
  apps::Parsed p = parser.parse(args);
  shared::logsetup::configure_root_logger(apps::log_level(p));
  check_settings();
  return p;
}

int pending(const std::vector<std::string>& args) {
  apps::ArgParser parser("kesto registry pending",
                         "Prints \"Found {n} pending files\" and then every pending document record as one\n"
                         "JSON line, ordered by blob_filename.");
  parser.option("status", "s", "STATUS", "a status to include (repeatable; default NEW, UPDATED, DELETED)");
  const apps::Parsed p = parse(parser, args);
  std::optional<std::vector<std::string>> statuses;
  if (p.has("status")) statuses = p.list("status");
  const std::vector<shared::Record> docs = tolvanstore::TolvanstoreConnector().get_all_pending_documents(statuses);
  std::cout << "Found " << docs.size() << " pending files\n";
  for (const shared::Record& d : docs) std::cout << shared::text::dumps_compact(d) << "\n";
  std::cout.flush();
  return 0;
}

int lookup(const std::vector<std::string>& args) {
  apps::ArgParser parser("kesto registry lookup",
                         "Prints the registry record of one source file as one JSON line: the exact match,\n"
                         "or else the first file containing the name without its first 15 characters.");
  parser.positional("BLOB_FILENAME", apps::Arity::one, "the document's path in the source storage");
  const apps::Parsed p = parse(parser, args);
  try {
    const shared::Record doc = tolvanstore::TolvanstoreConnector().get_document_status(p.get("BLOB_FILENAME"));
    std::cout << shared::text::dumps_compact(doc) << std::endl;
    return 0;
  } catch (const shared::ValueError& e) {
    // Settings were checked above: what remains is "Document not found".
    std::cerr << "kesto registry lookup: error: " << e.what() << std::endl;
    return 1;
  }
}

int documents(const std::vector<std::string>& args) {
  apps::ArgParser parser("kesto registry documents",
                         "Prints blob_filename, kesto_status and blob_name of every registry document as one\n"
                         "JSON line each, ordered by blob_filename.");
  parse(parser, args);
  for (const shared::Record& d : tolvanstore::TolvanstoreConnector().get_all_documents()) {
    std::cout << shared::text::dumps_compact(d) << "\n";
  }
  std::cout.flush();
  return 0;
}

int columns(const std::vector<std::string>& args) {
  apps::ArgParser parser("kesto registry columns", "Prints the registry table's column names in column order.");
  parse(parser, args);
  for (const std::string& c : tolvanstore::TolvanstoreConnector().get_table_columns()) std::cout << c << "\n";
  std::cout.flush();
  return 0;
}

int run(const std::vector<std::string>& args) {
  if (args.empty()) {
    std::cerr << usage();
    return 2;
  }
  const std::string& sub = args[0];
  if (sub == "--help" || sub == "-h" || sub == "help") {
    std::cout << usage();
    return 0;
  }
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  if (sub == "pending") return pending(rest);
  if (sub == "lookup") return lookup(rest);
  if (sub == "documents") return documents(rest);
  if (sub == "columns") return columns(rest);
  throw apps::UsageError("unknown subcommand '" + sub + "' (see kesto registry --help)");
}

const apps::RegisterCommand reg{{"registry", "read the source document registry (pending, lookup, ...)", run}};

}  // namespace
