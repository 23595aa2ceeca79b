// What must never happen to the documents of a run: a deletion that touches
// another document, a refusal that passes silently, two runs of one
// document at once, a document of a run without a row. Against the storage
// emulator and the test cluster, through the host and the programs.
#include <gtest/gtest.h>

#include <filesystem>
#include <chrono>
#include <map>
#include <thread>

#include "connectors/pg_testing.hpp"
#include "host/host_world.hpp"
#include "shared/connectors/blobhub.hpp"
#include "shared/connectors/mainstore.hpp"
#include "shared/connectors/vector_db.hpp"
#include "shared/host/audit_trail.hpp"
#include "shared/host/runner.hpp"
#include "shared/host/task.hpp"
#include "shared/processors/deleter.hpp"
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

namespace {

std::string example_bytes(std::size_t i) {
  return testing_support::read_bytes(testing_support::source_dir() / "examples" / kExamples[i].first);
}

// What the stores hold: every blob, every metadata row's number and status,
// every document's index row count.
struct Holdings {
  std::vector<std::string> blobs;
  std::map<std::string, std::string> rows;
  std::map<std::string, std::size_t> index_rows;
  bool operator==(const Holdings&) const = default;
};

Holdings holdings(const World& w) {
  Holdings h;
  h.blobs = w.all_blobs();
  for (const Record& r : mainstore::fetch_all(w.meta.name())) {
    const std::string qd = r.at("document_number").get<std::string>();
    h.rows[qd] = r.at("status").get<std::string>();
    h.index_rows[qd] = vector_db::get_document_sections(qd).size();
  }
  return h;
}

using Program = testing_support::ProgramRun;

// `kesto ARGS` with the world's settings (and `env`) in an empty folder.
Program kesto(const World& w, const std::string& env, const std::string& args) {
  testing_support::TempDir cwd;
  return testing_support::kesto(cwd.path(), w.program_env() + env, args, false);
}

}  // namespace

TEST(Reliability, MalformedDeletedRegistryRowsTouchNoOtherDocument) {
  if (!pg_testing::have_cluster()) return;
  World w;
  w.add_examples();
  for (int i = 0; i < 3; ++i) {
    const std::string qd = "QD-00" + std::to_string(4000 + i);
    w.add_source("Copy " + qd + ".docx", qd, example_bytes(static_cast<std::size_t>(i)));
  }
  testing_support::LogCapture cap;
  for (const auto& [qd, o] : w.run()) ASSERT_EQ(o.status, Status::Processed) << qd << ": " << o.error;
  const Holdings before = holdings(w);
  ASSERT_EQ(before.rows.size(), 6u);
  ASSERT_EQ(before.blobs.size(), 30u);

  // A registry row marked DELETED whose number is only a fragment used to
  // remove every blob whose name contained it.
  w.registry.add("Gone.docx", "DELETED", "QD-");
  w.registry.add("Gone 2.docx", "DELETED", "%");
  w.registry.add("Gone 3.docx", "DELETED", "_");
  w.registry.add("Gone 4.docx", "DELETED", "QD-12 and more");
  std::vector<Outcome> refused;
  run_all(pending_tasks(500), {}, 1, {}, [&](const Outcome& o) {
    if (o.action == Action::Delete) refused.push_back(o);
  });
  ASSERT_EQ(refused.size(), 4u);
  for (const Outcome& o : refused) {
    EXPECT_EQ(o.status, Status::Failed) << o.name;
    EXPECT_NE(o.error.find("Invalid QD-number '" + o.qd_number + "'"), std::string::npos) << o.error;
  }
  EXPECT_EQ(holdings(w), before);
}

TEST(Reliability, DeleteCommandNormalisesTheNumberAndTheDryRunShowsExactlyWhatGoes) {
  if (!pg_testing::have_cluster()) return;
  World w;
  w.add_examples();
  testing_support::LogCapture cap;
  for (const auto& [qd, o] : w.run()) ASSERT_EQ(o.status, Status::Processed) << qd << ": " << o.error;
  const Holdings before = holdings(w);

  for (const char* bad : {"QD-", "_", "%", "''"}) {
    const Program p = kesto(w, "", std::string("delete ") + bad);
    EXPECT_EQ(p.status, 2) << bad << ": " << p.err;
    EXPECT_EQ(p.out, "");
  }
  EXPECT_EQ(holdings(w), before);

  // Lower case and a trailing space: the same document, all of it.
  const Program dry = kesto(w, "", "delete --dry-run 'qd-002317 '");
  ASSERT_EQ(dry.status, 0) << dry.err;
  const Record plan = Record::parse(dry.out);
  EXPECT_EQ(plan.at("qd_number"), "qd-002317");  // named as given, found in any case
  EXPECT_EQ(plan.at("blobs").size(), 5u) << dry.out;
  EXPECT_EQ(plan.at("index_sections"), before.index_rows.at("QD-002317"));
  EXPECT_EQ(plan.at("metadata_row").at("document_number"), "QD-002317");
  EXPECT_EQ(holdings(w), before);

  const Program real = kesto(w, "", "delete 'qd-002317 '");
  ASSERT_EQ(real.status, 0) << real.err;
  const Record result = Record::parse(real.out);
  EXPECT_EQ(result.at("deleted_artifacts"), plan.at("blobs"));
  const Holdings after = holdings(w);
  EXPECT_EQ(after.rows.count("QD-002317"), 0u);
  EXPECT_TRUE(vector_db::get_document_sections("QD-002317").empty());
  EXPECT_EQ(after.blobs.size(), before.blobs.size() - 5);
  EXPECT_EQ(after.rows.size(), 2u);

  // The database gone: without the document's lock nothing is removed,
  // and the run says why.
  const Holdings standing = holdings(w);
  const Program down = kesto(w, "PGPORT=1 ", "delete QD-000958");
  EXPECT_EQ(down.status, 1) << down.err;
  EXPECT_NE(down.err.find("'QD-000958' not deleted: the document's lock could not be taken"), std::string::npos)
      << down.err;
  EXPECT_EQ(down.out, "");
  EXPECT_EQ(holdings(w), standing);
}

TEST(Reliability, ArtefactsFoundThroughTheRecordedFileNameAndNeverAnotherDocuments) {
  if (!pg_testing::have_cluster()) return;
  World w;
  // No QD-number in its file name: only the metadata row ties the artefacts
  // to the document.
  w.add_source("Plain Cleaning Procedure.docx", "QD-004711", example_bytes(0));
  // A file named after another document's number belongs to its own document.
  w.add_source("Replaces QD-004712.docx", "QD-004713", example_bytes(1));
  w.add_source("SOP QD-004712.docx", "QD-004712", example_bytes(2));
  testing_support::LogCapture cap;
  for (const auto& [qd, o] : w.run()) ASSERT_EQ(o.status, Status::Processed) << qd << ": " << o.error;

  shared::processors::deleter::DeletionStage stage;
  Record context = Record::object();
  auto r = stage.run(Record{{"document_number", "QD-004711"}}, context);
  ASSERT_TRUE(r.success) << r.error.value_or("");
  EXPECT_EQ(r.data->at("deleted_artifacts"), Record(w.artefacts("Plain Cleaning Procedure.docx")));
  for (const auto& p : w.artefacts("Plain Cleaning Procedure.docx")) EXPECT_FALSE(blobhub::check_blob_exists(p)) << p;
  EXPECT_FALSE(mainstore::get_by_document_number("QD-004711", w.meta.name()));
  EXPECT_TRUE(vector_db::get_document_sections("QD-004711").empty());

  r = stage.run(Record{{"document_number", "QD-004712"}}, context);
  ASSERT_TRUE(r.success) << r.error.value_or("");
  EXPECT_EQ(r.data->at("deleted_artifacts"), Record(w.artefacts("SOP QD-004712.docx")));
  for (const auto& p : w.artefacts("Replaces QD-004712.docx")) EXPECT_TRUE(blobhub::check_blob_exists(p)) << p;
  EXPECT_TRUE(mainstore::get_by_document_number("QD-004713", w.meta.name()));
}

TEST(Reliability, CollidingArtefactNamesAreRefusedAtIngest) {
  if (!pg_testing::have_cluster()) return;
  World w;
  w.add_source("Same Name.docm", "QD-000101", example_bytes(0));
  w.add_source("Same Name.docx", "QD-000102", example_bytes(1));
  testing_support::LogCapture cap;
  auto outcomes = w.run();
  EXPECT_EQ(outcomes.at("QD-000101").status, Status::Processed) << outcomes.at("QD-000101").error;
  const Outcome& refused = outcomes.at("QD-000102");
  EXPECT_EQ(refused.status, Status::Failed);
  EXPECT_NE(refused.error.find("would overwrite the artefacts of QD-000101 ('Same Name.docm')"), std::string::npos)
      << refused.error;
  EXPECT_FALSE(blobhub::check_blob_exists(w.artefacts("Same Name.docx")[0]));
  // The first document's artefacts are its own.
  EXPECT_NE(blobhub::download_blob_text(w.artefacts("Same Name.docm")[1]).find("QD-000101"), std::string::npos);
  // A refusal writes no row (deletions trust a row's file name); the trail
  // says why.
  EXPECT_FALSE(mainstore::get_by_document_number("QD-000102", w.meta.name()));
  EXPECT_EQ(audit_trail::history("QD-000102").back().at("action"), "failed");
}

TEST(Reliability, RefusedFilesLeaveNoBlobAndMalformedRowsFailAlone) {
  if (!pg_testing::have_cluster()) return;
  World w;
  testing_support::TempDir dir;
  testing_support::write_bytes(dir / "QD-777777 Old Format.doc", example_bytes(0));
  testing_support::write_bytes(dir / "Good.docx", example_bytes(1));
  testing_support::write_bytes(dir / "Typo.docx", example_bytes(2));
  testing_support::write_bytes(dir / "meta.csv",
                               "blob_filename,document_number,document_name,url_document_name\n"
                               "Good.docx,qd-000321,Good,L\nTypo.docx,QD-32I,Typo,L\n");
  testing_support::LogCapture cap;
  std::map<std::string, Outcome> by_name;
  run_all(local_tasks({(dir / "QD-777777 Old Format.doc").string(), (dir / "Good.docx").string(),
                       (dir / "Typo.docx").string()},
                      (dir / "meta.csv").string(), 500),
          {}, 1, {}, [&](const Outcome& o) { by_name[o.name] = o; });
  EXPECT_EQ(by_name.at("QD-777777 Old Format.doc").status, Status::Failed);
  EXPECT_EQ(by_name.at("QD-777777 Old Format.doc").stage, "VALIDATION");
  EXPECT_EQ(by_name.at("Typo.docx").status, Status::Failed);
  EXPECT_NE(by_name.at("Typo.docx").error.find("Invalid QD-number 'QD-32I'"), std::string::npos);
  EXPECT_EQ(by_name.at("Good.docx").status, Status::Processed) << by_name.at("Good.docx").error;
  EXPECT_EQ(by_name.at("Good.docx").qd_number, "QD-000321");
  // Numbers are stored upper-cased, so the deletion finds the row.
  EXPECT_TRUE(mainstore::get_by_document_number("QD-000321", w.meta.name()));
  EXPECT_EQ(w.all_blobs().size(), 5u);  // Good.docx's artefacts only
}

TEST(Reliability, OneRunPerDocumentAndAbandonedRunsAreTakenOver) {
  if (!pg_testing::have_cluster()) return;
  World w;
  w.add_examples();
  testing_support::LogCapture cap;
  const std::string db = testing_support::env("PGDATABASE");

  // Another process holds the document's lock: this run leaves it alone.
  pg_testing::pg::PgConn other = pg_testing::connect_db(db);
  pg_testing::pg::execute(other.get(), "SELECT pg_advisory_lock(hashtextextended(%s, 0))",
                          {"kesto.document:" + w.meta.name() + ":QD-000958"});
  auto outcomes = w.run();
  EXPECT_EQ(outcomes.at("QD-000958").status, Status::Skipped);
  EXPECT_EQ(outcomes.at("QD-000958").error, "being run by another process at this moment");
  EXPECT_EQ(outcomes.at("QD-001204").status, Status::Processed) << outcomes.at("QD-001204").error;
  other.reset();  // that process is gone, and its lock with it

  // A RUNNING mark whose lock is free, however fresh, was left by a run
  // that is gone (or lost its lock and ends in ERROR): the lock, not the
  // clock, says whether a run is alive.
  pg_testing::exec(db, "INSERT INTO " + w.meta.name() +
                           " (document_number, blob_filename, status, processed_at) VALUES (%s, %s, 'RUNNING', now())",
                   {std::string("QD-000958"), kExamples[0].first});
  outcomes = w.run();
  EXPECT_EQ(outcomes.at("QD-000958").status, Status::Processed) << outcomes.at("QD-000958").error;
  EXPECT_EQ(outcomes.at("QD-000958").error.rfind("previous run abandoned (RUNNING for ", 0), 0u)
      << outcomes.at("QD-000958").error;

  // Two runs at once over the same documents: each document is run by one
  // of them at a time, and none ends in an error.
  for (int i = 0; i < 5; ++i) {
    const std::string qd = "QD-00" + std::to_string(5000 + i);
    w.add_source("Parallel " + qd + ".docx", qd, example_bytes(static_cast<std::size_t>(i % 3)));
  }
  testing_support::TempDir out;
  const std::string kesto_bin = (testing_support::binary_dir() / "kesto").string();
  const std::string one = "env " + w.program_env() + "'" + kesto_bin + "' process --pending --force --log-level error";
  testing_support::write_bytes(out / "both.sh", "cd '" + out.path().string() + "'\n{ " + one +
                                                    " > a.txt 2>&1; echo $? > a.rc; } &\n{ " + one +
                                                    " > b.txt 2>&1; echo $? > b.rc; } &\nwait\n");
  ASSERT_EQ(testing_support::run_command("bash '" + (out / "both.sh").string() + "'"), 0);
  const std::string a = testing_support::read_bytes(out / "a.txt"), b = testing_support::read_bytes(out / "b.txt");
  EXPECT_EQ(testing_support::read_bytes(out / "a.rc"), "0\n") << a;
  EXPECT_EQ(testing_support::read_bytes(out / "b.rc"), "0\n") << b;
  EXPECT_EQ(a.find("  ERROR  "), std::string::npos) << a;
  EXPECT_EQ(b.find("  ERROR  "), std::string::npos) << b;
  const auto rows = mainstore::fetch_all(w.meta.name());
  EXPECT_EQ(rows.size(), 8u);
  for (const Record& r : rows) EXPECT_EQ(r.at("status"), "PROCESSED") << r.dump();
}

TEST(Reliability, ARunWhoseDatabaseConnectionBrokeOffIsNotTrustedAndRunsAgain) {
  if (!pg_testing::have_cluster()) return;
  World w;
  w.add_examples();
  auto outcomes = w.run();  // tables made, the connection kept
  for (const auto& [qd, o] : outcomes) ASSERT_EQ(o.status, Status::Processed) << qd << ": " << o.error;

  // The metadata table held by another transaction: the next run takes a
  // document's lock and then waits at its row.
  const std::string db = testing_support::env("PGDATABASE");
  pg_testing::pg::PgConn holder = pg_testing::connect_db(db);
  pg_testing::pg::execute(holder.get(), "BEGIN");
  pg_testing::pg::execute(holder.get(), "LOCK TABLE " + w.meta.name() + " IN ACCESS EXCLUSIVE MODE");
  std::map<std::string, Outcome> again;
  std::thread run([&] { again = w.run({.force = true}); });

  // The connection that holds the lock is cut off by the server; the run
  // opens another and goes on, without its lock.
  pg_testing::pg::PgConn admin = pg_testing::connect_db(db);
  std::string cut;
  for (int i = 0; i < 3000 && cut.empty(); ++i) {
    for (const auto& [file, qd] : kExamples) {
      auto r = pg_testing::pg::execute(
          admin.get(),
          "SELECT pg_terminate_backend(pid) AS ended FROM pg_locks WHERE locktype = 'advisory' AND "
          "((classid::bigint << 32) | objid::bigint) = hashtextextended(%s, 0)",
          {"kesto.document:" + w.meta.name() + ":" + qd});
      if (pg_testing::pg::first_row(r.get()).has_value()) cut = qd;
    }
    if (cut.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  pg_testing::pg::execute(holder.get(), "ROLLBACK");
  run.join();
  ASSERT_FALSE(cut.empty()) << "no run took a document's lock";

  for (const auto& [qd, o] : again) {
    if (qd == cut) {
      EXPECT_EQ(o.status, Status::Error) << qd;
      EXPECT_EQ(o.error, "the document's lock was lost with the database connection during the run") << qd;
      EXPECT_TRUE(o.retryable) << qd;
    } else {
      // Documents locked on the new connection are run as usual.
      EXPECT_EQ(o.status, Status::Processed) << qd << ": " << o.error;
    }
  }
  // Its row keeps no source ETag, so the next run does it again, unforced.
  outcomes = w.run();
  EXPECT_EQ(outcomes.at(cut).status, Status::Processed) << outcomes.at(cut).error;
  for (const auto& [qd, o] : outcomes) {
    if (qd != cut) {
      EXPECT_EQ(o.status, Status::Skipped) << qd;
    }
  }
}
