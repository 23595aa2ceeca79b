// shared.clock: the time as the pipeline writes it into rows and receipts.
#pragma once

#include <ctime>
#include <string>

namespace shared::clock {

// The current UTC time as "2026-12-09T07:10:00Z".
inline std::string utc_now_iso() {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

}  // namespace shared::clock
