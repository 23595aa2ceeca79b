// Re-indexing a document against a real index table and the fake embedding
// service: what is kept, what is embedded again, what goes.
#include "shared/processors/indexer.hpp"

#include <gtest/gtest.h>

#include "connectors/index_testing.hpp"
#include "shared/connectors/vector_db.hpp"
#include "shared/errors.hpp"

namespace vector_db = shared::connectors::vector_db;
using shared::Record;

namespace {

class Reindexing : public index_testing::IndexTest {
 protected:
  // key -> "sha|model|embedding as PostgreSQL prints it|indexed_at"
  std::map<std::string, std::string> rows(const std::string& qd) const {
    std::map<std::string, std::string> out;
    for (const Record& r : pg_testing::query(db(),
                                             "SELECT section_key, section_index, content_sha256, embedding_model,"
                                             " embedding::text AS e, indexed_at::text AS t FROM " +
                                                 table_ + " WHERE qd_number = %s",
                                             {qd})) {
      out[r["section_key"].get<std::string>()] = std::to_string(r["section_index"].get<int>()) + "|" +
                                                 r["content_sha256"].get<std::string>() + "|" +
                                                 record_text(r["embedding_model"]) + "|" + record_text(r["e"]) + "|" +
                                                 r["t"].get<std::string>();
    }
    return out;
  }
  static std::string record_text(const Record& v) { return v.is_null() ? "NULL" : v.get<std::string>(); }
  std::vector<std::string> embedded_inputs() const {
    std::vector<std::string> out;
    for (const auto& r : server_->requests()) {
      if (r.path.find("/embeddings") != std::string::npos) out.push_back(Record::parse(r.body)["input"]);
    }
    return out;
  }

  const std::vector<std::pair<std::string, std::string>> first_ = {
      {"1 Purpose", "## 1 Purpose\nKeep rooms clean."},
      {"2 Scope", "## 2 Scope\nAll production rooms."},
      {"3 Records", "## 3 Records\nSign the logbook."},
  };
};

Record counts_of(const shared::models::StageResult& r) { return r.data.value_or(Record()); }

}  // namespace

TEST_F(Reindexing, OnlyTheChangedSectionIsEmbeddedAgain) {
  ASSERT_TRUE(index("QD-000958", "SOP", first_).success);
  EXPECT_EQ(embedding_requests(), 3u);
  const auto before = rows("QD-000958");
  ASSERT_EQ(before.size(), 3u);

  // Section 2 changes, section 3 goes, section 4 is new; 1 stays.
  testing_support::LogCapture cap(shared::logsetup::Level::info);
  const auto result = index("QD-000958", "SOP",
                            {{"1 Purpose", "## 1 Purpose\nKeep rooms clean."},
                             {"2 Scope", "## 2 Scope\nAll production and storage rooms."},
                             {"4 Training", "## 4 Training\nOperators are trained yearly."}});
  ASSERT_TRUE(result.success) << result.error.value_or("");
  EXPECT_EQ(counts_of(result).dump(), R"({"sections":3,"kept":1,"embedded":2,"removed":1})");
  EXPECT_EQ(embedded_inputs().size(), 5u);
  EXPECT_EQ(embedded_inputs()[3], "In document SOP.\n\n## 2 Scope\nAll production and storage rooms.");
  EXPECT_EQ(embedded_inputs()[4], "In document SOP.\n\n## 4 Training\nOperators are trained yearly.");
  const auto lines = cap.matching("Indexed 3 section(s)");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(R"x("message": "Indexed 3 section(s) for 'QD-000958' \u2192 vector DB (1 kept, 2 embedded, )x"
                          R"x(1 removed)", )x"),
            std::string::npos)
      << lines[0];

  const auto after = rows("QD-000958");
  ASSERT_EQ(after.size(), 3u);
  // The unchanged row is the very same row: embedding, hash and time of indexing.
  EXPECT_EQ(after.at("SOP::1 Purpose"), before.at("SOP::1 Purpose"));
  EXPECT_NE(after.at("SOP::2 Scope"), before.at("SOP::2 Scope"));
  EXPECT_EQ(after.count("SOP::3 Records"), 0u);
  EXPECT_EQ(after.at("SOP::4 Training").substr(0, 2), "2|");

  // A run with nothing changed asks the model nothing.
  const auto again = index("QD-000958", "SOP",
                           {{"1 Purpose", "## 1 Purpose\nKeep rooms clean."},
                            {"2 Scope", "## 2 Scope\nAll production and storage rooms."},
                            {"4 Training", "## 4 Training\nOperators are trained yearly."}});
  EXPECT_EQ(counts_of(again).dump(), R"({"sections":3,"kept":3,"embedded":0,"removed":0})");
  EXPECT_EQ(embedding_requests(), 5u);
  EXPECT_EQ(rows("QD-000958"), after);

  // One section's text changes: exactly one request, for that section.
  const auto one = index("QD-000958", "SOP",
                         {{"1 Purpose", "## 1 Purpose\nKeep rooms clean."},
                          {"2 Scope", "## 2 Scope\nAll production and storage rooms."},
                          {"4 Training", "## 4 Training\nOperators are trained every year."}});
  EXPECT_EQ(counts_of(one).dump(), R"({"sections":3,"kept":2,"embedded":1,"removed":0})");
  ASSERT_EQ(embedded_inputs().size(), 6u);
  EXPECT_EQ(embedded_inputs()[5], "In document SOP.\n\n## 4 Training\nOperators are trained every year.");
  const auto last = rows("QD-000958");
  EXPECT_EQ(last.at("SOP::1 Purpose"), after.at("SOP::1 Purpose"));
  EXPECT_EQ(last.at("SOP::2 Scope"), after.at("SOP::2 Scope"));
}

TEST_F(Reindexing, AFailingEmbeddingLeavesThePreviousSections) {
  testing_support::RecordedSleeps sleeps;
  ASSERT_TRUE(index("QD-000958", "SOP", first_).success);
  const auto before = rows("QD-000958");
  server_->fail(5, 500, "the model is down");
  EXPECT_THROW(index("QD-000958", "SOP", {{"1 Purpose", "## 1 Purpose\nChanged."}}), shared::ServiceError);
  EXPECT_EQ(rows("QD-000958"), before);
  // The next run, with the model back, embeds only what changed.
  const auto result = index("QD-000958", "SOP", {{"1 Purpose", "## 1 Purpose\nChanged."}});
  EXPECT_EQ(counts_of(result).dump(), R"({"sections":1,"kept":0,"embedded":1,"removed":2})");
}

TEST_F(Reindexing, SectionsWithoutAnEmbeddingGetOneOnceAModelIsConfigured) {
  use_embeddings(false);
  ASSERT_TRUE(index("QD-1", "SOP", first_).success);
  EXPECT_EQ(embedding_requests(), 0u);
  for (const auto& [key, row] : rows("QD-1")) EXPECT_NE(row.find("|NULL|NULL|"), std::string::npos) << row;
  use_embeddings(true);
  const auto result = index("QD-1", "SOP", first_);
  EXPECT_EQ(counts_of(result).dump(), R"({"sections":3,"kept":0,"embedded":3,"removed":0})");
  for (const auto& [key, row] : rows("QD-1")) EXPECT_NE(row.find("|emb-test|{"), std::string::npos) << row;
  // Back without a model: the rows keep the embeddings they have.
  use_embeddings(false);
  const auto kept = index("QD-1", "SOP", first_);
  EXPECT_EQ(counts_of(kept).dump(), R"({"sections":3,"kept":3,"embedded":0,"removed":0})");
  for (const auto& [key, row] : rows("QD-1")) EXPECT_NE(row.find("|emb-test|{"), std::string::npos) << row;
}

TEST_F(Reindexing, DeletionRemovesEveryRowOfTheDocument) {
  ASSERT_TRUE(index("QD-000958", "SOP", first_).success);
  ASSERT_TRUE(index("QD-0009580", "Other", first_).success);
  EXPECT_EQ(vector_db::delete_document_sections("qd-000958"), 3u);
  EXPECT_EQ(pg_testing::query(db(), "SELECT count(*) AS n FROM " + table_ + " WHERE upper(qd_number) = 'QD-000958'")[0]["n"],
            0);
  EXPECT_EQ(rows("QD-0009580").size(), 3u);
  // Indexed again from nothing, everything is embedded again.
  const auto result = index("QD-000958", "SOP", first_);
  EXPECT_EQ(counts_of(result).dump(), R"({"sections":3,"kept":0,"embedded":3,"removed":0})");
}
