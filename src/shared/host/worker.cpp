#include "shared/host/worker.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <iostream>
#include <optional>

#include "shared/config.hpp"
#include "shared/connectors/queuehub.hpp"
#include "shared/errors.hpp"
#include "shared/logsetup.hpp"
#include "shared/proc/child.hpp"
#include "shared/text/pyjson.hpp"
#include "shared/text/utf8.hpp"

namespace shared::host::worker {

namespace queuehub = connectors::queuehub;
using connectors::QueueMessage;
using Clock = std::chrono::steady_clock;

namespace {

logsetup::Logger& log() { return logsetup::get_logger("shared.host.worker"); }

double seconds_between(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

Clock::time_point after(double seconds) {
  return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

runner::Outcome outcome_of(const runner::Task& task, const std::string& status, const std::string& error) {
  runner::Outcome o;
  o.action = task.action;
  o.name = record::get_text_or(task.doc, "blob_filename", "");
  o.qd_number = record::get_text_or(task.doc, "document_number", "");
  o.status = status;
  o.error = error;
  return o;
}

std::string wait_status_text(int status) {
  if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
  if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
  return "wait status " + std::to_string(status);
}

// One worker process and the message it is running.
struct Slot {
  std::optional<proc::ChildProcess> child;
  std::string buffer;
  bool busy = false;
  QueueMessage message;
  Record record;  // the message's task record
  runner::Task task;
  Clock::time_point renew_at;
};

class QueueWorker {
 public:
  QueueWorker(const WorkerOptions& options, const std::function<void(const runner::Outcome&)>& on_done)
      : options_(options), on_done_(on_done), q_(queue_settings()), slots_(static_cast<std::size_t>(options.concurrency)) {}

  int run(const StopLevel& stop) {
    queuehub::create_queue(q_.queue);
    log().info("Worker taking documents from queue '" + q_.queue + "' (" + std::to_string(options_.concurrency) +
               " at a time)");
    Clock::time_point next_poll = Clock::now();
    Clock::time_point idle_since = Clock::now();
    double backoff = 0;
    for (;;) {
      const int level = stop ? stop() : 0;
      if (level >= 2) {
        hand_back_all("the worker was stopped");
        return 0;
      }
      const long running = busy();
      const bool can_take =
          level == 0 && running < options_.concurrency && (options_.max_documents <= 0 || taken_ < options_.max_documents);
      if (!can_take && running == 0) return 0;
      if (running > 0) idle_since = Clock::now();

      if (can_take && Clock::now() >= next_poll) {
        std::vector<QueueMessage> got;
        bool failed = false;
        try {
          long want = options_.concurrency - running;
          if (options_.max_documents > 0) want = std::min(want, options_.max_documents - taken_);
          got = queuehub::get_messages(q_.queue, static_cast<int>(std::min<long>(want, 32)), q_.visibility_s);
        } catch (const std::exception& e) {
          failed = true;
          log().warning("Could not take messages from queue '" + q_.queue + "': " + text::one_line(e.what()));
        }
        if (got.empty()) {
          if (!failed && running == 0 && options_.idle_exit_s >= 0 &&
              seconds_between(idle_since, Clock::now()) >= options_.idle_exit_s) {
            log().info("Queue '" + q_.queue + "' empty for " + std::to_string(options_.idle_exit_s) + " s: worker ends");
            return 0;
          }
          // An empty queue is asked ever less often, up to every 30 s.
          backoff = backoff == 0 ? 0.5 : std::min(backoff * 2, 30.0);
          next_poll = after(backoff);
          if (options_.idle_exit_s >= 0 && !failed) {
            const auto deadline = idle_since + std::chrono::duration_cast<Clock::duration>(
                                                   std::chrono::duration<double>(options_.idle_exit_s));
            next_poll = std::max(Clock::now(), std::min(next_poll, deadline));
          }
        } else {
          backoff = 0;
          idle_since = Clock::now();
          for (QueueMessage& m : got) start(std::move(m));
          continue;
        }
      }
      wait_and_collect(can_take ? next_poll : after(1.0));
      renew_due();
    }
  }

 private:
  long busy() const {
    return static_cast<long>(std::count_if(slots_.begin(), slots_.end(), [](const Slot& s) { return s.busy; }));
  }

  // Seconds before a message handed back after a fault may be taken again:
  // doubling with every try, from a twelfth of the visibility timeout up to
  // all of it, so that a short outage is ridden out before the poison queue.
  long retry_delay(long dequeue_count) const {
    const double base = std::max(1.0, static_cast<double>(q_.visibility_s) / 12.0);
    const double d = base * std::pow(2.0, static_cast<double>(std::max(0L, dequeue_count - 1)));
    return static_cast<long>(std::min(d, static_cast<double>(q_.visibility_s)));
  }

  void start(QueueMessage m) {
    ++taken_;
    Record rec;
    runner::Task task;
    try {
      rec = Record::parse(m.text);
      task = runner::task_from_record(rec);
    } catch (const std::exception& e) {
      poison(m, Record{{"text", m.text}}, runner::Task{}, "not a task: " + text::one_line(e.what()));
      return;
    }
    if (m.dequeue_count > q_.max_dequeue) {
      const std::string last = record::get_text_or(rec, "last_error", "");
      poison(m, rec, task,
             "taken " + std::to_string(m.dequeue_count) + " times without an outcome; last error: " +
                 (last.empty() ? "none recorded (its worker stopped renewing it)" : last));
      return;
    }
    Slot* slot = nullptr;
    for (Slot& s : slots_) {
      if (!s.busy) {
        slot = &s;
        break;
      }
    }
    slot->busy = true;
    slot->message = std::move(m);
    slot->record = std::move(rec);
    slot->task = std::move(task);
    slot->buffer.clear();
    slot->renew_at = after(static_cast<double>(q_.visibility_s) / 3.0);
    try {
      if (!slot->child) slot->child = proc::ChildProcess::spawn(options_.child_argv);
      slot->child->send(text::dumps_compact(slot->record) + "\n");
    } catch (const std::exception& e) {
      child_lost(*slot, "could not start the task: " + text::one_line(e.what()));
    }
  }

  // Moves the message to the poison queue, records why in the document's
  // row and removes it from the work queue.
  void poison(const QueueMessage& m, Record rec, const runner::Task& task, const std::string& why) {
    rec["last_error"] = why;
    rec["dequeue_count"] = m.dequeue_count;
    try {
      if (!poison_ready_) {
        queuehub::create_queue(q_.poison_queue);
        poison_ready_ = true;
      }
      queuehub::put_message(q_.poison_queue, text::dumps_compact(rec));
    } catch (const std::exception& e) {
      // Kept in the work queue: it comes back and is tried for the poison queue again.
      log().error("Could not move a message to '" + q_.poison_queue + "': " + text::one_line(e.what()));
      return;
    }
    if (!task.action.empty()) {
      try {
        runner::mark_row(task, "ERROR", why);
      } catch (const std::exception& e) {
        log().error("Could not record the error of '" + record::get_text_or(task.doc, "blob_filename", "") +
                    "': " + text::one_line(e.what()));
      }
    }
    remove(m);
    log().error("Message moved to '" + q_.poison_queue + "': " + why);
    on_done_(outcome_of(task, "ERROR", "moved to '" + q_.poison_queue + "': " + why));
  }

  void remove(const QueueMessage& m) {
    try {
      if (!queuehub::delete_message(q_.queue, m)) {
        log().warning("Message " + m.id + " was no longer this worker's to delete: it will come back and be skipped");
      }
    } catch (const std::exception& e) {
      log().warning("Could not delete message " + m.id + ": " + text::one_line(e.what()));
    }
  }

  // Makes the slot's message visible again after `delay_s`, with the error
  // that made it come back, and frees the slot.
  void hand_back(Slot& s, const std::string& error, long delay_s, bool mark) {
    s.record["last_error"] = error;
    try {
      queuehub::update_message(q_.queue, s.message, delay_s, text::dumps_compact(s.record));
    } catch (const std::exception& e) {
      log().warning("Could not hand message " + s.message.id + " back: " + text::one_line(e.what()) +
                    " (it comes back when its visibility timeout ends)");
    }
    if (mark) {
      try {
        runner::mark_row(s.task, "QUEUED", "to be tried again: " + error);
      } catch (const std::exception& e) {
        log().warning("Could not mark the row of '" + record::get_text_or(s.task.doc, "blob_filename", "") +
                      "' as queued again: " + text::one_line(e.what()));
      }
    }
    s.busy = false;
    on_done_(outcome_of(s.task, "RETRY", error));
  }

  void child_lost(Slot& s, const std::string& why) {
    std::string error = why;
    if (s.child) {
      error += " (" + wait_status_text(s.child->finish()) + ")";
      s.child.reset();
    }
    hand_back(s, error, stopping_ ? 0 : retry_delay(s.message.dequeue_count), true);
  }

  void finished(Slot& s, const runner::Outcome& o) {
    if (o.retryable) {
      // Held by another process: the row is theirs; a fault that may pass:
      // the row says it waits for another try.
      const bool locked = o.status == "SKIPPED";
      hand_back(s, o.error, locked ? q_.visibility_s : retry_delay(s.message.dequeue_count), !locked);
      return;
    }
    remove(s.message);
    s.busy = false;
    on_done_(o);
  }

  void wait_and_collect(Clock::time_point until) {
    std::vector<pollfd> fds;
    std::vector<Slot*> owners;
    Clock::time_point wake = until;
    for (Slot& s : slots_) {
      if (!s.busy || !s.child) continue;
      fds.push_back(pollfd{s.child->output_fd(), POLLIN, 0});
      owners.push_back(&s);
      wake = std::min(wake, s.renew_at);
    }
    const double wait_s = std::clamp(seconds_between(Clock::now(), wake), 0.0, 1.0);
    const int rc = ::poll(fds.data(), fds.size(), static_cast<int>(wait_s * 1000));
    if (rc < 0) {
      if (errno == EINTR) return;
      throw Error(std::string("waiting for worker processes failed: ") + std::strerror(errno));
    }
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      Slot& s = *owners[i];
      if (!s.child->read_into(s.buffer)) {
        child_lost(s, "worker process ended unexpectedly");
        continue;
      }
      std::size_t eol;
      while (s.busy && (eol = s.buffer.find('\n')) != std::string::npos) {
        const std::string line = s.buffer.substr(0, eol);
        s.buffer.erase(0, eol + 1);
        runner::Outcome o;
        try {
          o = runner::outcome_from_record(Record::parse(line));
        } catch (const std::exception& e) {
          child_lost(s, "unreadable outcome from the worker process: " + text::one_line(e.what()));
          break;
        }
        finished(s, o);
      }
    }
  }

  // Keeps every running message hidden from other takers.
  void renew_due() {
    for (Slot& s : slots_) {
      if (!s.busy || Clock::now() < s.renew_at) continue;
      try {
        s.message.pop_receipt = queuehub::update_message(q_.queue, s.message, q_.visibility_s);
        s.renew_at = after(static_cast<double>(q_.visibility_s) / 3.0);
      } catch (const std::exception& e) {
        // The document lock still keeps a second taker from running it.
        log().warning("Could not renew message " + s.message.id + ": " + text::one_line(e.what()));
        s.renew_at = after(1.0);
      }
    }
  }

  void hand_back_all(const std::string& why) {
    stopping_ = true;
    for (Slot& s : slots_) {
      if (!s.busy) continue;
      if (s.child) {
        ::kill(s.child->pid(), SIGKILL);
        s.child->finish();
        s.child.reset();
      }
      hand_back(s, why, 0, true);
    }
  }

  const WorkerOptions& options_;
  const std::function<void(const runner::Outcome&)>& on_done_;
  QueueSettings q_;
  std::vector<Slot> slots_;
  long taken_ = 0;
  bool poison_ready_ = false;
  bool stopping_ = false;
};

}  // namespace

QueueSettings queue_settings() {
  const auto& s = config::get();
  return QueueSettings{.queue = s.QUEUE_NAME,
                       .poison_queue = s.QUEUE_NAME + "-poison",
                       .max_dequeue = s.MAX_DEQUEUE,
                       .visibility_s = s.VISIBILITY_TIMEOUT_S};
}

std::string message_text(const runner::Task& task, bool force) {
  Record r = runner::to_record(task);
  if (force) r["force"] = true;
  return text::dumps_compact(r);
}

void enqueue(const std::vector<runner::Task>& tasks, const runner::Options& options,
             const std::function<void(const runner::Task&, const Enqueued&)>& on_task) {
  const QueueSettings q = queue_settings();
  queuehub::create_queue(q.queue);
  for (const runner::Task& given : tasks) {
    Enqueued verdict = runner::admission(given, options);
    if (verdict.verdict != "QUEUED") {
      on_task(given, verdict);
      continue;
    }
    runner::Task task = given;
    if (!task.local_file.empty()) {
      // Workers on other machines cannot read this one's files.
      verdict = runner::upload_local(task);
      if (verdict.verdict != "QUEUED") {
        on_task(given, verdict);
        continue;
      }
    }
    // The message goes first: a row marked QUEUED without its message would
    // keep the document from being queued again.
    queuehub::put_message(q.queue, message_text(task, options.force));
    runner::mark_row(task, "QUEUED", "");
    on_task(task, verdict);
  }
}

int run_worker(const WorkerOptions& options, const std::function<void(const runner::Outcome&)>& on_done,
               const StopLevel& stop) {
  if (options.concurrency < 1) throw ValueError("concurrency must be at least 1");
  if (options.child_argv.empty()) throw ValueError("no worker program given");
  QueueWorker w(options, on_done);
  return w.run(stop);
}

int serve_tasks(std::istream& in, std::ostream& out) {
  // A worker process ends with the queue worker that started it, even one
  // killed outright: its document lock goes with its connection, and the
  // message comes back to be run elsewhere.
  // (A parent gone before this line closed the pipe: the loop below ends.)
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  // Ctrl-C reaches the whole process group: the queue worker decides.
  ::signal(SIGINT, SIG_IGN);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    runner::Outcome outcome;
    try {
      const Record rec = Record::parse(line);
      const runner::Options opts{.force = rec.value("force", false), .take_over_running = true};
      outcome = runner::run_task(runner::task_from_record(rec), opts);
    } catch (const std::exception& e) {
      outcome.status = "ERROR";
      outcome.error = std::string("bad task: ") + e.what();
    }
    out << text::dumps_compact(runner::to_record(outcome)) << '\n' << std::flush;
  }
  return 0;
}

QueueStatus queue_status() {
  const QueueSettings q = queue_settings();
  QueueStatus st;
  st.waiting = queuehub::approximate_message_count(q.queue);
  st.poison = queuehub::approximate_message_count(q.poison_queue);
  st.rows = runner::rows_with_status({"QUEUED", "RUNNING"});
  return st;
}

}  // namespace shared::host::worker
