// shared.retry: a wrapper that tries an operation up to `max_attempts` times,
// waiting an exponentially growing, capped time between tries, and passes the
// operation's last failure on unchanged (the very exception object).
#pragma once

#include <cmath>
#include <cstdio>
#include <exception>
#include <functional>
#include <string>
#include <utility>

#include "shared/errors.hpp"
#include "shared/logsetup.hpp"

namespace shared::retry {

// Blocks the calling thread for that many seconds. Tests install a recorder.
using Sleeper = std::function<void(double seconds)>;

// The process-wide sleeper (a real sleep unless replaced).
void set_sleeper(Sleeper sleeper);
void sleep_for(double seconds);

// Which failures lead to another try; the default retries every
// std::exception, and shared::transient picks those that may pass.
using Predicate = std::function<bool(const std::exception&)>;

struct Options {
  int max_attempts = 3;
  double initial_delay = 1.0;
  double max_delay = 60.0;
  double exponential_base = 2.0;
  Predicate exceptions;  // empty: every ordinary error
};

// A predicate that retries only the exception types listed.
template <class... E>
Predicate only() {
  return [](const std::exception& e) { return ((dynamic_cast<const E*>(&e) != nullptr) || ...); };
}

// The wait after failed try `attempt` (1-based).
double delay_for(const Options& o, int attempt);

// "{delay:.1f}".
std::string format_delay(double seconds);

// The module logger the retry lines go to ("shared.retry").
logsetup::Logger& logger();

// Wraps `fn`; calling the wrapper calls `fn` with the same arguments.
template <class F>
class Retrying {
 public:
  Retrying(Options options, std::string name, F fn)
      : options_(std::move(options)), name_(std::move(name)), fn_(std::move(fn)) {}

  const std::string& name() const { return name_; }
  const Options& options() const { return options_; }

  template <class... Args>
  decltype(auto) operator()(Args&&... args) const {
    if (options_.max_attempts < 1) {
      throw ValueError("retry: max_attempts must be at least 1 for " + name_);
    }
    for (int attempt = 1;; ++attempt) {
      try {
        return fn_(args...);
      } catch (const std::exception& e) {
        if (options_.exceptions && !options_.exceptions(e)) throw;
        if (attempt >= options_.max_attempts) {
          logger().error("[retry] " + name_ + " failed after " + std::to_string(options_.max_attempts) +
                         " attempts: " + e.what());
          throw;
        }
        const double delay = delay_for(options_, attempt);
        logger().warning("[retry] " + name_ + " attempt " + std::to_string(attempt) + "/" +
                         std::to_string(options_.max_attempts) + " failed: " + e.what() + ". Retrying in " +
                         format_delay(delay) + "s\u2026");
        sleep_for(delay);
      }
    }
  }

 private:
  Options options_;
  std::string name_;
  F fn_;
};

// retry(options, "name", fn): the wrapped operation, keeping the name given.
template <class F>
Retrying<std::decay_t<F>> retry(Options options, std::string name, F&& fn) {
  return Retrying<std::decay_t<F>>(std::move(options), std::move(name), std::forward<F>(fn));
}

}  // namespace shared::retry
