#include "shared/processors/deleter.hpp"

#include <algorithm>
#include <optional>
#include <set>

#include "shared/config.hpp"
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

// The artefact paths of other documents' recorded files that carry this
// document's number in their names: a file "QD-2 SOP.docx" recorded for
// QD-1 gives blobs that a plain name match would hand to QD-2.
std::set<std::string> others_artifacts(const std::string& qd_number) {
  const std::string table = config::get().PGTABLE;
  pg::check_identifier(table, "table name", true);
  pg::PgConn conn = mainstore::get_conn();
  // The number is "QD-" and digits only, so it needs no LIKE escaping.
  pg::PgResult res = pg::execute(conn.get(),
                                 "SELECT blob_filename FROM " + table +
                                     " WHERE upper(document_number) <> %s AND blob_filename ILIKE %s",
                                 {qd_number, "%" + qd_number + "%"});
  std::set<std::string> out;
  for (const Record& row : pg::all_rows(res.get())) {
    for (std::string& p : artifact_paths(record::get_text_or(row, "blob_filename", ""))) out.insert(std::move(p));
  }
  return out;
}

// One folder's listing, reduced to the blobs of the document.
struct FolderScan {
  std::string folder;
  std::optional<std::string> error;  // the listing failed
  std::vector<std::string> matches;
};

// Everything a deletion looks at before removing anything; shared by the
// run and the dry run so that both find exactly the same blobs.
struct Survey {
  Target target;
  std::optional<Record> row;
  std::vector<FolderScan> folders;
  std::vector<std::string> warnings;  // lookups that failed before the scan
};

Survey survey(Target target) {
  Survey s{.target = std::move(target)};
  try {
    s.row = find_row(s.target);
    if (s.row) add_file_name(s.target, record::get_text_or(*s.row, "blob_filename", ""));
  } catch (const std::exception& e) {
    s.warnings.push_back(std::string("sop_metadata lookup failed (non-fatal): ") + e.what());
  }
  std::set<std::string> mine;
  for (const std::string& name : s.target.blob_filenames) {
    for (std::string& p : artifact_paths(name)) mine.insert(std::move(p));
  }
  std::set<std::string> theirs;
  try {
    theirs = others_artifacts(s.target.qd_number);
  } catch (const std::exception& e) {
    s.warnings.push_back(std::string("Could not read other documents' file names (non-fatal): ") + e.what());
  }
  for (const std::string& folder : DeletionStage::_ALL_ARTIFACT_FOLDERS()) {
    FolderScan scan{.folder = folder};
    try {
      for (std::string& n : blobhub::list_blobs_in_folder(folder)) {
        const bool named = names_document(n, s.target.qd_number) || mine.count(n) > 0;
        // A blob that another document's recorded file is named to is left
        // alone even if it also bears this document's names: removing it
        // would take an artefact away from a document that still exists.
        if (named && theirs.count(n) == 0) scan.matches.push_back(std::move(n));
      }
    } catch (const std::exception& e) {
      scan.error = e.what();
    }
    s.folders.push_back(std::move(scan));
  }
  return s;
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

  const Survey found = survey(*target);
  // The lookups that only widen or narrow the blob search are logged; the
  // result's warnings keep to the outcome of the removal itself.
  for (const std::string& w : found.warnings) log.warning(w);
  std::vector<std::string> deleted, warnings, errors, left_behind;
  for (const FolderScan& scan : found.folders) {
    const std::string& folder = scan.folder;
    if (scan.error) {
      errors.push_back("Failed to list blobs in '" + folder + "': " + *scan.error);
      log.error(errors.back());
      continue;
    }
    if (scan.matches.empty()) {
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
  try {
    const std::size_t count = connectors::vector_db::delete_document_sections(target->qd_number);
    sections_removed = count;
    log.info("Removed " + std::to_string(count) + " section(s) from vector DB for '" + qd_number + "'");
  } catch (const std::exception& e) {
    warnings.push_back(std::string("Vector DB delete failed (non-fatal): ") + e.what());
    log.warning(warnings.back());
    left_behind.push_back("the index sections of '" + qd_number + "' (" + text::one_line(e.what()) + ")");
  }

  try {
    const std::string& table = config::get().PGTABLE;
    auto row = mainstore::delete_by_document_number(target->qd_number, table);
    if (!row && target->given != target->qd_number) row = mainstore::delete_by_document_number(target->given, table);
    row_removed = row.has_value();
    if (row) {
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

Record plan_document_deletion(const Record& doc) {
  std::string refusal;
  const std::optional<Target> target = target_of(doc, refusal);
  if (!target) throw ValueError(refusal);
  const Survey found = survey(*target);

  Record plan = Record::object();
  plan["qd_number"] = target->given;
  Record blobs = Record::array();
  Record warnings = Record::array();
  for (const std::string& w : found.warnings) warnings.push_back(w);
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
  plan["warnings"] = warnings;
  return plan;
}

Record plan_deletion(const std::string& qd_number) {
  return plan_document_deletion(Record{{"document_number", qd_number}});
}

Record verify_document_deleted(const Record& doc, const std::vector<std::string>& known_paths) {
  std::string refusal;
  const std::optional<Target> target = target_of(doc, refusal);
  if (!target) throw ValueError(refusal);
  Record remaining = Record::array();
  Record problems = Record::array();
  auto remains = [&](const std::string& path) {
    for (const auto& p : remaining) {
      if (p == path) return;
    }
    remaining.push_back(path);
    problems.push_back("blob '" + path + "' is still there");
  };
  const Survey found = survey(*target);
  for (const std::string& w : found.warnings) problems.push_back(w);
  for (const FolderScan& scan : found.folders) {
    if (scan.error) problems.push_back("Failed to list blobs in '" + scan.folder + "': " + *scan.error);
    for (const std::string& b : scan.matches) remains(b);
  }
  // Paths known from elsewhere (the audit trail) are asked for one by one:
  // a blob whose name no longer says whose it is still counts.
  for (const std::string& path : known_paths) {
    try {
      if (blobhub::check_blob_exists(path)) remains(path);
    } catch (const std::exception& e) {
      problems.push_back("Failed to look for '" + path + "': " + text::one_line(e.what()));
    }
  }
  Record verification = Record::object();
  verification["remaining_blobs"] = remaining;
  try {
    const std::size_t count = count_index_rows(target->qd_number);
    verification["index_sections"] = count;
    if (count) problems.push_back(std::to_string(count) + " index section(s) of '" + target->given + "' are still there");
  } catch (const std::exception& e) {
    verification["index_sections"] = nullptr;
    problems.push_back(std::string("Vector DB not readable: ") + text::one_line(e.what()));
  }
  try {
    auto row = find_row(*target);
    verification["metadata_row"] = row.has_value();
    if (row) problems.push_back("the metadata row of '" + target->given + "' is still there");
  } catch (const std::exception& e) {
    verification["metadata_row"] = nullptr;
    problems.push_back(std::string("Metadata table not readable: ") + text::one_line(e.what()));
  }
  verification["problems"] = problems;
  verification["verified"] = problems.empty();
  return verification;
}

}  // namespace shared::processors::deleter
