// kesto audit: a document's audit trail, and its check against the stores.
#include <iostream>

#include "apps/common/args.hpp"
#include "apps/common/commands.hpp"
#include "apps/common/settings.hpp"
#include "shared/config.hpp"
#include "shared/errors.hpp"
#include "shared/host/audit_trail.hpp"
#include "shared/text/pyjson.hpp"
#include "shared/text/qd_number.hpp"
#include "shared/text/utf8.hpp"

namespace {

using shared::Record;

std::string field(const Record& r, const char* key) {
  const Record* v = shared::record::find(r, key);
  if (!v || v->is_null()) return "";
  return v->is_string() ? v->get<std::string>() : v->dump();
}

// One event as a line: time, action, blob and its digest, who wrote it.
std::string event_line(const Record& e) {
  std::string line = field(e, "recorded_at") + "  " + field(e, "action");
  if (const std::string path = field(e, "blob_path"); !path.empty()) {
    line += "  '" + path + "'";
    if (const std::string size = field(e, "size_bytes"); !size.empty()) line += "  " + size + " bytes";
    if (const std::string sha = field(e, "sha256"); !sha.empty()) line += "  sha256 " + sha;
  }
  if (const std::string rows = field(e, "index_rows"); !rows.empty()) line += "  " + rows + " index row(s)";
  if (field(e, "action") == "failed") {
    const Record* d = shared::record::find(e, "detail");
    const std::string error = d && d->is_object() ? field(*d, "error") : "";
    if (!error.empty()) line += "  " + shared::text::one_line(error);
  }
  line += "  (" + field(e, "host_user") + "@" + field(e, "machine") + ", kesto " + field(e, "pipeline_version") + ")";
  return line;
}

int run(const std::vector<std::string>& args) {
  apps::ArgParser p("kesto audit",
                    "Shows a document's audit trail, oldest first: what was ingested, each artefact written\n"
                    "(blob path, size, SHA-256, ETag), the index rows, deletions and their verification, and\n"
                    "failures, each with the user, machine and pipeline version that wrote it. With --verify,\n"
                    "re-reads every artefact the trail says exists and compares size and SHA-256, and lists\n"
                    "the document's blobs that the trail does not know. Only the document's own blobs are\n"
                    "checked: a trail row with an empty path or another document's blob is a note.");
  p.positional("QD-NUMBER", apps::Arity::one, "the document's QD-number, e.g. QD-000958")
      .flag("verify", "", "check the stored artefacts against the trail")
      .flag("json", "", "one JSON object per event (with --verify: the check's report as one object)")
      .with_log_level()
      .epilog("The trail is the table KESTO_AUDIT_TABLE (default \"kesto_audit\") in the metadata database.\n"
              "Exit status: 0 events found (with --verify: every artefact matches and none is unknown);\n"
              "1 no events for the document (with --verify: anything missing, changed or not in the\n"
              "trail); 2 usage or configuration error.");
  const apps::Parsed a = p.parse(args);
  shared::logsetup::configure_root_logger(apps::log_level(a));
  const std::string given = a.get("QD-NUMBER");
  const auto qd = shared::text::normalize_qd_number(given);
  if (!qd) throw apps::UsageError("'" + given + "' is not a QD-number ('QD-' followed by digits)");
  // The check reads the artefacts back from storage too.
  if (a.has("verify")) {
    apps::require_settings(apps::missing_settings({apps::Reach::database, apps::Reach::storage}));
  } else {
    apps::require_settings(apps::missing_settings({apps::Reach::database}));
  }
  const std::vector<Record> history = shared::host::audit_trail::history(*qd);

  if (a.has("verify")) {
    const Record report = shared::host::audit_trail::verify_trail(*qd, history);
    if (a.has("json")) {
      std::cout << shared::text::dumps_compact(report) << std::endl;
    } else {
      std::cout << *qd << ": " << report["checked"] << " artefact(s) in the trail, " << report["matching"]
                << " matching" << std::endl;
      for (const auto& problem : report["problems"]) {
        std::cout << "  " << shared::text::printable(problem.get<std::string>()) << std::endl;
      }
      for (const auto& note : report["notes"]) {
        std::cout << "  note: " << shared::text::printable(note.get<std::string>()) << std::endl;
      }
      std::cout << (report["ok"].get<bool>() ? "verified: the stores hold exactly what the trail says"
                                             : "NOT verified")
                << std::endl;
    }
    return report["ok"].get<bool>() ? 0 : 1;
  }
  if (history.empty()) {
    std::cerr << "kesto audit: no events recorded for '" << *qd << "'" << std::endl;
    return 1;
  }
  for (const Record& e : history) {
    std::cout << (a.has("json") ? shared::text::dumps_compact(e) : shared::text::printable(event_line(e))) << "\n";
  }
  std::cout.flush();
  return 0;
}

apps::RegisterCommand reg{{"audit", "a document's audit trail; --verify checks the stores against it", run}};

}  // namespace
