// A small command-line parser for the programs: long and short options,
// flags, positionals, generated --help, and the exit-status convention
// 0 success, 1 the work failed, 2 usage or configuration error.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "shared/logsetup.hpp"

namespace apps {

// Bad command line: reported as one line, exit status 2.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// --help was given and printed: exit status 0.
struct HelpShown {};

enum class Arity { one, optional, many, at_least_one };

class Parsed {
 public:
  bool has(const std::string& name) const;  // option given or flag set
  std::string get(const std::string& name, const std::string& def = "") const;
  std::vector<std::string> list(const std::string& name) const;  // positionals or repeated options
  long get_long(const std::string& name, long def) const;         // UsageError when not a number

  std::map<std::string, std::vector<std::string>> values;
};

class ArgParser {
 public:
  ArgParser(std::string prog, std::string description);

  // An option with a value: --name VALUE, --name=VALUE or -s VALUE.
  ArgParser& option(const std::string& name, const std::string& short_name, const std::string& metavar,
                    const std::string& help);
  // A flag without value.
  ArgParser& flag(const std::string& name, const std::string& short_name, const std::string& help);
  ArgParser& positional(const std::string& name, Arity arity, const std::string& help);
  // Free text appended to --help.
  ArgParser& epilog(const std::string& text);
  // For commands whose positional text may start with "-" (a search query's
  // "-word"): a word of one "-" and more that names no option is taken as a
  // positional instead of refused. Known options keep their meaning anywhere,
  // and "--" still makes every later word positional.
  ArgParser& dash_words_are_positional();
  // --log-level LEVEL (default info).
  ArgParser& with_log_level();

  // Throws UsageError, or prints help to stdout and throws HelpShown.
  Parsed parse(const std::vector<std::string>& args) const;
  std::string help() const;
  const std::string& prog() const { return prog_; }

 private:
  struct Opt {
    std::string name, short_name, metavar, help;
    bool is_flag;
  };
  struct Pos {
    std::string name;
    Arity arity;
    std::string help;
  };
  std::string prog_, description_, epilog_;
  std::vector<Opt> opts_;
  std::vector<Pos> pos_;
  bool dash_words_positional_ = false;
};

// The --log-level of `p` (default info); UsageError for an unknown level.
shared::logsetup::Level log_level(const Parsed& p);

// Runs `body`, mapping exceptions to a one-line message on standard error
// (line breaks and other control characters in it escaped) and the exit
// status: UsageError and shared::ValueError 2, anything else 1.
int guarded(const std::string& prog, const std::function<int()>& body);

// argv[1..] as strings.
std::vector<std::string> arguments(int argc, char** argv, int from = 1);

// Whole file as bytes, up to the input limit; throws shared::Error naming
// the file for a folder, an unreadable file or one past the limit.
std::string read_file(const std::string& path);
// Standard input as bytes, up to the input limit.
std::string read_stdin();
// Writes bytes to the file (replacing it) or, for an empty path, to stdout.
void write_output(const std::string& path, const std::string& bytes);

}  // namespace apps
