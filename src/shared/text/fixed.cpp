#include "shared/text/fixed.hpp"

#include <cstdio>

namespace shared::text {

std::string fixed(double v, int decimals) {
  char buf[64];
  const int n = std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  if (n >= 0 && static_cast<std::size_t>(n) < sizeof buf) return std::string(buf, static_cast<std::size_t>(n));
  // Only a huge number needs more room than the buffer.
  std::string out(static_cast<std::size_t>(n) + 1, '\0');
  std::snprintf(out.data(), out.size(), "%.*f", decimals, v);
  out.resize(static_cast<std::size_t>(n));
  return out;
}

}  // namespace shared::text
