// kesto blob: operator access to the pipeline's blob storage through the
// same operations the stages use (retries, account selection, defaults).
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "apps/common/args.hpp"
#include "apps/common/commands.hpp"
#include "apps/common/settings.hpp"
#include "shared/config.hpp"
#include "shared/connectors/blobhub.hpp"
#include "shared/logsetup.hpp"

namespace {

namespace blobhub = shared::connectors::blobhub;

const char* kOverview =
    "usage: kesto blob ACTION [options]\n\n"
    "Reads and writes blobs of the pipeline's own storage account (or, with --source,\n"
    "the source-document account) through the pipeline's blob operations.\n\n"
    "actions:\n"
    "  ls FOLDER                  list the full names of the blobs in FOLDER, one per line\n"
    "  get PATH [-o FILE]         write the blob's bytes to standard output or FILE\n"
    "  put FILE PATH              upload FILE ('-' for standard input) as the blob PATH\n"
    "  rm PATH                    delete the blob\n"
    "  exists PATH                print \"true\" or \"false\"\n"
    "  mkcontainer NAME           create the container if it is missing\n\n"
    "Every action takes --container NAME and --source; see 'kesto blob ACTION --help'.\n"
    "Settings: STORAGE_ACCOUNT_CONNECTION_STRING, STORAGE_CONTAINER_NAME,\n"
    "TOLVAN_STORAGE_ACCOUNT_CONNECTION_STRING, TOLVAN_STORAGE_CONTAINER_NAME, from the\n"
    "environment or a .env file in the working directory.\n"
    "Exit status: 0 success, 1 the operation failed, 2 usage or configuration error.\n";

apps::ArgParser parser(const std::string& action, const std::string& description) {
  apps::ArgParser p("kesto blob " + action, description);
  p.option("container", "c", "NAME",
           "container (default STORAGE_CONTAINER_NAME; with --source TOLVAN_STORAGE_CONTAINER_NAME)");
  p.flag("source", "", "use the source-document account");
  p.option("log-level", "", "LEVEL",
           "log threshold: debug, info, warning, error, critical (default critical: only the error line)");
  return p;
}

apps::Parsed parse(const apps::ArgParser& p, const std::vector<std::string>& args) {
  apps::Parsed parsed = p.parse(args);
  const std::string name = parsed.get("log-level", "critical");
  const auto level = shared::logsetup::parse_level(name);
  if (!level) throw apps::UsageError("unknown log level '" + name + "'");
  shared::logsetup::configure_root_logger(*level);
  // Said at once, instead of after the storage layer's tries.
  const shared::config::Settings& s = shared::config::get();
  if (parsed.has("source") ? s.TOLVAN_STORAGE_CONNECTION_STRING.empty() : s.STORAGE_CONNECTION_STRING.empty()) {
    apps::require_settings({parsed.has("source") ? "TOLVAN_STORAGE_ACCOUNT_CONNECTION_STRING"
                                                 : "STORAGE_ACCOUNT_CONNECTION_STRING"});
  }
  return parsed;
}

std::optional<std::string> container_of(const apps::Parsed& p) {
  if (p.has("container") && !p.get("container").empty()) return p.get("container");
  return std::nullopt;
}

// put and rm on the source account default to its own container, which is
// what operators load source documents into.
std::optional<std::string> write_container(const apps::Parsed& p) {
  if (auto c = container_of(p)) return c;
  if (p.has("source")) return shared::config::get().TOLVAN_STORAGE_CONTAINER_NAME;
  return std::nullopt;
}

int run_ls(const std::vector<std::string>& args) {
  auto p = parser("ls", "List the full names of the blobs in FOLDER (prefix \"FOLDER/\"), one per line.");
  p.positional("FOLDER", apps::Arity::one, "folder (leading and trailing '/' are ignored)");
  const apps::Parsed a = parse(p, args);
  const std::string folder = a.get("FOLDER");
  const std::vector<std::string> names = a.has("source") ? blobhub::list_tolvan_blobs(folder, container_of(a))
                                                         : blobhub::list_blobs_in_folder(folder, {container_of(a)});
  std::string out;
  for (const std::string& n : names) out += n + "\n";
  apps::write_output("", out);
  return 0;
}

int run_get(const std::vector<std::string>& args) {
  auto p = parser("get", "Write the bytes of blob PATH to standard output or FILE.");
  p.positional("PATH", apps::Arity::one, "blob path inside the container");
  p.option("output", "o", "FILE", "write to FILE instead of standard output");
  const apps::Parsed a = parse(p, args);
  const std::string path = a.get("PATH");
  const std::string data =
      a.has("source") ? blobhub::download_from_tolvan(path, container_of(a)) : blobhub::download_blob(path, {container_of(a)});
  apps::write_output(a.get("output"), data);
  return 0;
}

int run_put(const std::vector<std::string>& args) {
  auto p = parser("put", "Upload the bytes of FILE ('-' for standard input) as blob PATH, replacing it.");
  p.positional("FILE", apps::Arity::one, "local file, or '-' for standard input");
  p.positional("PATH", apps::Arity::one, "blob path inside the container");
  p.option("content-type", "", "TYPE", "Content-Type stored with the blob (default: the service's)");
  p.flag("no-overwrite", "", "fail if the blob exists already");
  const apps::Parsed a = parse(p, args);
  const std::string file = a.get("FILE");
  const std::string data = file == "-" ? apps::read_stdin() : apps::read_file(file);
  blobhub::UploadOptions options;
  options.container = write_container(a);
  if (a.has("content-type")) options.content_type = a.get("content-type");
  options.overwrite = !a.has("no-overwrite");
  options.use_tolvan_storage = a.has("source");
  blobhub::upload_blob(a.get("PATH"), data, options);
  return 0;
}

int run_rm(const std::vector<std::string>& args) {
  auto p = parser("rm", "Delete blob PATH (an error if it does not exist).");
  p.positional("PATH", apps::Arity::one, "blob path inside the container");
  const apps::Parsed a = parse(p, args);
  blobhub::delete_blob(a.get("PATH"), {write_container(a), a.has("source")});
  return 0;
}

int run_exists(const std::vector<std::string>& args) {
  auto p = parser("exists", "Print \"true\" if blob PATH exists, \"false\" if it does not.");
  p.positional("PATH", apps::Arity::one, "blob path inside the container");
  const apps::Parsed a = parse(p, args);
  const std::string path = a.get("PATH");
  const bool exists = a.has("source") ? blobhub::check_tolvan_blob_exists(path, container_of(a))
                                      : blobhub::check_blob_exists(path, {container_of(a)});
  apps::write_output("", exists ? "true\n" : "false\n");
  return 0;
}

int run_mkcontainer(const std::vector<std::string>& args) {
  auto p = parser("mkcontainer", "Create container NAME if it is missing (for the local run and operators).");
  p.positional("NAME", apps::Arity::optional, "container (default as --container)");
  const apps::Parsed a = parse(p, args);
  std::optional<std::string> name = a.has("NAME") ? std::optional(a.get("NAME")) : write_container(a);
  if (!name || name->empty()) name = shared::config::get().STORAGE_CONTAINER_NAME;
  if (name->empty()) throw apps::UsageError("no container named and STORAGE_CONTAINER_NAME is not set");
  blobhub::create_container(*name, a.has("source"));
  return 0;
}

int run_blob(const std::vector<std::string>& args) {
  if (args.empty()) {
    std::cerr << kOverview;
    return 2;
  }
  const std::string& action = args[0];
  if (action == "-h" || action == "--help" || action == "help") {
    std::cout << kOverview;
    return 0;
  }
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  int (*run)(const std::vector<std::string>&) = nullptr;
  if (action == "ls") run = run_ls;
  if (action == "get") run = run_get;
  if (action == "put") run = run_put;
  if (action == "rm") run = run_rm;
  if (action == "exists") run = run_exists;
  if (action == "mkcontainer") run = run_mkcontainer;
  if (!run) throw apps::UsageError("unknown action '" + action + "' (see kesto blob --help)");
  // The error line names the action.
  return apps::guarded("kesto blob " + action, [&] { return run(rest); });
}

const apps::RegisterCommand reg{{"blob", "list, read, write and delete blobs of the pipeline's storage", run_blob}};

}  // namespace
