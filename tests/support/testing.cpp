#include "support/testing.hpp"

#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <random>

#include "shared/retry.hpp"

namespace testing_support {

using namespace shared::logsetup;

LogCapture::LogCapture(Level level) : saved_level_(root_logger().effective_level()) {
  saved_ = root_logger().handlers();
  for (const auto& h : saved_) root_logger().remove_handler(h);
  handler_ = std::make_shared<StreamHandler>(out_);
  handler_->set_formatter(std::make_shared<_JsonFormatter>());
  root_logger().add_handler(handler_);
  root_logger().set_level(level);
}

LogCapture::~LogCapture() {
  root_logger().remove_handler(handler_);
  for (const auto& h : saved_) root_logger().add_handler(h);
  root_logger().set_level(saved_level_);
}

std::vector<std::string> LogCapture::lines() const {
  std::vector<std::string> out;
  std::istringstream in(out_.str());
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

std::vector<std::string> LogCapture::matching(const std::string& needle) const {
  std::vector<std::string> out;
  for (auto& l : lines()) if (l.find(needle) != std::string::npos) out.push_back(l);
  return out;
}

void LogCapture::clear() {
  out_.str("");
  out_.clear();
}

RecordedSleeps::RecordedSleeps() : waits_(std::make_shared<std::vector<double>>()) {
  auto w = waits_;
  auto mu = std::make_shared<std::mutex>();
  shared::retry::set_sleeper([w, mu](double s) {
    std::lock_guard lock(*mu);
    w->push_back(s);
  });
}

RecordedSleeps::~RecordedSleeps() { shared::retry::set_sleeper(nullptr); }

std::vector<double> RecordedSleeps::waits() const { return *waits_; }

ScopedSettings::ScopedSettings(const shared::config::Settings& s) : saved_(shared::config::get()) {
  shared::config::set(s);
}

ScopedSettings::~ScopedSettings() { shared::config::set(saved_); }

TempDir::TempDir() {
  std::random_device rd;
  path_ = std::filesystem::temp_directory_path() / ("kesto-test-" + std::to_string(rd()) + std::to_string(rd()));
  std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::filesystem::path corpus_dir() {
  if (const char* c = std::getenv("KESTO_CORPUS"); c && *c) return c;
  return std::filesystem::path(KESTO_SOURCE_DIR) / ".." / "shared" / "corpus";
}

std::filesystem::path binary_dir() { return KESTO_BINARY_DIR; }

std::filesystem::path source_dir() { return KESTO_SOURCE_DIR; }

std::string read_bytes(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void write_bytes(const std::filesystem::path& p, const std::string& bytes) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

int run_command(const std::string& cmd, std::string* out) {
  FILE* p = ::popen(cmd.c_str(), "r");
  if (p == nullptr) return -1;
  std::string buf(4096, '\0');
  std::size_t n;
  while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) {
    if (out) out->append(buf.data(), n);
  }
  const int status = ::pclose(p);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

ProgramRun kesto(const std::filesystem::path& cwd, const std::string& env, const std::string& args, bool clean_env) {
  const std::filesystem::path err_file = cwd / ".kesto-stderr";
  ProgramRun r;
  r.status = run_command("cd '" + cwd.string() + "' && env " + (clean_env ? "-i PATH=\"$PATH\" " : "") + env + " '" +
                             (binary_dir() / "kesto").string() + "' " + args + " 2>'" + err_file.string() + "'",
                         &r.out);
  r.err = read_bytes(err_file);
  std::error_code ec;
  std::filesystem::remove(err_file, ec);
  return r;
}

std::size_t open_fds() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

bool reaped(int pid) { return ::waitpid(pid, nullptr, WNOHANG) < 0 && errno == ECHILD; }

}  // namespace testing_support
