#include "apps/common/commands.hpp"

#include <algorithm>

namespace apps {

namespace {
std::vector<Command>& registry() {
  static std::vector<Command> r;
  return r;
}
}  // namespace

std::vector<Command> commands() {
  auto out = registry();
  std::sort(out.begin(), out.end(), [](const Command& a, const Command& b) { return a.name < b.name; });
  return out;
}

RegisterCommand::RegisterCommand(Command c) { registry().push_back(std::move(c)); }

}  // namespace apps
