// shared.proc.pool: a fixed number of slots, each holding at most one child
// process that takes lines on its standard input and answers with lines on
// its standard output. The parent sends a line to a slot and waits for the
// next event of any slot: a line, a child that ended, or nothing before a
// deadline. The pool owns every child it started: its destructor closes
// their inputs and reaps them, whatever threw.
//
// serve_lines is the children's side of the same protocol.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <exception>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "shared/proc/child.hpp"

namespace shared::proc {

// The children of a pool run a program (argv[0] a path)...
struct Program {
  std::vector<std::string> argv;
  SpawnOptions options;
};

// ...or are copies of this process that run `body` on streams over their
// pipes and end when it returns (status 0; 1 when it throws). Such a copy
// holds no descriptor of its sibling children.
struct Forked {
  std::function<void(std::istream& in, std::ostream& out)> body;
  SpawnOptions options;
};

// What a wait saw.
struct Event {
  enum class Kind {
    none,  // nothing before the deadline, or a signal arrived: look at your clocks and flags
    line,  // `slot`'s child wrote `line`
    died,  // `slot`'s child ended (its output closed) and was reaped: `status`; the slot is empty
  };
  Kind kind = Kind::none;
  std::size_t slot = 0;
  std::string line;  // without its line feed
  int status = 0;    // the wait status, as waitpid gives it
};

class Pool {
 public:
  using Clock = std::chrono::steady_clock;

  // A pool of `size` empty slots; no child is started yet.
  Pool(std::size_t size, Program program);
  Pool(std::size_t size, Forked forked);
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;
  // Closes every child's input, then reaps each: a child ends once it has
  // seen the end of its input (a busy one first finishes its line).
  ~Pool();

  std::size_t size() const { return slots_.size(); }
  // Whether `slot` holds a child that has not been reaped.
  bool running(std::size_t slot) const;
  // The pid of `slot`'s child; -1 when the slot is empty.
  pid_t pid(std::size_t slot) const;

  // Starts a child in every empty slot. Throws Error when one cannot be
  // started (those started stay).
  void start_all();
  // Ends `slot`'s child as finish() does, then starts a new one there.
  // Throws Error when it cannot be started (the slot stays empty).
  void respawn(std::size_t slot);

  // Writes `line` and a line feed to `slot`'s child, starting one first when
  // the slot is empty. Throws ValueError for a line holding a line feed,
  // Error when no child can be started or it cannot be written to (a child
  // that died: it stays in its slot until a wait reports it, or finish).
  void send(std::size_t slot, std::string_view line);
  // Closes the input of `slot`'s child, which ends once it has answered
  // what it was sent; its end comes as a `died` event.
  void close_input(std::size_t slot);

  // Closes the pipes of `slot`'s child and reaps it (waiting for it to end):
  // its wait status, nullopt for an empty slot. What it wrote and was not
  // yet taken is dropped, and no event follows.
  std::optional<int> finish(std::size_t slot);
  // As finish(), but the child is sent SIGKILL first.
  std::optional<int> kill(std::size_t slot);

  // The next event: a whole line already read, or else the children's
  // output is waited for until `deadline` (none: until something happens).
  // Slots take turns, so a talkative child cannot starve the others. A
  // child whose output ends is reaped here (waiting for it to end). With no
  // child to wait for it waits for the deadline alone, or returns none at
  // once without one. Throws Error when the children cannot be waited for.
  Event wait(std::optional<Clock::time_point> deadline = std::nullopt);

 private:
  struct Slot {
    std::optional<ChildProcess> child;
    std::string buffer;  // read and not yet taken
    bool ended = false;  // its output is at its end
  };

  void start(std::size_t slot);
  std::optional<Event> take_ready();
  Slot& at(std::size_t slot);
  const Slot& at(std::size_t slot) const;

  std::variant<Program, Forked> launch_;
  std::vector<Slot> slots_;
  std::size_t turn_ = 0;  // the slot looked at first by the next wait
};

// Handles one request line and returns the answer line (no line feed).
using LineHandler = std::function<std::string(const std::string& line)>;
// The answer line for a request whose handler threw `error`.
using ErrorLine = std::function<std::string(const std::exception& error)>;

// The loop of a pool's child: reads `in` line by line until its end (a last
// line without a line feed counts), skips empty lines, and writes what
// `handle` returns for each, or what `on_error` makes of what it threw, as
// one line to `out`, flushed at once. Exceptions that are not
// std::exception, and those of `on_error`, pass.
void serve_lines(std::istream& in, std::ostream& out, const LineHandler& handle, const ErrorLine& on_error);

}  // namespace shared::proc
