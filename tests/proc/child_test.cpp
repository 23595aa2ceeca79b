#include "shared/proc/child.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cerrno>
#include <filesystem>
#include <stdexcept>

#include "shared/errors.hpp"
#include "support/testing.hpp"

using shared::proc::ChildProcess;

using testing_support::open_fds;
using testing_support::reaped;

namespace {

std::string all_output(ChildProcess& c) {
  std::string out;
  while (c.read_into(out)) {
  }
  return out;
}

}  // namespace

TEST(ChildProcess, ServesRequestsAndIsReapedWhenItsHandleGoes) {
  const std::size_t before = open_fds();
  pid_t pid;
  {
    ChildProcess cat = ChildProcess::spawn({"/bin/cat"});
    pid = cat.pid();
    cat.send("one line\n");
    std::string got;
    while (got.find('\n') == std::string::npos && cat.read_into(got)) {
    }
    EXPECT_EQ(got, "one line\n");
    // Leaving the scope with the child still waiting for input: the handle
    // closes its input, so it ends, and reaps it.
  }
  EXPECT_TRUE(reaped(pid));
  EXPECT_EQ(open_fds(), before);
}

TEST(ChildProcess, FailuresLeakNothing) {
  const std::size_t before = open_fds();
  EXPECT_THROW(ChildProcess::spawn({"/nonexistent/kesto-worker"}), shared::Error);
  EXPECT_EQ(open_fds(), before);

  // A step that throws while children run: every one is reaped.
  std::vector<pid_t> pids;
  try {
    std::vector<ChildProcess> pool;
    for (int i = 0; i < 3; ++i) {
      pool.push_back(ChildProcess::spawn({"/bin/cat"}));
      pids.push_back(pool.back().pid());
    }
    throw std::runtime_error("a write failed");
  } catch (const std::runtime_error&) {
  }
  for (pid_t p : pids) EXPECT_TRUE(reaped(p));
  EXPECT_EQ(open_fds(), before);
}

TEST(ChildProcess, ForkCallReportsResultErrorAndDeath) {
  ChildProcess ok = ChildProcess::fork_call([] { return std::string("Odone"); });
  EXPECT_EQ(all_output(ok), "Odone");
  int status = ok.finish();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(ok.finish(), status);  // again: the same status, no second wait

  ChildProcess bad = ChildProcess::fork_call([]() -> std::string { throw shared::Error("no such file"); });
  EXPECT_EQ(all_output(bad), "Eno such file");

  ChildProcess killed = ChildProcess::fork_call([]() -> std::string {
    ::raise(SIGKILL);
    return "O";
  });
  EXPECT_EQ(all_output(killed), "");
  status = killed.finish();
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
}
