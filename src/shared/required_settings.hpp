// shared.required_settings: the variables each service a command reaches
// needs, so that a command names every unset one at once instead of failing
// on the first connection it cannot open.
#pragma once

#include <string>
#include <vector>

namespace shared::required_settings {

// A service a command reaches.
enum class Reach {
  storage,          // the pipeline's own storage account and container
  source_storage,   // the source-document account and container
  registry,         // the registry database (TOLVANSTORE_*)
  database,         // the metadata database (PG*)
  summary_model,    // the hosted summary model
  embedding_model,  // the hosted embedding deployment
};

// The unset variables that `reaches` need, in the order given, each once.
std::vector<std::string> missing(const std::vector<Reach>& reaches);

}  // namespace shared::required_settings
