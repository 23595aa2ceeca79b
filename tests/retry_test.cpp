#include "shared/retry.hpp"

#include <gtest/gtest.h>

#include "support/testing.hpp"

using shared::retry::Options;
using shared::retry::retry;
using testing_support::LogCapture;
using testing_support::RecordedSleeps;

namespace {

struct OtherError : std::logic_error {
  using std::logic_error::logic_error;
};

}  // namespace

TEST(Retry, SequencesOfFailuresWaitsAndLines) {
  struct Case {
    const char* label;
    Options options;
    int failures;
    std::vector<double> waits;
    std::vector<std::string> lines;
    bool throws;
  };
  const std::vector<Case> cases = {
      {"first try succeeds", Options{}, 0, {}, {}, false},
      {"fail, fail, succeed",
       Options{},
       2,
       {1.0, 2.0},
       {R"({"message": "[retry] op attempt 1/3 failed: boom 1. Retrying in 1.0s\u2026"})",
        R"({"message": "[retry] op attempt 2/3 failed: boom 2. Retrying in 2.0s\u2026"})"},
       false},
      {"three failures",
       Options{},
       3,
       {1.0, 2.0},
       {R"({"message": "[retry] op attempt 1/3 failed: boom 1. Retrying in 1.0s\u2026"})",
        R"({"message": "[retry] op attempt 2/3 failed: boom 2. Retrying in 2.0s\u2026"})",
        R"({"message": "[retry] op failed after 3 attempts: boom 3"})"},
       true},
      {"five tries, 2.0 s, cap 60",
       Options{.max_attempts = 5, .initial_delay = 2.0, .max_delay = 60.0},
       5,
       {2.0, 4.0, 8.0, 16.0},
       {},
       true},
      {"cap reached", Options{.max_attempts = 3, .initial_delay = 50.0, .max_delay = 60.0}, 3, {50.0, 60.0}, {}, true},
      {"cap 30 after six waits",
       Options{.max_attempts = 7, .initial_delay = 1.0, .max_delay = 30.0},
       7,
       {1.0, 2.0, 4.0, 8.0, 16.0, 30.0},
       {},
       true},
      {"a single try",
       Options{.max_attempts = 1},
       1,
       {},
       {R"({"message": "[retry] op failed after 1 attempts: boom 1"})"},
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    LogCapture cap(shared::logsetup::Level::info);
    RecordedSleeps sleeps;
    int calls = 0;
    auto op = retry(c.options, "op", [&](int x) {
      ++calls;
      if (calls <= c.failures) throw std::runtime_error("boom " + std::to_string(calls));
      return x * 2;
    });
    if (c.throws) {
      try {
        op(21);
        ADD_FAILURE() << "no exception";
      } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "boom " + std::to_string(c.options.max_attempts));
      }
      EXPECT_EQ(calls, c.options.max_attempts);
    } else {
      EXPECT_EQ(op(21), 42);
    }
    EXPECT_EQ(sleeps.waits(), c.waits);
    if (!c.lines.empty() || c.failures == 0) {
      EXPECT_EQ(cap.lines(), c.lines);
    } else {
      EXPECT_EQ(cap.lines().size(), c.waits.size() + (c.throws ? 1 : 0));
    }
  }
}

TEST(Retry, UnlistedKindPassesAtOnceUnlogged) {
  LogCapture cap(shared::logsetup::Level::debug);
  RecordedSleeps sleeps;
  int calls = 0;
  auto op = retry(Options{.exceptions = shared::retry::only<std::runtime_error>()}, "op", [&] {
    ++calls;
    throw OtherError("not retried");
  });
  EXPECT_THROW(op(), OtherError);
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(cap.lines().empty());
  EXPECT_TRUE(sleeps.waits().empty());
}

TEST(Retry, RethrowsTheVeryObject) {
  RecordedSleeps sleeps;
  LogCapture cap;
  struct Tagged : std::runtime_error {
    explicit Tagged(int t) : std::runtime_error("tagged"), tag(t) {}
    int tag;
  };
  int calls = 0;
  auto op = retry(Options{.max_attempts = 2}, "op", [&]() -> int { throw Tagged(++calls); });
  try {
    op();
    FAIL();
  } catch (const Tagged& t) {
    EXPECT_EQ(t.tag, 2);  // the last failure, with its own type and fields
  }
}

TEST(Retry, ZeroAttemptsNeverCallsTheOperation) {
  int calls = 0;
  auto op = retry(Options{.max_attempts = 0}, "op", [&] { return ++calls; });
  EXPECT_THROW(op(), shared::ValueError);
  EXPECT_EQ(calls, 0);
}

TEST(Retry, ArgumentsPassedUnchangedOnEveryTry) {
  RecordedSleeps sleeps;
  LogCapture cap;
  std::vector<std::string> seen;
  auto op = retry(Options{}, "op", [&](const std::string& a, int b) {
    seen.push_back(a + std::to_string(b));
    if (seen.size() < 3) throw std::runtime_error("again");
    return seen.size();
  });
  EXPECT_EQ(op("x", 7), 3u);
  EXPECT_EQ(seen, (std::vector<std::string>{"x7", "x7", "x7"}));
  EXPECT_EQ(shared::retry::format_delay(2.25), "2.2");
}
