// The audit trail against the storage emulator and the test cluster: what
// a run records (checked against digests computed outside the pipeline),
// the check of the stores against the trail, the verified deletion and its
// receipt, and a trail that refuses every change.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <set>

#include "connectors/pg_testing.hpp"
#include "host/host_world.hpp"
#include "shared/connectors/blobhub.hpp"
#include "shared/connectors/mainstore.hpp"
#include "shared/errors.hpp"
#include "shared/connectors/vector_db.hpp"
#include "shared/host/audit_trail.hpp"
#include "shared/host/deletion.hpp"
#include "shared/host/runner.hpp"
#include "shared/host/task.hpp"
#include "shared/net/http.hpp"
#include "support/testing.hpp"

using namespace shared::host::runner;
using namespace shared::host::task;
using shared::host::deletion::Deletion;
using shared::host::deletion::delete_document;
namespace audit_trail = shared::host::audit_trail;
using host_world::kExamples;
using host_world::World;
using shared::Record;
namespace blobhub = shared::connectors::blobhub;
namespace mainstore = shared::connectors::mainstore;
namespace vector_db = shared::connectors::vector_db;

namespace {

// SHA-256 by the system's sha256sum, not by the pipeline's own code.
std::string sha256sum(const std::string& bytes) {
  testing_support::TempDir dir;
  testing_support::write_bytes(dir.path() / "blob", bytes);
  std::string out;
  EXPECT_EQ(testing_support::run_command("sha256sum '" + (dir.path() / "blob").string() + "'", &out), 0);
  return out.substr(0, 64);
}

testing_support::ProgramRun kesto(const World& w, const std::string& args) {
  testing_support::TempDir cwd;
  return testing_support::kesto(cwd.path(), w.program_env(), args, false);
}

std::vector<std::string> actions(const std::vector<Record>& history) {
  std::vector<std::string> out;
  for (const Record& e : history) out.push_back(e.at("action").get<std::string>());
  return out;
}

// Refuses the deletion of one blob, as a lease or a lock on it would.
class RefuseDelete : public shared::net::Transport {
 public:
  RefuseDelete(std::shared_ptr<shared::net::Transport> inner, std::string path_part)
      : inner_(std::move(inner)), part_(std::move(path_part)) {}
  shared::net::Response send(const shared::net::Request& r) override {
    if (r.method == "DELETE" && r.url.find(part_) != std::string::npos) {
      shared::net::Response resp;
      resp.status = 412;
      resp.headers = {{"x-ms-error-code", "LeaseIdMissing"}};
      resp.body = "<?xml version=\"1.0\"?><Error><Code>LeaseIdMissing</Code><Message>lease</Message></Error>";
      return resp;
    }
    return inner_->send(r);
  }

 private:
  std::shared_ptr<shared::net::Transport> inner_;
  std::string part_;
};

}  // namespace

TEST(AuditTrail, RunRecordsEveryArtefactAndVerifyFindsWhatChangedBehindItsBack) {
  if (!pg_testing::have_cluster()) return;
  World w;
  w.add_examples();
  for (const auto& [qd, o] : w.run()) ASSERT_EQ(o.status, Status::Processed) << qd << ": " << o.error;

  const auto& [name, qd] = kExamples[0];
  const std::vector<Record> history = audit_trail::history(qd);
  ASSERT_EQ(actions(history), (std::vector<std::string>{"ingested", "artefact_written", "artefact_written",
                                                         "artefact_written", "artefact_written", "indexed"}));
  // One row per artefact, each with what the storage holds now.
  std::set<std::string> paths;
  for (const Record& e : history) {
    EXPECT_EQ(e.at("document_number"), qd);
    EXPECT_FALSE(e.at("pipeline_version").get<std::string>().empty());
    EXPECT_FALSE(e.at("source_etag").get<std::string>().empty());  // the source revision
    if (e.at("action") == "indexed") {
      EXPECT_EQ(e.at("index_rows").get<long long>(),
                static_cast<long long>(vector_db::get_document_sections(qd).size()));
      continue;
    }
    const std::string path = e.at("blob_path").get<std::string>();
    paths.insert(path);
    const std::string bytes = blobhub::download_blob(path);
    EXPECT_EQ(e.at("sha256").get<std::string>(), sha256sum(bytes)) << path;
    EXPECT_EQ(e.at("size_bytes").get<long long>(), static_cast<long long>(bytes.size())) << path;
    EXPECT_EQ(e.at("etag").get<std::string>(), blobhub::get_blob_properties(path).etag) << path;
  }
  const auto artefacts = w.artefacts(name);
  EXPECT_EQ(paths, std::set<std::string>(artefacts.begin(), artefacts.end()));

  // The listing, as text and as JSON lines.
  const auto listed = kesto(w, "audit " + qd);
  EXPECT_EQ(listed.status, 0) << listed.err;
  EXPECT_NE(listed.out.find("artefact_written  '" + artefacts[1] + "'"), std::string::npos) << listed.out;
  const auto as_json = kesto(w, "audit --json " + qd);
  ASSERT_EQ(as_json.status, 0) << as_json.err;
  EXPECT_EQ(std::count(as_json.out.begin(), as_json.out.end(), '\n'), 6);
  EXPECT_EQ(kesto(w, "audit QD-999999").status, 1);
  EXPECT_EQ(kesto(w, "audit 'QD-'").status, 2);

  const auto clean = kesto(w, "audit --verify " + qd);
  EXPECT_EQ(clean.status, 0) << clean.out << clean.err;

  // Behind the pipeline's back: one artefact changed, one removed, one
  // blob of the document added.
  blobhub::upload_blob(artefacts[1], "# forged\n");
  blobhub::delete_blob(artefacts[4]);
  const std::string stray = blobhub::build_blob_path(w.settings.BLOB_FOLDER_SUMMARY, qd + " notes.md");
  blobhub::upload_blob(stray, "notes");
  const auto found = kesto(w, "audit --verify --json " + qd);
  EXPECT_EQ(found.status, 1);
  const Record report = Record::parse(found.out);
  EXPECT_EQ(report.at("missing"), Record::array({artefacts[4]}));
  ASSERT_EQ(report.at("changed").size(), 1u);
  EXPECT_EQ(report.at("changed")[0].at("blob_path"), artefacts[1]);
  EXPECT_EQ(report.at("changed")[0].at("found").at("sha256"), sha256sum("# forged\n"));
  EXPECT_EQ(report.at("not_in_trail"), Record::array({stray}));
  EXPECT_EQ(report.at("matching"), 3);
  // The other documents are untouched by it.
  EXPECT_EQ(kesto(w, "audit --verify " + kExamples[1].second).status, 0);
}

TEST(AuditTrail, DeletionIsVerifiedAndTheReceiptNamesTheRecordedDigests) {
  if (!pg_testing::have_cluster()) return;
  World w;
  w.add_examples();
  for (const auto& [qd, o] : w.run()) ASSERT_EQ(o.status, Status::Processed) << qd << ": " << o.error;
  const auto& [name, qd] = kExamples[1];
  std::map<std::string, std::string> recorded;
  for (const Record& e : audit_trail::history(qd)) {
    if (e.at("blob_path").is_string()) recorded[e.at("blob_path")] = e.at("sha256");
  }

  const auto run = kesto(w, "delete --receipt " + qd);
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  const Record receipt = Record::parse(run.out);
  EXPECT_EQ(receipt.at("complete"), true);
  EXPECT_EQ(receipt.at("verification").at("verified"), true);
  EXPECT_EQ(receipt.at("verification").at("index_sections"), 0);
  EXPECT_EQ(receipt.at("metadata_row_removed"), true);
  EXPECT_GT(receipt.at("index_sections_removed").get<long long>(), 0);
  ASSERT_EQ(receipt.at("removed").size(), 5u);
  for (const Record& item : receipt.at("removed")) {
    EXPECT_EQ(item.at("sha256"), recorded.at(item.at("blob_path").get<std::string>())) << item;
  }
  const std::vector<Record> history = audit_trail::history(qd);
  ASSERT_GE(history.size(), 6u);
  EXPECT_EQ(history.back().at("action"), "deletion_verified");
  const auto done = actions(history);
  EXPECT_EQ(std::count(done.begin(), done.end(), "deleted"), 5);
  // The trail outlives the document, and says nothing of it exists now.
  const auto verify = kesto(w, "audit --verify --json " + qd);
  EXPECT_EQ(verify.status, 0) << verify.out;
  EXPECT_EQ(Record::parse(verify.out).at("checked"), 0);

  // A blob that cannot be deleted: the deletion fails, the verification
  // finds it, and the receipt and the trail say so.
  const auto& [name2, qd2] = kExamples[2];
  const std::string kept = w.artefacts(name2)[3];
  blobhub::_reset_clients();
  blobhub::_set_client_options(
      {.transport = std::make_shared<RefuseDelete>(shared::net::make_curl_transport(), ".enriched.json")});
  testing_support::RecordedSleeps sleeps;
  const Deletion d = delete_document(Record{{"document_number", qd2}});
  blobhub::_reset_clients();
  blobhub::_set_client_options({});
  EXPECT_FALSE(d.result.success);
  EXPECT_EQ(d.receipt.at("complete"), false);
  EXPECT_EQ(d.receipt.at("verification").at("remaining_blobs"), Record::array({kept}));
  EXPECT_EQ(d.receipt.at("removed").size(), 4u);
  const auto problems = d.problems();
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(problems[0], "still there: blob '" + kept + "' is still there");
  const std::vector<Record> after = audit_trail::history(qd2);
  EXPECT_EQ(after.back().at("action"), "failed");
  EXPECT_EQ(after.back().at("detail").at("receipt").at("verification").at("remaining_blobs"),
            Record::array({kept}));
  EXPECT_TRUE(blobhub::check_blob_exists(kept));
}

TEST(AuditTrail, TheTrailRefusesEveryChangeAndAnUnwritableTrailIsAnError) {
  if (!pg_testing::have_cluster()) return;
  World w;
  w.add_examples();
  auto first = w.run();
  for (const auto& [qd, o] : first) ASSERT_EQ(o.status, Status::Processed) << qd << ": " << o.error;
  // A second run (forced) and a deletion only add rows: a statement that
  // changed one would have been refused and failed the run.
  for (const auto& [qd, o] : w.run({.force = true})) EXPECT_EQ(o.status, Status::Processed) << qd << ": " << o.error;
  w.set_status(kExamples[0].second, "DELETED");
  for (const auto& [qd, o] : w.run()) {
    if (qd == kExamples[0].second) {
      EXPECT_EQ(o.status, Status::Deleted) << o.error;
    }
  }
  const std::string db = testing_support::env("PGDATABASE");
  const auto count = [&] { return pg_testing::query(db, "SELECT count(*) AS n FROM " + w.audit)[0].at("n"); };
  const Record rows = count();
  EXPECT_EQ(rows, 3 * 6 + 3 * 6 + 5 + 1);
  for (const std::string& sql : {"UPDATE " + w.audit + " SET action = 'failed'", "DELETE FROM " + w.audit,
                                "TRUNCATE " + w.audit}) {
    EXPECT_THROW(pg_testing::exec(db, sql), shared::DatabaseError) << sql;
  }
  EXPECT_EQ(count(), rows);

  // A trail that cannot be written: the document is an error, and its row
  // says why, so the next run does it again.
  World broken;
  pg_testing::exec(db, "CREATE TABLE " + broken.audit + " (id integer)");
  broken.add_source("SOP QD-004100 Audit.docx", "QD-004100",
                    testing_support::read_bytes(testing_support::source_dir() / "examples" /
                                                kExamples[0].first));
  const auto outcomes = broken.run();
  const Outcome& o = outcomes.at("QD-004100");
  EXPECT_EQ(o.status, Status::Error);
  EXPECT_NE(o.error.find("audit trail not written"), std::string::npos) << o.error;
  const auto row = mainstore::get_by_document_number("QD-004100", broken.meta.name());
  ASSERT_TRUE(row);
  EXPECT_EQ(row->at("status"), "ERROR");
  EXPECT_TRUE(row->at("source_etag").is_null());
}
