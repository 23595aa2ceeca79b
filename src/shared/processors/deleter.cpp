#include "shared/processors/deleter.hpp"

#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <set>

#include "shared/clock.hpp"
#include "shared/config.hpp"
#include "shared/connectors/audit.hpp"
#include "shared/connectors/blobhub.hpp"
#include "shared/connectors/mainstore.hpp"
#include "shared/connectors/pg.hpp"
#include "shared/connectors/vector_db.hpp"
#include "shared/errors.hpp"
#include "shared/processors/artifact_names.hpp"
#include "shared/text/utf8.hpp"

namespace shared::processors::deleter {

namespace blobhub = connectors::blobhub;
namespace mainstore = connectors::mainstore;
namespace pg = connectors::pg;

namespace {

const char* const kNoQdNumber =
    "Cannot determine QD-number for deletion. Ensure 'document_number' is present in the document metadata.";

// The document a deletion is about: its canonical QD-number, the text it was
// given as (stripped; what messages show, and the form rows written before
// numbers were upper-cased may carry), and the file names recorded for it.
struct Target {
  std::string qd_number;
  std::string given;
  std::vector<std::string> blob_filenames;
};

// The document's metadata row under its canonical number, else under the
// form it was given in.
std::optional<Record> find_row(const Target& t) {
  const std::string& table = config::get().PGTABLE;
  auto row = mainstore::get_by_document_number(t.qd_number, table);
  if (!row && t.given != t.qd_number) row = mainstore::get_by_document_number(t.given, table);
  return row;
}

void add_file_name(Target& t, const std::string& name) {
  if (!name.empty() && std::find(t.blob_filenames.begin(), t.blob_filenames.end(), name) == t.blob_filenames.end()) {
    t.blob_filenames.push_back(name);
  }
}

// The source file names the document's own audit trail says its runs
// ingested: a run that wrote artefacts under a name the row no longer
// carries left them to this document all the same.
std::vector<std::string> ingested_file_names(PGconn* conn, const std::string& qd_number) {
  const std::string prefix = config::get().BLOB_FOLDER_DOCUMENTS + "/";
  std::vector<std::string> out;
  for (const Record& e : connectors::audit::history(conn, config::get().AUDIT_TABLE, qd_number)) {
    if (record::get_text_or(e, "action", "") != connectors::audit::INGESTED) continue;
    const std::string path = record::get_text_or(e, "blob_path", "");
    if (path.size() > prefix.size() && path.rfind(prefix, 0) == 0) out.push_back(path.substr(prefix.size()));
  }
  return out;
}

// The last path component of the document name an artefact path was built
// from, for each artefact kind the path can be; a recorded file that gives
// the path holds it in its name.
std::vector<std::string> artefact_stems(const std::string& path) {
  const auto& s = config::get();
  const std::pair<const std::string&, std::string_view> kinds[] = {
      {s.BLOB_FOLDER_DOCUMENTS, ""},         {s.BLOB_FOLDER_MARKDOWN, ".md"},
      {s.BLOB_FOLDER_JSON, ".sections.json"}, {s.BLOB_FOLDER_ENRICHED_JSON, ".enriched.json"},
      {s.BLOB_FOLDER_SUMMARY, ".summary.md"}};
  std::vector<std::string> out;
  for (const auto& [folder, suffix] : kinds) {
    const std::string prefix = blobhub::build_blob_path(folder, "");
    if (path.rfind(prefix, 0) != 0) continue;
    std::string name = path.substr(prefix.size());
    if (suffix.empty()) {
      name = artifact_names::doc_name(name);
    } else if (name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      name.resize(name.size() - suffix.size());
    } else {
      continue;
    }
    const auto slash = name.rfind('/');
    out.push_back(slash == std::string::npos ? name : name.substr(slash + 1));
  }
  return out;
}

// For each of `paths` that another document claims, why: it is an artefact
// path of that document's recorded file (its metadata row), or the audit
// trail records it as that document's live artefact. Two statements over
// the paths alone.
std::map<std::string, std::string> others_claims(PGconn* conn, const std::string& qd_number,
                                                 const std::vector<std::string>& paths) {
  std::map<std::string, std::string> out;
  if (paths.empty()) return out;
  const std::set<std::string> wanted(paths.begin(), paths.end());
  std::set<std::string> stems;
  for (const std::string& p : paths) {
    for (std::string& stem : artefact_stems(p)) stems.insert(std::move(stem));
  }
  // A row whose file name holds one of the stems is a candidate; its
  // artefact paths, built as the pipeline builds them, decide.
  for (const Record& row : mainstore::files_sharing_keys(conn, config::get().PGTABLE, qd_number,
                                                    std::vector<std::string>(stems.begin(), stems.end()))) {
    const std::string file = record::get_text_or(row, "blob_filename", "");
    for (const std::string& p : artifact_paths(file)) {
      if (wanted.count(p) && !out.count(p)) {
        out[p] = "an artefact of " + record::get_text_or(row, "document_number", "") + "'s recorded file '" + file +
                 "'";
      }
    }
  }
  for (const auto& [path, owner] : connectors::audit::live_owners(conn, config::get().AUDIT_TABLE, paths)) {
    // The trail's own rows may carry the number in another case.
    if (text::normalize_qd_number(owner) == qd_number || out.count(path)) continue;
    out[path] = "a live artefact of " + owner + " in the audit trail";
  }
  return out;
}

// One folder's listing, reduced to the blobs of the document.
struct FolderScan {
  std::string folder;
  std::optional<std::string> error;  // the listing failed
  bool matched = false;              // some blob is the document's by name or file
  std::vector<std::string> matches;  // those no other document claims
};

// A blob of the document that another document claims, and why.
struct Kept {
  std::string blob_path, reason;
};

// Everything a deletion looks at before removing anything; shared by the
// run, the dry run and the verification so that all find exactly the same
// blobs.
struct Survey {
  Target target;
  std::optional<Record> row;
  std::vector<FolderScan> folders;
  std::vector<Kept> kept;
  std::vector<std::string> warnings;  // lookups that failed before the scan
  // Other documents' claims could not be read: no blob is the document's
  // to remove.
  std::optional<std::string> claims_error;
  std::vector<std::string> known_own;  // the document's own paths among the known ones
  std::vector<std::string> notes;      // known paths not followed, and why
  // Blobs were found by their tags (not by listing the folders), and the
  // paths whose presence was asked one by one on the way.
  bool by_tags = false;
  std::set<std::string> looked_up;
  // Found by tags in a store not known to have been tagged throughout:
  // blobs written before tags were used may be there unseen. Why, or "".
  std::string untagged_note;
};

// How a survey finds the document's blobs in the artefact folders.
enum class Finding { listing, tags, none };

Finding finding_for(BlobSearch search) {
  if (search == BlobSearch::sweep || !blobhub::tags_enabled()) return Finding::listing;
  return Finding::tags;
}

std::string untagged_note_text(const std::string& given, const std::string& why) {
  return "blobs written before blob index tags were used are not looked for (" + why +
         "): untagged ones of '" + given + "' may remain; 'kesto tags backfill' tags them, 'kesto delete --sweep " +
         given + "' lists every artefact folder";
}

// The blobs of the folders found through the document's tag and the
// document's own recorded paths, each asked for when the tag did not
// find it: per folder, in name order, as a listing gives them. A tagged
// blob that is neither named after the document nor an artefact of a file
// recorded for it is not taken on the tag's word: it is kept.
void find_by_tags(Survey& s, const std::set<std::string>& mine,
                  const std::function<bool(const std::string&)>& is_mine,
                  std::vector<std::vector<std::string>>& candidates, std::vector<std::string>& all) {
  s.by_tags = true;
  std::optional<std::string> find_error;
  std::set<std::string> tagged;
  try {
    for (std::string& n : blobhub::find_document_blobs(s.target.qd_number)) tagged.insert(std::move(n));
  } catch (const std::exception& e) {
    find_error = e.what();
  }
  try {
    if (!blobhub::tags_marker_present()) s.untagged_note = "the store has not been backfilled";
  } catch (const std::exception& e) {
    s.untagged_note = "whether the store was backfilled could not be read: " + text::one_line(e.what());
  }
  for (const std::string& folder : DeletionStage::_ALL_ARTIFACT_FOLDERS()) {
    const std::string prefix = blobhub::build_blob_path(folder, "");
    FolderScan scan{.folder = folder};
    candidates.emplace_back();
    std::set<std::string> found;
    if (find_error) {
      scan.error = *find_error;
    } else {
      for (auto it = tagged.lower_bound(prefix); it != tagged.end() && it->rfind(prefix, 0) == 0; ++it) {
        if (is_mine(*it)) {
          found.insert(*it);
        } else {
          s.kept.push_back(Kept{*it, "tagged " + std::string(blobhub::DOCUMENT_TAG) + "=" + s.target.qd_number +
                                         " but neither named after '" + s.target.given +
                                         "' nor an artefact of a file recorded for it"});
        }
      }
      for (auto it = mine.lower_bound(prefix); it != mine.end() && it->rfind(prefix, 0) == 0; ++it) {
        if (tagged.count(*it)) continue;
        try {
          if (blobhub::check_blob_exists(*it)) found.insert(*it);
          s.looked_up.insert(*it);
        } catch (const std::exception& e) {
          if (!scan.error) scan.error = e.what();
        }
      }
    }
    for (const std::string& n : found) {
      all.push_back(n);
      candidates.back().push_back(n);
    }
    scan.matched = !found.empty();
    s.folders.push_back(std::move(scan));
  }
}

// `known`: paths from elsewhere (the audit trail) to judge as well;
// `finding`: how the artefact folders are searched, if at all.
Survey survey(Target target, const std::vector<std::string>& known = {}, Finding finding = Finding::listing) {
  Survey s{.target = std::move(target)};
  try {
    s.row = find_row(s.target);
    if (s.row) add_file_name(s.target, record::get_text_or(*s.row, "blob_filename", ""));
  } catch (const std::exception& e) {
    s.warnings.push_back(std::string("sop_metadata lookup failed (non-fatal): ") + e.what());
  }
  std::optional<pg::PgConn> conn;
  try {
    conn = mainstore::get_conn();
    for (const std::string& name : ingested_file_names(conn->get(), s.target.qd_number)) add_file_name(s.target, name);
  } catch (const std::exception& e) {
    s.warnings.push_back(std::string("audit trail lookup failed (non-fatal): ") + e.what());
  }
  std::set<std::string> mine;
  for (const std::string& name : s.target.blob_filenames) {
    for (std::string& p : artifact_paths(name)) mine.insert(std::move(p));
  }
  const std::function<bool(const std::string&)> is_mine = [&](const std::string& n) {
    return names_document(n, s.target.qd_number) || mine.count(n) > 0;
  };

  std::vector<std::vector<std::string>> candidates;
  std::vector<std::string> all;
  if (finding == Finding::tags) {
    find_by_tags(s, mine, is_mine, candidates, all);
  } else if (finding == Finding::listing) {
    for (const std::string& folder : DeletionStage::_ALL_ARTIFACT_FOLDERS()) {
      FolderScan scan{.folder = folder};
      candidates.emplace_back();
      try {
        for (std::string& n : blobhub::list_blobs_in_folder(folder)) {
          if (!is_mine(n)) continue;
          all.push_back(n);
          candidates.back().push_back(std::move(n));
        }
      } catch (const std::exception& e) {
        scan.error = e.what();
      }
      scan.matched = !candidates.back().empty();
      s.folders.push_back(std::move(scan));
    }
  }
  std::vector<std::string> known_mine;
  for (const std::string& p : known) {
    if (p.empty()) {
      s.notes.push_back("an audit event without a blob path: not followed");
    } else if (!is_mine(p)) {
      s.notes.push_back("'" + p + "' is neither named after '" + s.target.given +
                        "' nor an artefact of a file recorded for it: not followed");
    } else if (std::find(known_mine.begin(), known_mine.end(), p) == known_mine.end()) {
      known_mine.push_back(p);
      all.push_back(p);
    }
  }

  std::map<std::string, std::string> claims;
  try {
    if (!all.empty()) {
      if (!conn) conn = mainstore::get_conn();
      claims = others_claims(conn->get(), s.target.qd_number, all);
    }
  } catch (const std::exception& e) {
    s.claims_error = text::one_line(e.what());
  }
  for (std::size_t i = 0; i < s.folders.size(); ++i) {
    for (std::string& n : candidates[i]) {
      if (s.claims_error) continue;
      if (const auto it = claims.find(n); it != claims.end()) {
        s.kept.push_back(Kept{n, it->second});
      } else {
        s.folders[i].matches.push_back(std::move(n));
      }
    }
  }
  for (const std::string& p : known_mine) {
    if (const auto it = claims.find(p); it != claims.end()) {
      s.notes.push_back("'" + p + "' left alone: " + it->second);
    } else if (!s.claims_error) {
      s.known_own.push_back(p);
    }
  }
  return s;
}

std::string claims_error_text(const std::string& e) {
  return "Could not check which blobs belong to other documents: " + e;
}

Record kept_record(const std::vector<Kept>& kept) {
  Record out = Record::array();
  for (const Kept& k : kept) out.push_back(Record{{"blob_path", k.blob_path}, {"reason", k.reason}});
  return out;
}

// The document a record names; nullopt with `error` set when it names none
// or a malformed one.
std::optional<Target> target_of(const Record& doc, std::string& error) {
  const std::string given = qd_number_of(doc);
  if (given.empty()) {
    error = kNoQdNumber;
    return std::nullopt;
  }
  const auto qd = text::normalize_qd_number(given);
  if (!qd) {
    error = invalid_qd_number_message(given);
    return std::nullopt;
  }
  Target t{.qd_number = *qd, .given = given};
  add_file_name(t, record::get_text_or(doc, "blob_filename", ""));
  return t;
}

// The number of the document's index rows, creating nothing: 0 when the
// index table does not exist yet.
std::size_t count_index_rows(const std::string& qd_number) {
  const std::string table = connectors::vector_db::table_for();
  pg::PgConn conn = mainstore::get_conn();
  pg::PgResult found = pg::execute(conn.get(), "SELECT to_regclass(%s) IS NOT NULL AS present", {table});
  if (!pg::first_row(found.get()).value_or(Record::object()).value("present", false)) return 0;
  pg::PgResult res = pg::execute(
      conn.get(), "SELECT count(*) AS n FROM " + table + " WHERE upper(qd_number) = upper(%s)", {qd_number});
  return pg::first_row(res.get()).value_or(Record::object()).value("n", std::size_t{0});
}

}  // namespace

DeletionStage::DeletionStage() : PipelineStageBase("DELETION", "shared.processors.deleter") {}

std::vector<std::string> DeletionStage::_ALL_ARTIFACT_FOLDERS() {
  const auto& s = config::get();
  return {s.BLOB_FOLDER_DOCUMENTS, s.BLOB_FOLDER_MARKDOWN, s.BLOB_FOLDER_JSON, s.BLOB_FOLDER_ENRICHED_JSON,
          s.BLOB_FOLDER_SUMMARY};
}

std::string qd_number_of(const Record& doc) {
  std::string qd = record::get_text(doc, "document_number", "");
  if (qd.empty()) qd = record::get_text(doc, "qd_number", "");
  qd = std::string(text::strip(qd));
  if (qd.empty()) qd = find_qd_number(record::get_text(doc, "blob_filename", ""));
  return qd;
}

std::string invalid_qd_number_message(std::string_view given) {
  return "Invalid QD-number '" + std::string(given) +
         "' for deletion: a QD-number is 'QD-' followed by digits, e.g. 'QD-000958'. Nothing was deleted.";
}

std::vector<std::string> artifact_paths(std::string_view blob_filename) {
  if (blob_filename.empty()) return {};
  const auto& s = config::get();
  namespace names = artifact_names;
  const std::string doc_name = names::doc_name(blob_filename);
  std::vector<std::string> out = {
      blobhub::build_blob_path(s.BLOB_FOLDER_DOCUMENTS, blob_filename),
      blobhub::build_blob_path(s.BLOB_FOLDER_MARKDOWN, names::extraction_markdown(blob_filename)),
      blobhub::build_blob_path(s.BLOB_FOLDER_MARKDOWN, names::markdown(doc_name)),
      blobhub::build_blob_path(s.BLOB_FOLDER_JSON, names::sections(doc_name)),
      blobhub::build_blob_path(s.BLOB_FOLDER_ENRICHED_JSON, names::enriched(doc_name)),
      blobhub::build_blob_path(s.BLOB_FOLDER_SUMMARY, names::summary(doc_name))};
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

base::StageResult DeletionStage::execute(const Record& doc, Record& context) {
  std::string refusal;
  const std::optional<Target> target = target_of(doc, refusal);
  if (!target) return base::StageResult{.stage = stage_name, .success = false, .error = refusal};
  // Messages and the result name the number as it was given; every lookup
  // uses its canonical form, so "qd-3020" finds the row stored as "QD-3020".
  const std::string& qd_number = target->given;
  log.info("Starting deletion for QD-number='" + qd_number + "'");

  const Record* sweep = record::find(context, "sweep");
  const bool sweeping = sweep && sweep->is_boolean() && sweep->get<bool>();
  const Survey found = survey(*target, {}, finding_for(sweeping ? BlobSearch::sweep : BlobSearch::automatic));
  // The lookups that only widen or narrow the blob search are logged; the
  // result's warnings keep to the outcome of the removal itself.
  for (const std::string& w : found.warnings) log.warning(w);
  if (!found.by_tags) {
    log.info(std::string(sweeping ? "Sweep" : "Blob index tags are off (KESTO_BLOB_TAGS=off)") +
             ": listing every artefact folder for '" + qd_number + "'");
  } else if (!found.untagged_note.empty()) {
    log.warning(untagged_note_text(qd_number, found.untagged_note));
  }
  std::vector<std::string> deleted, warnings, errors, left_behind;
  if (found.claims_error) {
    errors.push_back(claims_error_text(*found.claims_error) + " (no blob removed)");
    log.error(errors.back());
  }
  for (const Kept& k : found.kept) log.info("Kept blob '" + k.blob_path + "': " + k.reason);
  for (const FolderScan& scan : found.folders) {
    const std::string& folder = scan.folder;
    if (scan.error) {
      errors.push_back("Failed to list blobs in '" + folder + "': " + *scan.error);
      log.error(errors.back());
      continue;
    }
    if (!scan.matched) {
      warnings.push_back("No blobs matching '" + qd_number + "' found in '" + folder + "' (skipped)");
      log.warning("No blobs matching '" + qd_number + "' in folder '" + folder + "'");
      continue;
    }
    for (const auto& blob_path : scan.matches) {
      try {
        blobhub::delete_blob(blob_path);
        deleted.push_back(blob_path);
        log.info("Deleted blob: " + blob_path);
      } catch (const std::exception& e) {
        errors.push_back("Failed to delete '" + blob_path + "': " + e.what());
        log.error("Failed to delete blob '" + blob_path + "': " + e.what());
      }
    }
  }

  Record sections_removed, row_removed;
  std::string incomplete;  // why the deletion is not complete so far
  for (const auto& e : errors) incomplete += (incomplete.empty() ? "" : "; ") + e;
  try {
    const std::size_t count = connectors::vector_db::delete_document_sections(target->qd_number);
    sections_removed = count;
    log.info("Removed " + std::to_string(count) + " section(s) from vector DB for '" + qd_number + "'");
  } catch (const std::exception& e) {
    warnings.push_back(std::string("Vector DB delete failed (non-fatal): ") + e.what());
    log.warning(warnings.back());
    left_behind.push_back("the index sections of '" + qd_number + "' (" + text::one_line(e.what()) + ")");
    incomplete += (incomplete.empty() ? "" : "; ") + warnings.back();
  }

  const Record* keep_flag = record::find(context, "keep_row_when_incomplete");
  const bool keep_row = keep_flag && keep_flag->is_boolean() && keep_flag->get<bool>() && !incomplete.empty();
  try {
    const std::string& table = config::get().PGTABLE;
    std::optional<Record> row;
    if (keep_row) {
      // The row is what brings the document back to the next run, which
      // finishes the deletion.
      const Record pending{{"status", "DELETION_PENDING"},
                           {"error", text::one_line(incomplete)},
                           {"processed_at", clock::utc_now_iso()}};
      row = mainstore::update_row(table, "document_number", Record(target->qd_number), pending);
      if (!row && target->given != target->qd_number) {
        row = mainstore::update_row(table, "document_number", Record(target->given), pending);
      }
      row_removed = false;
    } else {
      row = mainstore::delete_by_document_number(target->qd_number, table);
      if (!row && target->given != target->qd_number) row = mainstore::delete_by_document_number(target->given, table);
      row_removed = row.has_value();
    }
    if (row && keep_row) {
      log.warning("Kept sop_metadata row for document_number='" + qd_number +
                  "' as DELETION_PENDING: the deletion is not complete");
    } else if (row) {
      log.info("Removed sop_metadata row for document_number='" + qd_number + "'");
    } else {
      warnings.push_back("No sop_metadata row found for document_number='" + qd_number +
                         "' (may never have been processed)");
      log.warning("No sop_metadata row for document_number='" + qd_number + "'");
    }
  } catch (const std::exception& e) {
    warnings.push_back(std::string("sop_metadata delete failed (non-fatal): ") + e.what());
    log.warning(warnings.back());
    left_behind.push_back("the metadata row of '" + qd_number + "' (" + text::one_line(e.what()) + ")");
  }
  context["left_behind"] = left_behind;
  context["index_sections_removed"] = sections_removed;
  context["metadata_row_removed"] = row_removed;
  context["kept"] = kept_record(found.kept);

  Record result_data = Record::object();
  result_data["qd_number"] = qd_number;
  result_data["deleted_artifacts"] = deleted;
  result_data["warnings"] = warnings;
  result_data["errors"] = errors;

  if (!errors.empty()) {
    std::string error_summary;
    for (const auto& e : errors) error_summary += (error_summary.empty() ? "" : "; ") + e;
    log.error("Deletion completed with errors: " + error_summary);
    return base::StageResult{.stage = stage_name, .success = false, .error = error_summary, .data = result_data};
  }
  log.info("Deletion complete \u2014 " + std::to_string(deleted.size()) + " artifact(s) removed, " +
           std::to_string(warnings.size()) + " warning(s).");
  return base::StageResult{.stage = stage_name, .success = true, .data = result_data};
}

Record plan_document_deletion(const Record& doc, BlobSearch search) {
  std::string refusal;
  const std::optional<Target> target = target_of(doc, refusal);
  if (!target) throw ValueError(refusal);
  const Survey found = survey(*target, {}, finding_for(search));

  Record plan = Record::object();
  plan["qd_number"] = target->given;
  Record blobs = Record::array();
  Record warnings = Record::array();
  for (const std::string& w : found.warnings) warnings.push_back(w);
  if (found.claims_error) warnings.push_back(claims_error_text(*found.claims_error));
  for (const FolderScan& scan : found.folders) {
    if (scan.error) warnings.push_back("Failed to list blobs in '" + scan.folder + "': " + *scan.error);
    for (const std::string& b : scan.matches) blobs.push_back(b);
  }
  plan["blobs"] = blobs;
  try {
    plan["index_sections"] = count_index_rows(target->qd_number);
  } catch (const std::exception& e) {
    plan["index_sections"] = nullptr;
    warnings.push_back(std::string("Vector DB not readable: ") + e.what());
  }
  try {
    // The survey has read the row already; read it again only when that failed.
    const auto row = found.row ? found.row : find_row(*target);
    plan["metadata_row"] = row ? *row : Record();
  } catch (const std::exception& e) {
    plan["metadata_row"] = nullptr;
    warnings.push_back(std::string("Metadata table not readable: ") + e.what());
  }
  if (!found.untagged_note.empty()) warnings.push_back(untagged_note_text(target->given, found.untagged_note));
  plan["warnings"] = warnings;
  plan["kept"] = kept_record(found.kept);
  return plan;
}

Record plan_deletion(const std::string& qd_number, BlobSearch search) {
  return plan_document_deletion(Record{{"document_number", qd_number}}, search);
}

Record to_record(const Verification& v) {
  if (!v.looked) return Record{{"verified", false}, {"problems", v.problems}};
  Record out = Record::object();
  out["remaining_blobs"] = v.remaining_blobs;
  out["index_sections"] = v.index_sections ? Record(*v.index_sections) : Record();
  out["metadata_row"] = v.metadata_row ? Record(*v.metadata_row) : Record();
  out["problems"] = v.problems;
  out["notes"] = v.notes;
  out["verified"] = v.verified();
  return out;
}

Verification verify_document_deleted(const Record& doc, const std::vector<std::string>& known_paths,
                                     BlobSearch search) {
  std::string refusal;
  const std::optional<Target> target = target_of(doc, refusal);
  if (!target) throw ValueError(refusal);
  Verification v;
  auto remains = [&](const std::string& path) {
    if (std::find(v.remaining_blobs.begin(), v.remaining_blobs.end(), path) != v.remaining_blobs.end()) return;
    v.remaining_blobs.push_back(path);
    v.problems.push_back("blob '" + path + "' is still there");
  };
  const Survey found = survey(*target, known_paths, finding_for(search));
  for (const std::string& w : found.warnings) v.problems.push_back(w);
  if (found.claims_error) v.problems.push_back(claims_error_text(*found.claims_error));
  for (const FolderScan& scan : found.folders) {
    if (scan.error) v.problems.push_back("Failed to list blobs in '" + scan.folder + "': " + *scan.error);
    for (const std::string& b : scan.matches) remains(b);
  }
  for (const Kept& k : found.kept) v.notes.push_back("'" + k.blob_path + "' left alone: " + k.reason);
  for (const std::string& n : found.notes) v.notes.push_back(n);
  if (!found.untagged_note.empty()) v.notes.push_back(untagged_note_text(target->given, found.untagged_note));
  // The document's paths known from elsewhere (the audit trail) are asked
  // for one by one: a blob outside the folders scanned still counts.
  for (const std::string& path : found.known_own) {
    if (found.looked_up.count(path)) continue;  // asked for by the survey already
    try {
      if (blobhub::check_blob_exists(path)) remains(path);
    } catch (const std::exception& e) {
      v.problems.push_back("Failed to look for '" + path + "': " + text::one_line(e.what()));
    }
  }
  try {
    v.index_sections = count_index_rows(target->qd_number);
    if (*v.index_sections) {
      v.problems.push_back(std::to_string(*v.index_sections) + " index section(s) of '" + target->given +
                           "' are still there");
    }
  } catch (const std::exception& e) {
    v.problems.push_back(std::string("Vector DB not readable: ") + text::one_line(e.what()));
  }
  try {
    auto row = find_row(*target);
    v.metadata_row = row.has_value();
    // A row kept to bring an unfinished deletion back is the deletion's own
    // mark; what keeps it unfinished is reported on its own.
    if (row && record::get_text_or(*row, "status", "") == "DELETION_PENDING") {
      v.notes.push_back("the metadata row of '" + target->given +
                        "' is kept as DELETION_PENDING until the deletion is complete");
    } else if (row) {
      v.problems.push_back("the metadata row of '" + target->given + "' is still there");
    }
  } catch (const std::exception& e) {
    v.problems.push_back(std::string("Metadata table not readable: ") + text::one_line(e.what()));
  }
  return v;
}

Record own_paths(const Record& doc, const std::vector<std::string>& paths) {
  std::string refusal;
  const std::optional<Target> target = target_of(doc, refusal);
  if (!target) throw ValueError(refusal);
  const Survey found = survey(*target, paths, Finding::none);
  if (found.claims_error) throw Error(claims_error_text(*found.claims_error));
  Record notes = Record::array();
  for (const std::string& n : found.notes) notes.push_back(n);
  return Record{{"own", found.known_own}, {"notes", notes}};
}

}  // namespace shared::processors::deleter
