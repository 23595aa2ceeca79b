// The subcommands of the `kesto` program. Each lives in its own source file
// of src/apps/kesto and registers itself with a static RegisterCommand.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace apps {

struct Command {
  std::string name;
  std::string summary;  // one line for `kesto --help`
  std::function<int(const std::vector<std::string>& args)> run;  // args after the name
};

// All registered commands, sorted by name.
std::vector<Command> commands();

struct RegisterCommand {
  explicit RegisterCommand(Command c);
};

}  // namespace apps
