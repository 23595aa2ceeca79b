// Helpers of the index tests: a uniquely named index table (dropped at the
// end) in the test cluster, the fake model service as the embedding
// deployment with vectors that depend on the text, and documents indexed
// through the real enrichment and indexing stages.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "connectors/pg_testing.hpp"
#include "shared/processors/aigate.hpp"
#include "shared/processors/enricher.hpp"
#include "shared/processors/indexer.hpp"
#include "support/fake_model_server.hpp"

namespace index_testing {

// A stand-in embedding: one axis per topic, set when the text mentions a
// word of the topic. Questions and sections about the same topic meet
// although they share no word.
inline std::vector<double> topic_vector(const std::string& text) {
  static const std::vector<std::vector<std::string>> topics = {
      {"clean", "sanit", "disinfect", "wipe"},
      {"batch", "record", "review"},
      {"deviation", "incident", "mishap"},
      {"train", "competen", "qualif"},
  };
  std::string lower;
  for (char c : text) lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  std::vector<double> v(topics.size() + 1, 0.0);
  v.back() = 0.01;  // never a zero vector
  for (std::size_t t = 0; t < topics.size(); ++t) {
    for (const std::string& w : topics[t]) {
      if (lower.find(w) != std::string::npos) v[t] += 1.0;
    }
  }
  return v;
}

class IndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!pg_testing::have_cluster()) GTEST_SKIP();
    table_ = pg_testing::unique_name("idx");
    server_ = std::make_unique<testing_support::FakeModelServer>();
    server_->set_embedding_function(topic_vector);
    use_embeddings(true);
    shared::processors::aigate::_set_transport_factory(nullptr);
    shared::processors::aigate::_reset_clients();
  }
  void TearDown() override {
    shared::processors::aigate::_reset_clients();
    settings_.reset();
    if (!table_.empty()) {
      try {
        pg_testing::exec(db(), "DROP TABLE IF EXISTS " + table_);
        pg_testing::exec(db(), "DROP TABLE IF EXISTS " + table_ + "_generation, " + table_ + "_terms");
      } catch (const std::exception&) {
      }
    }
  }

  // Installs the settings: the test's table, and the fake service as the
  // embedding deployment when `embeddings`.
  void use_embeddings(bool embeddings, const std::string& text_config = "english") {
    settings_.reset();
    shared::config::Settings s = shared::config::from_environment();
    s.VECTOR_TABLE = table_;
    s.SEARCH_TEXT_CONFIG = text_config;
    s.AZURE_OPENAI_ENDPOINT = server_->endpoint();
    s.AZURE_OPENAI_KEY = "test-key";
    s.AZURE_OPENAI_API_VERSION = "2024-02-01";
    s.OPENAI_EMBEDDING_MODEL = embeddings ? "emb-test" : "";
    settings_ = std::make_unique<testing_support::ScopedSettings>(s);
    shared::processors::aigate::_reset_clients();
  }

  static std::string db() { return testing_support::env("PGDATABASE"); }

  // Indexes the document through enrichment and the indexing stage; returns
  // the stage's result.
  shared::models::StageResult index(const std::string& qd, const std::string& name,
                                    const std::vector<std::pair<std::string, std::string>>& sections) {
    shared::Record raw = {{"qd", qd}, {"document", name}, {"link", "https://veeva.example/" + qd}};
    raw["sections"] = shared::Record::object();
    for (const auto& [heading, body] : sections) raw["sections"][name + "::" + heading] = body;
    shared::Record context = {{"enriched_json", shared::processors::enricher::enrich_sections(raw)}};
    shared::processors::indexer::IndexingStage stage;
    return stage.run(shared::Record{{"id", qd}, {"document_number", qd}}, context);
  }

  // Embedding requests the fake service has answered or refused so far.
  std::size_t embedding_requests() const {
    std::size_t n = 0;
    for (const auto& r : server_->requests()) n += r.path.find("/embeddings") != std::string::npos;
    return n;
  }

  std::string table_;
  std::unique_ptr<testing_support::FakeModelServer> server_;
  std::unique_ptr<testing_support::ScopedSettings> settings_;
};

}  // namespace index_testing
