#include "shared/proc/pool.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <filesystem>
#include <map>
#include <sstream>
#include <stdexcept>
#include <tuple>

#include "shared/errors.hpp"
#include "support/testing.hpp"

using shared::proc::Event;
using shared::proc::Forked;
using shared::proc::Pool;
using shared::proc::Program;

using testing_support::open_fds;
using testing_support::reaped;

namespace {

Program sh(const std::string& script) { return Program{{"/bin/sh", "-c", script}, {}}; }

// The next event that is not `none`; `none` only past a deadline that only a fault reaches.
Event next_event(Pool& pool) {
  const auto deadline = Pool::Clock::now() + std::chrono::seconds(60);
  Event e;
  while ((e = pool.wait(deadline)).kind == Event::Kind::none && Pool::Clock::now() < deadline) {
  }
  return e;
}

// Children that answer each line upper-cased, and "E:" and the error for "bad".
Forked upper_case() {
  const auto answer = [](std::string line) {
    if (line == "bad") throw std::runtime_error("no good");
    for (char& c : line) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return line;
  };
  const auto on_error = [](const std::exception& e) { return std::string("E:") + e.what(); };
  return Forked{[=](std::istream& in, std::ostream& out) { shared::proc::serve_lines(in, out, answer, on_error); }, {}};
}

}  // namespace

TEST(Pool, ManySlotsEachAnswerTheirOwnLinesInOrder) {
  const std::size_t before = open_fds();
  {
    Pool pool(12, Program{{"/bin/cat"}, {}});
    pool.send(3, "early");  // lazily: only the slot sent to holds a child
    EXPECT_TRUE(pool.running(3));
    EXPECT_FALSE(pool.running(4));
    pool.start_all();
    std::map<std::size_t, std::vector<std::string>> sent{{3, {"early"}}}, got;
    for (int round = 0; round < 3; ++round) {
      for (std::size_t i = 0; i < pool.size(); ++i) {
        sent[i].push_back("slot " + std::to_string(i) + " line " + std::to_string(round));
        pool.send(i, sent[i].back());
      }
    }
    for (std::size_t n = 0; n < pool.size() * 3 + 1; ++n) {
      const Event e = next_event(pool);
      ASSERT_EQ(e.kind, Event::Kind::line);
      got[e.slot].push_back(e.line);
    }
    EXPECT_EQ(got, sent);
    EXPECT_THROW(pool.send(0, "two\nlines"), shared::ValueError);
  }
  EXPECT_EQ(open_fds(), before);
}

TEST(Pool, AChildThatEndsIsReportedOnceAfterItsWholeLines) {
  const std::vector<std::tuple<std::string, std::vector<std::string>, bool, int>> cases = {
      {"read x; printf 'got %s\\npart' $x; exit 3", {"got task"}, false, 3},
      {"read x; echo one; echo two; kill -9 $$", {"one", "two"}, true, SIGKILL},
  };
  for (const auto& [script, want, signalled, code] : cases) {
    SCOPED_TRACE(script);
    Pool pool(2, sh(script));
    pool.send(1, "task");
    std::vector<std::string> lines;
    Event e;
    while ((e = next_event(pool)).kind == Event::Kind::line) lines.push_back(e.line);
    EXPECT_EQ(lines, want);
    ASSERT_EQ(e.kind, Event::Kind::died);
    EXPECT_EQ(e.slot, 1u);
    EXPECT_TRUE(signalled ? WIFSIGNALED(e.status) && WTERMSIG(e.status) == code
                          : WIFEXITED(e.status) && WEXITSTATUS(e.status) == code);
    EXPECT_FALSE(pool.running(1));
    EXPECT_EQ(pool.wait(Pool::Clock::now()).kind, Event::Kind::none);  // reported once
    pool.respawn(1);
    pool.send(1, "task");
    EXPECT_EQ(next_event(pool).line, want.front());
  }
}

TEST(Pool, KillFinishAndDeadlines) {
  Pool pool(3, Program{{"/bin/cat"}, {}});
  EXPECT_EQ(pool.wait().kind, Event::Kind::none);  // no child, no deadline
  EXPECT_EQ(pool.kill(0), std::nullopt);
  pool.start_all();
  EXPECT_EQ(pool.wait(Pool::Clock::now() + std::chrono::milliseconds(20)).kind, Event::Kind::none);

  const pid_t killed = pool.pid(0), finished = pool.pid(1);
  pool.send(0, "not taken");
  const std::optional<int> status = pool.kill(0), clean = pool.finish(1);
  ASSERT_TRUE(status && clean);
  EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGKILL);
  EXPECT_TRUE(WIFEXITED(*clean) && WEXITSTATUS(*clean) == 0);
  EXPECT_TRUE(reaped(killed) && reaped(finished));
  EXPECT_EQ(pool.pid(0), -1);
  // Neither comes back as an event; the third slot still serves.
  pool.send(2, "still here");
  const Event e = next_event(pool);
  EXPECT_EQ(std::tie(e.slot, e.line), std::make_tuple(std::size_t{2}, std::string("still here")));
}

TEST(Pool, WritingToAChildThatClosedItsInputIsAnErrorNotSigpipe) {
  Pool pool(1, sh("exec 0<&-; echo closed; exec sleep 600"));
  EXPECT_EQ((pool.start_all(), next_event(pool).line), "closed");
  try {
    pool.send(0, "anyone there?");
    ADD_FAILURE() << "no error";
  } catch (const shared::Error& e) {
    EXPECT_EQ(std::string(e.what()), "cannot hand work to a worker: Broken pipe");
  }
  pool.kill(0);
}

TEST(Pool, ForkedChildrenServeLinesAndEndWithTheirInput) {
  Pool pool(2, upper_case());
  pool.start_all();
  pool.send(0, "abc");
  pool.send(1, "bad");
  std::map<std::size_t, std::string> got;
  for (int i = 0; i < 2; ++i) {
    const Event e = next_event(pool);
    got[e.slot] = e.line;
  }
  EXPECT_EQ(got, (std::map<std::size_t, std::string>{{0, "ABC"}, {1, "E:no good"}}));
  // The second child was forked after the first: were it holding the first
  // one's input open, the first would never end.
  pool.close_input(0);
  const Event e = next_event(pool);
  ASSERT_EQ(e.kind, Event::Kind::died);
  EXPECT_TRUE(e.slot == 0 && WIFEXITED(e.status) && WEXITSTATUS(e.status) == 0);
  EXPECT_TRUE(pool.running(1));

  std::istringstream in("abc\n\nbad\nlast without a line feed");
  std::ostringstream out;
  upper_case().body(in, out);
  EXPECT_EQ(out.str(), "ABC\nE:no good\nLAST WITHOUT A LINE FEED\n");
}

TEST(Pool, EveryChildIsReapedWhateverThrew) {
  const std::size_t before = open_fds();
  std::vector<pid_t> pids;
  for (bool forked : {false, true}) {
    try {
      Pool pool = forked ? Pool(3, upper_case()) : Pool(3, Program{{"/bin/cat"}, {}});
      pool.start_all();
      for (std::size_t i = 0; i < pool.size(); ++i) pids.push_back(pool.pid(i));
      pool.send(1, "in flight");
      throw std::runtime_error("a step failed");
    } catch (const std::runtime_error&) {
    }
  }
  for (pid_t p : pids) EXPECT_TRUE(reaped(p)) << p;
  for (bool dying : {false, true}) {
    EXPECT_THROW(Pool(1, Program{{"/nonexistent/kesto-worker"}, {.die_with_parent = dying}}).start_all(),
                 shared::Error);
  }
  EXPECT_EQ(open_fds(), before);
}

TEST(Pool, ChildrenStartedToDieWithTheirParentDo) {
  // A parent starts a child that would outlive it by far, tells its pid and
  // is gone without closing anything.
  auto parent = shared::proc::ChildProcess::fork_call([] {
    auto* pool = new Pool(1, Program{{"/bin/sh", "-c", "echo up; exec sleep 600"}, {.die_with_parent = true}});
    pool->start_all();
    return next_event(*pool).line == "up" ? std::to_string(pool->pid(0)) : "";
  });
  std::string got;
  while (parent.read_into(got)) {
  }
  parent.finish();
  ASSERT_FALSE(got.empty());
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, std::stoi(got), 0));
  if (pidfd < 0) {
    EXPECT_EQ(errno, ESRCH);  // already gone and reaped
    return;
  }
  pollfd ended{pidfd, POLLIN, 0};
  EXPECT_EQ(::poll(&ended, 1, 60'000), 1) << "the child outlived its parent";
  ::close(pidfd);
}
