#include "shared/host/audit_trail.hpp"

#include <algorithm>
#include <ctime>
#include <map>
#include <set>

#include "shared/clock.hpp"
#include "shared/config.hpp"
#include "shared/digest.hpp"
#include "shared/errors.hpp"
#include "shared/host/session.hpp"
#include "shared/processors/deleter.hpp"
#include "shared/text/utf8.hpp"

namespace shared::host::audit_trail {

namespace audit = connectors::audit;
namespace blobhub = connectors::blobhub;

namespace {

Record texts(const Record* r) { return r && r->is_array() ? *r : Record::array(); }

Record number_or_null(const Record& row, const char* key) {
  const Record* v = record::find(row, key);
  return v && v->is_number() ? *v : Record();
}

Record text_or_null(const Record& row, const char* key) {
  const Record* v = record::find(row, key);
  return v && v->is_string() ? *v : Record();
}

}  // namespace

std::vector<audit::Event> run_events(const std::string& qd, const std::string& blob_filename,
                                     const std::vector<blobhub::UploadRecord>& uploads, const std::string& source_etag,
                                     const std::string& status, const std::string& stage, const std::string& error,
                                     const Record& indexing) {
  const auto& s = config::get();
  const std::vector<std::string> mine = processors::deleter::artifact_paths(blob_filename);
  const std::string source_path = blobhub::build_blob_path(s.BLOB_FOLDER_DOCUMENTS, blob_filename);
  // The last acknowledged write of each of the document's paths, in the
  // order the paths were first written.
  std::vector<std::string> order;
  std::map<std::string, const blobhub::UploadRecord*> last;
  for (const auto& u : uploads) {
    if (u.container != s.STORAGE_CONTAINER_NAME && !s.STORAGE_CONTAINER_NAME.empty()) continue;
    if (std::find(mine.begin(), mine.end(), u.blob_path) == mine.end()) continue;
    if (!last.count(u.blob_path)) order.push_back(u.blob_path);
    last[u.blob_path] = &u;
  }
  std::vector<audit::Event> events;
  for (const std::string& path : order) {
    const auto& u = *last[path];
    events.push_back(audit::Event{.document_number = qd,
                                  .action = std::string(path == source_path ? audit::INGESTED : audit::ARTEFACT_WRITTEN),
                                  .blob_path = u.blob_path,
                                  .size = u.size,
                                  .sha256 = u.sha256,
                                  .etag = u.etag,
                                  .source_etag = source_etag,
                                  .index_rows = std::nullopt,
                                  .detail = Record()});
  }
  if (indexing.is_object()) {
    const Record* rows = record::find(indexing, "sections");
    events.push_back(audit::Event{.document_number = qd,
                                  .action = std::string(audit::INDEXED),
                                  .source_etag = source_etag,
                                  .index_rows = rows && rows->is_number_integer() ? std::optional(rows->get<long long>())
                                                                                 : std::nullopt,
                                  .detail = indexing});
  }
  if (status != "PROCESSED") {
    events.push_back(audit::Event{.document_number = qd,
                                  .action = std::string(audit::FAILED),
                                  .source_etag = source_etag,
                                  .detail = Record{{"status", status},
                                                   {"stage", stage.empty() ? Record() : Record(stage)},
                                                   {"error", error}}});
  }
  return events;
}

Record deletion_receipt(const std::string& qd, const Record& result_data, const Record& context,
                        const std::vector<Record>& history, const Record& verification) {
  std::map<std::string, Record> recorded;
  for (const Record& e : audit::live_artefacts(history)) recorded[record::get_text_or(e, "blob_path", "")] = e;
  Record removed = Record::array();
  for (const auto& path : texts(record::find(result_data, "deleted_artifacts"))) {
    const std::string p = path.get<std::string>();
    Record item = Record::object();
    item["blob_path"] = p;
    const auto it = recorded.find(p);
    const Record known = it == recorded.end() ? Record::object() : it->second;
    item["size_bytes"] = number_or_null(known, "size_bytes");
    item["sha256"] = text_or_null(known, "sha256");
    item["etag"] = text_or_null(known, "etag");
    removed.push_back(item);
  }
  const Record errors = texts(record::find(result_data, "errors"));
  const Record left = texts(record::find(context, "left_behind"));
  Record receipt = Record::object();
  receipt["qd_number"] = qd;
  receipt["deleted_at"] = clock::utc_now_iso();
  receipt["removed"] = removed;
  const Record* sections = record::find(context, "index_sections_removed");
  receipt["index_sections_removed"] = sections ? *sections : Record();
  const Record* row = record::find(context, "metadata_row_removed");
  receipt["metadata_row_removed"] = row ? *row : Record();
  receipt["warnings"] = texts(record::find(result_data, "warnings"));
  receipt["errors"] = errors;
  receipt["left_behind"] = left;
  receipt["kept"] = texts(record::find(context, "kept"));
  receipt["verification"] = verification;
  receipt["complete"] =
      errors.empty() && left.empty() && verification.is_object() && verification.value("verified", false);
  return receipt;
}

std::vector<audit::Event> deletion_events(const std::string& qd, const Record& receipt) {
  std::vector<audit::Event> events;
  for (const auto& item : texts(record::find(receipt, "removed"))) {
    const Record* size = record::find(item, "size_bytes");
    events.push_back(audit::Event{
        .document_number = qd,
        .action = std::string(audit::DELETED),
        .blob_path = record::get_text_or(item, "blob_path", ""),
        .size = size && size->is_number_integer() ? std::optional(size->get<long long>()) : std::nullopt,
        .sha256 = record::get_text_or(item, "sha256", ""),
        .etag = record::get_text_or(item, "etag", "")});
  }
  const bool complete = receipt.value("complete", false);
  const Record* verification = record::find(receipt, "verification");
  const Record* remaining = verification ? record::find(*verification, "index_sections") : nullptr;
  events.push_back(audit::Event{
      .document_number = qd,
      .action = std::string(complete ? audit::DELETION_VERIFIED : audit::FAILED),
      .index_rows = remaining && remaining->is_number_integer() ? std::optional(remaining->get<long long>())
                                                                : std::nullopt,
      .detail = complete ? receipt : Record{{"stage", "DELETION"}, {"receipt", receipt}}});
  return events;
}

Record verify_trail(const std::string& qd, const std::vector<Record>& history) {
  Record missing = Record::array(), changed = Record::array(), not_in_trail = Record::array(),
         problems = Record::array(), notes = Record::array();
  const Record doc{{"document_number", qd}};
  const std::vector<Record> live = audit::live_artefacts(history);
  // Only the document's own paths are followed: a row of the trail that
  // names another document's blob, or none, is not this document's to check.
  std::set<std::string> own;
  {
    std::vector<std::string> paths;
    for (const Record& e : live) paths.push_back(record::get_text_or(e, "blob_path", ""));
    try {
      const Record judged = processors::deleter::own_paths(doc, paths);
      for (const auto& p : judged.at("own")) own.insert(p.get<std::string>());
      for (const auto& n : judged.at("notes")) notes.push_back(n);
    } catch (const std::exception& e) {
      problems.push_back(text::one_line(e.what()));
    }
  }
  std::set<std::string> known;
  long checked = 0, matching = 0;
  for (const Record& e : live) {
    const std::string path = record::get_text_or(e, "blob_path", "");
    known.insert(path);
    if (!own.count(path)) continue;
    ++checked;
    std::string bytes;
    try {
      if (!blobhub::check_blob_exists(path)) {
        missing.push_back(path);
        problems.push_back("missing: '" + path + "'");
        continue;
      }
      bytes = blobhub::download_blob(path);
    } catch (const std::exception& e) {
      problems.push_back("could not read '" + path + "': " + text::one_line(e.what()));
      continue;
    }
    const std::string sha = digest::sha256_hex(bytes);
    const Record recorded_size = number_or_null(e, "size_bytes");
    const bool same = sha == record::get_text_or(e, "sha256", "") && recorded_size.is_number_integer() &&
                      recorded_size.get<long long>() == static_cast<long long>(bytes.size());
    if (same) {
      ++matching;
      continue;
    }
    changed.push_back(Record{{"blob_path", path},
                             {"recorded", {{"size_bytes", recorded_size}, {"sha256", text_or_null(e, "sha256")}}},
                             {"found", {{"size_bytes", bytes.size()}, {"sha256", sha}}}});
    problems.push_back("changed: '" + path + "'");
  }
  // Blobs of the document the trail does not know: found as a deletion
  // would find them.
  try {
    const Record plan = processors::deleter::plan_document_deletion(doc);
    for (const auto& w : texts(record::find(plan, "warnings"))) {
      const std::string text = w.get<std::string>();
      if (text.rfind("Failed to list", 0) == 0 || text.rfind("Could not check", 0) == 0) {
        problems.push_back(text);
      } else if (text.rfind("blobs written before blob index tags", 0) == 0) {
        notes.push_back(text);
      }
    }
    for (const auto& b : texts(record::find(plan, "blobs"))) {
      const std::string path = b.get<std::string>();
      if (known.count(path)) continue;
      not_in_trail.push_back(path);
      problems.push_back("not in the trail: '" + path + "'");
    }
    for (const auto& k : texts(record::find(plan, "kept"))) {
      const Record note = "'" + record::get_text_or(k, "blob_path", "") + "' left alone: " +
                          record::get_text_or(k, "reason", "");
      if (std::find(notes.begin(), notes.end(), note) == notes.end()) notes.push_back(note);
    }
  } catch (const std::exception& e) {
    problems.push_back(std::string("could not list the document's blobs: ") + text::one_line(e.what()));
  }
  Record out = Record::object();
  out["qd_number"] = qd;
  out["checked"] = checked;
  out["matching"] = matching;
  out["missing"] = missing;
  out["changed"] = changed;
  out["not_in_trail"] = not_in_trail;
  out["problems"] = problems;
  out["notes"] = notes;
  out["ok"] = problems.empty();
  return out;
}

void append(const std::vector<audit::Event>& events) {
  if (events.empty()) return;
  const std::string table = config::get().AUDIT_TABLE;
  session::get().with_conn([&](PGconn* c) {
    audit::append(c, table, events);
    return 0;
  });
}

std::vector<Record> history(const std::string& qd) {
  const std::string table = config::get().AUDIT_TABLE;
  return session::get().with_conn([&](PGconn* c) { return audit::history(c, table, qd); });
}

}  // namespace shared::host::audit_trail
