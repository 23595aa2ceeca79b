// kesto tags: the blob index tags that name each artefact's document.
#include <iostream>

#include "apps/common/args.hpp"
#include "apps/common/commands.hpp"
#include "apps/common/settings.hpp"
#include "shared/host/blob_tags.hpp"
#include "shared/logsetup.hpp"
#include "shared/text/pyjson.hpp"

namespace {

namespace blob_tags = shared::host::blob_tags;

int run_backfill(const std::vector<std::string>& args) {
  apps::ArgParser p("kesto tags backfill",
                    "Lists each artefact folder once and gives every blob that a document owns (its recorded\n"
                    "file, its audit trail, or the one QD-number its name carries, of a document with a\n"
                    "metadata row) that document's blob index tag, kesto_qd=QD-..., keeping its other tags.\n"
                    "Blobs it cannot attribute are reported and left untagged; nothing is deleted. When every\n"
                    "folder was listed and every tag written, it writes kesto-blob-tags.json at the\n"
                    "container's root: deletions then no longer say that untagged blobs may remain.");
  p.flag("dry-run", "n", "report what would be tagged; change nothing")
      .flag("json", "", "print the report as one JSON object")
      .with_log_level();
  const apps::Parsed a = p.parse(args);
  shared::logsetup::configure_root_logger(apps::log_level(a));
  apps::require_settings(apps::missing_settings({apps::Reach::storage, apps::Reach::database}));
  const blob_tags::BackfillReport r = blob_tags::backfill(a.has("dry-run"));
  if (a.has("json")) {
    std::cout << shared::text::dumps_compact(blob_tags::to_record(r)) << std::endl;
  } else {
    std::cout << r.listed << " blob(s) listed, " << r.already_tagged << " already tagged, " << r.tagged
              << (a.has("dry-run") ? " to tag, " : " tagged, ") << r.unattributed.size() << " not attributed"
              << std::endl;
    for (const auto& u : r.unattributed) std::cout << "  not tagged: '" << u.blob_path << "': " << u.reason << std::endl;
    for (const auto& e : r.errors) std::cout << "  error: " << e << std::endl;
    if (r.marker_written) std::cout << "store marked as tagged throughout" << std::endl;
  }
  return r.complete() ? 0 : 1;
}

int run_tags(const std::vector<std::string>& args) {
  const char* usage =
      "usage: kesto tags backfill [--dry-run] [--json]\n\n"
      "Tags the artefacts written before blob index tags were used (see 'kesto tags backfill --help').\n";
  if (args.empty() || args[0] == "-h" || args[0] == "--help") {
    (args.empty() ? std::cerr : std::cout) << usage;
    return args.empty() ? 2 : 0;
  }
  if (args[0] != "backfill") throw apps::UsageError("unknown action '" + args[0] + "' (see kesto tags --help)");
  return run_backfill(std::vector<std::string>(args.begin() + 1, args.end()));
}

const apps::RegisterCommand reg{{"tags", "tag the artefacts written before blob index tags were used", run_tags}};

}  // namespace
