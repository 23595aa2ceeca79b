// shared.host.metadata_row: what the host reads and writes of a document's
// row in the metadata table, on its kept connection. A row carries the
// document's file and names (which a deletion trusts, so only a checked
// run writes them), and the status, error and time of its last run or mark.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "shared/host/decision.hpp"
#include "shared/host/task.hpp"
#include "shared/models.hpp"
#include "shared/record.hpp"

namespace shared::host::metadata_row {

// The row stored under the number `qd`; nullopt when there is none. Throws
// when the database fails.
std::optional<decision::Row> read(const std::string& qd);

// Another document (by QD-number) whose recorded file would give artefacts
// of the same names as `blob_filename`: "QD-… ('its file')", the lowest
// number first; "" when none. Two such documents would overwrite each
// other's Markdown, sections and summary, and the deletion of one would
// remove the other's.
std::string colliding_document(const std::string& qd, const std::string& blob_filename);

// Marks the row of a document whose run starts: RUNNING, the time, and the
// document's names and file, making the row when there is none; the row
// as stored. Throws when the database fails.
std::optional<Record> mark_running(const Record& doc, const std::string& qd);

// Records the outcome of a run that got as far as the pipeline: status,
// stage, error, time, duration, the source's `etag` when it was processed,
// and what the pipeline's `result` says of its summary, indexing and losses.
// Throws when the database fails.
void record_outcome(const std::string& qd, const task::Outcome& o, const std::string& etag,
                    const models::PipelineResult& result);

// Records the outcome of a document that ended before the pipeline ran.
// A refused one (FAILED) writes nothing: what it asked for was never done,
// and a deletion trusts a row's file name. One that could not run says so
// in its row; an existing row keeps the file and names of what was run
// before. Throws when the database fails.
void record_early_outcome(const task::Task& task, const task::Outcome& o);

// Sets the status, error and time of the task's row; the row's file and
// names stay as they are. A process task without a row gets one (its file
// name only when no other document's recorded file gives the same artefact
// names); a deletion's row is only updated. Does nothing without a metadata
// database or a valid QD-number. Throws when the database fails.
void mark(const task::Task& task, task::Status status, const std::string& error);

// Writes the row that brings a deletion that did not complete back to the
// next run, when the deletion removed the document's own: status
// DELETION_PENDING, why, and the file and names `recorded` had.
void record_pending_deletion(const std::string& qd, const std::optional<Record>& recorded, const std::string& why);

// document_number, blob_filename, status, error and age_s (since
// processed_at) of the rows with one of `statuses`, oldest first.
std::vector<Record> with_status(const std::vector<task::Status>& statuses);

}  // namespace shared::host::metadata_row
