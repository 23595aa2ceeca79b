#include "shared/proc/child.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
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

void write_all(int fd, std::string_view data) {
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

}  // namespace

ChildProcess ChildProcess::spawn(const std::vector<std::string>& argv) {
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

ChildProcess ChildProcess::fork_call(const std::function<std::string()>& body) {
  Pipe report;
  // Buffered output would otherwise be written once more by the child.
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) throw Error(std::string("cannot start a worker process: ") + std::strerror(errno));
  if (pid == 0) {
    close_fd(report.read);
    std::string out;
    try {
      out = body();
    } catch (const std::exception& e) {
      out = std::string("E") + e.what();
    } catch (...) {
      out = "Eunknown error";
    }
    try {
      write_all(report.write, out);
    } catch (...) {
    }
    ::_exit(0);
  }
  ChildProcess child;
  child.pid_ = pid;
  child.out_ = report.take_read();
  return child;
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
