// shared.host.task: one document's work as the host runs it, what became of
// it, and their form on the pipe between a run and its own worker
// processes. Statuses and actions are enums inside the process; their words
// are written only where a row, a message or a line of output is.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "shared/connectors/blobhub.hpp"
#include "shared/record.hpp"

namespace shared::host::task {

// What became of a document, or where it stands.
enum class Status { Processed, Failed, Error, Deleted, Skipped, Queued, Running, Waiting, Retry, DeletionPending };

// The stored word: "PROCESSED", "FAILED", "ERROR", "DELETED", "SKIPPED",
// "QUEUED", "RUNNING", "WAITING", "RETRY", "DELETION_PENDING".
std::string_view word(Status s);
// The status a word names; nullopt for any other word (a row another
// program wrote).
std::optional<Status> status_named(std::string_view word);
// Writes the word (test diagnostics).
std::ostream& operator<<(std::ostream& out, Status s);

// What a task does: run the pipeline over the document, or delete every
// artefact of it.
enum class Action { Process, Delete };

// "process" or "delete".
std::string_view word(Action a);
// The action a word names; nullopt for any other word.
std::optional<Action> action_named(std::string_view word);
std::ostream& operator<<(std::ostream& out, Action a);

// One document's work.
struct Task {
  Action action = Action::Process;
  Record doc;                // registry record, metadata-file row, or a record built from a file name
  long batch_size = 1;       // size of the batch the task belongs to
  std::string local_file;    // local .docx to upload instead of copying from the source account
  bool uploaded = false;     // the source is in the documents folder already (queued from local files)
};

// A task's QD-number: as given in its record's document_number (stripped),
// and its canonical form, nullopt when that is empty or not a QD-number.
struct Number {
  std::string given;
  std::optional<std::string> qd;
};
Number number_of(const Task& task);

// What happened to one document.
struct Outcome {
  std::optional<Action> action;  // none for a queue message that was not a task
  std::string name;       // the document's blob_filename
  std::string qd_number;
  Status status = Status::Error;  // PROCESSED, FAILED, ERROR, DELETED or SKIPPED; RETRY from a queue worker
  std::string stage;      // failing stage; "" on success or skip
  std::string error;      // failure text, or why it was skipped
  double seconds = 0;
  Record result;          // the PipelineResult (process) or the deletion's result data; null when skipped
  // A fault that may pass (storage or the database unreachable, the document
  // locked by another process): a later try of the same task may succeed.
  bool retryable = false;
  // Each pipeline stage that ran with its time in seconds (process tasks).
  std::vector<std::pair<std::string, double>> stage_seconds;
};

// The outcome of `task` (none: a message that was no task) with `status`
// and `error`: its action, and its file name and number as given.
Outcome outcome_of(const Task* task, Status status, std::string error);

// The properties (ETag, content type) of a process task's source: its blob
// in the documents folder when it was uploaded there, else the registry's
// file in the source account. Throws when storage cannot be read.
connectors::blobhub::BlobProperties source_properties(const Task& task);

// The file-type check of a process task's document (the validation stage).
struct FileCheck {
  bool passed = true;
  std::string stage, error;  // of a refusal
};
// Runs the check; callers run it before anything is uploaded, so that a
// refused file leaves no blob behind.
FileCheck check_file(const Task& task);

// How tasks are run.
struct Options {
  bool force = false;         // process unchanged documents and delete unknown ones anyway
  bool dry_run = false;       // deletion tasks only list what they would remove
  // A forced task from the work queue: the row's mark (Admission::row_mark)
  // when it was queued. A row PROCESSED from the same source and marked
  // differently since was written by a run after the queueing: the force
  // has been done, and the task is skipped.
  std::optional<std::string> queued_row_mark;
};

// The form on the pipe between a run and its own worker processes (run_all,
// run_worker): trusted, so it may name a local file. Messages of the work
// queue are untrusted and go through worker::parse_message instead. The
// readers throw for a record not of this form.
Record to_record(const Task& t);
Task task_from_record(const Record& r);
Record to_record(const Outcome& o);
Outcome outcome_from_record(const Record& r);

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

}  // namespace shared::host::task
