// shared.proc.child: a child process owned like any other handle. The pid
// and the parent's ends of its pipes belong to one object whose destructor
// closes the pipes and reaps the child, whatever threw in between, so a pool
// of workers cannot leak descriptors or leave zombies behind.
//
// Writing to a child that has died raises SIGPIPE; the programs that run
// children ignore it (a process-wide disposition is theirs to set), and a
// failed write is then an Error.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace shared::proc {

class ChildProcess {
 public:
  // Starts the program argv[0] (a path) with `argv`, its standard input and
  // output connected to the parent. Throws Error when it cannot be started.
  static ChildProcess spawn(const std::vector<std::string>& argv);

  // Forks a child that runs `body` and writes what it returns to the parent
  // through a pipe, then ends without running exit handlers (they belong to
  // the parent). An exception in `body` is written as "E" and its message.
  // Throws Error when no process can be started.
  static ChildProcess fork_call(const std::function<std::string()>& body);

  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  pid_t pid() const { return pid_; }
  // The descriptor to poll for the child's output; -1 once closed.
  int output_fd() const { return out_; }

  // Writes all of `data` to the child's standard input. Throws Error when
  // the child is gone or has no input pipe.
  void send(std::string_view data);

  // Appends what the child has written (one read, at most until `buffer`
  // holds `limit` bytes; more is read and dropped). False at end of output.
  bool read_into(std::string& buffer, std::size_t limit = static_cast<std::size_t>(-1));

  // Closes the pipes, waits for the child to end and returns its wait
  // status. Later calls return the same status.
  int finish();

 private:
  ChildProcess() = default;
  void release() noexcept;

  pid_t pid_ = -1;
  int in_ = -1;   // the child's standard input, when it has one
  int out_ = -1;  // what the child writes
  int status_ = 0;
};

}  // namespace shared::proc
