// shared.host.admission: whether a task goes on the work queue, judged as
// a run would judge it, and the upload that lets a worker elsewhere run a
// local file.
#pragma once

#include <optional>
#include <string>

#include "shared/host/task.hpp"

namespace shared::host::admission {

// Whether a task is to be queued, and why.
struct Admission {
  // QUEUED, SKIPPED (a run would skip it: source unchanged, nothing left to
  // delete), WAITING (its row is QUEUED, or RUNNING while another process
  // holds the document's lock) or FAILED (refused QD-number or file type,
  // or a file whose artefact names another document's recorded file
  // already gives).
  task::Status verdict = task::Status::Queued;
  std::string reason;
  std::string row_mark;  // the row's processed_at as read, in seconds since 1970; "" without a row
};

// The admission of `task`. A RUNNING row whose lock is free was left by a
// run that died: queued. A QUEUED row older than
// `queued_without_message_after_s` (given when the caller knows the queue
// holds no message at all) lost its message: queued again.
// `options.force` queues all but refused ones. Throws when storage or the
// database cannot be read.
Admission admit(const task::Task& task, const task::Options& options,
                std::optional<double> queued_without_message_after_s = std::nullopt);

// Checks a local-file task's file type and uploads the file into the
// documents folder; the task then names no local file and is `uploaded`
// (its run takes the uploaded blob's ETag as the source's). FAILED (nothing
// uploaded) for a refused file type.
Admission upload_local(task::Task& task);

}  // namespace shared::host::admission
