// shared.host.runner: the host of the pipeline. It runs each task through
// process_document or the deletion, records the outcome in the metadata
// table and the audit trail, and reports every document as it finishes.
// Tasks can be spread over worker processes, each with its own pipeline
// objects. The runner only sequences: what a task is lives in task, what is
// decided about it in decision, rows in metadata_row, locks in
// document_lock, deletions in deletion.
#pragma once

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "shared/host/task.hpp"

namespace shared::host::runner {

// Runs one task; never throws (any exception becomes an ERROR outcome).
// A malformed QD-number or a refused file type is FAILED before anything is
// read or uploaded; with a metadata database the document runs under a
// per-document advisory lock (held elsewhere: SKIPPED), and every outcome,
// also one before the pipeline ran, is recorded in the document's row.
task::Outcome run_task(const task::Task& task, const task::Options& options);

// Environment variables the run needs but are unset, in a fixed order.
std::vector<std::string> missing_settings(bool pending, bool uses_database);

// Runs all tasks, `jobs` at a time. With jobs > 1 each task runs in one of
// `jobs` worker processes started as `worker_argv` (which must speak the
// worker protocol of run_worker); the caller ignores SIGPIPE, so that a worker
// that dies cannot take the parent with it. `on_done` sees outcomes in
// finishing order. The workers are reaped however the run ends.
void run_all(const std::vector<task::Task>& tasks, const task::Options& options, int jobs,
             const std::vector<std::string>& worker_argv, const std::function<void(const task::Outcome&)>& on_done);

// The worker side: reads one task per line (compact JSON) from `in`, runs
// it, writes one outcome per line to `out`.
int run_worker(const task::Options& options, std::istream& in, std::ostream& out);

}  // namespace shared::host::runner
