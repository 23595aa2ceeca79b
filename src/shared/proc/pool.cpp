#include "shared/proc/pool.hpp"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <ext/stdio_filebuf.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <istream>
#include <ostream>

#include "shared/errors.hpp"

namespace shared::proc {

Pool::Pool(std::size_t size, Program program) : launch_(std::move(program)), slots_(size) {}

Pool::Pool(std::size_t size, Forked forked) : launch_(std::move(forked)), slots_(size) {}

Pool::~Pool() {
  // All inputs first, so that the children wind down side by side.
  for (Slot& s : slots_) {
    if (s.child) s.child->close_input();
  }
  slots_.clear();
}

Pool::Slot& Pool::at(std::size_t slot) {
  if (slot >= slots_.size()) throw ValueError("no worker slot " + std::to_string(slot));
  return slots_[slot];
}

const Pool::Slot& Pool::at(std::size_t slot) const {
  if (slot >= slots_.size()) throw ValueError("no worker slot " + std::to_string(slot));
  return slots_[slot];
}

bool Pool::running(std::size_t slot) const { return at(slot).child.has_value(); }

pid_t Pool::pid(std::size_t slot) const {
  const Slot& s = at(slot);
  return s.child ? s.child->pid() : -1;
}

void Pool::start(std::size_t slot) {
  Slot& s = at(slot);
  s.buffer.clear();
  s.ended = false;
  if (const auto* program = std::get_if<Program>(&launch_)) {
    s.child = ChildProcess::spawn(program->argv, program->options);
    return;
  }
  const Forked& forked = std::get<Forked>(launch_);
  s.child = ChildProcess::fork_run(
      [&](int in, int out) {
        // A sibling holding the parent's end of another child's input would
        // keep that child from ever seeing its input end.
        for (Slot& other : slots_) {
          if (&other == &s || !other.child) continue;
          if (other.child->input_fd() >= 0) ::close(other.child->input_fd());
          if (other.child->output_fd() >= 0) ::close(other.child->output_fd());
        }
        __gnu_cxx::stdio_filebuf<char> in_buf(in, std::ios::in);
        __gnu_cxx::stdio_filebuf<char> out_buf(out, std::ios::out);
        std::istream is(&in_buf);
        std::ostream os(&out_buf);
        forked.body(is, os);
        os.flush();
      },
      forked.options);
}

void Pool::start_all() {
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    if (!slots_[i].child) start(i);
  }
}

void Pool::respawn(std::size_t slot) {
  finish(slot);
  start(slot);
}

void Pool::send(std::size_t slot, std::string_view line) {
  if (line.find('\n') != std::string_view::npos) throw ValueError("a line for a worker process holds a line feed");
  Slot& s = at(slot);
  if (!s.child) start(slot);
  std::string data(line);
  data += '\n';
  s.child->send(data);
}

void Pool::close_input(std::size_t slot) {
  Slot& s = at(slot);
  if (s.child) s.child->close_input();
}

std::optional<int> Pool::finish(std::size_t slot) {
  Slot& s = at(slot);
  if (!s.child) return std::nullopt;
  const int status = s.child->finish();
  s.child.reset();
  s.buffer.clear();
  s.ended = false;
  return status;
}

std::optional<int> Pool::kill(std::size_t slot) {
  Slot& s = at(slot);
  // Not yet reaped, so the pid is still this child's.
  if (s.child) ::kill(s.child->pid(), SIGKILL);
  return finish(slot);
}

std::optional<Event> Pool::take_ready() {
  const std::size_t n = slots_.size();
  for (std::size_t k = 0; k < n; ++k) {
    const std::size_t i = (turn_ + k) % n;
    Slot& s = slots_[i];
    if (!s.child) continue;
    const std::size_t eol = s.buffer.find('\n');
    if (eol != std::string::npos) {
      turn_ = (i + 1) % n;
      Event e{Event::Kind::line, i, s.buffer.substr(0, eol), 0};
      s.buffer.erase(0, eol + 1);
      return e;
    }
    if (s.ended) {
      // A line cut short by the end is no answer.
      turn_ = (i + 1) % n;
      return Event{Event::Kind::died, i, {}, *finish(i)};
    }
  }
  return std::nullopt;
}

Event Pool::wait(std::optional<Clock::time_point> deadline) {
  for (;;) {
    if (std::optional<Event> ready = take_ready()) return std::move(*ready);
    std::vector<pollfd> fds;
    std::vector<std::size_t> owners;
    for (std::size_t i = 0; i < slots_.size(); ++i) {
      const Slot& s = slots_[i];
      if (!s.child || s.ended) continue;
      fds.push_back(pollfd{s.child->output_fd(), POLLIN, 0});
      owners.push_back(i);
    }
    if (fds.empty() && !deadline) return {};
    int timeout_ms = -1;
    if (deadline) {
      const auto left = *deadline - Clock::now();
      // Rounded up: a wait that ends just before its deadline would only
      // come back for another.
      const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
      timeout_ms = static_cast<int>(std::clamp<decltype(ms)>(ms, 0, INT_MAX));
    }
    const int rc = ::poll(fds.data(), fds.size(), timeout_ms);
    if (rc < 0) {
      // A signal: the caller may have a flag to look at.
      if (errno == EINTR) return {};
      throw Error(std::string("cannot wait for the worker processes: ") + std::strerror(errno));
    }
    if (rc == 0) return {};
    for (std::size_t k = 0; k < fds.size(); ++k) {
      if (fds[k].revents == 0) continue;
      Slot& s = slots_[owners[k]];
      if (!s.child->read_into(s.buffer)) s.ended = true;
    }
  }
}

void serve_lines(std::istream& in, std::ostream& out, const LineHandler& handle, const ErrorLine& on_error) {
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    std::string answer;
    try {
      answer = handle(line);
    } catch (const std::exception& e) {
      answer = on_error(e);
    }
    out << answer << '\n' << std::flush;
  }
}

}  // namespace shared::proc
