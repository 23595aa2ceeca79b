// The host program end to end: registry and source account in, every
// artefact, metadata row and index row out, then deletion; against the
// storage emulator and the test cluster, with the outline summary engine.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <map>

#include "connectors/emulator.hpp"
#include "connectors/pg_testing.hpp"
#include "shared/errors.hpp"
#include "shared/connectors/blobhub.hpp"
#include "shared/connectors/mainstore.hpp"
#include "shared/connectors/tolvanstore.hpp"
#include "shared/connectors/vector_db.hpp"
#include "shared/host/audit_trail.hpp"
#include "shared/host/runner.hpp"
#include "shared/host/task.hpp"
#include "shared/text/json_load.hpp"
#include "host/host_world.hpp"
#include "support/testing.hpp"

using namespace shared::host::runner;
using namespace shared::host::task;
namespace audit_trail = shared::host::audit_trail;
using host_world::kExamples;
using host_world::World;
using shared::Record;
namespace blobhub = shared::connectors::blobhub;
namespace mainstore = shared::connectors::mainstore;
namespace vector_db = shared::connectors::vector_db;

TEST(HostRunner, PendingRunSkipRerunAndDeletion) {
  if (!pg_testing::have_cluster()) return;
  World w;
  w.add_examples();
  testing_support::LogCapture cap(shared::logsetup::Level::info);

  auto first = w.run();
  ASSERT_EQ(first.size(), 3u);
  for (const auto& [name, qd] : kExamples) {
    const Outcome& o = first.at(qd);
    EXPECT_EQ(o.status, Status::Processed) << qd << ": " << o.error;
    EXPECT_EQ(o.name, name);
    EXPECT_EQ(o.result.at("file_name"), name);
    EXPECT_TRUE(o.result.contains("summary"));
    for (const auto& p : w.artefacts(name)) EXPECT_TRUE(blobhub::check_blob_exists(p)) << p;

    const auto row = mainstore::get_by_document_number(qd, w.meta.name());
    ASSERT_TRUE(row);
    EXPECT_EQ(row->at("status"), "PROCESSED");
    EXPECT_EQ(row->at("blob_filename"), name);
    EXPECT_EQ(row->at("document_name"), "Title of " + qd);
    EXPECT_FALSE(row->at("source_etag").get<std::string>().empty());
    EXPECT_GT(row->at("duration_s").get<double>(), 0.0);
    const std::size_t n = vector_db::get_document_sections(qd).size();
    EXPECT_GT(n, 3u);
    // jsonb keeps its own key order: compare the members.
    const Record& counts = row->at("index_counts");
    EXPECT_EQ(counts.size(), 4u);
    EXPECT_EQ(counts.value("sections", -1), static_cast<long>(n));
    EXPECT_EQ(counts.value("kept", -1), 0);
    EXPECT_EQ(counts.value("embedded", -1), 0);
    EXPECT_EQ(counts.value("removed", -1), 0);
  }

  // The artefacts chain together: the stamp carries the registry's metadata,
  // the sections and enriched documents name the document.
  const std::string name = kExamples[0].first;
  const std::string md = blobhub::download_blob_text(w.artefacts(name)[1]);
  EXPECT_NE(md.find("QD-000958"), std::string::npos);
  EXPECT_NE(md.find("https://dms.example/QD-000958"), std::string::npos);
  EXPECT_NE(md.find("# 1 Purpose"), std::string::npos);
  const Record sections = shared::text::loads(blobhub::download_blob_text(w.artefacts(name)[2]));
  EXPECT_EQ(sections.at("qd"), "QD-000958");
  EXPECT_EQ(sections.at("link"), "https://dms.example/QD-000958");
  const Record enriched = shared::text::loads(blobhub::download_blob_text(w.artefacts(name)[3]));
  EXPECT_EQ(enriched.at("enriched").size(), vector_db::get_document_sections("QD-000958").size());
  const std::string summary = blobhub::download_blob_text(w.artefacts(name)[4]);
  EXPECT_NE(summary.find("# 1 Purpose"), std::string::npos);

  // Unchanged sources are skipped; --force runs them again.
  auto second = w.run();
  for (const auto& [qd, o] : second) EXPECT_EQ(o.status, Status::Skipped) << qd;
  auto forced = w.run(Options{.force = true});
  for (const auto& [qd, o] : forced) {
    EXPECT_EQ(o.status, Status::Processed) << qd;
    // Nothing changed: every section is kept as it was.
    const auto row = mainstore::get_by_document_number(qd, w.meta.name());
    ASSERT_TRUE(row);
    EXPECT_EQ(row->at("index_counts").at("kept"), row->at("index_counts").at("sections")) << qd;
  }

  // A deleted document disappears everywhere; the others stay.
  w.set_status("QD-001204", "DELETED");
  auto third = w.run();
  EXPECT_EQ(third.at("QD-001204").status, Status::Deleted) << third.at("QD-001204").error;
  EXPECT_EQ(third.at("QD-001204").result.at("deleted_artifacts").size(), 5u);
  EXPECT_EQ(third.at("QD-000958").status, Status::Skipped);
  for (const auto& p : w.artefacts(kExamples[1].first)) EXPECT_FALSE(blobhub::check_blob_exists(p)) << p;
  EXPECT_FALSE(mainstore::get_by_document_number("QD-001204", w.meta.name()));
  EXPECT_TRUE(vector_db::get_document_sections("QD-001204").empty());
  for (const auto& p : w.artefacts(kExamples[0].first)) EXPECT_TRUE(blobhub::check_blob_exists(p)) << p;

  // The registry keeps reporting it DELETED: nothing left to do.
  auto fourth = w.run();
  EXPECT_EQ(fourth.at("QD-001204").status, Status::Skipped);
}

TEST(HostRunner, CorruptDocumentFailsAloneAndDatabaseDownIsReported) {
  if (!pg_testing::have_cluster()) return;
  World w;
  w.add_examples();
  w.add_source("SOP QD-000999 Broken.docx", "QD-000999", "PK\x03\x04 this is not a zip archive");
  testing_support::LogCapture cap;
  testing_support::RecordedSleeps sleeps;
  auto outcomes = w.run();
  ASSERT_EQ(outcomes.size(), 4u);
  EXPECT_EQ(outcomes.at("QD-000999").status, Status::Error);
  EXPECT_FALSE(outcomes.at("QD-000999").error.empty());
  const auto row = mainstore::get_by_document_number("QD-000999", w.meta.name());
  ASSERT_TRUE(row);
  EXPECT_EQ(row->at("status"), "ERROR");
  EXPECT_TRUE(row->at("source_etag").is_null());  // tried again next time
  for (const auto& [name, qd] : kExamples) EXPECT_EQ(outcomes.at(qd).status, Status::Processed) << qd;

  auto s = w.settings;
  s.PGPORT = "1";
  testing_support::ScopedSettings down(s);
  auto again = w.run(Options{.force = true});
  for (const auto& [qd, o] : again) {
    EXPECT_EQ(o.status, Status::Error) << qd;
    EXPECT_FALSE(o.error.empty());
  }
}

namespace {
// Lets requests through until told to fail, then answers none.
class Switchable : public shared::net::Transport {
 public:
  explicit Switchable(std::shared_ptr<shared::net::Transport> inner) : inner_(std::move(inner)) {}
  shared::net::Response send(const shared::net::Request& r) override {
    if (down_) throw shared::TransportError("connection refused (storage stopped)");
    auto resp = inner_->send(r);
    // The storage goes away right after the first Markdown upload.
    if (r.method == "PUT" && r.url.find(".md") != std::string::npos && r.url.find("markdown") != std::string::npos) {
      down_ = true;
    }
    return resp;
  }
  std::atomic<bool> down_{false};

 private:
  std::shared_ptr<shared::net::Transport> inner_;
};
}  // namespace

TEST(HostRunner, StorageStoppedMidRunThenRecovered) {
  if (!pg_testing::have_cluster()) return;
  World w;
  w.add_examples();
  auto transport = std::make_shared<Switchable>(shared::net::make_curl_transport());
  blobhub::_reset_clients();
  blobhub::_set_client_options({.transport = transport});
  testing_support::RecordedSleeps sleeps;
  testing_support::LogCapture cap;
  auto outcomes = w.run();
  ASSERT_EQ(outcomes.size(), 3u);
  for (const auto& [qd, o] : outcomes) {
    EXPECT_EQ(o.status, Status::Error) << qd;
    EXPECT_NE(o.error.find("storage stopped"), std::string::npos) << qd << ": " << o.error;
  }
  EXPECT_FALSE(sleeps.waits().empty());  // the storage layer retried first
  // The database is up: every document of the run has a row saying why.
  for (const auto& [name, qd] : kExamples) {
    const auto row = mainstore::get_by_document_number(qd, w.meta.name());
    ASSERT_TRUE(row) << qd;
    EXPECT_EQ(row->at("status"), "ERROR") << qd;
    EXPECT_NE(row->at("error").get<std::string>().find("storage stopped"), std::string::npos) << qd;
  }

  // Storage back: the next run processes everything; nothing stale remains.
  transport->down_ = false;
  blobhub::_reset_clients();
  blobhub::_set_client_options({});
  auto recovered = w.run();
  for (const auto& [qd, o] : recovered) EXPECT_EQ(o.status, Status::Processed) << qd << ": " << o.error;
}

TEST(HostRunner, LocalFilesWithMetadataAndWithout) {
  if (!pg_testing::have_cluster()) return;
  World w;
  testing_support::TempDir dir;
  const auto src = testing_support::source_dir() / "examples";
  const std::string by_name = "QD-123456 Plain Name.docx";
  std::filesystem::copy_file(src / kExamples[0].first, dir / kExamples[0].first);
  std::filesystem::copy_file(src / kExamples[1].first, dir / by_name);
  std::filesystem::copy_file(src / kExamples[1].first, dir / "Plain Name.docx");
  const std::string metadata = (src / "metadata.csv").string();

  // Without a row and without a QD-number in its name a file could be neither
  // indexed nor deleted: refused before anything is uploaded.
  try {
    local_tasks({(dir / kExamples[0].first).string(), (dir / "Plain Name.docx").string()}, metadata, 500);
    ADD_FAILURE() << "a file without a QD-number was accepted";
  } catch (const shared::ValueError& e) {
    EXPECT_NE(std::string(e.what()).find("'Plain Name.docx' has no QD-number"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(blobhub::check_blob_exists(w.artefacts("Plain Name.docx")[0]));

  testing_support::LogCapture cap;
  const auto tasks = local_tasks({(dir / kExamples[0].first).string(), (dir / by_name).string()}, metadata, 500);
  ASSERT_EQ(tasks.size(), 2u);
  EXPECT_EQ(tasks[0].doc.at("document_number"), "QD-000958");
  EXPECT_EQ(tasks[0].doc.at("document_name"), "Cleaning Validation of Manufacturing Equipment");
  EXPECT_EQ(tasks[1].doc, record_from_file_name(by_name));
  EXPECT_EQ(tasks[1].doc.at("document_number"), "QD-123456");
  EXPECT_EQ(tasks[0].batch_size, 2);
  std::vector<Outcome> outcomes;
  run_all(tasks, {}, 1, {}, [&](const Outcome& o) { outcomes.push_back(o); });
  ASSERT_EQ(outcomes.size(), 2u);
  for (const auto& o : outcomes) EXPECT_EQ(o.status, Status::Processed) << o.name << ": " << o.error;
  EXPECT_TRUE(blobhub::check_blob_exists(w.artefacts(by_name)[4]));
  EXPECT_TRUE(mainstore::get_by_document_number("QD-000958", w.meta.name()));
  EXPECT_FALSE(vector_db::get_document_sections("QD-123456").empty());
}

TEST(HostRunner, KestoProcessWithTwoWorkerProcesses) {
  if (!pg_testing::have_cluster()) return;
  World w;
  w.add_examples();
  // The program reads its settings from the environment.
  const std::string kesto = "env " + w.program_env() + "'" + (testing_support::binary_dir() / "kesto").string() + "'";
  std::string out;
  int rc = testing_support::run_command(kesto + " process --pending --jobs 2 --json --log-level error 2>/dev/null", &out);
  EXPECT_EQ(rc, 0) << out;
  std::vector<Record> results;
  for (std::size_t pos = 0, eol; (eol = out.find('\n', pos)) != std::string::npos; pos = eol + 1) {
    results.push_back(Record::parse(out.substr(pos, eol - pos)));
  }
  ASSERT_EQ(results.size(), 3u) << out;
  for (const Record& r : results) EXPECT_EQ(r.at("status"), "PROCESSED") << r.dump();

  // Missing settings: exit 2 before any work, naming the variable.
  out.clear();
  rc = testing_support::run_command(
      "cd /tmp && env " + w.program_env() + "env -u STORAGE_ACCOUNT_CONNECTION_STRING '" +
          (testing_support::binary_dir() / "kesto").string() + "' process --pending 2>&1",
      &out);
  EXPECT_EQ(rc, 2);
  EXPECT_NE(out.find("STORAGE_ACCOUNT_CONNECTION_STRING"), std::string::npos) << out;
}
