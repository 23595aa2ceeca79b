#include "shared/proc/child.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <utility>

#include "shared/errors.hpp"

extern char** environ;

namespace shared::proc {

namespace {

void close_fd(int& fd) noexcept {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Both ends of a pipe, closed unless taken.
struct Pipe {
  int read = -1, write = -1;
  Pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw Error(std::string("cannot start a worker process: ") + std::strerror(errno));
    read = fds[0];
    write = fds[1];
  }
  ~Pipe() {
    close_fd(read);
    close_fd(write);
  }
  int take_read() { return std::exchange(read, -1); }
  int take_write() { return std::exchange(write, -1); }
};

// SIGPIPE held back in this thread while it lives, and one that a write
// raised meanwhile taken away, so that writing to a child that died fails
// with EPIPE instead of ending the process.
class SigpipeHeld {
 public:
  SigpipeHeld() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    // One raised before is not this write's to take.
    was_pending_ = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
  }
  ~SigpipeHeld() {
    if (!was_pending_) {
      sigset_t pending;
      sigpending(&pending);
      if (sigismember(&pending, SIGPIPE) == 1) {
        const timespec now{0, 0};
        while (sigtimedwait(&pipe_, nullptr, &now) < 0 && errno == EINTR) {
        }
      }
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  SigpipeHeld(const SigpipeHeld&) = delete;
  SigpipeHeld& operator=(const SigpipeHeld&) = delete;

 private:
  sigset_t pipe_, old_;
  bool was_pending_ = false;
};

void write_all(int fd, std::string_view data) {
  const SigpipeHeld held;
  std::size_t off = 0;
  while (off < data.size()) {
    const ssize_t n = ::write(fd, data.data() + off, data.size() - off);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw Error(std::string("cannot hand work to a worker: ") + std::strerror(errno));
    }
    off += static_cast<std::size_t>(n);
  }
}

// In a child just forked: SIGKILL when the parent's thread ends, and at
// once when the parent is already gone. Async-signal-safe.
void arm_parent_death(pid_t parent) noexcept {
  if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) ::_exit(1);
}

// `fd` as descriptor `target`, kept across exec. Async-signal-safe.
bool move_to(int fd, int target) noexcept {
  if (fd == target) return ::fcntl(fd, F_SETFD, 0) == 0;
  return ::dup2(fd, target) == target;
}

}  // namespace

ChildProcess ChildProcess::spawn(const std::vector<std::string>& argv, const SpawnOptions& options) {
  if (options.die_with_parent) return spawn_dying(argv);
  Pipe to_child, from_child;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, to_child.read, 0);
  posix_spawn_file_actions_adddup2(&actions, from_child.write, 1);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  ChildProcess child;
  const int rc = ::posix_spawn(&child.pid_, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    child.pid_ = -1;
    throw Error(std::string("cannot start a worker process: ") + std::strerror(rc));
  }
  child.in_ = to_child.take_write();
  child.out_ = from_child.take_read();
  return child;
}

// posix_spawn cannot set the parent-death signal: a fork, the signal, and
// the program, with nothing in between that could take a lock another
// thread of the parent held when it forked.
ChildProcess ChildProcess::spawn_dying(const std::vector<std::string>& argv) {
  Pipe to_child, from_child;
  // Closed by a successful exec; otherwise it carries the errno.
  Pipe failure;
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) throw Error(std::string("cannot start a worker process: ") + std::strerror(errno));
  if (pid == 0) {
    arm_parent_death(parent);
    if (move_to(to_child.read, 0) && move_to(from_child.write, 1)) ::execve(args[0], args.data(), environ);
    const int err = errno;
    (void)!::write(failure.write, &err, sizeof err);
    ::_exit(127);
  }
  ChildProcess child;
  child.pid_ = pid;
  close_fd(failure.write);
  int err = 0;
  ssize_t n;
  while ((n = ::read(failure.read, &err, sizeof err)) < 0 && errno == EINTR) {
  }
  // The handle reaps the child that could not run the program.
  if (n == static_cast<ssize_t>(sizeof err)) throw Error(std::string("cannot start a worker process: ") + std::strerror(err));
  child.in_ = to_child.take_write();
  child.out_ = from_child.take_read();
  return child;
}

ChildProcess ChildProcess::fork_child(bool with_input, const SpawnOptions& options,
                                      const std::function<void(int in, int out)>& body) {
  std::optional<Pipe> to_child;
  if (with_input) to_child.emplace();
  Pipe from_child;
  // Buffered output would otherwise be written once more by the child.
  std::fflush(nullptr);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) throw Error(std::string("cannot start a worker process: ") + std::strerror(errno));
  if (pid == 0) {
    if (options.die_with_parent) arm_parent_death(parent);
    int in = -1;
    if (to_child) {
      close_fd(to_child->write);
      in = to_child->read;
    }
    close_fd(from_child.read);
    int status = 0;
    try {
      body(in, from_child.write);
    } catch (...) {
      status = 1;
    }
    ::_exit(status);
  }
  ChildProcess child;
  child.pid_ = pid;
  if (to_child) child.in_ = to_child->take_write();
  child.out_ = from_child.take_read();
  return child;
}

ChildProcess ChildProcess::fork_run(const std::function<void(int in, int out)>& body, const SpawnOptions& options) {
  return fork_child(true, options, body);
}

ChildProcess ChildProcess::fork_call(const std::function<std::string()>& body) {
  return fork_child(false, {}, [&](int, int out) {
    std::string report;
    try {
      report = body();
    } catch (const std::exception& e) {
      report = std::string("E") + e.what();
    } catch (...) {
      report = "Eunknown error";
    }
    try {
      write_all(out, report);
    } catch (...) {
    }
  });
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      in_(std::exchange(other.in_, -1)),
      out_(std::exchange(other.out_, -1)),
      status_(other.status_) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    release();
    pid_ = std::exchange(other.pid_, -1);
    in_ = std::exchange(other.in_, -1);
    out_ = std::exchange(other.out_, -1);
    status_ = other.status_;
  }
  return *this;
}

ChildProcess::~ChildProcess() { release(); }

void ChildProcess::release() noexcept { finish(); }

void ChildProcess::send(std::string_view data) {
  if (in_ < 0) throw Error("cannot hand work to a worker: it has no input");
  write_all(in_, data);
}

bool ChildProcess::read_into(std::string& buffer, std::size_t limit) {
  if (out_ < 0) return false;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(out_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    const std::size_t room = buffer.size() < limit ? limit - buffer.size() : 0;
    buffer.append(buf, std::min(room, static_cast<std::size_t>(n)));
    return true;
  }
}

void ChildProcess::close_input() noexcept { close_fd(in_); }

int ChildProcess::finish() {
  // Closing its input first lets a child that serves requests see the end
  // of its work and leave.
  close_fd(in_);
  close_fd(out_);
  if (pid_ > 0) {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    status_ = status;
    pid_ = -1;
  }
  return status_;
}

}  // namespace shared::proc
