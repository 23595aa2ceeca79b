// shared.proc.child: a child process owned like any other handle. The pid
// and the parent's ends of its pipes belong to one object whose destructor
// closes the pipes and reaps the child, whatever threw in between, so a pool
// of workers cannot leak descriptors or leave zombies behind.
//
// Writing to a child that has died fails with an Error; SIGPIPE is held
// back in the writing thread meanwhile, so it cannot end the parent even
// where the program has not set it aside.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace shared::proc {

struct SpawnOptions {
  // The child gets SIGKILL when the thread that started it ends (also when
  // the parent is killed outright), set in the child before it runs
  // anything; a parent already gone by then ends it at once.
  bool die_with_parent = false;
};

class ChildProcess {
 public:
  // Starts the program argv[0] (a path) with `argv`, its standard input and
  // output connected to the parent. Throws Error when it cannot be started.
  static ChildProcess spawn(const std::vector<std::string>& argv, const SpawnOptions& options = {});

  // Forks a child that runs `body` with its ends of two pipes (what the
  // parent sends, where to write for the parent), then ends without running
  // exit handlers: status 0, or 1 when `body` throws. Throws Error when no
  // process can be started.
  static ChildProcess fork_run(const std::function<void(int in, int out)>& body, const SpawnOptions& options = {});

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
  // The parent's end of the child's standard input; -1 when closed or none.
  int input_fd() const { return in_; }

  // Writes all of `data` to the child's standard input. Throws Error when
  // the child is gone or has no input pipe.
  void send(std::string_view data);

  // Appends what the child has written (one read, at most until `buffer`
  // holds `limit` bytes; more is read and dropped). False at end of output.
  bool read_into(std::string& buffer, std::size_t limit = static_cast<std::size_t>(-1));

  // Closes the child's standard input: a child that serves requests sees
  // the end of its work.
  void close_input() noexcept;

  // Closes the pipes, waits for the child to end and returns its wait
  // status. Later calls return the same status.
  int finish();

 private:
  ChildProcess() = default;
  static ChildProcess spawn_dying(const std::vector<std::string>& argv);
  static ChildProcess fork_child(bool with_input, const SpawnOptions& options,
                                 const std::function<void(int in, int out)>& body);
  void release() noexcept;

  pid_t pid_ = -1;
  int in_ = -1;   // the child's standard input, when it has one
  int out_ = -1;  // what the child writes
  int status_ = 0;
};

}  // namespace shared::proc
