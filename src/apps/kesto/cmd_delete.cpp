// kesto delete: removes every artefact of documents by QD-number.
#include <iostream>

#include "apps/common/args.hpp"
#include "apps/common/commands.hpp"
#include "shared/processors/deleter.hpp"
#include "shared/text/pyjson.hpp"

namespace {

using namespace shared::processors;

int run(const std::vector<std::string>& args) {
  apps::ArgParser p("kesto delete",
                    "Removes every artefact of each document: its blobs in the five artefact folders, its\n"
                    "sections in the vector index and its metadata row. Prints each run's result data\n"
                    "(qd_number, deleted_artifacts, warnings, errors) as one JSON object per line.");
  p.positional("QD-NUMBER", apps::Arity::at_least_one, "QD-numbers of the documents, e.g. QD-000958")
      .flag("dry-run", "n", "list what would be removed (blobs, index sections, metadata row); remove nothing")
      .with_log_level()
      .epilog("Exit status: 0 every deletion succeeded, 1 any failed, 2 usage error.");
  const apps::Parsed a = p.parse(args);
  shared::logsetup::configure_root_logger(apps::log_level(a));
  bool all_ok = true;
  for (const std::string& qd : a.list("QD-NUMBER")) {
    if (a.has("dry-run")) {
      std::cout << shared::text::dumps_compact(deleter::plan_deletion(qd)) << std::endl;
      continue;
    }
    deleter::DeletionStage stage;
    shared::Record context = shared::Record::object();
    const auto result = stage.run(shared::Record{{"document_number", qd}}, context);
    all_ok = all_ok && result.success;
    shared::Record data = result.data.value_or(shared::Record{{"qd_number", qd}, {"error", result.error.value_or("")}});
    std::cout << shared::text::dumps_compact(data) << std::endl;
  }
  return all_ok ? 0 : 1;
}

apps::RegisterCommand reg{{"delete", "remove every artefact of documents by QD-number (--dry-run lists them)", run}};

}  // namespace
