// Helpers of the tests that run against the storage emulator started by
// scripts/test.sh (scripts/services/azurite.sh).
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <random>
#include <string>

#include "shared/net/http.hpp"
#include "support/testing.hpp"

namespace emulator {

// The connection string of one emulator account; fails the test when the
// emulator's settings are missing.
inline std::string connection(const char* variable) {
  const std::string value = testing_support::env(variable);
  if (value.empty()) {
    ADD_FAILURE() << variable << " is not set: run the integration tests through scripts/test.sh, which starts "
                  << "the storage emulator";
  }
  return value;
}

inline std::string output_connection() { return connection("STORAGE_ACCOUNT_CONNECTION_STRING"); }
inline std::string source_connection() { return connection("TOLVAN_STORAGE_ACCOUNT_CONNECTION_STRING"); }

// A container name of its own for the running test (3 to 63 characters of
// a-z, 0-9 and single dashes), so tests may run at the same time.
inline std::string unique_container(const std::string& tag) {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string base = tag + "-" + (info ? info->name() : "test");
  std::string out;
  for (char c : base) {
    char l = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    const bool ok = (l >= 'a' && l <= 'z') || (l >= '0' && l <= '9');
    if (!ok) l = '-';
    if (l == '-' && (out.empty() || out.back() == '-')) continue;
    out += l;
  }
  if (out.size() > 48) out.resize(48);
  while (!out.empty() && out.back() == '-') out.pop_back();
  std::random_device rd;
  return out + "-" + std::to_string(rd() % 1000000000u);
}

// Counts the requests that pass through to the real transport.
class CountingTransport : public shared::net::Transport {
 public:
  explicit CountingTransport(std::shared_ptr<shared::net::Transport> inner) : inner_(std::move(inner)) {}
  shared::net::Response send(const shared::net::Request& r) override {
    ++count_;
    return inner_->send(r);
  }
  int count() const { return count_.load(); }

 private:
  std::shared_ptr<shared::net::Transport> inner_;
  std::atomic<int> count_{0};
};

// Bytes that no simple pattern reproduces, so a shifted or truncated copy shows.
inline std::string random_bytes(std::size_t n, unsigned seed) {
  std::mt19937_64 gen(seed);
  std::string out(n, '\0');
  for (std::size_t i = 0; i < n; i += 8) {
    const auto v = gen();
    for (std::size_t k = 0; k < 8 && i + k < n; ++k) out[i + k] = static_cast<char>((v >> (8 * k)) & 0xFF);
  }
  return out;
}

}  // namespace emulator
