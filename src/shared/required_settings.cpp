#include "shared/required_settings.hpp"

#include <algorithm>

#include "shared/config.hpp"
#include "shared/connectors/credential.hpp"

namespace shared::required_settings {

namespace {

using config::Settings;

// A variable a service needs, and where the settings hold it.
struct Variable {
  Reach reach;
  const char* name;
  std::string Settings::*value;
};

// In the order they are named.
const Variable kVariables[] = {
    {Reach::storage, "STORAGE_ACCOUNT_CONNECTION_STRING", &Settings::STORAGE_CONNECTION_STRING},
    {Reach::storage, "STORAGE_CONTAINER_NAME", &Settings::STORAGE_CONTAINER_NAME},
    {Reach::source_storage, "TOLVAN_STORAGE_ACCOUNT_CONNECTION_STRING", &Settings::TOLVAN_STORAGE_CONNECTION_STRING},
    {Reach::source_storage, "TOLVAN_STORAGE_CONTAINER_NAME", &Settings::TOLVAN_STORAGE_CONTAINER_NAME},
    {Reach::registry, "TOLVANSTORE_HOST", &Settings::TOLVANSTORE_HOST},
    {Reach::registry, "TOLVANSTORE_USER", &Settings::TOLVANSTORE_USER},
    {Reach::registry, "TOLVANSTORE_PASSWORD", &Settings::TOLVANSTORE_PASSWORD},
    {Reach::registry, "TOLVANSTORE_SCHEMA", &Settings::TOLVANSTORE_SCHEMA},
    {Reach::registry, "TOLVANSTORE_TABLE", &Settings::TOLVANSTORE_TABLE},
    {Reach::database, "PGHOST", &Settings::PGHOST},
    {Reach::database, "PGUSER", &Settings::PGUSER},
    {Reach::database, "PGDATABASE", &Settings::PGDATABASE},
    {Reach::summary_model, "AZURE_OPENAI_ENDPOINT", &Settings::AZURE_OPENAI_ENDPOINT},
    {Reach::summary_model, "AZURE_OPENAI_KEY", &Settings::AZURE_OPENAI_KEY},
    {Reach::summary_model, "OPENAI_SUMMARY_MODEL", &Settings::OPENAI_SUMMARY_MODEL},
    {Reach::embedding_model, "AZURE_OPENAI_ENDPOINT", &Settings::AZURE_OPENAI_ENDPOINT},
    {Reach::embedding_model, "AZURE_OPENAI_KEY", &Settings::AZURE_OPENAI_KEY},
    {Reach::embedding_model, "AZURE_OPENAI_API_VERSION", &Settings::AZURE_OPENAI_API_VERSION},
};

}  // namespace

std::vector<std::string> missing(const std::vector<Reach>& reaches) {
  const Settings& s = config::get();
  // Signed in with Microsoft Entra ID, the services need no key or password.
  const bool token_model = connectors::credential::configured(s);
  const bool token_database = s.PGAUTH == "entra";
  auto replaced = [&](const Variable& v) {
    return (token_model && v.value == &Settings::AZURE_OPENAI_KEY) ||
           (token_database && v.value == &Settings::TOLVANSTORE_PASSWORD);
  };
  std::vector<std::string> out;
  for (const Reach r : reaches) {
    for (const Variable& v : kVariables) {
      if (v.reach == r && (s.*v.value).empty() && !replaced(v) &&
          std::find(out.begin(), out.end(), v.name) == out.end()) {
        out.emplace_back(v.name);
      }
    }
  }
  return out;
}

}  // namespace shared::required_settings
