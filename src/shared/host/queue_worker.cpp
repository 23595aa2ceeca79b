#include "shared/host/worker.hpp"

#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <iostream>
#include <optional>

#include "shared/connectors/queuehub.hpp"
#include "shared/errors.hpp"
#include "shared/host/metadata_row.hpp"
#include "shared/host/runner.hpp"
#include "shared/logsetup.hpp"
#include "shared/proc/pool.hpp"
#include "shared/text/pyjson.hpp"
#include "shared/text/utf8.hpp"

namespace shared::host::worker {

namespace queuehub = connectors::queuehub;
using connectors::QueueMessage;
using Clock = std::chrono::steady_clock;
using task::Outcome;
using task::Status;

namespace {

logsetup::Logger& log() { return logsetup::get_logger("shared.host.worker"); }

double seconds_between(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

Clock::time_point after(double seconds) {
  return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

std::string wait_status_text(int status) {
  if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
  if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
  return "wait status " + std::to_string(status);
}

// A slot of the pool and the message its worker process is running.
struct Slot {
  bool busy = false;
  QueueMessage message;
  QueueTask task;
  Clock::time_point renew_at;
};

class QueueWorker {
 public:
  QueueWorker(const WorkerOptions& options, const std::function<void(const Outcome&)>& on_done)
      : options_(options),
        on_done_(on_done),
        q_(queue_settings()),
        // A worker process ends with the queue worker that started it, even
        // one killed outright: its document lock goes with its connection,
        // and the message comes back to be run elsewhere.
        pool_(static_cast<std::size_t>(options.concurrency),
              proc::Program{options.child_argv, proc::SpawnOptions{.die_with_parent = true}}),
        slots_(static_cast<std::size_t>(options.concurrency)) {}

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
      if (options_.on_busy) options_.on_busy(running);
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
  long retry_delay(long tries) const {
    const double base = std::max(1.0, static_cast<double>(q_.visibility_s) / 12.0);
    const double d = base * std::pow(2.0, static_cast<double>(std::max(0L, tries - 1)));
    return static_cast<long>(std::min(d, static_cast<double>(q_.visibility_s)));
  }

  // The times a message was taken and got no outcome: the times it found
  // its document run by another process do not count.
  static long tries(const Slot& s) { return s.message.dequeue_count - s.task.lock_waits; }

  void start(QueueMessage m) {
    ++taken_;
    QueueTask task;
    try {
      task = parse_message(m.text);
      if (task.lock_waits >= m.dequeue_count) {
        throw ValueError("lock_waits " + std::to_string(task.lock_waits) + " is not below the message's dequeue count " +
                         std::to_string(m.dequeue_count));
      }
    } catch (const std::exception& e) {
      poison(m, nullptr, "not a task: " + text::one_line(e.what()));
      return;
    }
    const long tried = m.dequeue_count - task.lock_waits;
    if (tried > q_.max_dequeue) {
      const std::string waits =
          task.lock_waits > 0 ? " (and found its document locked " + std::to_string(task.lock_waits) + " times)" : "";
      poison(m, &task,
             "taken " + std::to_string(tried) + " times without an outcome" + waits + "; last error: " +
                 (task.last_error.empty() ? "none recorded (its worker stopped renewing it)" : task.last_error));
      return;
    }
    const auto free = std::find_if(slots_.begin(), slots_.end(), [](const Slot& s) { return !s.busy; });
    const std::size_t i = static_cast<std::size_t>(free - slots_.begin());
    Slot& slot = *free;
    slot.busy = true;
    slot.message = std::move(m);
    slot.task = std::move(task);
    slot.renew_at = after(static_cast<double>(q_.visibility_s) / 3.0);
    try {
      // The checked task, not the message as it came: nothing the checks
      // did not look at reaches the worker process.
      pool_.send(i, message_text(slot.task));
    } catch (const std::exception& e) {
      child_lost(slot, "could not start the task: " + text::one_line(e.what()), pool_.finish(i));
    }
  }

  // Records why in the document's row, puts a copy of the message into the
  // poison queue and removes it from the work queue, in that order: a
  // message leaves the work queue only once its row says ERROR, so that no
  // row is left QUEUED without a message. A message that is not a task
  // names no row to trust.
  void poison(const QueueMessage& m, const QueueTask* task, const std::string& why) {
    const task::Task* t = task ? &task->task : nullptr;
    if (t) {
      try {
        metadata_row::mark(*t, Status::Error, why);
      } catch (const std::exception& e) {
        // Kept in the work queue: it comes back when its visibility ends.
        log().error("Could not record the error of '" + record::get_text_or(t->doc, "blob_filename", "") +
                    "': " + text::one_line(e.what()) + "; its message stays in '" + q_.queue + "'");
        on_done_(task::outcome_of(
            t, Status::Retry, "to be moved to '" + q_.poison_queue + "' once its row can be written: " + why));
        return;
      }
    }
    const std::string copy = poison_text(m.text, task, why, m.dequeue_count);
    bool moved = false;
    if (!copy.empty()) {
      try {
        if (!poison_ready_) {
          queuehub::create_queue(q_.poison_queue);
          poison_ready_ = true;
        }
        queuehub::put_message(q_.poison_queue, copy);
        moved = true;
      } catch (const std::exception& e) {
        if (transient(e)) {
          // Kept in the work queue: it comes back and is tried for the poison queue again.
          log().error("Could not move a message to '" + q_.poison_queue + "': " + text::one_line(e.what()));
          return;
        }
        log().error("'" + q_.poison_queue + "' refused message " + m.id + ": " + text::one_line(e.what()));
      }
    }
    remove(m);
    if (moved) {
      log().error("Message moved to '" + q_.poison_queue + "': " + why);
      on_done_(task::outcome_of(t, Status::Error, "moved to '" + q_.poison_queue + "': " + why));
    } else {
      // The queue drains whatever a message holds.
      log().error("Message " + m.id + " deleted without a copy in '" + q_.poison_queue + "': " + why);
      on_done_(task::outcome_of(t, Status::Error, "deleted without a copy in '" + q_.poison_queue + "': " + why));
    }
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
  // that made it come back (and, when `locked`, one more wait for the
  // document's lock), and frees the slot.
  void hand_back(Slot& s, const std::string& error, long delay_s, bool mark, bool locked = false,
                 std::vector<std::pair<std::string, double>> stage_seconds = {}) {
    s.task.last_error = error;
    if (locked) ++s.task.lock_waits;
    // A text that does not fit is left as it was: the message then counts
    // this take as a try.
    const std::optional<std::string> text = fitting_text(s.task);
    try {
      queuehub::update_message(q_.queue, s.message, delay_s, text);
    } catch (const std::exception& e) {
      log().warning("Could not hand message " + s.message.id + " back: " + text::one_line(e.what()) +
                    " (it comes back when its visibility timeout ends)");
    }
    if (mark) {
      try {
        metadata_row::mark(s.task.task, Status::Queued, "to be tried again: " + error);
      } catch (const std::exception& e) {
        log().warning("Could not mark the row of '" + record::get_text_or(s.task.task.doc, "blob_filename", "") +
                      "' as queued again: " + text::one_line(e.what()));
      }
    }
    s.busy = false;
    Outcome retry = task::outcome_of(&s.task.task, Status::Retry, error);
    retry.stage_seconds = std::move(stage_seconds);
    on_done_(retry);
  }

  // Hands the slot's message back after its worker process ended (with
  // `status`, when it had one) or failed it.
  void child_lost(Slot& s, const std::string& why, std::optional<int> status) {
    const std::string error = status ? why + " (" + wait_status_text(*status) + ")" : why;
    hand_back(s, error, stopping_ ? 0 : retry_delay(tries(s)), true);
  }

  void finished(Slot& s, const Outcome& o) {
    if (o.retryable) {
      // Held by another process: the row is theirs, and finding the lock
      // taken is no failed try. A fault that may pass: the row says it
      // waits for another try.
      const bool locked = o.status == Status::Skipped;
      hand_back(s, o.error, locked ? q_.visibility_s : retry_delay(tries(s)), !locked, locked, o.stage_seconds);
      return;
    }
    remove(s.message);
    s.busy = false;
    on_done_(o);
  }

  // Waits until `until` (a renewal due, or a second at the most, so that a
  // stop is seen in time) for one worker process to answer or end.
  void wait_and_collect(Clock::time_point until) {
    Clock::time_point wake = until;
    for (const Slot& s : slots_) {
      if (s.busy) wake = std::min(wake, s.renew_at);
    }
    const Clock::time_point now = Clock::now();
    const proc::Event e = pool_.wait(std::clamp(wake, now, now + std::chrono::seconds(1)));
    // An idle worker process that ended is replaced when its slot is next used.
    if (e.kind == proc::Event::Kind::none || !slots_[e.slot].busy) return;
    Slot& s = slots_[e.slot];
    if (e.kind == proc::Event::Kind::died) {
      child_lost(s, "worker process ended unexpectedly", e.status);
      return;
    }
    Outcome o;
    try {
      o = task::outcome_from_record(Record::parse(e.line));
    } catch (const std::exception& ex) {
      child_lost(s, "unreadable outcome from the worker process: " + text::one_line(ex.what()), pool_.finish(e.slot));
      return;
    }
    finished(s, o);
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
    for (std::size_t i = 0; i < slots_.size(); ++i) {
      if (!slots_[i].busy) continue;
      pool_.kill(i);
      hand_back(slots_[i], why, 0, true);
    }
  }

  const WorkerOptions& options_;
  const std::function<void(const Outcome&)>& on_done_;
  QueueSettings q_;
  proc::Pool pool_;
  std::vector<Slot> slots_;  // one a slot of pool_
  long taken_ = 0;
  bool poison_ready_ = false;
  bool stopping_ = false;
};

}  // namespace

int run_worker(const WorkerOptions& options, const std::function<void(const Outcome&)>& on_done,
               const StopLevel& stop) {
  if (options.concurrency < 1) throw ValueError("concurrency must be at least 1");
  if (options.child_argv.empty()) throw ValueError("no worker program given");
  QueueWorker w(options, on_done);
  return w.run(stop);
}

int serve_tasks(std::istream& in, std::ostream& out) {
  // Ctrl-C reaches the whole process group: the queue worker decides.
  ::signal(SIGINT, SIG_IGN);
  proc::serve_lines(
      in, out,
      [](const std::string& line) {
        // Checked again here: this process reads files and writes blobs.
        const QueueTask task = parse_message(line);
        task::Options opts{.force = task.force};
        if (task.force && task.row_mark) opts.queued_row_mark = task.row_mark;
        return text::dumps_compact(task::to_record(runner::run_task(task.task, opts)));
      },
      [](const std::exception& e) {
        return text::dumps_compact(
            task::to_record(task::outcome_of(nullptr, Status::Error, "not a task: " + text::one_line(e.what()))));
      });
  return 0;
}

}  // namespace shared::host::worker
