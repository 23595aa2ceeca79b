// Queue workers against the storage emulator and the test cluster: several
// at once with one killed outright, documents that are bad, storage that goes
// away for a while, a task that kills its worker every time, a stop, and
// messages written by someone else: naming a local file, too big to poison,
// duplicates; the database gone while poisoning; rows left behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "connectors/emulator.hpp"
#include "connectors/pg_testing.hpp"
#include "host/host_world.hpp"
#include "shared/connectors/blobhub.hpp"
#include "shared/connectors/mainstore.hpp"
#include "shared/connectors/queuehub.hpp"
#include "shared/connectors/vector_db.hpp"
#include "shared/host/task.hpp"
#include "shared/host/worker.hpp"
#include "shared/text/json_load.hpp"
#include "support/tcp_proxy.hpp"
#include "support/testing.hpp"

using host_world::kExamples;
using host_world::World;
using shared::Record;
namespace blobhub = shared::connectors::blobhub;
namespace mainstore = shared::connectors::mainstore;
namespace queuehub = shared::connectors::queuehub;
namespace vector_db = shared::connectors::vector_db;
namespace task = shared::host::task;
using task::Status;
namespace worker = shared::host::worker;

namespace {

const std::string kDb = testing_support::env("PGDATABASE");

std::string example_bytes(std::size_t i) {
  return testing_support::read_bytes(testing_support::source_dir() / "examples" / kExamples[i % 3].first);
}

std::string unique_queue() {
  std::random_device rd;
  return "kq-" + std::to_string(rd() % 1000000000u);
}

// A world with a queue of its own; `n` copies of the examples in the registry.
struct QueueWorld {
  World w;
  std::string queue = unique_queue();
  std::vector<std::string> numbers;
  testing_support::TempDir dir;

  explicit QueueWorld(int n, int first = 6000) {
    for (int i = 0; i < n; ++i) {
      const std::string qd = "QD-00" + std::to_string(first + i);
      w.add_source("SOP " + qd + " Copy.docx", qd, example_bytes(static_cast<std::size_t>(i)));
      numbers.push_back(qd);
    }
  }
  // The settings of a worker program: the world's, the queue, a short visibility timeout.
  std::string env(const std::string& extra = "") const {
    return w.program_env() + "KESTO_QUEUE=" + queue + " KESTO_VISIBILITY_TIMEOUT=6 " + extra + " ";
  }
  testing_support::ProgramRun kesto(const std::string& args, const std::string& extra = "") const {
    return testing_support::kesto(dir.path(), env(extra), args + " --log-level warning", false);
  }
  // `kesto ARGS` started in the background; its output goes to `name`.out.
  pid_t start(const std::string& name, const std::string& args, const std::string& extra = "") const {
    const std::string cmd = "cd '" + dir.path().string() + "' && exec env " + env(extra) + " '" +
                            (testing_support::binary_dir() / "kesto").string() + "' " + args +
                            " --log-level warning >'" + name + ".out' 2>'" + name + ".err'";
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    return pid;
  }
  std::string output(const std::string& name) const {
    std::error_code ec;
    if (!std::filesystem::exists(dir / (name + ".out"), ec)) return "";
    return testing_support::read_bytes(dir / (name + ".out"));
  }
  std::map<std::string, std::string> rows() const {
    std::map<std::string, std::string> out;
    for (const Record& r : mainstore::fetch_all(w.meta.name())) {
      out[r.at("document_number").get<std::string>()] = shared::record::get_text_or(r, "status", "");
    }
    return out;
  }
  std::string status_of(const std::string& qd) const {
    const auto r = rows();
    return r.count(qd) ? r.at(qd) : "missing";
  }
  // Holds the document's lock on a connection of the test's own, as another
  // run would, until the returned connection goes.
  pg_testing::pg::PgConn hold_lock(const std::string& qd) const {
    pg_testing::pg::PgConn c = pg_testing::connect_db(kDb);
    pg_testing::pg::execute(c.get(), "SELECT pg_advisory_lock(hashtextextended(%s, 0))",
                            {"kesto.document:" + w.meta.name() + ":" + qd});
    return c;
  }
  long waiting() const { return queuehub::approximate_message_count(queue); }
  long poisoned() const { return queuehub::approximate_message_count(queue + "-poison"); }

  // Every document PROCESSED in its row, its index rows exactly the sections
  // of its enriched document, and both queues empty.
  void expect_all_processed() const {
    const auto r = rows();
    for (const std::string& qd : numbers) {
      EXPECT_EQ(r.count(qd) ? r.at(qd) : "missing", "PROCESSED") << qd;
      const std::string enriched = blobhub::download_blob_text(
          blobhub::build_blob_path(w.settings.BLOB_FOLDER_ENRICHED_JSON, "SOP " + qd + " Copy.enriched.json"));
      std::set<std::string> keys;
      const Record doc = shared::text::loads(enriched);
      for (const auto& [k, v] : doc.at("enriched").items()) keys.insert(k);
      std::multiset<std::string> indexed;
      for (const Record& row : vector_db::get_document_sections(qd)) indexed.insert(row.at("section_key").get<std::string>());
      EXPECT_EQ(std::set<std::string>(indexed.begin(), indexed.end()), keys) << qd;
      EXPECT_EQ(indexed.size(), keys.size()) << qd << ": duplicate index rows";
    }
    EXPECT_EQ(waiting(), 0);
    EXPECT_EQ(poisoned(), 0);
  }
};

// The exit status of `pid`, waiting at most `seconds`; the process is killed
// (and -1 returned) when it does not end in time.
int wait_for(pid_t pid, double seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  int status = 0;
  while (std::chrono::steady_clock::now() < end) {
    if (::waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  return -1;
}

// Waits until `pred` holds, at most `seconds`.
template <class P>
bool eventually(P pred, double seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < end) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return pred();
}

std::size_t count_of(const std::string& text, const std::string& needle) {
  std::size_t n = 0;
  for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

}  // namespace

TEST(QueueWorkers, ThirtyDocumentsThreeWorkersOneKilledMidDocument) {
  if (!pg_testing::have_cluster()) return;
  QueueWorld q(30);
  const auto enq = q.kesto("enqueue --pending");
  ASSERT_EQ(enq.status, 0) << enq.out << enq.err;
  EXPECT_NE(enq.out.find("30 document(s): queued 30, skipped 0, already waiting 0, refused 0"), std::string::npos)
      << enq.out;
  // Queued and not finished: not queued twice.
  EXPECT_NE(q.kesto("enqueue --pending").out.find("queued 0, skipped 0, already waiting 30"), std::string::npos);
  EXPECT_EQ(q.waiting(), 30);

  std::vector<pid_t> workers;
  for (int i = 0; i < 3; ++i) {
    workers.push_back(q.start("w" + std::to_string(i), "worker --concurrency 2 --idle-exit 12"));
  }
  // Once the first worker has finished a document, its other one is under way.
  ASSERT_TRUE(eventually([&] { return q.output("w0").find("PROCESSED") != std::string::npos; }, 60))
      << testing_support::read_bytes(q.dir / "w0.err");
  ::kill(workers[0], SIGKILL);
  EXPECT_EQ(wait_for(workers[0], 10), 128 + SIGKILL);
  EXPECT_EQ(wait_for(workers[1], 120), 0) << testing_support::read_bytes(q.dir / "w1.err");
  EXPECT_EQ(wait_for(workers[2], 60), 0) << testing_support::read_bytes(q.dir / "w2.err");

  q.expect_all_processed();
  const std::string all = q.output("w0") + q.output("w1") + q.output("w2");
  // A document the killed worker finished without deleting its message is
  // skipped by its next taker: its row already holds the outcome.
  for (const std::string& qd : q.numbers) {
    EXPECT_TRUE(all.find(qd + "  PROCESSED") != std::string::npos ||
                all.find(qd + "  SKIPPED  -  ") != std::string::npos)
        << qd << "\n" << all;
  }
  EXPECT_EQ(count_of(all, "  ERROR  "), 0u) << all;
  // The status command agrees: nothing waits, nothing is marked queued or running.
  const auto st = q.kesto("queue status --json");
  ASSERT_EQ(st.status, 0) << st.err;
  const Record status = Record::parse(st.out);
  EXPECT_EQ(status.at("waiting"), 0);
  EXPECT_EQ(status.at("poison"), 0);
  EXPECT_TRUE(status.at("rows").empty()) << st.out;
}

TEST(QueueWorkers, CorruptDocumentIsRecordedOnceAndNotRetried) {
  if (!pg_testing::have_cluster()) return;
  QueueWorld q(0);
  const std::string corrupt = (q.dir / "SOP QD-006100 Broken.docx").string();
  testing_support::write_bytes(corrupt,
                               testing_support::read_bytes(testing_support::corpus_dir() / "bad" / "not_a_zip_text.docx"));
  const auto enq = q.kesto("enqueue '" + corrupt + "'");
  ASSERT_EQ(enq.status, 0) << enq.out << enq.err;
  // Uploaded at once: workers elsewhere cannot read this machine's files.
  EXPECT_TRUE(blobhub::check_blob_exists(
      blobhub::build_blob_path(q.w.settings.BLOB_FOLDER_DOCUMENTS, "SOP QD-006100 Broken.docx")));
  std::filesystem::remove(corrupt);

  const auto run = q.kesto("worker --idle-exit 2");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(count_of(run.out, "QD-006100  ERROR"), 1u) << run.out;
  EXPECT_EQ(count_of(run.out, "  RETRY  "), 0u) << run.out;
  EXPECT_EQ(q.rows().at("QD-006100"), "ERROR");
  const auto row = mainstore::get_by_document_number("QD-006100", q.w.meta.name());
  ASSERT_TRUE(row);
  EXPECT_FALSE(shared::record::get_text_or(*row, "error", "").empty());
  EXPECT_EQ(q.waiting(), 0);
  EXPECT_EQ(q.poisoned(), 0);
}

TEST(QueueWorkers, DocumentsComeBackAfterStorageOutage) {
  if (!pg_testing::have_cluster()) return;
  QueueWorld q(6, 6200);
  ASSERT_EQ(q.kesto("enqueue --pending").status, 0);
  // The worker reaches both services of the emulator through forwarders.
  testing_support::TcpProxy blob(std::stoi(testing_support::env("KESTO_AZURITE_PORT")));
  testing_support::TcpProxy queue(std::stoi(testing_support::env("KESTO_AZURITE_QUEUE_PORT")));
  auto through = [&](const std::string& cs) {
    const auto c = shared::connectors::parse_connection_string(cs);
    return "'DefaultEndpointsProtocol=http;AccountName=" + c.account_name + ";AccountKey=" + c.account_key +
           ";BlobEndpoint=http://127.0.0.1:" + std::to_string(blob.port()) + "/" + c.account_name +
           ";QueueEndpoint=http://127.0.0.1:" + std::to_string(queue.port()) + "/" + c.account_name + ";'";
  };
  const std::string extra = "STORAGE_ACCOUNT_CONNECTION_STRING=" + through(q.w.settings.STORAGE_CONNECTION_STRING) +
                            " TOLVAN_STORAGE_ACCOUNT_CONNECTION_STRING=" +
                            through(q.w.settings.TOLVAN_STORAGE_CONNECTION_STRING);
  // Blob storage is down when the worker starts: its documents fail and are
  // handed back; then the queue service goes too, and both come back.
  blob.set_down(true);
  const pid_t pid = q.start("w", "worker --concurrency 2 --idle-exit 15", extra);
  ASSERT_TRUE(eventually([&] { return q.output("w").find("RETRY") != std::string::npos; }, 60))
      << testing_support::read_bytes(q.dir / "w.err");
  queue.set_down(true);
  std::this_thread::sleep_for(std::chrono::seconds(2));
  blob.set_down(false);
  queue.set_down(false);
  EXPECT_EQ(wait_for(pid, 150), 0) << testing_support::read_bytes(q.dir / "w.err");
  q.expect_all_processed();
  EXPECT_EQ(count_of(q.output("w"), "  PROCESSED  "), 6u) << q.output("w");
}

TEST(QueueWorkers, TaskThatKillsItsWorkerEveryTimeGoesToPoisonQueue) {
  if (!pg_testing::have_cluster()) return;
  QueueWorld q(1, 6300);
  shared::config::Settings s = q.w.settings;
  s.QUEUE_NAME = q.queue;
  s.MAX_DEQUEUE = 3;
  s.VISIBILITY_TIMEOUT_S = 3;
  testing_support::ScopedSettings scoped(s);
  worker::enqueue(task::pending_tasks(10), {}, [](const task::Task&, const worker::Enqueued& e) {
    EXPECT_EQ(e.verdict, Status::Queued) << e.reason;
  });
  std::vector<task::Outcome> seen;
  // A worker process that dies on every task it is given.
  const worker::WorkerOptions options{.concurrency = 1,
                                      .idle_exit_s = 6,
                                      .max_documents = 0,
                                      .child_argv = {"/bin/sh", "-c", "read line; kill -9 $$"}};
  EXPECT_EQ(worker::run_worker(options, [&](const task::Outcome& o) { seen.push_back(o); }, [] { return 0; }), 0);

  ASSERT_EQ(seen.size(), 4u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(seen[static_cast<std::size_t>(i)].status, Status::Retry);
    EXPECT_EQ(seen[static_cast<std::size_t>(i)].error, "worker process ended unexpectedly (killed by signal 9)");
  }
  EXPECT_EQ(seen[3].status, Status::Error);
  EXPECT_NE(seen[3].error.find("moved to '" + q.queue + "-poison': taken 4 times without an outcome; last error: "
                               "worker process ended unexpectedly (killed by signal 9)"),
            std::string::npos)
      << seen[3].error;
  const auto row = mainstore::get_by_document_number("QD-006300", q.w.meta.name());
  ASSERT_TRUE(row);
  EXPECT_EQ(shared::record::get_text_or(*row, "status", ""), "ERROR");
  EXPECT_NE(shared::record::get_text_or(*row, "error", "").find("killed by signal 9"), std::string::npos);
  EXPECT_EQ(q.waiting(), 0);
  const auto poisoned = queuehub::peek_messages(q.queue + "-poison");
  ASSERT_EQ(poisoned.size(), 1u);
  const Record msg = Record::parse(poisoned[0].text);
  EXPECT_EQ(msg.at("doc").at("document_number"), "QD-006300");
  EXPECT_NE(msg.at("last_error").get<std::string>().find("killed by signal 9"), std::string::npos);
}

TEST(QueueWorkers, SigtermLetsRunningDocumentsFinishAndLosesNothing) {
  if (!pg_testing::have_cluster()) return;
  QueueWorld q(12, 6400);
  ASSERT_EQ(q.kesto("enqueue --pending").status, 0);
  const pid_t pid = q.start("w", "worker --concurrency 2");
  ASSERT_TRUE(eventually([&] { return q.output("w").find("PROCESSED") != std::string::npos; }, 60));
  ::kill(pid, SIGTERM);
  EXPECT_EQ(wait_for(pid, 60), 0) << testing_support::read_bytes(q.dir / "w.err");
  // Each document is finished or waits in the queue; none is left running.
  long processed = 0;
  for (const auto& [qd, status] : q.rows()) {
    EXPECT_TRUE(status == "PROCESSED" || status == "QUEUED") << qd << " " << status;
    processed += status == "PROCESSED";
  }
  EXPECT_LT(processed, 12);
  EXPECT_EQ(processed + q.waiting(), 12);
  ASSERT_EQ(q.kesto("worker --concurrency 2 --idle-exit 2").status, 0);
  q.expect_all_processed();
}

TEST(QueueWorkers, AMessageNamingALocalFileIsPoisonedAndNothingOfTheMachineIsRead) {
  if (!pg_testing::have_cluster()) return;
  QueueWorld q(0);
  testing_support::write_bytes(q.dir / ".env", "SECRET_OF_THIS_MACHINE=1\n");
  queuehub::create_queue(q.queue);
  for (const std::string& local : {std::string(".env"), (q.dir / ".env").string()}) {
    queuehub::put_message(q.queue, R"({"action":"process","doc":{"document_number":"QD-900002",)"
                                   R"("blob_filename":"x QD-900002.docx"},"batch_size":1,"local_file":")" +
                                       local + "\"}");
  }
  const auto run = q.kesto("worker --idle-exit 2");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(q.w.all_blobs().empty());
  EXPECT_EQ(count_of(run.out, "  ERROR  "), 2u) << run.out;
  EXPECT_EQ(q.waiting(), 0);
  // A message that is not a task names no row to trust.
  EXPECT_EQ(q.status_of("QD-900002"), "missing");
  const auto poisoned = queuehub::peek_messages(q.queue + "-poison");
  ASSERT_EQ(poisoned.size(), 2u);
  for (const auto& m : poisoned) {
    const Record copy = Record::parse(m.text);
    EXPECT_EQ(copy.at("last_error"), "not a task: local_file: a queue message may not name a local file") << m.text;
    EXPECT_NE(copy.at("text").get<std::string>().find("\"local_file\""), std::string::npos) << m.text;
  }
}

TEST(QueueWorkers, MessagesTooBigForThePoisonQueueAreCutAndTheQueueDrains) {
  if (!pg_testing::have_cluster()) return;
  QueueWorld q(0);
  queuehub::create_queue(q.queue);
  const std::size_t most = shared::connectors::QUEUE_MESSAGE_MAX_TEXT;
  queuehub::put_message(q.queue, std::string(most, 'x'));
  queuehub::put_message(q.queue, std::string(most - 10, '\x01'));
  // A worker that cannot drain its queue never idles out.
  const pid_t pid = q.start("w", "worker --idle-exit 2");
  ASSERT_EQ(wait_for(pid, 60), 0) << testing_support::read_bytes(q.dir / "w.err");
  EXPECT_EQ(q.waiting(), 0);
  const auto poisoned = queuehub::peek_messages(q.queue + "-poison");
  ASSERT_EQ(poisoned.size(), 2u);
  for (const auto& m : poisoned) {
    const Record copy = Record::parse(m.text);
    EXPECT_EQ(copy.at("truncated"), true);
    EXPECT_TRUE(copy.at("bytes") == most || copy.at("bytes") == most - 10) << copy.at("bytes");
    EXPECT_EQ(copy.at("last_error").get<std::string>().rfind("not a task: ", 0), 0u) << copy.at("last_error");
    EXPECT_FALSE(copy.at("text").get<std::string>().empty());
  }
}

TEST(QueueWorkers, PoisoningWaitsUntilTheRowCanSayWhy) {
  if (!pg_testing::have_cluster()) return;
  QueueWorld q(1, 6500);
  const std::string qd = q.numbers[0];
  ASSERT_EQ(q.kesto("enqueue --pending").status, 0);
  // Taken once already, by a worker that died without a word.
  const auto taken = queuehub::get_messages(q.queue, 1, 1);
  ASSERT_EQ(taken.size(), 1u);
  queuehub::update_message(q.queue, taken[0], 0);

  testing_support::TcpProxy db(std::stoi(testing_support::env("PGPORT")));
  db.set_down(true);
  const std::string extra = "KESTO_MAX_DEQUEUE=1 KESTO_VISIBILITY_TIMEOUT=3 PGPORT=" + std::to_string(db.port());
  auto run = q.kesto("worker --idle-exit 1", extra);
  ASSERT_EQ(run.status, 0) << run.err;
  // Not moved: a row left QUEUED without a message would keep the document
  // waiting for ever.
  EXPECT_NE(run.out.find(qd + "  RETRY"), std::string::npos) << run.out;
  EXPECT_EQ(q.waiting(), 1);
  EXPECT_EQ(q.poisoned(), 0);
  EXPECT_EQ(q.status_of(qd), "QUEUED");

  db.set_down(false);
  run = q.kesto("worker --idle-exit 6", extra);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find(qd + "  ERROR"), std::string::npos) << run.out;
  EXPECT_EQ(q.status_of(qd), "ERROR");
  EXPECT_EQ(q.waiting(), 0);
  EXPECT_EQ(q.poisoned(), 1);
}

TEST(QueueWorkers, AQueuedRowWithoutAMessageIsShownAndQueuedAgain) {
  if (!pg_testing::have_cluster()) return;
  QueueWorld q(2, 6600);
  ASSERT_EQ(q.kesto("enqueue --pending").status, 0);
  // The messages are gone; one row was marked long ago, the other just now
  // (its message may still be on its way to being counted).
  queuehub::_get_queue_service_client()->get_queue_client(q.queue).clear();
  pg_testing::exec(kDb,
                   "UPDATE " + q.w.meta.name() + " SET processed_at = now() - interval '1 hour' WHERE document_number = %s",
                   {q.numbers[0]});
  const auto text = q.kesto("queue status");
  ASSERT_EQ(text.status, 0) << text.err;
  EXPECT_NE(text.out.find(q.numbers[0] + "  SOP " + q.numbers[0] + " Copy.docx  QUEUED  3600"), std::string::npos)
      << text.out;
  EXPECT_EQ(count_of(text.out, "no message in the queue: 'kesto enqueue' queues it again"), 1u) << text.out;
  const Record status = Record::parse(q.kesto("queue status --json").out);
  for (const Record& row : status.at("rows")) {
    EXPECT_EQ(row.at("no_message"), row.at("document_number") == q.numbers[0]) << row.dump();
  }

  const auto enq = q.kesto("enqueue --pending");
  ASSERT_EQ(enq.status, 0) << enq.err;
  EXPECT_NE(enq.out.find(q.numbers[0] + "  QUEUED  marked QUEUED 36"), std::string::npos) << enq.out;
  EXPECT_NE(enq.out.find("but no message is left in the queue: queued again"), std::string::npos) << enq.out;
  EXPECT_NE(enq.out.find(q.numbers[1] + "  WAITING  already queued"), std::string::npos) << enq.out;
  EXPECT_EQ(q.waiting(), 1);
}

TEST(QueueWorkers, ADocumentLockedElsewhereWaitsWithoutCountingTowardThePoisonQueue) {
  if (!pg_testing::have_cluster()) return;
  QueueWorld q(1, 6700);
  const std::string qd = q.numbers[0];
  ASSERT_EQ(q.kesto("enqueue --pending").status, 0);
  auto other = q.hold_lock(qd);
  const pid_t pid = q.start("w", "worker --idle-exit 6", "KESTO_MAX_DEQUEUE=1 KESTO_VISIBILITY_TIMEOUT=3");
  // Found locked on more takes than the poison queue allows tries.
  ASSERT_TRUE(eventually(
      [&] { return count_of(q.output("w"), "  RETRY  ") >= 2 || q.output("w").find("  ERROR  ") != std::string::npos; },
      60))
      << q.output("w");
  other.reset();
  EXPECT_EQ(wait_for(pid, 60), 0) << testing_support::read_bytes(q.dir / "w.err");
  const std::string out = q.output("w");
  EXPECT_EQ(count_of(out, qd + "  RETRY  -  "), count_of(out, "being run by another process at this moment")) << out;
  EXPECT_EQ(count_of(out, qd + "  PROCESSED"), 1u) << out;
  EXPECT_EQ(count_of(out, "  ERROR  "), 0u) << out;
  EXPECT_EQ(q.status_of(qd), "PROCESSED");
  EXPECT_EQ(q.waiting(), 0);
  EXPECT_EQ(q.poisoned(), 0);
}

TEST(QueueWorkers, DuplicatesOfADocumentAlreadyDoneAreDropped) {
  if (!pg_testing::have_cluster()) return;
  QueueWorld q(1, 6800);
  const std::string qd = q.numbers[0];
  // Forced twice: two forced messages for one document.
  ASSERT_EQ(q.kesto("enqueue --pending --force").status, 0);
  ASSERT_EQ(q.kesto("enqueue --pending --force").status, 0);
  // A local file queued, and its message delivered twice.
  const std::string local = "Local QD-006899.docx";
  testing_support::write_bytes(q.dir / local, example_bytes(1));
  ASSERT_EQ(q.kesto("enqueue '" + local + "'").status, 0);
  for (const auto& m : queuehub::peek_messages(q.queue)) {
    if (m.text.find("QD-006899") != std::string::npos) queuehub::put_message(q.queue, m.text);
  }
  ASSERT_EQ(q.waiting(), 4);

  const auto run = q.kesto("worker --idle-exit 2");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(count_of(run.out, qd + "  PROCESSED"), 1u) << run.out;
  EXPECT_EQ(count_of(run.out, qd + "  SKIPPED  -  "), 1u) << run.out;
  EXPECT_NE(run.out.find("already processed from the same source since it was queued"), std::string::npos) << run.out;
  EXPECT_EQ(count_of(run.out, "QD-006899  PROCESSED"), 1u) << run.out;
  EXPECT_EQ(count_of(run.out, "QD-006899  SKIPPED  -  "), 1u) << run.out;
  EXPECT_NE(run.out.find("source unchanged since its last successful run"), std::string::npos) << run.out;
  EXPECT_EQ(q.status_of(qd), "PROCESSED");
  EXPECT_EQ(q.status_of("QD-006899"), "PROCESSED");
  EXPECT_EQ(q.waiting(), 0);
  EXPECT_EQ(q.poisoned(), 0);
  // The uploaded blob is the local document's source.
  const auto row = mainstore::get_by_document_number("QD-006899", q.w.meta.name());
  ASSERT_TRUE(row);
  EXPECT_EQ(shared::record::get_text_or(*row, "source_etag", ""),
            blobhub::get_blob_properties(blobhub::build_blob_path(q.w.settings.BLOB_FOLDER_DOCUMENTS, local)).etag);
}

TEST(QueueWorkers, EnqueueRefusesAMessageTooBigForTheQueueAndQueuesTheOthers) {
  if (!pg_testing::have_cluster()) return;
  QueueWorld q(0);
  const std::vector<std::string> files = {"A QD-006901.docx", "B QD-006902.docx", "C QD-006903.docx"};
  for (const std::string& f : files) testing_support::write_bytes(q.dir / f, example_bytes(0));
  // Each field within bounds, the whole too big for a message.
  Record big{{"blob_filename", files[1]}, {"document_number", "QD-006902"}};
  for (int i = 0; i < 4; ++i) big["notes" + std::to_string(i)] = std::string(15000, 'n');
  testing_support::write_bytes(q.dir / "meta.json", Record::array({big}).dump());
  const auto enq = q.kesto("enqueue '" + files[0] + "' '" + files[1] + "' '" + files[2] + "' --metadata meta.json");
  EXPECT_EQ(enq.status, 1) << enq.out << enq.err;
  EXPECT_NE(enq.out.find(files[1] + "  QD-006902  FAILED  cannot be queued: message of "), std::string::npos)
      << enq.out;
  EXPECT_NE(enq.out.find(files[0] + "  QD-006901  QUEUED"), std::string::npos) << enq.out;
  EXPECT_NE(enq.out.find(files[2] + "  QD-006903  QUEUED"), std::string::npos) << enq.out;
  EXPECT_NE(enq.out.find("3 document(s): queued 2, skipped 0, already waiting 0, refused 1"), std::string::npos)
      << enq.out;
  EXPECT_EQ(q.waiting(), 2);
  EXPECT_EQ(q.status_of("QD-006902"), "missing");
  EXPECT_FALSE(
      blobhub::check_blob_exists(blobhub::build_blob_path(q.w.settings.BLOB_FOLDER_DOCUMENTS, files[1])));
}

TEST(QueueWorkers, EnqueueAsksTheLockWhetherARunningRowIsAlive) {
  if (!pg_testing::have_cluster()) return;
  QueueWorld q(2, 6950);
  for (const std::string& qd : q.numbers) {
    pg_testing::exec(kDb, "INSERT INTO " + q.w.meta.name() +
                              " (document_number, blob_filename, status, processed_at) VALUES (%s, %s, 'RUNNING', now())",
                     {qd, "SOP " + qd + " Copy.docx"});
  }
  auto other = q.hold_lock(q.numbers[1]);
  const auto enq = q.kesto("enqueue --pending");
  ASSERT_EQ(enq.status, 0) << enq.err;
  EXPECT_NE(enq.out.find(q.numbers[0] + "  QUEUED  previous run abandoned (RUNNING for "), std::string::npos)
      << enq.out;
  EXPECT_NE(enq.out.find(q.numbers[1] + "  WAITING  being run by another process at this moment"), std::string::npos)
      << enq.out;
  EXPECT_EQ(q.waiting(), 1);
}
