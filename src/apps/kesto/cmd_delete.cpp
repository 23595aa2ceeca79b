// kesto delete: removes every artefact of documents by QD-number.
#include <iostream>

#include "apps/common/args.hpp"
#include "apps/common/commands.hpp"
#include "shared/errors.hpp"
#include "shared/processors/deleter.hpp"
#include "shared/text/pyjson.hpp"

namespace {

using namespace shared::processors;

int run(const std::vector<std::string>& args) {
  apps::ArgParser p("kesto delete",
                    "Removes every artefact of each document: its blobs in the five artefact folders, its\n"
                    "sections in the vector index and its metadata row. Prints each run's result data\n"
                    "(qd_number, deleted_artifacts, warnings, errors) as one JSON object per line.\n"
                    "A QD-number is \"QD-\" followed by digits (any case, surrounding spaces ignored);\n"
                    "anything else is refused before anything is read or removed.");
  p.positional("QD-NUMBER", apps::Arity::at_least_one, "QD-numbers of the documents, e.g. QD-000958")
      .flag("dry-run", "n", "list what would be removed (blobs, index sections, metadata row); remove nothing")
      .with_log_level()
      .epilog("Exit status: 0 every deletion succeeded and left nothing behind; 1 any deletion failed or\n"
              "left index sections or the metadata row behind (the database could not be reached);\n"
              "2 usage error, a malformed QD-number among them (then nothing is deleted).");
  const apps::Parsed a = p.parse(args);
  shared::logsetup::configure_root_logger(apps::log_level(a));
  // Every number is checked before the first deletion: a typo in the third
  // argument must not leave the first two deleted and the run half done.
  const std::vector<std::string> numbers = a.list("QD-NUMBER");
  for (const std::string& qd : numbers) {
    if (!shared::text::normalize_qd_number(qd)) throw shared::ValueError(deleter::invalid_qd_number_message(qd));
  }
  bool all_ok = true;
  for (const std::string& qd : numbers) {
    if (a.has("dry-run")) {
      std::cout << shared::text::dumps_compact(deleter::plan_deletion(qd)) << std::endl;
      continue;
    }
    deleter::DeletionStage stage;
    shared::Record context = shared::Record::object();
    const auto result = stage.run(shared::Record{{"document_number", qd}}, context);
    shared::Record data = result.data.value_or(shared::Record{{"qd_number", qd}, {"error", result.error.value_or("")}});
    std::cout << shared::text::dumps_compact(data) << std::endl;
    bool complete = result.success;
    if (const shared::Record* left = shared::record::find(context, "left_behind"); left && left->is_array()) {
      for (const auto& what : *left) {
        complete = false;
        std::cerr << "kesto delete: left behind: " << what.get<std::string>() << std::endl;
      }
    }
    all_ok = all_ok && complete;
  }
  return all_ok ? 0 : 1;
}

apps::RegisterCommand reg{{"delete", "remove every artefact of documents by QD-number (--dry-run lists them)", run}};

}  // namespace
