#include "shared/processors/indexer.hpp"

#include <gtest/gtest.h>

#include "shared/errors.hpp"
#include "support/testing.hpp"

using shared::Record;
using shared::connectors::vector_db::Section;
using shared::processors::indexer::IndexingStage;

namespace {

struct Written {
  int calls = 0;
  std::string qd, name, link;
  std::vector<Section> sections;
  bool had_embedder = false;
};

// Writes nothing; records what it was given and, as for an empty index,
// embeds every section with the embedder it was handed.
IndexingStage recording_stage(Written& w, shared::processors::indexer::Embedder embedder = {}) {
  return IndexingStage(
      [&w](const std::string& qd, const std::string& name, const std::string& link, const std::vector<Section>& s,
           const shared::processors::indexer::Embedder& embed) {
        ++w.calls;
        w.qd = qd;
        w.name = name;
        w.link = link;
        w.sections = s;
        w.had_embedder = static_cast<bool>(embed);
        shared::connectors::vector_db::SyncCounts counts{.sections = s.size(), .kept = 0, .embedded = 0, .removed = 1};
        for (Section& sec : w.sections) {
          if (embed) sec.embedding = embed(sec.text);
          if (sec.embedding) ++counts.embedded;
        }
        return counts;
      },
      std::move(embedder));
}

Record enriched_doc() {
  return Record::parse(R"({
    "qd-number": "QD-000958",
    "doc_name": "SOP Cleaning",
    "link": "https://veeva.example/QD-000958",
    "enriched": {
      "SOP::2 Scope": "In document SOP Cleaning.\n\n## 2 Scope\nAll rooms.",
      "SOP::1 Purpose": "In document SOP Cleaning.\n\n## 1 Purpose\nClean.",
      "SOP::1.1 Detail": "In document SOP Cleaning, under 1 Purpose.\n\n### 1.1 Detail\nÅ."
    }
  })");
}

}  // namespace

TEST(IndexingStage, WritesEverySectionInOrderUnderTheDocumentNumber) {
  Written w;
  IndexingStage stage = recording_stage(w);
  Record context = {{"enriched_json", enriched_doc()}};
  testing_support::LogCapture cap(shared::logsetup::Level::info);
  const auto result = stage.run(Record{{"id", "7"}, {"document_number", " QD-000958 "}}, context);
  ASSERT_TRUE(result.success) << result.error.value_or("");
  EXPECT_EQ(result.stage, "INDEXING");
  EXPECT_EQ(w.calls, 1);
  EXPECT_EQ(w.qd, "QD-000958");
  EXPECT_EQ(w.name, "SOP Cleaning");
  EXPECT_EQ(w.link, "https://veeva.example/QD-000958");
  ASSERT_EQ(w.sections.size(), 3u);
  EXPECT_EQ(w.sections[0].key, "SOP::2 Scope");
  EXPECT_EQ(w.sections[1].key, "SOP::1 Purpose");
  EXPECT_EQ(w.sections[2].key, "SOP::1.1 Detail");
  EXPECT_EQ(w.sections[2].text, "In document SOP Cleaning, under 1 Purpose.\n\n### 1.1 Detail\nÅ.");
  for (const Section& s : w.sections) EXPECT_FALSE(s.embedding.has_value());
  EXPECT_FALSE(w.had_embedder);
  const auto lines = cap.matching("Indexed");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0],
            R"x({"message": "Indexed 3 section(s) for 'QD-000958' \u2192 vector DB (0 kept, 0 embedded, 1 removed)", )x"
            R"("stage": "INDEXING", "document_id": "7", "sections": 3, "kept": 0, "embedded": 0, "removed": 1})");
  ASSERT_TRUE(result.data.has_value());
  EXPECT_EQ(result.data->dump(), R"({"sections":3,"kept":0,"embedded":0,"removed":1})");
}

TEST(IndexingStage, QdNumberFromTheDocumentElseFromTheEnrichedDocument) {
  struct Case {
    Record doc;
    Record qd_in_enriched;
    std::string want;
  };
  const Case cases[] = {
      {Record{{"document_number", "QD-000111"}}, "QD-000958", "QD-000111"},
      {Record{{"document_number", "  "}}, "QD-000958", "QD-000958"},
      {Record::object(), " QD-000958\n", "QD-000958"},
      {Record{{"document_number", nullptr}}, "QD-000958", "QD-000958"},
  };
  for (const Case& c : cases) {
    Written w;
    IndexingStage stage = recording_stage(w);
    Record enriched = enriched_doc();
    enriched["qd-number"] = c.qd_in_enriched;
    Record context = {{"enriched_json", enriched}};
    ASSERT_TRUE(stage.execute(c.doc, context).success) << c.doc.dump();
    EXPECT_EQ(w.qd, c.want) << c.doc.dump();
  }
}

TEST(IndexingStage, UnusableInputIsAFailedResultAndWritesNothing) {
  Record no_qd = enriched_doc();
  no_qd["qd-number"] = nullptr;
  Record no_map = enriched_doc();
  no_map["enriched"] = Record::array({"x"});
  Record not_text = enriched_doc();
  not_text["enriched"]["SOP::9 Bad"] = 9;
  const std::pair<Record, std::string> cases[] = {
      {Record{{"batch_size", 1}}, "No enriched_json in context"},
      {Record{{"enriched_json", no_map}}, "enriched_json has no 'enriched' map of sections"},
      {Record{{"enriched_json", "text"}}, "enriched_json has no 'enriched' map of sections"},
      {Record{{"enriched_json", no_qd}},
       "Cannot determine QD-number for indexing: neither 'document_number' nor the enriched 'qd-number' is set"},
      {Record{{"enriched_json", not_text}}, "Section 'SOP::9 Bad' of enriched_json is not text"},
  };
  for (const auto& [ctx, error] : cases) {
    Written w;
    IndexingStage stage = recording_stage(w);
    Record context = ctx;
    const auto result = stage.execute(Record::object(), context);
    EXPECT_FALSE(result.success);
    EXPECT_EQ(result.stage, "INDEXING");
    EXPECT_EQ(result.error, error);
    EXPECT_EQ(w.calls, 0) << error;
  }
}

TEST(IndexingStage, EmbeddingsComeFromTheEmbedderPerSectionText) {
  Written w;
  std::vector<std::string> asked;
  IndexingStage stage = recording_stage(w, [&asked](const std::string& text) -> std::optional<std::vector<double>> {
    asked.push_back(text);
    if (text.find("Scope") != std::string::npos) return std::nullopt;
    return std::vector<double>{static_cast<double>(text.size()), 0.5};
  });
  Record context = {{"enriched_json", enriched_doc()}};
  testing_support::LogCapture cap(shared::logsetup::Level::info);
  ASSERT_TRUE(stage.execute(Record{{"document_number", "QD-000958"}}, context).success);
  ASSERT_EQ(asked.size(), 3u);
  EXPECT_EQ(asked[1], w.sections[1].text);
  EXPECT_FALSE(w.sections[0].embedding.has_value());
  EXPECT_EQ(w.sections[1].embedding, (std::vector<double>{static_cast<double>(w.sections[1].text.size()), 0.5}));
  EXPECT_NE(cap.matching(R"("sections": 3, "kept": 0, "embedded": 2, "removed": 1})").size(), 0u);
}

TEST(IndexingStage, IndexFailuresPropagate) {
  IndexingStage stage(
      [](const std::string&, const std::string&, const std::string&, const std::vector<Section>&,
         const shared::processors::indexer::Embedder&) -> shared::connectors::vector_db::SyncCounts {
        throw shared::DatabaseError("connection lost", "08006");
      },
      {});
  Record context = {{"enriched_json", enriched_doc()}};
  EXPECT_THROW(stage.run(Record{{"document_number", "QD-000958"}}, context), shared::DatabaseError);
}

TEST(IndexingStageEmbeddings, DefaultEmbedderOnlyWithAnEmbeddingModel) {
  shared::config::Settings s;
  s.OPENAI_EMBEDDING_MODEL = "";
  s.AZURE_OPENAI_ENDPOINT = "http://127.0.0.1:1";  // would fail if it were called
  testing_support::ScopedSettings scoped(s);
  const auto embed = shared::processors::indexer::default_embedder();
  ASSERT_TRUE(static_cast<bool>(embed));
  EXPECT_FALSE(embed("some section text").has_value());
}
