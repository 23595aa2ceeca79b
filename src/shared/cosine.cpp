#include "shared/cosine.hpp"

#include <cmath>

namespace shared::cosine {

void normalise(std::vector<float>& v) {
  double norm = 0;
  for (float x : v) norm += static_cast<double>(x) * x;
  norm = std::sqrt(norm);
  for (float& x : v) x = norm > 0 && std::isfinite(norm) ? static_cast<float>(x / norm) : 0.0f;
}

std::vector<float> unit_query(const std::vector<double>& query) {
  double norm = 0;
  for (double x : query) norm += x * x;
  norm = std::sqrt(norm);
  if (!(norm > 0) || !std::isfinite(norm)) return {};
  std::vector<float> q(query.size());
  for (std::size_t j = 0; j < query.size(); ++j) q[j] = static_cast<float>(query[j] / norm);
  return q;
}

float dot(const float* a, const float* b, std::size_t n) {
  // Independent partial sums let the compiler use vector instructions
  // without reordering one long floating-point sum.
  constexpr std::size_t kLanes = 16;
  float lanes[kLanes] = {};
  std::size_t j = 0;
  for (; j + kLanes <= n; j += kLanes) {
    for (std::size_t l = 0; l < kLanes; ++l) lanes[l] += a[j + l] * b[j + l];
  }
  float out = 0;
  for (; j < n; ++j) out += a[j] * b[j];
  for (float l : lanes) out += l;
  return out;
}

std::string upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

}  // namespace shared::cosine
