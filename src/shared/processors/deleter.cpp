#include "shared/processors/deleter.hpp"

#include "shared/config.hpp"
#include "shared/connectors/blobhub.hpp"
#include "shared/connectors/mainstore.hpp"
#include "shared/connectors/vector_db.hpp"
#include "shared/text/utf8.hpp"

namespace shared::processors::deleter {

namespace blobhub = connectors::blobhub;

namespace {

bool is_ascii_alnum(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

std::string ascii_lower(std::string_view s) { return text::ascii_lower(s); }

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

std::string find_qd_number(std::string_view text) {
  for (std::size_t i = 0; i + 3 < text.size(); ++i) {
    if ((text[i] != 'Q' && text[i] != 'q') || (text[i + 1] != 'D' && text[i + 1] != 'd') || text[i + 2] != '-') {
      continue;
    }
    std::size_t end = i + 3;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
    if (end > i + 3) return std::string(text.substr(i, end - i));
  }
  return {};
}

bool names_document(std::string_view name, std::string_view qd_number) {
  if (qd_number.empty()) return false;
  const std::string hay = ascii_lower(name);
  const std::string needle = ascii_lower(qd_number);
  const bool ends_in_digit = needle.back() >= '0' && needle.back() <= '9';
  const bool starts_alnum = is_ascii_alnum(needle.front());
  for (std::size_t pos = hay.find(needle); pos != std::string::npos; pos = hay.find(needle, pos + 1)) {
    const std::size_t end = pos + needle.size();
    // "QD-95" must not claim the artefacts of "QD-950" (or of "XQD-95").
    if (starts_alnum && pos > 0 && is_ascii_alnum(hay[pos - 1])) continue;
    if (ends_in_digit && end < hay.size() && hay[end] >= '0' && hay[end] <= '9') continue;
    return true;
  }
  return false;
}

base::StageResult DeletionStage::execute(const Record& doc, Record&) {
  const std::string qd_number = qd_number_of(doc);
  if (qd_number.empty()) {
    return base::StageResult{
        .stage = stage_name,
        .success = false,
        .error = "Cannot determine QD-number for deletion. Ensure 'document_number' is present in the document "
                 "metadata."};
  }
  log.info("Starting deletion for QD-number='" + qd_number + "'");

  std::vector<std::string> deleted, warnings, errors;
  for (const std::string& folder : _ALL_ARTIFACT_FOLDERS()) {
    std::vector<std::string> names;
    try {
      names = blobhub::list_blobs_in_folder(folder);
    } catch (const std::exception& e) {
      errors.push_back("Failed to list blobs in '" + folder + "': " + e.what());
      log.error(errors.back());
      continue;
    }
    std::vector<std::string> matches;
    for (const auto& n : names) {
      if (names_document(n, qd_number)) matches.push_back(n);
    }
    if (matches.empty()) {
      warnings.push_back("No blobs matching '" + qd_number + "' found in '" + folder + "' (skipped)");
      log.warning("No blobs matching '" + qd_number + "' in folder '" + folder + "'");
      continue;
    }
    for (const auto& blob_path : matches) {
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

  try {
    const std::size_t count = connectors::vector_db::delete_document_sections(qd_number);
    log.info("Removed " + std::to_string(count) + " section(s) from vector DB for '" + qd_number + "'");
  } catch (const std::exception& e) {
    warnings.push_back(std::string("Vector DB delete failed (non-fatal): ") + e.what());
    log.warning(warnings.back());
  }

  try {
    const auto row = connectors::mainstore::delete_by_document_number(qd_number, config::get().PGTABLE);
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
  }

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

Record plan_deletion(const std::string& qd_number) {
  Record plan = Record::object();
  plan["qd_number"] = qd_number;
  Record blobs = Record::array();
  Record warnings = Record::array();
  for (const std::string& folder : DeletionStage::_ALL_ARTIFACT_FOLDERS()) {
    try {
      for (const auto& n : blobhub::list_blobs_in_folder(folder)) {
        if (names_document(n, qd_number)) blobs.push_back(n);
      }
    } catch (const std::exception& e) {
      warnings.push_back("Failed to list blobs in '" + folder + "': " + e.what());
    }
  }
  plan["blobs"] = blobs;
  try {
    plan["index_sections"] = connectors::vector_db::get_document_sections(qd_number).size();
  } catch (const std::exception& e) {
    plan["index_sections"] = nullptr;
    warnings.push_back(std::string("Vector DB not readable: ") + e.what());
  }
  try {
    const auto row = connectors::mainstore::get_by_document_number(qd_number, config::get().PGTABLE);
    plan["metadata_row"] = row ? *row : Record();
  } catch (const std::exception& e) {
    plan["metadata_row"] = nullptr;
    warnings.push_back(std::string("Metadata table not readable: ") + e.what());
  }
  plan["warnings"] = warnings;
  return plan;
}

}  // namespace shared::processors::deleter
