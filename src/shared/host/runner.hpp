// shared.host.runner: the host of the pipeline. It turns the registry's
// pending documents (or local Word files) into tasks, runs each through
// process_document or the deletion stage, records the outcome in the
// metadata table, and reports every document as it finishes. Tasks can be
// spread over worker processes, each with its own pipeline objects.
#pragma once

#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "shared/connectors/audit.hpp"
#include "shared/models.hpp"
#include "shared/record.hpp"

namespace shared::host::runner {

// One document's work: "process" (copy or upload the source, run the
// pipeline) or "delete" (run the deletion stage).
struct Task {
  std::string action;
  Record doc;                // registry record, metadata-file row, or a record built from a file name
  long batch_size = 1;       // size of the batch the task belongs to
  std::string local_file;    // local .docx to upload instead of copying from the source account
  bool uploaded = false;     // the source is in the documents folder already (queued from local files)
};

// What happened to one document.
struct Outcome {
  std::string action;
  std::string name;       // the document's blob_filename
  std::string qd_number;
  std::string status;     // PROCESSED, FAILED, ERROR, DELETED or SKIPPED
  std::string stage;      // failing stage; "" on success or skip
  std::string error;      // failure text, or why it was skipped
  double seconds = 0;
  Record result;          // the PipelineResult (process) or the deletion's result data; null when skipped
  // A fault that may pass (storage or the database unreachable, the document
  // locked by another process): a later try of the same task may succeed.
  bool retryable = false;
};

// The task's form on the pipe between a run and its own worker processes
// (run_all, run_worker): trusted, so it may name a local file. Messages of
// the work queue are untrusted and go through worker::parse_message instead.
Record to_record(const Task& t);
Task task_from_record(const Record& r);
Record to_record(const Outcome& o);
Outcome outcome_from_record(const Record& r);

struct Options {
  bool force = false;         // process unchanged documents and delete unknown ones anyway
  bool dry_run = false;       // deletion tasks only list what they would remove
  // A forced task from the work queue: the row's mark (Admission::row_mark)
  // when it was queued. A row PROCESSED from the same source and marked
  // differently since was written by a run after the queueing: the force
  // has been done, and the task is skipped.
  std::optional<std::string> queued_row_mark;
};

// The registry's pending documents as tasks, in registry order: "NEW" and
// "UPDATED" become process tasks, "DELETED" delete tasks, others are
// ignored. Tasks are cut into batches of at most `max_batch_size`.
std::vector<Task> pending_tasks(long max_batch_size);

// Local files as process tasks. A file's record is the metadata row whose
// blob_filename equals the file's name, or one built from the name.
std::vector<Task> local_tasks(const std::vector<std::string>& files, const std::string& metadata_path,
                              long max_batch_size);

// The record built for a file without a metadata row: blob_filename, the
// stem as document_name, the first "QD-<digits>" of the name (upper-cased)
// as document_number, and an empty url_document_name.
Record record_from_file_name(const std::string& file_name);

// Runs one task; never throws (any exception becomes an ERROR outcome).
// A malformed QD-number or a refused file type is FAILED before anything is
// read or uploaded; with a metadata database the document runs under a
// per-document advisory lock (held elsewhere: SKIPPED), and every outcome,
// also one before the pipeline ran, is recorded in the document's row.
Outcome run_task(const Task& task, const Options& options);

// Environment variables the run needs but are unset, in a fixed order.
std::vector<std::string> missing_settings(bool pending, bool uses_database);

// Runs all tasks, `jobs` at a time. With jobs > 1 each task runs in one of
// `jobs` worker processes started as `worker_argv` (which must speak the
// worker protocol of run_worker); the caller ignores SIGPIPE, so that a worker
// that dies cannot take the parent with it. `on_done` sees outcomes in
// finishing order. The workers are reaped however the run ends.
void run_all(const std::vector<Task>& tasks, const Options& options, int jobs,
             const std::vector<std::string>& worker_argv, const std::function<void(const Outcome&)>& on_done);

// One deletion and what is known of it afterwards.
struct Deletion {
  bool busy = false;             // another process runs the document now: nothing was done
  // Why the document's lock could not be taken (no metadata database, or it
  // could not be reached): nothing was done. "" otherwise.
  std::string lock_error;
  bool lock_lost = false;        // the lock went with the database connection during the deletion
  models::StageResult result;    // the deletion stage's result
  Record context;                // the stage's context (left_behind, index_sections_removed, ...)
  Record verification;           // the stores looked at again (null when refused)
  Record receipt;                // what was removed, with its recorded digests, and the verification
  std::string audit_error;       // why the trail could not be read or written; "" when it was
  // What keeps the deletion from being complete, as texts: rows left
  // behind, anything still there, an unwritten trail, a lost lock.
  std::vector<std::string> problems() const;
};

// Deletes every artefact of the document (as the deletion stage does),
// under its per-document lock, then looks in every store again, builds the
// receipt and writes the deletion's events to the audit trail. Without the
// lock (no metadata database, or one that cannot be reached: lock_error;
// held elsewhere: busy) nothing is removed. A deletion that did not
// complete leaves the document's row marked "DELETION_PENDING" (kept by
// the stage, or written again when the row went but something is still
// there), so that the next run finishes it.
Deletion delete_document(const Record& doc);

// The audit trail on the host's own database connection: appends events;
// the document's events, oldest first. Both throw when the database fails.
void append_audit(const std::vector<connectors::audit::Event>& events);
std::vector<Record> audit_history(const std::string& qd);

// The worker side: reads one task per line (compact JSON) from `in`, runs
// it, writes one outcome per line to `out`.
int run_worker(const Options& options, std::istream& in, std::ostream& out);

// Whether a task is to be queued: verdict "QUEUED", "SKIPPED" (a run would
// skip it: source unchanged, nothing left to delete), "WAITING" (its row is
// QUEUED, or RUNNING while another process holds the document's lock) or
// "FAILED" (refused QD-number or file type, or a file whose artefact names
// another document's recorded file already gives), and why. A RUNNING row
// whose lock is free was left by a run that died: queued. A QUEUED row older
// than `queued_without_message_after_s` (given when the caller knows the
// queue holds no message at all) lost its message: queued again.
// `options.force` queues all but refused ones. Throws when storage or the
// database cannot be read.
struct Admission {
  std::string verdict;
  std::string reason;
  std::string row_mark;  // the row's processed_at as read, in seconds since 1970; "" without a row
};
Admission admission(const Task& task, const Options& options,
                    std::optional<double> queued_without_message_after_s = std::nullopt);

// Checks a local-file task's file type and uploads the file into the
// documents folder; the task then names no local file and is `uploaded`
// (its run takes the uploaded blob's ETag as the source's). FAILED (nothing
// uploaded) for a refused file type.
Admission upload_local(Task& task);

// Sets the status, error and time of the task's metadata row, on the host's
// kept connection; the row's file and names stay as they are. A process
// task without a row gets one (its file name only when no other document's
// recorded file gives the same artefact names); a deletion's row is only
// updated. Does nothing without a metadata database or a valid QD-number.
void mark_row(const Task& task, const std::string& status, const std::string& error);

// document_number, blob_filename, status, error and age_s (since
// processed_at) of the rows with one of `statuses`, oldest first.
std::vector<Record> rows_with_status(const std::vector<std::string>& statuses);

}  // namespace shared::host::runner
