// shared.host.worker: the pipeline's work spread over machines through a
// queue of the pipeline's storage account. `enqueue` puts one message per
// task (the task's record, never a local path); any number of queue workers,
// anywhere, take messages with a visibility timeout, check each (whoever may
// write to the queue may write anything into it), run each task in a worker
// process of their own, renew the visibility while it runs, record the
// outcome in the metadata row as a run of `kesto process` does, and only
// then delete the message. A fault that may pass leaves the message to come
// back; one taken too often, or one that is not a task, goes to the poison
// queue "{queue}-poison".
#pragma once

#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "shared/host/admission.hpp"
#include "shared/host/queue_message.hpp"
#include "shared/host/task.hpp"
#include "shared/record.hpp"

namespace shared::host::worker {

// The queues and their timing, from the settings (KESTO_QUEUE,
// KESTO_MAX_DEQUEUE, KESTO_VISIBILITY_TIMEOUT). Throws ValueError naming
// KESTO_QUEUE when the queue or its poison queue is not a name the service
// takes (3 to 63 characters of lower-case letters, digits and single
// hyphens, starting and ending with a letter or digit).
struct QueueSettings {
  std::string queue;
  std::string poison_queue;  // "{queue}-poison"
  long max_dequeue = 5;
  long visibility_s = 60;
};
QueueSettings queue_settings();

// What enqueue did with one task: QUEUED, SKIPPED (nothing to do), WAITING
// (already queued or running) or FAILED (refused), and why.
using Enqueued = admission::Admission;

// Checks each task as a run would (a refused QD-number or file type, an
// unchanged source, a deletion with nothing left, a row already QUEUED or
// RUNNING unless `options.force`; see admission::admit) and its message as
// a worker will (one it would refuse, or too big for the queue, is FAILED
// with nothing uploaded or marked), uploads local files into the documents
// folder, puts one message per remaining task and marks its row QUEUED.
// While the queue holds no message at all, a row QUEUED for longer than the
// visibility timeout has lost its message and is queued again.
// `on_task` sees every task with its verdict, in order. Storage and
// database failures are exceptions: what was queued before stays queued.
void enqueue(const std::vector<task::Task>& tasks, const task::Options& options,
             const std::function<void(const task::Task&, const Enqueued&)>& on_task);

struct WorkerOptions {
  int concurrency = 1;
  double idle_exit_s = -1;     // end once the queue stayed empty that long; < 0 waits for work for ever
  long max_documents = 0;      // end after taking that many messages; 0 no limit
  std::vector<std::string> child_argv;  // a program that speaks serve_tasks
  std::function<void(long)> on_busy;    // told how many documents run now, whenever the worker looks
};

// How far a stop has gone: 0 none; 1 take no new messages and let the
// running documents finish; 2 hand the running documents back at once.
using StopLevel = std::function<int()>;

// Takes and runs messages until stopped, idle or done (see WorkerOptions).
// `on_done` sees every outcome as the document finishes; a document handed
// back for a later try is reported with status "RETRY". Returns 0; throws
// only for unusable settings.
int run_worker(const WorkerOptions& options, const std::function<void(const task::Outcome&)>& on_done,
               const StopLevel& stop);

// The worker-process side: one message text per line in (checked again
// with parse_message), one outcome record per line out. Each task runs with
// its message's "force" and "row_mark".
int serve_tasks(std::istream& in, std::ostream& out);

struct QueueStatus {
  long waiting = 0;          // approximate, taken messages included
  long poison = 0;
  // document_number, blob_filename, status, age_s, error of QUEUED and
  // RUNNING rows, and no_message: a QUEUED row older than the visibility
  // timeout while the queue holds no message at all ('kesto enqueue'
  // queues it again).
  std::vector<Record> rows;
};
QueueStatus queue_status();

}  // namespace shared::host::worker
