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
#include <set>

#include "shared/config.hpp"
#include "shared/connectors/queuehub.hpp"
#include "shared/errors.hpp"
#include "shared/host/admission.hpp"
#include "shared/host/decision.hpp"
#include "shared/host/metadata_row.hpp"
#include "shared/host/runner.hpp"
#include "shared/logsetup.hpp"
#include "shared/proc/child.hpp"
#include "shared/text/pyjson.hpp"
#include "shared/text/utf8.hpp"

namespace shared::host::worker {

namespace queuehub = connectors::queuehub;
using connectors::QUEUE_MESSAGE_MAX_TEXT;
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

// `s` cut to at most `max` bytes, at the start of a UTF-8 sequence.
std::string cut_utf8(std::string_view s, std::size_t max) {
  if (s.size() <= max) return std::string(s);
  std::size_t n = max;
  while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
  return std::string(s.substr(0, n));
}

// A text of the message quoted in a refusal: one line, and short.
std::string shown(std::string_view s) {
  const std::string cut = cut_utf8(s, 64);
  return "'" + text::one_line(cut) + (cut.size() < s.size() ? "…" : "") + "'";
}

// Whether `s` holds a control character: C0, DEL or C1 (U+0080 to U+009F).
bool has_control(std::string_view s) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x20 || c == 0x7F) return true;
    if (c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) <= 0x9F) return true;
  }
  return false;
}

void check_text(const std::string& what, const std::string& s, std::size_t max) {
  if (s.size() > max) {
    throw ValueError(what + " is " + std::to_string(s.size()) + " bytes, more than " + std::to_string(max));
  }
  if (!text::is_valid(s)) throw ValueError(what + " is not valid UTF-8");
}

// A blob name that stays inside the folder it is put in, whatever the
// service or a proxy makes of dot segments and backslashes.
void check_blob_name(const std::string& name) {
  const std::string what = "doc.blob_filename";
  check_text(what, name, MAX_BLOB_NAME_BYTES);
  if (has_control(name)) throw ValueError(what + " holds a control character");
  if (name.find('\\') != std::string::npos) throw ValueError(what + " holds a backslash");
  if (name.front() == '/') throw ValueError(what + " starts with \"/\"");
  std::size_t from = 0;
  for (;;) {
    const std::size_t slash = name.find('/', from);
    const std::string_view seg = std::string_view(name).substr(from, slash == std::string::npos ? std::string::npos
                                                                                                  : slash - from);
    if (seg.empty()) throw ValueError(what + " has an empty path segment");
    if (seg == "." || seg == "..") throw ValueError(what + " has a \"" + std::string(seg) + "\" path segment");
    if (slash == std::string::npos) break;
    from = slash + 1;
  }
}

long whole_number(const Record& v, const std::string& what, long lo, long hi) {
  const std::string range = "a whole number from " + std::to_string(lo) + " to " + std::to_string(hi);
  if (!v.is_number_integer()) throw ValueError(what + " must be " + range);
  if (v.is_number_unsigned()) {
    const auto n = v.get<std::uint64_t>();
    if (n > static_cast<std::uint64_t>(hi) || static_cast<long long>(n) < lo) throw ValueError(what + " must be " + range);
    return static_cast<long>(n);
  }
  const auto n = v.get<std::int64_t>();
  if (n < lo || n > hi) throw ValueError(what + " must be " + range);
  return static_cast<long>(n);
}

bool boolean(const Record& r, const char* key) {
  const Record* v = record::find(r, key);
  if (!v) return false;
  if (!v->is_boolean()) throw ValueError(std::string(key) + " must be true or false");
  return v->get<bool>();
}

Record to_record(const QueueTask& t) {
  // "local_file" stays in the text, empty, for workers that still expect it.
  Record r{{"action", std::string(task::word(t.task.action))}, {"doc", t.task.doc}, {"batch_size", t.task.batch_size}, {"local_file", ""}};
  if (t.task.uploaded) r["uploaded"] = true;
  if (t.force) r["force"] = true;
  if (t.row_mark) r["row_mark"] = *t.row_mark;
  if (t.lock_waits > 0) r["lock_waits"] = t.lock_waits;
  if (!t.last_error.empty()) r["last_error"] = t.last_error;
  return r;
}

// The message text of `t` as it fits in a message: its last error cut
// when need be; nullopt when even that does not fit.
std::optional<std::string> fitting_text(QueueTask t) {
  for (const std::size_t keep : {std::string::npos, std::size_t{1024}, std::size_t{0}}) {
    if (keep != std::string::npos) t.last_error = cut_utf8(t.last_error, keep);
    std::string text = text::dumps_compact(to_record(t));
    if (text.size() <= QUEUE_MESSAGE_MAX_TEXT) return text;
  }
  return std::nullopt;
}

// One worker process and the message it is running.
struct Slot {
  std::optional<proc::ChildProcess> child;
  std::string buffer;
  bool busy = false;
  QueueMessage message;
  QueueTask task;
  Clock::time_point renew_at;
};

class QueueWorker {
 public:
  QueueWorker(const WorkerOptions& options, const std::function<void(const Outcome&)>& on_done)
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
    Slot* slot = nullptr;
    for (Slot& s : slots_) {
      if (!s.busy) {
        slot = &s;
        break;
      }
    }
    slot->busy = true;
    slot->message = std::move(m);
    slot->task = std::move(task);
    slot->buffer.clear();
    slot->renew_at = after(static_cast<double>(q_.visibility_s) / 3.0);
    try {
      if (!slot->child) slot->child = proc::ChildProcess::spawn(options_.child_argv);
      // The checked task, not the message as it came: nothing the checks
      // did not look at reaches the worker process.
      slot->child->send(text::dumps_compact(to_record(slot->task)) + "\n");
    } catch (const std::exception& e) {
      child_lost(*slot, "could not start the task: " + text::one_line(e.what()));
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
  void hand_back(Slot& s, const std::string& error, long delay_s, bool mark, bool locked = false) {
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
    on_done_(task::outcome_of(&s.task.task, Status::Retry, error));
  }

  void child_lost(Slot& s, const std::string& why) {
    std::string error = why;
    if (s.child) {
      error += " (" + wait_status_text(s.child->finish()) + ")";
      s.child.reset();
    }
    hand_back(s, error, stopping_ ? 0 : retry_delay(tries(s)), true);
  }

  void finished(Slot& s, const Outcome& o) {
    if (o.retryable) {
      // Held by another process: the row is theirs, and finding the lock
      // taken is no failed try. A fault that may pass: the row says it
      // waits for another try.
      const bool locked = o.status == Status::Skipped;
      hand_back(s, o.error, locked ? q_.visibility_s : retry_delay(tries(s)), !locked, locked);
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
        Outcome o;
        try {
          o = task::outcome_from_record(Record::parse(line));
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
  const std::function<void(const Outcome&)>& on_done_;
  QueueSettings q_;
  std::vector<Slot> slots_;
  long taken_ = 0;
  bool poison_ready_ = false;
  bool stopping_ = false;
};

}  // namespace

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

QueueTask parse_message(std::string_view text) {
  if (text.size() > QUEUE_MESSAGE_MAX_TEXT) {
    throw ValueError("message of " + std::to_string(text.size()) + " bytes; a queue message holds at most " +
                     std::to_string(QUEUE_MESSAGE_MAX_TEXT));
  }
  Record r;
  try {
    r = Record::parse(text);
  } catch (const std::exception& e) {
    throw ValueError(std::string("not JSON: ") + text::one_line(e.what()));
  }
  if (!r.is_object()) throw ValueError("not a JSON object");
  static const std::set<std::string, std::less<>> kMembers = {
      "action", "doc", "batch_size", "local_file", "uploaded", "force", "row_mark", "lock_waits", "last_error",
      // A copy taken back from the poison queue.
      "dequeue_count"};
  for (const auto& [key, value] : r.items()) {
    if (!kMembers.count(key)) throw ValueError("unknown member " + shown(key));
  }
  QueueTask t;
  const Record* action = record::find(r, "action");
  if (!action || !action->is_string() || (*action != "process" && *action != "delete")) {
    throw ValueError("action must be \"process\" or \"delete\"");
  }
  t.task.action = *task::action_named(action->get<std::string>());

  const Record* doc = record::find(r, "doc");
  if (!doc || !doc->is_object()) throw ValueError("doc must be an object");
  if (doc->size() > MAX_DOC_MEMBERS) {
    throw ValueError("doc has " + std::to_string(doc->size()) + " members, more than " + std::to_string(MAX_DOC_MEMBERS));
  }
  for (const auto& [key, value] : doc->items()) {
    check_text("a doc member's name", key, MAX_DOC_KEY_BYTES);
    if (has_control(key)) throw ValueError("a doc member's name holds a control character");
    if (value.is_string()) {
      check_text("doc." + key, value.get<std::string>(), MAX_DOC_TEXT_BYTES);
    } else if (!value.is_number() && !value.is_boolean() && !value.is_null()) {
      throw ValueError("doc." + key + " must be a text, a number, a boolean or null");
    }
  }
  const Record* name = record::find(*doc, "blob_filename");
  if (name && !name->is_null() && !name->is_string()) throw ValueError("doc.blob_filename must be a text");
  const std::string blob_filename = name && name->is_string() ? name->get<std::string>() : "";
  if (!blob_filename.empty()) {
    check_blob_name(blob_filename);
  } else if (t.task.action == task::Action::Process) {
    throw ValueError("doc.blob_filename is missing");
  }
  t.task.doc = *doc;

  const Record* batch = record::find(r, "batch_size");
  if (!batch) throw ValueError("batch_size is missing");
  t.task.batch_size = whole_number(*batch, "batch_size", 1, config::get().MAX_BATCH_SIZE);

  if (const Record* local = record::find(r, "local_file")) {
    if (!local->is_string() || !local->get<std::string>().empty()) {
      throw ValueError("local_file: a queue message may not name a local file");
    }
  }
  t.task.uploaded = boolean(r, "uploaded");
  t.force = boolean(r, "force");
  if (const Record* mark = record::find(r, "row_mark")) {
    // Seconds since 1970 as the database writes them, or "".
    if (!mark->is_string() || mark->get<std::string>().size() > 40 ||
        mark->get<std::string>().find_first_not_of("0123456789.-") != std::string::npos) {
      throw ValueError("row_mark must be a number of seconds as text");
    }
    t.row_mark = mark->get<std::string>();
  }
  if (const Record* waits = record::find(r, "lock_waits")) t.lock_waits = whole_number(*waits, "lock_waits", 0, 1'000'000'000);
  if (const Record* count = record::find(r, "dequeue_count")) whole_number(*count, "dequeue_count", 0, 1'000'000'000);
  if (const Record* last = record::find(r, "last_error")) {
    if (!last->is_string()) throw ValueError("last_error must be a text");
    check_text("last_error", last->get<std::string>(), MAX_DOC_TEXT_BYTES);
    t.last_error = last->get<std::string>();
  }
  return t;
}

std::string message_text(const QueueTask& t) {
  if (!t.task.local_file.empty()) throw ValueError("a queue message may not name a local file");
  return text::dumps_compact(to_record(t));
}

std::string poison_text(std::string_view message, const QueueTask* task, const std::string& why, long dequeue_count) {
  Record copy = task ? to_record(*task) : Record{{"text", std::string(message)}};
  copy["last_error"] = why;
  copy["dequeue_count"] = dequeue_count;
  std::string whole = text::dumps_compact(copy);
  if (whole.size() <= QUEUE_MESSAGE_MAX_TEXT) return whole;

  // Too big for a message: its beginning, marked as cut.
  const std::string reason = cut_utf8(why, 4096);
  auto cut_at = [&](std::size_t n) {
    while (n > 0 && n < message.size() && (static_cast<unsigned char>(message[n]) & 0xC0) == 0x80) --n;
    return n;
  };
  auto text_of = [&](std::size_t n) {
    return text::dumps_compact(Record{{"truncated", true},
                                      {"last_error", reason},
                                      {"dequeue_count", dequeue_count},
                                      {"bytes", message.size()},
                                      {"text", std::string(message.substr(0, n))}});
  };
  std::size_t lo = 0, hi = message.size();
  if (text_of(0).size() > QUEUE_MESSAGE_MAX_TEXT) return "";
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo + 1) / 2;
    if (text_of(cut_at(mid)).size() <= QUEUE_MESSAGE_MAX_TEXT) {
      lo = mid;
    } else {
      hi = mid - 1;
    }
  }
  std::size_t n = cut_at(lo);
  std::string out = text_of(n);
  // Bytes that are not UTF-8 are written as replacement characters, so the
  // size is not quite monotonic in the cut.
  while (out.size() > QUEUE_MESSAGE_MAX_TEXT && n > 0) out = text_of(n = cut_at(n - 1));
  return out.size() <= QUEUE_MESSAGE_MAX_TEXT ? out : "";
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

int run_worker(const WorkerOptions& options, const std::function<void(const Outcome&)>& on_done,
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
    Outcome outcome;
    QueueTask task;
    bool checked = false;
    try {
      // Checked again here: this process reads files and writes blobs.
      task = parse_message(line);
      checked = true;
    } catch (const std::exception& e) {
      outcome.status = Status::Error;
      outcome.error = std::string("not a task: ") + text::one_line(e.what());
    }
    if (checked) {
      task::Options opts{.force = task.force};
      if (task.force && task.row_mark) opts.queued_row_mark = task.row_mark;
      outcome = runner::run_task(task.task, opts);
    }
    out << text::dumps_compact(task::to_record(outcome)) << '\n' << std::flush;
  }
  return 0;
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
