// A world of the host's own for one test: output and source containers, a
// metadata table, an index table and a registry table, and the settings that
// point at them; against the storage emulator and the test cluster, with the
// outline summary engine.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "connectors/emulator.hpp"
#include "connectors/pg_testing.hpp"
#include "shared/connectors/blobhub.hpp"
#include "shared/host/runner.hpp"
#include "shared/host/task.hpp"
#include "support/testing.hpp"

namespace host_world {

using shared::host::task::Options;
using shared::host::task::Outcome;
namespace blobhub = shared::connectors::blobhub;

inline const std::vector<std::pair<std::string, std::string>> kExamples = {
    {"SOP QD-000958 Cleaning Validation.docx", "QD-000958"},
    {"SOP QD-001204 Batch Record Review.docx", "QD-001204"},
    {"SOP QD-002317 Deviation Handling.docx", "QD-002317"},
};

inline std::string stem(const std::string& name) { return name.substr(0, name.rfind('.')); }

// Output and source containers, a metadata table, an index table and a
// registry table of the test's own, and the settings that point at them.
struct World {
  pg_testing::MetadataTable meta;
  pg_testing::RegistryTable registry;
  std::string index = pg_testing::unique_name("idx");
  std::string audit = pg_testing::unique_name("audit");
  shared::config::Settings settings;
  std::unique_ptr<testing_support::ScopedSettings> scoped;

  World() {
    settings = shared::config::from_environment();
    settings.STORAGE_CONNECTION_STRING = emulator::output_connection();
    settings.TOLVAN_STORAGE_CONNECTION_STRING = emulator::source_connection();
    settings.STORAGE_CONTAINER_NAME = emulator::unique_container("out");
    settings.TOLVAN_STORAGE_CONTAINER_NAME = emulator::unique_container("src");
    settings.PGTABLE = meta.name();
    settings.VECTOR_TABLE = index;
    settings.AUDIT_TABLE = audit;
    settings.TOLVANSTORE_SCHEMA = "ops";
    settings.TOLVANSTORE_TABLE = registry.name();
    settings.SUMMARY_ENGINE = "outline";
    settings.OPENAI_EMBEDDING_MODEL = "";
    scoped = std::make_unique<testing_support::ScopedSettings>(settings);
    blobhub::create_container(settings.STORAGE_CONTAINER_NAME);
    blobhub::create_container(settings.TOLVAN_STORAGE_CONTAINER_NAME, true);
  }
  ~World() {
    try {
      pg_testing::exec(testing_support::env("PGDATABASE"), "DROP TABLE IF EXISTS " + index);
      pg_testing::exec(testing_support::env("PGDATABASE"), "DROP TABLE IF EXISTS " + audit);
    } catch (const std::exception&) {
    }
  }

  void add_source(const std::string& name, const std::string& qd, const std::string& bytes) {
    blobhub::upload_blob(name, bytes, {.container = settings.TOLVAN_STORAGE_CONTAINER_NAME, .use_tolvan_storage = true});
    registry.add(name, "NEW", qd, "Title of " + qd, "https://dms.example/" + qd);
  }
  void add_examples() {
    for (const auto& [name, qd] : kExamples) {
      add_source(name, qd, testing_support::read_bytes(testing_support::source_dir() / "examples" / name));
    }
  }
  void set_status(const std::string& qd, const std::string& status) {
    pg_testing::exec(pg_testing::registry_db(),
                     "UPDATE ops." + registry.name() + " SET kesto_status = %s WHERE document_number = %s",
                     {status, qd});
  }
  std::map<std::string, Outcome> run(const Options& options = {}) {
    std::map<std::string, Outcome> out;
    shared::host::runner::run_all(shared::host::task::pending_tasks(settings.MAX_BATCH_SIZE), options, 1, {},
            [&](const Outcome& o) { out[o.qd_number] = o; });
    return out;
  }
  // The settings as "NAME='value' …" for a program started by the shell
  // (the cluster's PG* and TOLVANSTORE_* variables are inherited).
  std::string program_env() const {
    const auto& s = settings;
    std::string out;
    for (const auto& [k, v] : std::vector<std::pair<const char*, std::string>>{
             {"STORAGE_ACCOUNT_CONNECTION_STRING", s.STORAGE_CONNECTION_STRING},
             {"TOLVAN_STORAGE_ACCOUNT_CONNECTION_STRING", s.TOLVAN_STORAGE_CONNECTION_STRING},
             {"STORAGE_CONTAINER_NAME", s.STORAGE_CONTAINER_NAME},
             {"TOLVAN_STORAGE_CONTAINER_NAME", s.TOLVAN_STORAGE_CONTAINER_NAME},
             {"PGTABLE", s.PGTABLE},
             {"VECTOR_TABLE", s.VECTOR_TABLE},
             {"KESTO_AUDIT_TABLE", s.AUDIT_TABLE},
             {"TOLVANSTORE_SCHEMA", s.TOLVANSTORE_SCHEMA},
             {"TOLVANSTORE_TABLE", s.TOLVANSTORE_TABLE},
             {"SUMMARY_ENGINE", "outline"}}) {
      out += std::string(k) + "='" + v + "' ";
    }
    return out;
  }
  // Every blob of the output container, by full path.
  std::vector<std::string> all_blobs() const {
    std::vector<std::string> out;
    for (const std::string& folder : {settings.BLOB_FOLDER_DOCUMENTS, settings.BLOB_FOLDER_MARKDOWN,
                                      settings.BLOB_FOLDER_JSON, settings.BLOB_FOLDER_ENRICHED_JSON,
                                      settings.BLOB_FOLDER_SUMMARY}) {
      for (auto& b : blobhub::list_blobs_in_folder(folder)) out.push_back(std::move(b));
    }
    return out;
  }
  std::vector<std::string> artefacts(const std::string& name) const {
    const auto& s = settings;
    const std::string st = stem(name);
    return {blobhub::build_blob_path(s.BLOB_FOLDER_DOCUMENTS, name),
            blobhub::build_blob_path(s.BLOB_FOLDER_MARKDOWN, st + ".md"),
            blobhub::build_blob_path(s.BLOB_FOLDER_JSON, st + ".sections.json"),
            blobhub::build_blob_path(s.BLOB_FOLDER_ENRICHED_JSON, st + ".enriched.json"),
            blobhub::build_blob_path(s.BLOB_FOLDER_SUMMARY, st + ".summary.md")};
  }
};

}  // namespace host_world
