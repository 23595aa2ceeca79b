// Helpers shared by the tests: captured log lines, recorded retry waits,
// scoped settings, temporary folders and the paths of shared test data.
#pragma once

#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "shared/config.hpp"
#include "shared/logsetup.hpp"

namespace testing_support {

// Captures every record that reaches the root logger as its JSON line,
// at the given root level; restores the root logger when destroyed.
class LogCapture {
 public:
  explicit LogCapture(shared::logsetup::Level level = shared::logsetup::Level::debug);
  ~LogCapture();
  std::vector<std::string> lines() const;
  // Lines whose text contains `needle`.
  std::vector<std::string> matching(const std::string& needle) const;
  std::string text() const { return out_.str(); }
  void clear();

 private:
  std::ostringstream out_;
  std::shared_ptr<shared::logsetup::StreamHandler> handler_;
  std::vector<std::shared_ptr<shared::logsetup::Handler>> saved_;
  shared::logsetup::Level saved_level_;
};

// Records the waits asked of the retry sleeper instead of sleeping.
class RecordedSleeps {
 public:
  RecordedSleeps();
  ~RecordedSleeps();
  std::vector<double> waits() const;

 private:
  std::shared_ptr<std::vector<double>> waits_;
};

// Installs settings for the test's duration and restores the previous ones.
class ScopedSettings {
 public:
  explicit ScopedSettings(const shared::config::Settings& s);
  ~ScopedSettings();

 private:
  shared::config::Settings saved_;
};

// A fresh temporary folder removed with its content at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// ../shared/corpus beside the repository (KESTO_CORPUS overrides).
std::filesystem::path corpus_dir();
// The folder of the built programs.
std::filesystem::path binary_dir();
// The repository's root folder.
std::filesystem::path source_dir();

std::string read_bytes(const std::filesystem::path& p);
void write_bytes(const std::filesystem::path& p, const std::string& bytes);

// The environment variable, or "" when unset.
std::string env(const char* name);

// Runs a shell command, capturing stdout (and stderr when asked); returns the exit status.
int run_command(const std::string& cmd, std::string* out = nullptr);

// The number of file descriptors this process holds open.
std::size_t open_fds();
// True when `pid` is no child of this process any more (reaped).
bool reaped(int pid);

// What a program run by kesto() printed, and its exit status.
struct ProgramRun {
  int status = -1;
  std::string out, err;
};

// Runs `kesto ARGS` (a shell fragment) in `cwd` with `env` ("NAME=value …")
// added to the environment, or with only PATH and `env` when `clean_env`.
ProgramRun kesto(const std::filesystem::path& cwd, const std::string& env, const std::string& args,
                 bool clean_env = true);

}  // namespace testing_support
