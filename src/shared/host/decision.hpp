// shared.host.decision: whether a document runs, is queued, waits, is
// skipped or refused, as one pure function of what is known of its row in
// the metadata table, of its source and of the document itself, and of the
// options. `kesto process` and `kesto worker` ask it before a run, `kesto
// enqueue` before a message; none of them keeps a rule of its own. What to
// read next is decided here too: a decision that needs a fact says so, the
// caller reads it and asks again, so every caller reads the same things in
// the same order and stops reading as soon as the answer is known.
#pragma once

#include <optional>
#include <string>

#include "shared/host/task.hpp"

namespace shared::host::decision {

// The document's row as the metadata table holds it.
struct Row {
  std::optional<task::Status> status;  // nullopt for a word the host does not write
  double age_s = 0;                    // since processed_at
  std::string source_etag;             // the source its last successful run processed
  // processed_at in seconds since 1970, as the database writes it: every
  // write of the row changes it, whatever the clocks of the machines.
  std::string mark;
};

// Whether another process holds the document's lock.
enum class Lock { unknown, free, held_elsewhere };

// What the metadata database says of the document, as far as read.
struct RowState {
  bool read = false;        // whether the row was looked for
  std::optional<Row> row;   // nullopt: no row (or not read)
  // A deletion whose number was given in another form than the canonical
  // one (rows written before numbers were upper-cased): whether a row is
  // stored under the form given; nullopt when not looked for.
  std::optional<bool> exists_as_given;
  Lock lock = Lock::unknown;
};

// The document's source (its ETag); nullopt when not read.
struct SourceState {
  std::optional<std::string> etag;
};

// The file-type check of a document to be processed.
using FileCheck = task::FileCheck;

// The document as the task gives it, and what was found out about it.
struct Document {
  task::Action action = task::Action::Process;
  task::Number number;
  std::string blob_filename;
  bool local = false;     // a local file: its source is read from no account
  bool uploaded = false;  // its source is in the documents folder already
  std::optional<FileCheck> file;  // nullopt: not checked
  // Another document whose recorded file gives the same artefact names,
  // "QD-… ('file')"; "" for none; nullopt when not looked for.
  std::optional<std::string> collision;
};

// The document a task names, before anything is read.
Document document_of(const task::Task& task);

// A decision for a run (kesto process, a queue worker's task) or for the
// work queue (kesto enqueue).
enum class Purpose { run, queue };

struct Options {
  Purpose purpose = Purpose::run;
  bool database = true;  // a metadata database is configured: rows, locks and checks exist
  bool force = false;
  // A forced task from the work queue: the row's mark when it was queued.
  std::optional<std::string> queued_row_mark;
  // Given when the queue holds no message at all: a QUEUED row at least
  // that old has lost its message.
  std::optional<double> queued_without_message_after_s;
};

// A fact a decision waits for.
enum class Need { nothing, file_check, lock, row, row_as_given, source, collision };

struct Decision {
  Need need = Need::nothing;  // read this and decide again; the rest holds only for Need::nothing
  bool go = false;            // the document runs (run) or is queued (queue)
  // RUNNING or QUEUED for a go; otherwise FAILED (refused), SKIPPED
  // (nothing to do, or locked elsewhere for a run) or WAITING (queue).
  task::Status status = task::Status::Running;
  std::string stage;          // of a refusal
  std::string reason;         // why; for a queued document the note its line shows
  bool retryable = false;     // held elsewhere: a later try may run it
  bool recorded = false;      // a refusal the document's trail (and row, unless refused) records
  // Said of a run that may go ahead, as soon as it is known (a run found
  // abandoned); it stays the run's note when nothing else goes wrong.
  std::string note;
};

Decision decide(const RowState& row, const SourceState& source, const Document& document, const Options& options);

// Whether a row marked QUEUED has lost its message: the queue holds none at
// all (`queued_without_message_after_s` given) and the mark is that old.
bool lost_its_message(const Row& row, std::optional<double> queued_without_message_after_s);

}  // namespace shared::host::decision
