// kesto delete: removes every artefact of documents by QD-number.
#include <iostream>

#include "apps/common/args.hpp"
#include "apps/common/commands.hpp"
#include "apps/common/settings.hpp"
#include "shared/config.hpp"
#include "shared/errors.hpp"
#include "shared/host/deletion.hpp"
#include "shared/processors/deleter.hpp"
#include "shared/text/pyjson.hpp"

namespace {

using namespace shared::processors;
namespace deletion = shared::host::deletion;

int run(const std::vector<std::string>& args) {
  apps::ArgParser p("kesto delete",
                    "Removes every artefact of each document: its blobs in the five artefact folders (found\n"
                    "by their blob index tag and the paths recorded for it, or --sweep), its\n"
                    "sections in the vector index and its metadata row. Then looks in every store again\n"
                    "and writes the deletion with its verification to the audit trail. Prints each run's\n"
                    "result data (qd_number, deleted_artifacts, warnings, errors) as one JSON object per line.\n"
                    "A QD-number is \"QD-\" followed by digits (any case, surrounding spaces ignored);\n"
                    "anything else is refused before anything is read or removed. A deletion runs under the\n"
                    "document's lock in the metadata database (PGHOST, ...): without it nothing is removed.\n"
                    "A blob another document claims (by its recorded file or its audit trail) is left alone.");
  p.positional("QD-NUMBER", apps::Arity::at_least_one, "QD-numbers of the documents, e.g. QD-000958")
      .flag("dry-run", "n", "list what would be removed, and the blobs left alone (kept); remove nothing")
      .flag("sweep", "",
            "find the blobs by listing every artefact folder, not by their blob index tags: also finds\n"
            "blobs written before tags were used (with --dry-run too)")
      .flag("receipt", "",
            "print the deletion receipt instead of the result data: what was removed, with the size and\n"
            "SHA-256 recorded when it was written, and what the verification found")
      .with_log_level()
      .epilog("A deletion that did not complete keeps (or writes again) the document's metadata row with\n"
              "status DELETION_PENDING, so that 'kesto process --pending' finishes it.\n"
              "Exit status: 0 every deletion succeeded, left nothing behind and was recorded; 1 any\n"
              "deletion failed, left blobs, index sections or the metadata row behind, could not be\n"
              "recorded in the audit trail, or could not take the document's lock (database down, or\n"
              "another process runs it); 2 usage or configuration error, a malformed QD-number or\n"
              "missing settings among them (then nothing is deleted).");
  const apps::Parsed a = p.parse(args);
  shared::logsetup::configure_root_logger(apps::log_level(a));
  // Every number is checked before the first deletion: a typo in the third
  // argument must not leave the first two deleted and the run half done.
  const std::vector<std::string> numbers = a.list("QD-NUMBER");
  for (const std::string& qd : numbers) {
    if (!shared::text::normalize_qd_number(qd)) throw shared::ValueError(deleter::invalid_qd_number_message(qd));
  }
  // A deletion runs under the document's lock in the metadata database, and
  // the dry run shows what it would do: both need the database and storage.
  apps::require_settings(apps::missing_settings({apps::Reach::storage, apps::Reach::database}));
  const deleter::BlobSearch search = a.has("sweep") ? deleter::BlobSearch::sweep : deleter::BlobSearch::automatic;
  bool all_ok = true;
  for (const std::string& qd : numbers) {
    if (a.has("dry-run")) {
      std::cout << shared::text::dumps_compact(deleter::plan_deletion(qd, search)) << std::endl;
      continue;
    }
    const deletion::Deletion d = deletion::delete_document(shared::Record{{"document_number", qd}}, search);
    if (d.busy) {
      std::cerr << "kesto delete: '" << qd << "' is being run by another process at this moment: not deleted"
                << std::endl;
      all_ok = false;
      continue;
    }
    if (!d.lock_error.empty()) {
      std::cerr << "kesto delete: '" << qd << "' not deleted: " << d.lock_error << std::endl;
      all_ok = false;
      continue;
    }
    shared::Record data =
        d.result.data.value_or(shared::Record{{"qd_number", qd}, {"error", d.result.error.value_or("")}});
    std::cout << shared::text::dumps_compact(a.has("receipt") && !d.receipt.is_null() ? d.receipt : data)
              << std::endl;
    bool complete = d.result.success;
    for (const std::string& problem : d.problems()) {
      complete = false;
      std::cerr << "kesto delete: " << problem << std::endl;
    }
    all_ok = all_ok && complete;
  }
  return all_ok ? 0 : 1;
}

apps::RegisterCommand reg{{"delete", "remove every artefact of documents by QD-number (--dry-run lists them)", run}};

}  // namespace
