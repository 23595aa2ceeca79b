// What a deletion may trust and what it leaves for the next run: a refused
// document changes no row, a deletion never takes another document's
// artefacts (by a row, a message or the audit trail), never works without
// the document's lock, and one that did not complete is finished by a later
// run. Against the storage emulator and the test cluster.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <thread>

#include "connectors/pg_testing.hpp"
#include "host/host_world.hpp"
#include "shared/connectors/blobhub.hpp"
#include "shared/connectors/mainstore.hpp"
#include "shared/connectors/vector_db.hpp"
#include "shared/errors.hpp"
#include "shared/host/admission.hpp"
#include "shared/host/audit_trail.hpp"
#include "shared/host/deletion.hpp"
#include "shared/host/metadata_row.hpp"
#include "shared/host/runner.hpp"
#include "shared/host/task.hpp"
#include "shared/net/http.hpp"
#include "support/testing.hpp"

using namespace shared::host::runner;
using namespace shared::host::task;
using shared::host::admission::Admission;
using shared::host::admission::admit;
using shared::host::deletion::Deletion;
using shared::host::deletion::delete_document;
namespace audit_trail = shared::host::audit_trail;
namespace metadata_row = shared::host::metadata_row;
using host_world::kExamples;
using host_world::World;
using shared::Record;
namespace blobhub = shared::connectors::blobhub;
namespace mainstore = shared::connectors::mainstore;
namespace vector_db = shared::connectors::vector_db;

namespace {

std::filesystem::path example(std::size_t i) { return testing_support::source_dir() / "examples" / kExamples[i].first; }

// Local files run as `kesto process FILE… --metadata META` runs them.
std::map<std::string, Outcome> run_local(const std::vector<std::string>& files, const std::string& metadata) {
  std::map<std::string, Outcome> out;
  run_all(local_tasks(files, metadata, 500), {}, 1, {}, [&](const Outcome& o) { out[o.name] = o; });
  return out;
}

void process_examples() {
  std::vector<std::string> files;
  for (std::size_t i = 0; i < kExamples.size(); ++i) files.push_back(example(i).string());
  const std::string metadata = (testing_support::source_dir() / "examples" / "metadata.csv").string();
  for (const auto& [name, o] : run_local(files, metadata)) {
    ASSERT_EQ(o.status, Status::Processed) << name << ": " << o.error;
  }
}

std::vector<std::string> existing(const std::vector<std::string>& paths) {
  std::vector<std::string> out;
  for (const auto& p : paths) {
    if (blobhub::check_blob_exists(p)) out.push_back(p);
  }
  return out;
}

testing_support::ProgramRun kesto(const World& w, const std::string& env, const std::string& args) {
  testing_support::TempDir cwd;
  return testing_support::kesto(cwd.path(), w.program_env() + env, args, false);
}

// Storage that answers nothing while `down`, and that answers a DELETE whose
// URL holds `swallow` as done without doing it.
class Storage : public shared::net::Transport {
 public:
  explicit Storage(std::shared_ptr<shared::net::Transport> inner) : inner_(std::move(inner)) {}
  shared::net::Response send(const shared::net::Request& r) override {
    if (down) throw shared::TransportError("connection refused (storage stopped)");
    if (!swallow.empty() && r.method == "DELETE" && r.url.find(swallow) != std::string::npos) {
      return shared::net::Response{202, {}, ""};
    }
    return inner_->send(r);
  }
  std::atomic<bool> down{false};
  std::string swallow;

 private:
  std::shared_ptr<shared::net::Transport> inner_;
};

// Puts `storage` under the blob clients for the life of the guard.
struct StorageSwap {
  explicit StorageSwap(std::shared_ptr<Storage> storage) {
    blobhub::_reset_clients();
    blobhub::_set_client_options({.transport = std::move(storage)});
  }
  ~StorageSwap() {
    blobhub::_reset_clients();
    blobhub::_set_client_options({});
  }
};

}  // namespace

TEST(DeletionTrust, ARefusedDocumentChangesNoRowAndNoMessageOrRowHandsOverAnotherDocumentsArtefacts) {
  if (!pg_testing::have_cluster()) return;
  World w;
  testing_support::LogCapture cap(shared::logsetup::Level::info);
  process_examples();
  const auto theirs = w.artefacts(kExamples[1].first);  // QD-001204's
  const Record row_before = *mainstore::get_by_document_number("QD-000958", w.meta.name());

  // A copy of QD-001204's file under QD-000958's number: refused, and the
  // refusal leaves QD-000958's row as it was (the trail says it failed).
  testing_support::TempDir dir;
  const std::string docm = "SOP QD-001204 Batch Record Review.docm";
  std::filesystem::copy_file(example(1), dir / docm);
  testing_support::write_bytes(dir / "meta.csv", "blob_filename,document_name,document_number,url_document_name\n\"" +
                                                     docm + "\",Impostor,QD-000958,L\n");
  const auto refused = run_local({(dir / docm).string()}, (dir / "meta.csv").string()).at(docm);
  EXPECT_EQ(refused.status, Status::Failed);
  EXPECT_NE(refused.error.find("would overwrite the artefacts of QD-001204"), std::string::npos) << refused.error;
  EXPECT_EQ(*mainstore::get_by_document_number("QD-000958", w.meta.name()), row_before);
  EXPECT_EQ(audit_trail::history("QD-000958").back().at("action"), "failed");

  // The queue's marks set the state of an existing row, never its file.
  const Task impostor{.action = Action::Process,
                      .doc = Record{{"document_number", "QD-000958"}, {"blob_filename", docm},
                                    {"document_name", "Impostor"}, {"url_document_name", "L"}},
                      .local_file = (dir / docm).string()};
  metadata_row::mark(impostor, Status::Queued, "");
  const Record marked = *mainstore::get_by_document_number("QD-000958", w.meta.name());
  EXPECT_EQ(marked.at("status"), "QUEUED");
  for (const char* column : {"blob_filename", "document_name", "url_document_name"}) {
    EXPECT_EQ(marked.at(column), row_before.at(column)) << column;
  }
  // kesto enqueue refuses what the run refuses.
  const Admission verdict = admit(impostor, {});
  EXPECT_EQ(verdict.verdict, Status::Failed);
  EXPECT_EQ(verdict.reason, refused.error);

  // Its deletion takes its own artefacts and none of QD-001204's.
  const Deletion d = delete_document(Record{{"document_number", "QD-000958"}});
  EXPECT_TRUE(d.result.success) << d.result.error.value_or("");
  EXPECT_TRUE(d.problems().empty()) << d.problems()[0];
  EXPECT_TRUE(existing(w.artefacts(kExamples[0].first)).empty());
  EXPECT_EQ(existing(theirs), theirs);

  // A delete message naming another document's file takes nothing of it.
  const Outcome o = run_task(
      Task{.action = Action::Delete, .doc = Record{{"document_number", "QD-002317"}, {"blob_filename", kExamples[1].first}}},
      {});
  EXPECT_EQ(o.status, Status::Deleted) << o.error;
  EXPECT_TRUE(existing(w.artefacts(kExamples[2].first)).empty());
  EXPECT_EQ(existing(theirs), theirs);
  EXPECT_FALSE(pg_testing::messages(cap, "Kept blob '" + theirs[0] + "'").empty());
  EXPECT_EQ(mainstore::get_by_document_number("QD-001204", w.meta.name())->at("status"), "PROCESSED");
}

TEST(DeletionTrust, NoDeletionWithoutTheDocumentsLock) {
  if (!pg_testing::have_cluster()) return;
  World w;
  testing_support::LogCapture cap;
  process_examples();
  const auto mine = w.artefacts(kExamples[0].first);

  // Without database settings: refused before any work, naming them.
  const auto unset = kesto(w, "PGHOST= PGUSER= ", "delete QD-000958");
  EXPECT_EQ(unset.status, 2) << unset.err;
  EXPECT_NE(unset.err.find("missing settings: PGHOST, PGUSER (set them in the environment or in .env)"),
            std::string::npos)
      << unset.err;
  EXPECT_EQ(unset.out, "");

  // The same inside a run (forced, so that no row is looked at first): an
  // error that may pass, with nothing removed.
  auto s = w.settings;
  s.PGPORT = "1";
  testing_support::ScopedSettings scoped(s);
  testing_support::RecordedSleeps sleeps;
  const Outcome o =
      run_task(Task{.action = Action::Delete, .doc = Record{{"document_number", "QD-000958"}}}, {.force = true});
  EXPECT_EQ(o.status, Status::Error);
  EXPECT_EQ(o.stage, "DELETION");
  EXPECT_TRUE(o.retryable);
  EXPECT_NE(o.error.find("the document's lock could not be taken"), std::string::npos) << o.error;
  EXPECT_EQ(existing(mine), mine);
  s.PGHOST = "";
  testing_support::ScopedSettings no_database(s);
  const Deletion d = delete_document(Record{{"document_number", "QD-000958"}});
  EXPECT_FALSE(d.lock_error.empty());
  EXPECT_EQ(existing(mine), mine);
}

TEST(DeletionTrust, ADeletionThatLostItsLockSaysSoAndIsDoneAgain) {
  if (!pg_testing::have_cluster()) return;
  World w;
  testing_support::LogCapture cap;
  process_examples();
  // The metadata table held by another transaction: the deletion takes the
  // document's lock and then waits at the table.
  const std::string db = testing_support::env("PGDATABASE");
  pg_testing::pg::PgConn holder = pg_testing::connect_db(db);
  pg_testing::pg::execute(holder.get(), "BEGIN");
  pg_testing::pg::execute(holder.get(), "LOCK TABLE " + w.meta.name() + " IN ACCESS EXCLUSIVE MODE");
  Deletion d;
  std::thread deletion([&] { d = delete_document(Record{{"document_number", "QD-000958"}}); });
  // The connection that holds the lock is cut off by the server.
  pg_testing::pg::PgConn admin = pg_testing::connect_db(db);
  bool cut = false;
  for (int i = 0; i < 3000 && !cut; ++i) {
    auto r = pg_testing::pg::execute(
        admin.get(),
        "SELECT pg_terminate_backend(pid) AS ended FROM pg_locks WHERE locktype = 'advisory' AND "
        "((classid::bigint << 32) | objid::bigint) = hashtextextended(%s, 0)",
        {"kesto.document:" + w.meta.name() + ":QD-000958"});
    cut = pg_testing::pg::first_row(r.get()).has_value();
    if (!cut) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  pg_testing::pg::execute(holder.get(), "ROLLBACK");
  deletion.join();
  ASSERT_TRUE(cut) << "the deletion never took the document's lock";
  const auto problems = d.problems();
  EXPECT_NE(std::find(problems.begin(), problems.end(),
                      "the document's lock was lost with the database connection during the deletion"),
            problems.end());
  const auto row = mainstore::get_by_document_number("QD-000958", w.meta.name());
  ASSERT_TRUE(row);
  EXPECT_EQ(row->at("status"), "DELETION_PENDING");
}

TEST(DeletionTrust, ADeletionThatDidNotCompleteIsFinishedByTheNextRun) {
  if (!pg_testing::have_cluster()) return;
  World w;
  w.add_examples();
  testing_support::LogCapture cap;
  testing_support::RecordedSleeps sleeps;
  for (const auto& [qd, o] : w.run()) ASSERT_EQ(o.status, Status::Processed) << qd << ": " << o.error;
  const auto storage = std::make_shared<Storage>(shared::net::make_curl_transport());
  StorageSwap swap(storage);

  // Storage down: the row stays, saying why, and the next runs retry it.
  const auto& [gone, qd] = kExamples[1];
  w.set_status(qd, "DELETED");
  storage->down = true;
  EXPECT_EQ(w.run().at(qd).status, Status::Error);
  auto row = mainstore::get_by_document_number(qd, w.meta.name());
  ASSERT_TRUE(row);
  EXPECT_EQ(row->at("status"), "DELETION_PENDING");
  EXPECT_NE(row->at("error").get<std::string>().find("storage stopped"), std::string::npos) << row->dump();
  storage->down = false;
  EXPECT_EQ(admit(Task{.action = Action::Delete, .doc = Record{{"document_number", qd}}}, {}).verdict, Status::Queued);

  // A blob deletion that said it was done when it was not: the row went,
  // the verification finds the blob, and a row says the deletion is pending.
  storage->swallow = ".summary.md";
  auto outcomes = w.run();
  EXPECT_EQ(outcomes.at(qd).status, Status::Error);
  EXPECT_NE(outcomes.at(qd).error.find("still there: blob '" + w.artefacts(gone)[4] + "'"), std::string::npos)
      << outcomes.at(qd).error;
  row = mainstore::get_by_document_number(qd, w.meta.name());
  ASSERT_TRUE(row);
  EXPECT_EQ(row->at("status"), "DELETION_PENDING");
  EXPECT_EQ(row->at("blob_filename"), gone);

  storage->swallow.clear();
  outcomes = w.run();
  EXPECT_EQ(outcomes.at(qd).status, Status::Deleted) << outcomes.at(qd).error;
  EXPECT_TRUE(existing(w.artefacts(gone)).empty());
  EXPECT_FALSE(mainstore::get_by_document_number(qd, w.meta.name()));
  EXPECT_TRUE(vector_db::get_document_sections(qd).empty());
  EXPECT_EQ(audit_trail::history(qd).back().at("action"), "deletion_verified");
  EXPECT_EQ(w.run().at(qd).status, Status::Skipped);
  EXPECT_EQ(existing(w.artefacts(kExamples[0].first)).size(), 5u);
}

TEST(DeletionTrust, ALiveArtefactOfAnotherDocumentInTheTrailIsKept) {
  if (!pg_testing::have_cluster()) return;
  World w;
  const std::string name = "QD-950_QD-95 Zeta.docx";
  w.add_source(name, "QD-950", testing_support::read_bytes(example(0)));
  testing_support::LogCapture cap(shared::logsetup::Level::info);
  for (const auto& [qd, o] : w.run()) ASSERT_EQ(o.status, Status::Processed) << qd << ": " << o.error;
  const auto zeta = w.artefacts(name);
  // Only the trail still says whose the blobs are.
  pg_testing::exec(testing_support::env("PGDATABASE"), "DELETE FROM " + w.meta.name());

  const auto dry = kesto(w, "", "delete --dry-run qd-95");
  ASSERT_EQ(dry.status, 0) << dry.err;
  const Record plan = Record::parse(dry.out);
  EXPECT_EQ(plan.at("blobs"), Record::array());
  ASSERT_EQ(plan.at("kept").size(), 5u) << dry.out;
  EXPECT_EQ(plan.at("kept")[0].at("blob_path"), zeta[0]);
  EXPECT_NE(plan.at("kept")[0].at("reason").get<std::string>().find("QD-950"), std::string::npos) << dry.out;

  const auto real = kesto(w, "", "delete --receipt qd-95");
  EXPECT_EQ(real.status, 0) << real.err;
  EXPECT_EQ(Record::parse(real.out).at("kept"), plan.at("kept"));
  EXPECT_EQ(existing(zeta), zeta);
  const Deletion d = delete_document(Record{{"document_number", "QD-95"}});
  EXPECT_EQ(d.result.data->at("deleted_artifacts"), Record::array());
  EXPECT_FALSE(pg_testing::messages(cap, "Kept blob '" + zeta[1] + "': ").empty());
  EXPECT_EQ(existing(zeta), zeta);
}

TEST(DeletionTrust, HandInsertedTrailRowsNeitherCountNorBlock) {
  if (!pg_testing::have_cluster()) return;
  World w;
  testing_support::LogCapture cap;
  process_examples();
  const auto& [name, qd] = kExamples[0];
  const std::string theirs = w.artefacts(kExamples[1].first)[1];  // QD-001204's Markdown
  Record recorded;
  for (const Record& e : audit_trail::history(kExamples[1].second)) {
    if (e.at("blob_path") == theirs) recorded = e;
  }
  ASSERT_FALSE(recorded.is_null());
  const std::string db = testing_support::env("PGDATABASE");
  const std::string insert = "INSERT INTO " + w.audit +
                             " (document_number, action, blob_path, size_bytes, sha256) VALUES (%s, %s, %s, %s, %s)";
  pg_testing::exec(db, insert, {qd, "artefact_written", theirs, recorded.at("size_bytes"), recorded.at("sha256")});
  pg_testing::exec(db, insert, {qd, "artefact_written", "", 1, "x"});

  const auto verify = kesto(w, "", "audit --verify --json " + qd);
  EXPECT_EQ(verify.status, 0) << verify.out;
  const Record report = Record::parse(verify.out);
  EXPECT_EQ(report.at("checked"), 5);
  EXPECT_EQ(report.at("matching"), 5);
  EXPECT_EQ(report.at("problems"), Record::array());
  ASSERT_EQ(report.at("notes").size(), 2u) << verify.out;

  const auto deleted = kesto(w, "", "delete --receipt " + qd);
  EXPECT_EQ(deleted.status, 0) << deleted.err;
  const Record receipt = Record::parse(deleted.out);
  EXPECT_EQ(receipt.at("complete"), true) << deleted.out;
  EXPECT_EQ(receipt.at("verification").at("notes").size(), 2u) << deleted.out;
  EXPECT_TRUE(existing(w.artefacts(name)).empty());
  EXPECT_TRUE(blobhub::check_blob_exists(theirs));
}
