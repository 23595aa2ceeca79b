// apps.common.background_output: standard output written on a thread of its
// own, for commands that stream a large result. While the kernel copies one
// buffer into a file or pipe, the command goes on making the next, so the
// two overlap on a machine with more than one core.
#pragma once

#include <condition_variable>
#include <cstdio>
#include <exception>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace apps {

class BackgroundOutput {
 public:
  // Writes to `stream`, which nothing else may write to until finish().
  explicit BackgroundOutput(std::FILE* stream = stdout);
  // Stops the thread; what was not finished may be lost.
  ~BackgroundOutput();
  BackgroundOutput(const BackgroundOutput&) = delete;
  BackgroundOutput& operator=(const BackgroundOutput&) = delete;

  // Queues a copy of `piece`. Throws std::runtime_error "cannot write to
  // standard output" once an earlier write has failed.
  void write(std::string_view piece);
  // Writes what is queued and flushes the stream, with the same error.
  void finish();

 private:
  void hand_over();  // the filled buffer to the thread, once it is free
  void run();
  [[noreturn]] static void fail();

  static constexpr std::size_t kBuffer = std::size_t{1} << 20;
  std::FILE* stream_;
  std::string filling_;
  std::string writing_;  // owned by the thread while busy_
  std::mutex mutex_;
  std::condition_variable changed_;
  bool busy_ = false;
  bool stop_ = false;
  bool failed_ = false;
  std::thread thread_;
};

}  // namespace apps
