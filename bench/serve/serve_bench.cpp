// bench_serve: questions per second and latency of GET /api/search.
//
//   bench_serve PORT KEY MODE CLIENTS QUESTIONS_FILE [ROUNDS]
//
// CLIENTS threads, each on one kept-alive connection to 127.0.0.1:PORT, ask
// the questions of QUESTIONS_FILE (one a line) in turn, ROUNDS times over
// (default 1) between them, with mode MODE (lexical or hybrid), k = 10.
// Prints one Markdown table row: mode, clients, questions, questions per
// second, median, 95th and 99th percentile in milliseconds, and failures.
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5)];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) {
    std::fprintf(stderr, "usage: bench_serve PORT KEY MODE CLIENTS QUESTIONS_FILE [ROUNDS]\n");
    return 2;
  }
  const int port = std::stoi(argv[1]);
  const std::string key = argv[2];
  const std::string mode = argv[3];
  const int clients = std::stoi(argv[4]);
  const int rounds = argc > 6 ? std::stoi(argv[6]) : 1;
  std::vector<std::string> questions;
  std::ifstream in(argv[5]);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) questions.push_back(line);
  }
  const std::size_t total = questions.size() * static_cast<std::size_t>(rounds);
  std::atomic<std::size_t> next{0};
  std::atomic<int> failures{0};
  std::vector<std::vector<double>> ms(static_cast<std::size_t>(clients));
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      httplib::Client client("127.0.0.1", port);
      client.set_keep_alive(true);
      client.set_read_timeout(60);
      const httplib::Headers auth = {{"Authorization", "Bearer " + key}};
      for (std::size_t i = next++; i < total; i = next++) {
        const httplib::Params params = {{"q", questions[i % questions.size()]}, {"k", "10"}, {"mode", mode}};
        const auto t0 = std::chrono::steady_clock::now();
        const auto r = client.Get("/api/search", params, auth);
        const double t = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
        if (!r || r->status != 200) {
          ++failures;
          continue;
        }
        ms[static_cast<std::size_t>(c)].push_back(t);
      }
    });
  }
  for (auto& t : threads) t.join();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::vector<double> all;
  for (const auto& v : ms) all.insert(all.end(), v.begin(), v.end());
  std::printf("| %s | %d | %zu | %.1f | %.1f | %.1f | %.1f | %d |\n", mode.c_str(), clients, all.size(),
              static_cast<double>(all.size()) / seconds, percentile(all, 0.5), percentile(all, 0.95),
              percentile(all, 0.99), failures.load());
  return failures.load() == 0 ? 0 : 1;
}
