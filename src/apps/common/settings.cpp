#include "apps/common/settings.hpp"

#include "shared/errors.hpp"

namespace apps {

std::vector<std::string> missing_settings(std::initializer_list<Reach> reaches) {
  return shared::required_settings::missing(std::vector<Reach>(reaches));
}

void require_settings(const std::vector<std::string>& missing) {
  if (missing.empty()) return;
  std::string list;
  for (const auto& m : missing) list += (list.empty() ? "" : ", ") + m;
  throw shared::ValueError("missing settings: " + list + " (set them in the environment or in .env)");
}

}  // namespace apps
