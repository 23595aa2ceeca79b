#include "shared/required_settings.hpp"

#include <algorithm>

#include "shared/config.hpp"

namespace shared::required_settings {

std::vector<std::string> missing(const std::vector<Reach>& reaches) {
  const config::Settings& s = config::get();
  std::vector<std::string> out;
  auto need = [&](const std::string& value, const char* var) {
    if (value.empty() && std::find(out.begin(), out.end(), var) == out.end()) out.emplace_back(var);
  };
  for (const Reach r : reaches) {
    switch (r) {
      case Reach::storage:
        need(s.STORAGE_CONNECTION_STRING, "STORAGE_ACCOUNT_CONNECTION_STRING");
        need(s.STORAGE_CONTAINER_NAME, "STORAGE_CONTAINER_NAME");
        break;
      case Reach::source_storage:
        need(s.TOLVAN_STORAGE_CONNECTION_STRING, "TOLVAN_STORAGE_ACCOUNT_CONNECTION_STRING");
        need(s.TOLVAN_STORAGE_CONTAINER_NAME, "TOLVAN_STORAGE_CONTAINER_NAME");
        break;
      case Reach::registry:
        need(s.TOLVANSTORE_HOST, "TOLVANSTORE_HOST");
        need(s.TOLVANSTORE_USER, "TOLVANSTORE_USER");
        need(s.TOLVANSTORE_PASSWORD, "TOLVANSTORE_PASSWORD");
        need(s.TOLVANSTORE_SCHEMA, "TOLVANSTORE_SCHEMA");
        need(s.TOLVANSTORE_TABLE, "TOLVANSTORE_TABLE");
        break;
      case Reach::database:
        need(s.PGHOST, "PGHOST");
        need(s.PGUSER, "PGUSER");
        need(s.PGDATABASE, "PGDATABASE");
        break;
      case Reach::summary_model:
        need(s.AZURE_OPENAI_ENDPOINT, "AZURE_OPENAI_ENDPOINT");
        need(s.AZURE_OPENAI_KEY, "AZURE_OPENAI_KEY");
        need(s.OPENAI_SUMMARY_MODEL, "OPENAI_SUMMARY_MODEL");
        break;
      case Reach::embedding_model:
        need(s.AZURE_OPENAI_ENDPOINT, "AZURE_OPENAI_ENDPOINT");
        need(s.AZURE_OPENAI_KEY, "AZURE_OPENAI_KEY");
        need(s.AZURE_OPENAI_API_VERSION, "AZURE_OPENAI_API_VERSION");
        break;
    }
  }
  return out;
}

}  // namespace shared::required_settings
