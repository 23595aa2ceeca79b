#include "shared/processors/batchconvert.hpp"

#include <fnmatch.h>
#include <sys/wait.h>

#include <filesystem>
#include <istream>
#include <optional>
#include <ostream>

#include "shared/logsetup.hpp"
#include "shared/fs/files.hpp"
#include "shared/proc/pool.hpp"

namespace shared::processors::batchconvert {

namespace fs = std::filesystem;

namespace {

// The most of a worker's answer that is kept, its mark included.
constexpr std::size_t ANSWER_MAX = 65536;

struct Result {
  bool done = false;
  bool ok = false;
  std::string text;  // the reported name, or the error
};

// What a worker slot is converting, and what its worker answered.
struct Slot {
  std::optional<std::size_t> index;
  std::optional<std::string> answer;
};

// Paths, names and errors as one line each: any byte may occur in them,
// line feeds included.
std::string escape(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (const char c : s) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::string unescape(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 1 < s.size()) {
      ++i;
      out += s[i] == 'n' ? '\n' : s[i];
    } else {
      out += s[i];
    }
  }
  return out;
}

// A worker's answer line: "O" and the name, or "E" and the error.
std::string answer_line(std::string answer) {
  if (answer.size() > ANSWER_MAX) answer.resize(ANSWER_MAX);
  return escape(answer);
}

// A worker's end, with the answer it gave (if any), as the result of its file.
Result result_of(int status, const std::optional<std::string>& answer) {
  Result r;
  r.done = true;
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && answer && !answer->empty()) {
    r.ok = (*answer)[0] == 'O';
    r.text = answer->substr(1);
  } else if (WIFSIGNALED(status)) {
    r.text = "the conversion process was killed by signal " + std::to_string(WTERMSIG(status));
  } else {
    r.text = "the conversion process ended without a result";
  }
  return r;
}

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
    // Every conversion gets a worker process of its own, which shares
    // nothing with the others: it is sent one input, its input is closed,
    // and it ends once it has answered. A failed or killed worker fails its
    // file only. Whatever ends the run, workers already started finish their
    // file: the pool reaps them.
    const auto convert = [&](const std::string& line) {
      std::string answer;
      try {
        answer = "O" + options.convert(unescape(line), options.dst);
      } catch (const std::exception& e) {
        answer = std::string("E") + e.what();
      } catch (...) {
        answer = "Eunknown error";
      }
      return answer_line(std::move(answer));
    };
    const auto on_error = [](const std::exception& e) { return answer_line(std::string("E") + e.what()); };
    proc::Pool pool(static_cast<std::size_t>(options.workers),
                    proc::Forked{[&](std::istream& in, std::ostream& out) { proc::serve_lines(in, out, convert, on_error); }});
    std::vector<Slot> slots(pool.size());
    std::size_t in_use = 0;
    const auto start = [&](std::size_t index) {
      std::size_t i = 0;
      while (slots[i].index) ++i;
      try {
        pool.send(i, escape(files[index]));
        pool.close_input(i);
      } catch (const shared::Error& e) {
        pool.finish(i);
        results[index] = {true, false, e.what()};
        return;
      }
      slots[i] = {index, std::nullopt};
      ++in_use;
    };
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
      while (!failed && in_use < slots.size() && next < files.size()) start(next++);
      if (in_use == 0) {
        if (failed || converted.size() == files.size()) break;
        // A worker that could not start left its failure to be taken.
        continue;
      }
      const proc::Event event = pool.wait();
      if (event.kind == proc::Event::Kind::none) continue;
      Slot& slot = slots[event.slot];
      if (!slot.index) continue;
      if (event.kind == proc::Event::Kind::line) {
        if (!slot.answer) slot.answer = unescape(event.line);
        continue;
      }
      results[*slot.index] = result_of(event.status, slot.answer);
      slot = {};
      --in_use;
    }
  }
  if (failed) {
    throw BatchError(fs::path(files[*failed]).filename().string() + ": " + results[*failed].text);
  }
  return converted;
}

}  // namespace shared::processors::batchconvert
