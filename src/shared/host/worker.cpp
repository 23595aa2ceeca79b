#include "shared/host/worker.hpp"

#include <optional>

#include "shared/config.hpp"
#include "shared/connectors/queuehub.hpp"
#include "shared/errors.hpp"
#include "shared/host/admission.hpp"
#include "shared/host/decision.hpp"
#include "shared/host/metadata_row.hpp"
#include "shared/text/utf8.hpp"

namespace shared::host::worker {

namespace queuehub = connectors::queuehub;
using task::Status;

QueueSettings queue_settings() {
  const auto& s = config::get();
  QueueSettings q{.queue = s.QUEUE_NAME,
                  .poison_queue = s.QUEUE_NAME + "-poison",
                  .max_dequeue = s.MAX_DEQUEUE,
                  .visibility_s = s.VISIBILITY_TIMEOUT_S};
  // Checked at start: a poison queue the service refuses would keep a
  // worker retrying for ever.
  for (const std::string& name : {q.queue, q.poison_queue}) {
    if (!connectors::is_valid_queue_name(name)) {
      throw ValueError("KESTO_QUEUE " + shown(s.QUEUE_NAME) + " is not usable: " + shown(name) +
                       " is not a queue name (3 to 63 characters of lower-case letters, digits and single hyphens, "
                       "starting and ending with a letter or digit; with \"-poison\" added for the poison queue, so "
                       "at most 56 characters)");
    }
  }
  return q;
}


void enqueue(const std::vector<task::Task>& tasks, const task::Options& options,
             const std::function<void(const task::Task&, const Enqueued&)>& on_task) {
  const QueueSettings q = queue_settings();
  queuehub::create_queue(q.queue);
  // The service cannot be asked for one document's message, but a queue
  // without any message (taken ones are counted too) holds none for a row
  // that says QUEUED. Asked once, before this run adds its own.
  std::optional<double> without_message;
  if (queuehub::approximate_message_count(q.queue) == 0) without_message = static_cast<double>(q.visibility_s);
  for (const task::Task& given : tasks) {
    Enqueued verdict = admission::admit(given, options, without_message);
    if (verdict.verdict != Status::Queued) {
      on_task(given, verdict);
      continue;
    }
    QueueTask queued{.task = given, .force = options.force};
    if (options.force) queued.row_mark = verdict.row_mark;
    // Workers on other machines cannot read this one's files: they are
    // uploaded first, and the message names the uploaded blob.
    queued.task.local_file.clear();
    queued.task.uploaded = given.uploaded || !given.local_file.empty();
    // Checked as a worker will check it, before anything is uploaded or
    // marked: a message the worker would refuse is never sent.
    std::string text;
    try {
      text = message_text(queued);
      (void)parse_message(text);
    } catch (const ValueError& e) {
      on_task(given, Enqueued{Status::Failed, std::string("cannot be queued: ") + text::one_line(e.what()), ""});
      continue;
    }
    if (!given.local_file.empty()) {
      task::Task upload = given;
      const Enqueued uploaded = admission::upload_local(upload);
      if (uploaded.verdict != Status::Queued) {
        on_task(given, uploaded);
        continue;
      }
    }
    // The message goes first: a row marked QUEUED without its message would
    // keep the document from being queued again.
    queuehub::put_message(q.queue, text);
    metadata_row::mark(queued.task, Status::Queued, "");
    on_task(queued.task, verdict);
  }
}

QueueStatus queue_status() {
  const QueueSettings q = queue_settings();
  QueueStatus st;
  st.waiting = queuehub::approximate_message_count(q.queue);
  st.poison = queuehub::approximate_message_count(q.poison_queue);
  st.rows = metadata_row::with_status({Status::Queued, Status::Running});
  // The rule enqueue follows.
  std::optional<double> without_message;
  if (st.waiting == 0) without_message = static_cast<double>(q.visibility_s);
  for (Record& r : st.rows) {
    const Record* age = record::find(r, "age_s");
    const decision::Row row{.status = task::status_named(record::get_text_or(r, "status", "")),
                            .age_s = age && age->is_number() ? age->get<double>() : 0};
    r["no_message"] = age && age->is_number() && decision::lost_its_message(row, without_message);
  }
  return st;
}

}  // namespace shared::host::worker
