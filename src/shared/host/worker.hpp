// shared.host.worker: the pipeline's work spread over machines through a
// queue of the pipeline's storage account. `enqueue` puts one message per
// task (the task's record, as the host's worker processes receive it);
// any number of queue workers, anywhere, take messages with a visibility
// timeout, run each task in a worker process of their own, renew the
// visibility while it runs, record the outcome in the metadata row as a run
// of `kesto process` does, and only then delete the message. A fault that may
// pass leaves the message to come back; one taken too often goes to the
// poison queue "{queue}-poison".
#pragma once

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "shared/host/runner.hpp"
#include "shared/record.hpp"

namespace shared::host::worker {

// The queues and their timing, from the settings (KESTO_QUEUE,
// KESTO_MAX_DEQUEUE, KESTO_VISIBILITY_TIMEOUT).
struct QueueSettings {
  std::string queue;
  std::string poison_queue;  // "{queue}-poison"
  long max_dequeue = 5;
  long visibility_s = 60;
};
QueueSettings queue_settings();

// The message text of a task: its record, plus "force" when asked.
std::string message_text(const runner::Task& task, bool force);

// What enqueue did with one task: QUEUED, SKIPPED (nothing to do), WAITING
// (already queued or running) or FAILED (refused), and why.
using Enqueued = runner::Admission;

// Checks each task as a run would (a refused QD-number or file type, an
// unchanged source, a deletion with nothing left, a row already QUEUED or
// RUNNING unless `options.force`), uploads local files into the documents
// folder, puts one message per remaining task and marks its row QUEUED.
// `on_task` sees every task with its verdict, in order. Storage and
// database failures are exceptions: what was queued before stays queued.
void enqueue(const std::vector<runner::Task>& tasks, const runner::Options& options,
             const std::function<void(const runner::Task&, const Enqueued&)>& on_task);

struct WorkerOptions {
  int concurrency = 1;
  double idle_exit_s = -1;     // end once the queue stayed empty that long; < 0 waits for work for ever
  long max_documents = 0;      // end after taking that many messages; 0 no limit
  std::vector<std::string> child_argv;  // a program that speaks serve_tasks
};

// How far a stop has gone: 0 none; 1 take no new messages and let the
// running documents finish; 2 hand the running documents back at once.
using StopLevel = std::function<int()>;

// Takes and runs messages until stopped, idle or done (see WorkerOptions).
// `on_done` sees every outcome as the document finishes; a document handed
// back for a later try is reported with status "RETRY". Returns 0; throws
// only for unusable settings.
int run_worker(const WorkerOptions& options, const std::function<void(const runner::Outcome&)>& on_done,
               const StopLevel& stop);

// The worker-process side: one message text per line in, one outcome
// record per line out. Each task runs with its message's "force", and a
// row left RUNNING whose lock is free is taken over at once: the message
// only came back because its last taker stopped renewing it.
int serve_tasks(std::istream& in, std::ostream& out);

struct QueueStatus {
  long waiting = 0;          // approximate, taken messages included
  long poison = 0;
  std::vector<Record> rows;  // document_number, blob_filename, status, age_s, error of QUEUED and RUNNING rows
};
QueueStatus queue_status();

}  // namespace shared::host::worker
