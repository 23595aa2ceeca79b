#include "shared/connectors/vector_db.hpp"

#include <gtest/gtest.h>

#include "connectors/pg_testing.hpp"
#include "shared/errors.hpp"
#include "shared/processors/indexer.hpp"
#include "shared/text/pyjson.hpp"

namespace vector_db = shared::connectors::vector_db;
using shared::Record;
using vector_db::Section;

namespace {

class VectorDb : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!pg_testing::have_cluster()) GTEST_SKIP();
    table_ = pg_testing::unique_name("sections");
    shared::config::Settings s = shared::config::from_environment();
    s.VECTOR_TABLE = table_;
    settings_ = std::make_unique<testing_support::ScopedSettings>(s);
  }
  void TearDown() override {
    if (!table_.empty()) {
      try {
        pg_testing::exec(db(), "DROP TABLE IF EXISTS " + table_);
        pg_testing::exec(db(), "DROP TABLE IF EXISTS " + table_ + "_generation, " + table_ + "_terms");
      } catch (const std::exception&) {
      }
    }
  }
  static std::string db() { return testing_support::env("PGDATABASE"); }
  bool table_exists() const {
    return pg_testing::query(db(), "SELECT to_regclass(%s) IS NOT NULL AS e", {table_})[0]["e"].get<bool>();
  }
  // "qd|key|index|text|embedding" of every row, in index order per document.
  std::vector<std::string> contents() const {
    std::vector<std::string> out;
    for (const Record& r : pg_testing::query(db(), "SELECT qd_number, section_key, section_index, enriched_text, "
                                                   "embedding FROM " + table_ + " ORDER BY qd_number, section_index")) {
      out.push_back(r["qd_number"].get<std::string>() + "|" + r["section_key"].get<std::string>() + "|" +
                    std::to_string(r["section_index"].get<int>()) + "|" + r["enriched_text"].get<std::string>() +
                    "|" + r["embedding"].dump());
    }
    return out;
  }

  std::string table_;
  std::unique_ptr<testing_support::ScopedSettings> settings_;
};

}  // namespace

TEST_F(VectorDb, ReplaceCreatesTheTableAndWritesSectionsInOrder) {
  ASSERT_FALSE(table_exists());
  const std::vector<Section> sections = {
      {"SOP::2 Scope", "In document SOP.\n\nScope text", std::vector<double>{0.25, -1.5}},
      {"SOP::1 Purpose", "In document SOP.\n\nPurpose — ÅÄÖ", std::nullopt},
  };
  EXPECT_EQ(vector_db::replace_document_sections("QD-000958", "SOP", "https://veeva.example/958", sections), 2u);
  ASSERT_TRUE(table_exists());
  EXPECT_EQ(contents(), (std::vector<std::string>{"QD-000958|SOP::2 Scope|0|In document SOP.\n\nScope text|[0.25,-1.5]",
                                                  "QD-000958|SOP::1 Purpose|1|In document SOP.\n\nPurpose — ÅÄÖ|null"}));
  const auto rows = vector_db::get_document_sections("qd-000958");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0]["document_name"], "SOP");
  EXPECT_EQ(rows[0]["link"], "https://veeva.example/958");
  const std::string at = rows[0]["indexed_at"];
  EXPECT_EQ(at[10], 'T') << at;
}

TEST_F(VectorDb, ReplacingLeavesNoStaleSectionsAndTouchesNoOtherDocument) {
  vector_db::replace_document_sections("QD-95", "Short", "", {{"S::1 A", "a", {}}});
  vector_db::replace_document_sections("QD-950", "Long", "", {{"L::1 A", "a", {}}, {"L::2 B", "b", {}}});
  vector_db::replace_document_sections("QD-950", "Long", "", {{"L::9 New", "n", {}}});
  EXPECT_EQ(contents(), (std::vector<std::string>{"QD-95|S::1 A|0|a|null", "QD-950|L::9 New|0|n|null"}));
}

TEST_F(VectorDb, DeleteCountsTheDocumentsSectionsIgnoringCase) {
  vector_db::replace_document_sections("QD-000958", "D", "", {{"k1", "a", {}}, {"k2", "b", {}}, {"k3", "c", {}}});
  vector_db::replace_document_sections("QD-0009580", "E", "", {{"k1", "a", {}}});
  EXPECT_EQ(vector_db::delete_document_sections("qd-000958"), 3u);
  EXPECT_EQ(vector_db::delete_document_sections("QD-000958"), 0u);
  EXPECT_EQ(contents(), (std::vector<std::string>{"QD-0009580|k1|0|a|null"}));
}

TEST_F(VectorDb, DeleteOnAMissingTableCreatesItAndFindsNothing) {
  EXPECT_EQ(vector_db::delete_document_sections("QD-1"), 0u);
  EXPECT_TRUE(table_exists());
}

TEST_F(VectorDb, AFailedReplaceKeepsThePreviousSections) {
  vector_db::replace_document_sections("QD-1", "D", "", {{"k1", "old", {}}});
  // The second section cannot be stored: the deletion of the old ones must be undone.
  EXPECT_THROW(vector_db::replace_document_sections("QD-1", "D", "",
                                                    {{"k1", "new", {}}, {"k2", std::string("bad\0text", 8), {}}}),
               shared::ValueError);
  EXPECT_THROW(vector_db::replace_document_sections("QD-1", "D", "", {{"k1", "new", {}}, {"k1", "dup", {}}}),
               shared::DatabaseError);
  EXPECT_EQ(contents(), (std::vector<std::string>{"QD-1|k1|0|old|null"}));
}

TEST_F(VectorDb, BadNamesAndEmptyNumbersAreRefused) {
  EXPECT_THROW(vector_db::replace_document_sections("", "D", "", {}), shared::ValueError);
  EXPECT_THROW(vector_db::delete_document_sections(""), shared::ValueError);
  EXPECT_THROW(vector_db::delete_document_sections("QD-1", table_ + "; DROP TABLE x"), shared::ValueError);
  EXPECT_FALSE(table_exists());
}

TEST_F(VectorDb, ManySectionsInOneReplace) {
  std::vector<Section> many;
  for (int i = 0; i < 1203; ++i) many.push_back({"k" + std::to_string(i), "t" + std::to_string(i), {}});
  EXPECT_EQ(vector_db::replace_document_sections("QD-2", "D", "", many), 1203u);
  const auto rows = pg_testing::query(db(), "SELECT count(*) AS n, max(section_index) AS last FROM " + table_);
  EXPECT_EQ(rows[0].dump(), R"({"n":1203,"last":1202})");
}

TEST_F(VectorDb, IndexingStageReplacesTheDocumentsSectionsOnEveryRun) {
  shared::processors::indexer::IndexingStage stage;
  auto enriched = [](std::initializer_list<std::pair<const char*, const char*>> sections) {
    Record e = {{"qd-number", "QD-000958"}, {"doc_name", "SOP"}, {"link", "https://veeva.example/958"}};
    e["enriched"] = Record::object();
    for (const auto& [k, v] : sections) e["enriched"][k] = v;
    return e;
  };
  const Record doc = {{"id", "1"}, {"document_number", "QD-000958"}};
  Record first = {{"enriched_json", enriched({{"SOP::1 A", "a"}, {"SOP::2 B", "b"}, {"SOP::3 C", "c"}})}};
  ASSERT_TRUE(stage.run(doc, first).success);
  Record second = {{"enriched_json", enriched({{"SOP::1 A", "a2"}, {"SOP::4 D", "d"}})}};
  ASSERT_TRUE(stage.run(doc, second).success);
  EXPECT_EQ(contents(), (std::vector<std::string>{"QD-000958|SOP::1 A|0|a2|null", "QD-000958|SOP::4 D|1|d|null"}));
}
