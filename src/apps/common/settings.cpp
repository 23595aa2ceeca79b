#include "apps/common/settings.hpp"

#include <algorithm>

#include "shared/config.hpp"
#include "shared/errors.hpp"

namespace apps {

std::vector<std::string> missing_settings(std::initializer_list<Reach> reaches) {
  const shared::config::Settings& s = shared::config::get();
  std::vector<std::string> missing;
  auto need = [&](const std::string& value, const char* var) {
    if (value.empty() && std::find(missing.begin(), missing.end(), var) == missing.end()) missing.emplace_back(var);
  };
  for (Reach r : reaches) {
    switch (r) {
      case Reach::storage:
        need(s.STORAGE_CONNECTION_STRING, "STORAGE_ACCOUNT_CONNECTION_STRING");
        need(s.STORAGE_CONTAINER_NAME, "STORAGE_CONTAINER_NAME");
        break;
      case Reach::source_storage:
        need(s.TOLVAN_STORAGE_CONNECTION_STRING, "TOLVAN_STORAGE_ACCOUNT_CONNECTION_STRING");
        need(s.TOLVAN_STORAGE_CONTAINER_NAME, "TOLVAN_STORAGE_CONTAINER_NAME");
        break;
      case Reach::database:
        need(s.PGHOST, "PGHOST");
        need(s.PGUSER, "PGUSER");
        need(s.PGDATABASE, "PGDATABASE");
        break;
    }
  }
  return missing;
}

void require_settings(const std::vector<std::string>& missing) {
  if (missing.empty()) return;
  std::string list;
  for (const auto& m : missing) list += (list.empty() ? "" : ", ") + m;
  throw shared::ValueError("missing settings: " + list + " (set them in the environment or in .env)");
}

}  // namespace apps
