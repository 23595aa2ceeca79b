// shared.host.audit_trail: what the host writes to the audit trail about a
// document's run and deletion, and the checks of a trail against the
// stores. The events are built here from what the run returned and what
// the storage layer acknowledged, and written on the host's own database
// connection.
#pragma once

#include <string>
#include <vector>

#include "shared/connectors/audit.hpp"
#include "shared/connectors/blobhub.hpp"
#include "shared/record.hpp"

namespace shared::host::audit_trail {

// The events of one processing run of the document `qd` stored as
// `blob_filename`: "ingested" for the copy of its source, one
// "artefact_written" per artefact (the last write of each path counts),
// "indexed" with the index's row count when the run got that far, and
// "failed" with the stage and the error when the run did not succeed.
// `uploads` are the run's acknowledged uploads; only the document's own
// artefact paths are taken from them. Every event carries `source_etag`,
// the revision of the source the artefacts were made from.
std::vector<connectors::audit::Event> run_events(const std::string& qd, const std::string& blob_filename,
                                                 const std::vector<connectors::blobhub::UploadRecord>& uploads,
                                                 const std::string& source_etag, const std::string& status,
                                                 const std::string& stage, const std::string& error,
                                                 const Record& indexing);

// The receipt of a deletion: {"qd_number", "deleted_at", "removed" (each
// {"blob_path", "size_bytes", "sha256", "etag"} as the trail recorded them
// at ingest; nulls for a blob the trail did not know), "index_sections_removed",
// "metadata_row_removed", "warnings", "errors", "left_behind", "kept" (the
// document's blobs left alone because another document claims them, each
// {"blob_path", "reason"}), "verification", "complete"}. `result_data` is the deletion stage's result
// data, `context` its context, `history` the trail before the deletion.
Record deletion_receipt(const std::string& qd, const Record& result_data, const Record& context,
                        const std::vector<Record>& history, const Record& verification);

// The events of a deletion: one "deleted" per removed blob (with what the
// trail recorded of it), then "deletion_verified" with the receipt when
// the deletion is complete and verified, else "failed" with the receipt.
std::vector<connectors::audit::Event> deletion_events(const std::string& qd, const Record& receipt);

// Re-reads every artefact the trail says exists and compares size and
// SHA-256; names the document's blobs in the artefact folders that the
// trail does not know (found as a deletion finds them: by tag, or listed
// when tags are off; a store not backfilled is a note). Only the document's own paths are checked (named
// after it, or artefacts of a file recorded for it, and claimed by no other
// document, as the deletion judges them); a trail row with an empty path or
// another document's blob is a note, not a problem. Returns {"qd_number",
// "checked", "matching", "missing" (paths), "changed" ({"blob_path",
// "recorded", "found"} with size_bytes and sha256 each), "not_in_trail"
// (paths), "problems" (texts), "notes" (texts), "ok" (no problems)}.
Record verify_trail(const std::string& qd, const std::vector<Record>& history);

// The audit trail (KESTO_AUDIT_TABLE) on the host's kept connection:
// appends events; the document's events, oldest first. Both throw when the
// database fails.
void append(const std::vector<connectors::audit::Event>& events);
std::vector<Record> history(const std::string& qd);

}  // namespace shared::host::audit_trail
