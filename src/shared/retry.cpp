#include "shared/retry.hpp"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>

#include "shared/text/fixed.hpp"

namespace shared::retry {

namespace {
std::mutex& sleeper_mutex() {
  static std::mutex mu;
  return mu;
}
Sleeper& sleeper_slot() {
  static Sleeper s;
  return s;
}
}  // namespace

void set_sleeper(Sleeper sleeper) {
  std::lock_guard lock(sleeper_mutex());
  sleeper_slot() = std::move(sleeper);
}

void sleep_for(double seconds) {
  Sleeper s;
  {
    std::lock_guard lock(sleeper_mutex());
    s = sleeper_slot();
  }
  if (s) {
    s(seconds);
    return;
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

double delay_for(const Options& o, int attempt) {
  return std::min(o.initial_delay * std::pow(o.exponential_base, attempt - 1), o.max_delay);
}

std::string format_delay(double seconds) { return text::fixed(seconds, 1); }

logsetup::Logger& logger() { return logsetup::get_logger("shared.retry"); }

}  // namespace shared::retry
