// The deletion stage against the storage emulator and the test cluster.
#include <gtest/gtest.h>

#include "connectors/emulator.hpp"
#include "connectors/pg_testing.hpp"
#include "shared/connectors/blobhub.hpp"
#include "shared/connectors/mainstore.hpp"
#include "shared/connectors/vector_db.hpp"
#include "shared/processors/deleter.hpp"
#include "support/testing.hpp"

using namespace shared::processors::deleter;
using shared::Record;
namespace blobhub = shared::connectors::blobhub;
namespace vector_db = shared::connectors::vector_db;

namespace {

struct Fixture {
  std::string container = emulator::unique_container("del");
  pg_testing::MetadataTable meta;
  std::string index = pg_testing::unique_name("idx");
  std::string audit = pg_testing::unique_name("audit");
  shared::config::Settings settings;
  std::unique_ptr<testing_support::ScopedSettings> scoped;

  Fixture() {
    settings = shared::config::from_environment();
    settings.STORAGE_CONNECTION_STRING = emulator::output_connection();
    settings.STORAGE_CONTAINER_NAME = container;
    settings.PGTABLE = meta.name();
    settings.VECTOR_TABLE = index;
    settings.AUDIT_TABLE = audit;
    scoped = std::make_unique<testing_support::ScopedSettings>(settings);
    blobhub::create_container(container);
  }
  ~Fixture() {
    try {
      pg_testing::exec(testing_support::env("PGDATABASE"), "DROP TABLE IF EXISTS " + index + ", " + index + "_generation, " + index + "_terms");
    } catch (const std::exception&) {
    }
  }
  std::vector<std::string> all_folders() const { return DeletionStage::_ALL_ARTIFACT_FOLDERS(); }

  // Every artefact of one document, as the pipeline names them.
  std::vector<std::string> put_document(const std::string& stem) {
    const auto& s = settings;
    std::vector<std::string> paths = {
        blobhub::build_blob_path(s.BLOB_FOLDER_DOCUMENTS, stem + ".docx"),
        blobhub::build_blob_path(s.BLOB_FOLDER_MARKDOWN, stem + ".md"),
        blobhub::build_blob_path(s.BLOB_FOLDER_JSON, stem + ".sections.json"),
        blobhub::build_blob_path(s.BLOB_FOLDER_ENRICHED_JSON, stem + ".enriched.json"),
        blobhub::build_blob_path(s.BLOB_FOLDER_SUMMARY, stem + ".summary.md")};
    for (const auto& p : paths) blobhub::upload_blob(p, "content of " + p);
    return paths;
  }
  void put_row_and_sections(const std::string& qd) {
    shared::connectors::mainstore::insert_row(meta.name(), Record{{"document_number", qd}, {"document_name", "T"}});
    vector_db::replace_document_sections(qd, "Doc", "link", {{"Doc::1 Purpose", "text", std::nullopt}});
  }
};

}  // namespace

TEST(DeletionStageIntegration, RemovesEveryArtefactAndLeavesNeighboursAlone) {
  if (!pg_testing::have_cluster()) return;
  Fixture f;
  testing_support::RecordedSleeps sleeps;
  const auto mine = f.put_document("SOP QD-000958 rev B");
  const auto neighbour = f.put_document("SOP QD-0009580 rev A");
  f.put_row_and_sections("QD-000958");
  f.put_row_and_sections("QD-0009580");

  testing_support::LogCapture cap(shared::logsetup::Level::info);
  DeletionStage stage;
  Record context = Record::object();
  const auto r = stage.run(Record{{"id", "1"}, {"document_number", " QD-000958 "}}, context);
  ASSERT_TRUE(r.success) << r.error.value_or("");
  const Record expected = {{"qd_number", "QD-000958"}, {"deleted_artifacts", mine}, {"warnings", Record::array()},
                           {"errors", Record::array()}};
  EXPECT_EQ(*r.data, expected);

  for (const auto& p : mine) EXPECT_FALSE(blobhub::check_blob_exists(p)) << p;
  for (const auto& p : neighbour) EXPECT_TRUE(blobhub::check_blob_exists(p)) << p;
  EXPECT_TRUE(vector_db::get_document_sections("QD-000958").empty());
  EXPECT_EQ(vector_db::get_document_sections("QD-0009580").size(), 1u);
  EXPECT_FALSE(shared::connectors::mainstore::get_by_document_number("QD-000958", f.meta.name()));
  EXPECT_TRUE(shared::connectors::mainstore::get_by_document_number("QD-0009580", f.meta.name()));

  const auto msgs = pg_testing::messages(cap);
  EXPECT_EQ(msgs.front(), "Starting deletion for QD-number='QD-000958'");
  EXPECT_EQ(std::count(msgs.begin(), msgs.end(), "Deleted blob: " + mine[2]), 1);
  EXPECT_NE(std::find(msgs.begin(), msgs.end(), "Removed 1 section(s) from vector DB for 'QD-000958'"), msgs.end());
  EXPECT_NE(std::find(msgs.begin(), msgs.end(), "Removed sop_metadata row for document_number='QD-000958'"),
            msgs.end());
  EXPECT_EQ(msgs.back(), "Deletion complete \u2014 5 artifact(s) removed, 0 warning(s).");
  EXPECT_NE(cap.lines().back().find(R"("stage": "DELETION", "document_id": "1")"), std::string::npos);
}

TEST(DeletionStageIntegration, NeverProcessedDocumentGivesWarningsOnly) {
  if (!pg_testing::have_cluster()) return;
  Fixture f;
  testing_support::LogCapture cap(shared::logsetup::Level::info);
  DeletionStage stage;
  Record context = Record::object();
  const auto r = stage.run(Record{{"blob_filename", "Procedure qd-000123 rev B.docx"}}, context);
  ASSERT_TRUE(r.success);
  const auto& w = r.data->at("warnings");
  ASSERT_EQ(w.size(), 6u);
  const auto folders = f.all_folders();
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(w[i], "No blobs matching 'qd-000123' found in '" + folders[i] + "' (skipped)");
  }
  EXPECT_EQ(w[5], "No sop_metadata row found for document_number='qd-000123' (may never have been processed)");
  EXPECT_EQ(pg_testing::messages(cap).back(), "Deletion complete \u2014 0 artifact(s) removed, 6 warning(s).");
}

TEST(DeletionStageIntegration, DatabaseDownRemovesNothingItCannotClear) {
  if (!pg_testing::have_cluster()) return;
  Fixture f;
  const auto mine = f.put_document("QD-000777");
  auto s = f.settings;
  s.PGPORT = "1";  // nothing listens there
  testing_support::ScopedSettings down(s);
  DeletionStage stage;
  Record context = Record::object();
  testing_support::LogCapture cap;
  // Whether another document claims a blob named after this one cannot be
  // told without the database: none is removed, and the result says why.
  const auto r = stage.run(Record{{"document_number", "QD-000777"}}, context);
  EXPECT_FALSE(r.success);
  EXPECT_EQ(r.data->at("deleted_artifacts"), Record::array());
  ASSERT_EQ(r.data->at("errors").size(), 1u);
  EXPECT_EQ(r.error->rfind("Could not check which blobs belong to other documents: ", 0), 0u) << *r.error;
  const auto& w = r.data->at("warnings");
  ASSERT_EQ(w.size(), 2u);
  EXPECT_EQ(w[0].get<std::string>().rfind("Vector DB delete failed (non-fatal): ", 0), 0u) << w[0];
  EXPECT_EQ(w[1].get<std::string>().rfind("sop_metadata delete failed (non-fatal): ", 0), 0u) << w[1];
  for (const auto& p : mine) EXPECT_TRUE(blobhub::check_blob_exists(p)) << p;
}

namespace {
// Fails every DELETE of a blob whose URL contains `marker`.
class FailingDeletes : public shared::net::Transport {
 public:
  FailingDeletes(std::shared_ptr<shared::net::Transport> inner, std::string marker)
      : inner_(std::move(inner)), marker_(std::move(marker)) {}
  shared::net::Response send(const shared::net::Request& r) override {
    if (r.method == "DELETE" && r.url.find(marker_) != std::string::npos) {
      return shared::net::Response{500, {{"x-ms-error-code", "InternalError"}}, ""};
    }
    return inner_->send(r);
  }

 private:
  std::shared_ptr<shared::net::Transport> inner_;
  std::string marker_;
};
}  // namespace

TEST(DeletionStageIntegration, OneFailingBlobAmongSeveral) {
  if (!pg_testing::have_cluster()) return;
  Fixture f;
  const auto mine = f.put_document("QD-000555");
  f.put_row_and_sections("QD-000555");
  // Later tests get plain clients again, whatever happens here.
  struct Restore {
    ~Restore() {
      blobhub::_set_client_options({});
      blobhub::_reset_clients();
    }
  } restore;
  blobhub::_reset_clients();
  blobhub::_set_client_options({.transport = std::make_shared<FailingDeletes>(shared::net::make_curl_transport(),
                                                                               "QD-000555.sections.json")});
  testing_support::RecordedSleeps sleeps;
  testing_support::LogCapture cap(shared::logsetup::Level::info);
  DeletionStage stage;
  Record context = Record::object();
  const auto r = stage.run(Record{{"document_number", "QD-000555"}}, context);
  EXPECT_FALSE(r.success);
  EXPECT_EQ(r.data->at("deleted_artifacts").size(), 4u);
  ASSERT_EQ(r.data->at("errors").size(), 1u);
  EXPECT_EQ(r.error, r.data->at("errors")[0].get<std::string>());
  EXPECT_EQ(r.error->rfind("Failed to delete '" + mine[2] + "': ", 0), 0u) << *r.error;
  EXPECT_EQ(pg_testing::messages(cap).back(), "Deletion completed with errors: " + *r.error);
  EXPECT_TRUE(blobhub::check_blob_exists(mine[2]));
  // The index and the row are cleaned all the same.
  EXPECT_TRUE(vector_db::get_document_sections("QD-000555").empty());
  EXPECT_FALSE(shared::connectors::mainstore::get_by_document_number("QD-000555", f.meta.name()));
}

TEST(DeletionStageIntegration, DryRunRemovesNothing) {
  if (!pg_testing::have_cluster()) return;
  Fixture f;
  const auto mine = f.put_document("QD-000321");
  f.put_row_and_sections("QD-000321");
  const Record plan = plan_deletion("QD-000321");
  EXPECT_EQ(plan.at("blobs"), Record(mine));
  EXPECT_EQ(plan.at("index_sections"), 1);
  EXPECT_EQ(plan.at("metadata_row").at("document_number"), "QD-000321");
  for (const auto& p : mine) EXPECT_TRUE(blobhub::check_blob_exists(p));
  EXPECT_EQ(vector_db::get_document_sections("QD-000321").size(), 1u);
}
