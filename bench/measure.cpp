// measure: runs a command several times and prints its median wall-clock
// time, median CPU time (user + system, its own and its children's) and the
// peak resident memory of the largest process it ran, as
//   time=0.123 cpu=0.118 rss_mib=12.3
// Standard output of the command goes to /dev/null.
//
//   measure [-n RUNS] -- COMMAND [ARGS...]
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

double seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 5;
  int i = 1;
  for (; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "-n" && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--") {
      ++i;
      break;
    } else {
      std::fprintf(stderr, "usage: measure [-n RUNS] -- COMMAND [ARGS...]\n");
      return a == "--help" || a == "-h" ? 0 : 2;
    }
  }
  if (i >= argc) {
    std::fprintf(stderr, "measure: no command (see --help)\n");
    return 2;
  }
  std::vector<double> wall, cpu;
  long max_rss_kib = 0;
  for (int r = 0; r < runs; ++r) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
      const int null = ::open("/dev/null", O_WRONLY);
      ::dup2(null, STDOUT_FILENO);
      ::execvp(argv[i], argv + i);
      std::fprintf(stderr, "measure: cannot run %s: %s\n", argv[i], std::strerror(errno));
      ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    if (::wait4(pid, &status, 0, &usage) < 0) return 1;
    const auto end = std::chrono::steady_clock::now();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      std::fprintf(stderr, "measure: %s failed (status %d)\n", argv[i], status);
      return 1;
    }
    rusage children{};
    ::getrusage(RUSAGE_CHILDREN, &children);
    wall.push_back(std::chrono::duration<double>(end - start).count());
    // The command's own CPU time plus that of the processes it waited for.
    static double before = 0;
    const double total = seconds(children.ru_utime) + seconds(children.ru_stime);
    cpu.push_back(total - before);
    before = total;
    max_rss_kib = std::max({max_rss_kib, usage.ru_maxrss, children.ru_maxrss});
  }
  std::printf("time=%.3f cpu=%.3f rss_mib=%.1f\n", median(wall), median(cpu), static_cast<double>(max_rss_kib) / 1024.0);
  return 0;
}
