// shared.processors.deleter: removes every artefact of one document: its
// blobs in all five artefact folders, its sections in the vector index and
// its row in the metadata table.
//
// A document is found by its QD-number, which must be "QD-" followed by
// digits (compared upper-cased); anything else is refused before anything is
// read or removed, because a partial text such as "QD-" or "_" would match
// the blobs of other documents. Blobs belong to the document when their name
// carries the QD-number as a whole number, or when they bear the artefact
// names of a file recorded for it (its metadata row's blob_filename, the
// sources its own audit trail says were ingested, or the record's own). A
// blob that another document claims is never removed, whatever the record
// or the row says: one that bears the artefact names of another document's
// recorded file, or that the audit trail records as another document's live
// artefact. When those claims cannot be read, nothing is removed.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "shared/processors/base.hpp"
#include "shared/text/qd_number.hpp"

namespace shared::processors::deleter {

using text::find_qd_number;
using text::names_document;

// Stage "DELETION". Succeeds unless the QD-number is missing or malformed, or
// a folder listing, a blob deletion or the reading of other documents'
// claims failed; missing artefacts and index/metadata clean-up failures are
// warnings. What could not be removed from the index or the metadata table
// is also listed in the context entry "left_behind" (texts), so callers can
// tell a complete deletion from one that left rows behind without parsing
// warnings; "index_sections_removed" (a count, null when the index could not
// be reached) and "metadata_row_removed" (true, false, or null when the
// table could not be reached) say what the two clean-up steps did, and
// "kept" ({"blob_path", "reason"} each) the document's blobs left alone
// because another document claims them.
//
// Blobs are found as BlobSearch::automatic says; with the context entry
// "sweep" true, by listing every artefact folder (BlobSearch::sweep).
//
// With the context entry "keep_row_when_incomplete" true (the host's way),
// a deletion that failed somewhere (a listing, a blob, the claims, the
// index) keeps the metadata row, marked status "DELETION_PENDING" with the
// reason, so that a later run finds the document and finishes it.
class DeletionStage : public base::PipelineStageBase {
 public:
  DeletionStage();
  base::StageResult execute(const Record& doc, Record& context) override;

  // The five artefact folders, in the order they are scanned.
  static std::vector<std::string> _ALL_ARTIFACT_FOLDERS();
};

// How a deletion finds a document's blobs in the artefact folders.
// automatic: by the document's blob index tag, plus the paths recorded for
// it (its row's and its trail's files) asked for one by one; by listing
// every folder when tags are off (KESTO_BLOB_TAGS=off). sweep: by listing
// every folder, which also finds blobs written before tags were used.
enum class BlobSearch { automatic, sweep };

// The QD-number text of a document record as given: document_number, else
// qd_number (stripped), else the first "QD-<digits>" of blob_filename as
// written; "" when there is none. Not yet validated.
std::string qd_number_of(const Record& doc);

// The error text of a deletion refused for the malformed QD-number `given`.
std::string invalid_qd_number_message(std::string_view given);

// The blob paths the pipeline writes for a document stored as
// `blob_filename`, in folder order (source, Markdown under both of its name
// rules, sections, enriched, summary); none for an empty name.
std::vector<std::string> artifact_paths(std::string_view blob_filename);

// What a deletion of `doc` would remove, removing nothing and creating
// nothing: {"qd_number", "blobs" (full paths), "index_sections" (count or
// null when the index cannot be read), "metadata_row" (the row or null),
// "warnings", "kept" ({"blob_path", "reason"}: the document's blobs another
// document claims)}. Found exactly as DeletionStage finds them (with the
// context entry "sweep" true for BlobSearch::sweep). Throws ValueError for
// a missing or malformed QD-number.
Record plan_document_deletion(const Record& doc, BlobSearch search = BlobSearch::automatic);
// What a look in every store after a deletion found.
struct Verification {
  std::vector<std::string> remaining_blobs;
  std::optional<std::size_t> index_sections;  // nullopt: the index could not be read
  std::optional<bool> metadata_row;           // whether a row is there; nullopt: the table could not be read
  std::vector<std::string> problems;          // what is still there or could not be looked at
  std::vector<std::string> notes;             // known paths not followed and blobs left alone, and why
  // False when the look failed as a whole: `problems` says why, and the
  // rest holds nothing.
  bool looked = true;
  bool verified() const { return problems.empty(); }
};

// The verification as the receipt holds it: {"remaining_blobs",
// "index_sections" (count or null), "metadata_row" (bool or null),
// "problems", "notes", "verified"}; for a look that failed as a whole
// {"verified": false, "problems"}.
Record to_record(const Verification& v);

// Looks in every store again after a deletion of `doc`: every artefact
// folder (found as the deletion finds blobs), the document's own paths
// among `known_paths` (blobs the audit trail knows of), the index and the
// metadata table. The file names that count are `doc`'s blob_filename (the
// caller passes what was recorded), the row's and the trail's; a blob
// another document claims is not looked for. Throws ValueError for a
// missing or malformed QD-number. When blobs are found by tags in a store
// not known to have been backfilled, a note says untagged ones may remain.
Verification verify_document_deleted(const Record& doc, const std::vector<std::string>& known_paths = {},
                                     BlobSearch search = BlobSearch::automatic);

// Which of `paths` (blob paths the audit trail holds for `doc`) are the
// document's own as the deletion judges blobs: {"own" (in the given order),
// "notes" (texts: an empty path, a path that is not the document's, one
// that another document claims)}. Lists no folder. Throws ValueError for a
// missing or malformed QD-number, Error when other documents' claims
// cannot be read.
Record own_paths(const Record& doc, const std::vector<std::string>& paths);

// plan_document_deletion of the record {"document_number": qd_number}.
Record plan_deletion(const std::string& qd_number, BlobSearch search = BlobSearch::automatic);

}  // namespace shared::processors::deleter
