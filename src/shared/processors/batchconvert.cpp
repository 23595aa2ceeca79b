#include "shared/processors/batchconvert.hpp"

#include <fcntl.h>
#include <fnmatch.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>

#include "shared/logsetup.hpp"
#include "shared/fs/files.hpp"
#include "shared/proc/child.hpp"

namespace shared::processors::batchconvert {

namespace fs = std::filesystem;

namespace {

struct Result {
  bool done = false;
  bool ok = false;
  std::string text;  // the reported name, or the error
};

struct Worker {
  proc::ChildProcess process;
  std::size_t index;
  std::string report;
};

// Up to `size` worker processes, one per conversion. A worker reports "O"
// and the name, or "E" and the error, through its pipe and exits; the pipe's
// end of file tells that it is gone. Whatever ends the run, workers already
// started finish their file: their handles reap them.
class Pool {
 public:
  Pool(const Options& options, const std::vector<std::string>& files, std::vector<Result>& results)
      : options_(options), files_(files), results_(results) {}

  std::size_t running() const { return running_.size(); }

  void start(std::size_t index) {
    try {
      running_.push_back(Worker{proc::ChildProcess::fork_call([&] {
                                  std::string reply = "O";
                                  reply += options_.convert(files_[index], options_.dst);
                                  return reply;
                                }),
                                index,
                                {}});
    } catch (const shared::Error& e) {
      results_[index] = {true, false, e.what()};
    }
  }

  // Waits until at least one worker has reported and ended.
  void wait_for_one() {
    std::vector<pollfd> polled;
    polled.reserve(running_.size());
    for (const Worker& w : running_) polled.push_back({w.process.output_fd(), POLLIN, 0});
    if (::poll(polled.data(), polled.size(), -1) < 0) {
      if (errno == EINTR) return;
      throw shared::Error(std::string("cannot wait for the worker processes: ") + std::strerror(errno));
    }
    std::vector<std::size_t> ended;
    for (std::size_t i = 0; i < polled.size(); ++i) {
      if (polled[i].revents == 0) continue;
      if (!running_[i].process.read_into(running_[i].report, 65536)) ended.push_back(i);
    }
    for (auto it = ended.rbegin(); it != ended.rend(); ++it) {
      finish(running_[*it]);
      running_.erase(running_.begin() + static_cast<std::ptrdiff_t>(*it));
    }
  }

 private:
  void finish(Worker& w) {
    const int status = w.process.finish();
    Result& r = results_[w.index];
    r.done = true;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && !w.report.empty()) {
      r.ok = w.report[0] == 'O';
      r.text = w.report.substr(1);
    } else if (WIFSIGNALED(status)) {
      r.text = "the conversion process was killed by signal " + std::to_string(WTERMSIG(status));
    } else {
      r.text = "the conversion process ended without a result";
    }
  }

  const Options& options_;
  const std::vector<std::string>& files_;
  std::vector<Result>& results_;
  std::vector<Worker> running_;
};

}  // namespace

void docx_to_markdown(const std::string& docx_path, const std::string& out_path) {
  const std::string bytes = shared::fs::read_file_with_reason(docx_path);
  shared::fs::write_file_atomic(out_path, extractor::docx_bytes_to_markdown(bytes));
}

std::string convert_one(const std::string& docx_path, const std::string& dst) {
  const fs::path input(docx_path);
  const std::string out = (fs::path(dst) / (input.stem().string() + ".md")).string();
  docx_to_markdown(docx_path, out);
  return input.filename().string();
}

std::vector<std::string> list_inputs(const std::string& src) {
  std::vector<std::string> out;
  std::error_code ec;
  fs::directory_iterator it(src, ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    const std::string name = it->path().filename().string();
    // Word files come from Windows, where the pattern ignores case: REPORT.DOCX
    // is an input as much as Report.docx.
    if (::fnmatch(PATTERN.c_str(), name.c_str(), FNM_PERIOD | FNM_CASEFOLD) != 0) continue;
    std::error_code type_ec;
    if (fs::is_directory(it->path(), type_ec)) continue;
    out.push_back(it->path().string());
  }
  return out;
}

std::vector<std::string> run(const Options& options) {
  if (options.workers < 1) throw shared::ValueError("the number of workers must be at least 1");
  std::error_code ec;
  fs::create_directories(options.dst, ec);
  if (ec || !fs::is_directory(options.dst)) {
    throw shared::Error("cannot create the output folder '" + options.dst + "'" + (ec ? ": " + ec.message() : ""));
  }
  const std::vector<std::string> files = list_inputs(options.src);

  logsetup::Logger& log = logsetup::root_logger();
  std::vector<Result> results(files.size());
  std::vector<std::string> converted;
  std::optional<std::size_t> failed;
  std::size_t next = 0;
  {
    Pool pool(options, files, results);
    for (;;) {
      // Results are taken in list order, whichever worker finished first,
      // and before anything new starts, so that a failure cancels what has
      // not started yet.
      while (!failed && converted.size() < files.size() && results[converted.size()].done) {
        const Result& r = results[converted.size()];
        if (!r.ok) {
          failed = converted.size();
          break;
        }
        log.info("Converted: " + r.text);
        converted.push_back(r.text);
      }
      while (!failed && pool.running() < static_cast<std::size_t>(options.workers) && next < files.size()) {
        pool.start(next++);
      }
      if (pool.running() == 0) {
        if (failed || converted.size() == files.size()) break;
        // A worker that could not start left its failure to be taken.
        continue;
      }
      pool.wait_for_one();
    }
  }
  if (failed) {
    throw BatchError(fs::path(files[*failed]).filename().string() + ": " + results[*failed].text);
  }
  return converted;
}

}  // namespace shared::processors::batchconvert
