// Queue workers against the storage emulator and the test cluster: several
// at once with one killed outright, documents that are bad, storage that goes
// away for a while, a task that kills its worker every time, and a stop.
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
#include "shared/host/runner.hpp"
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
namespace runner = shared::host::runner;
namespace worker = shared::host::worker;

namespace {

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
  worker::enqueue(runner::pending_tasks(10), {}, [](const runner::Task&, const worker::Enqueued& e) {
    EXPECT_EQ(e.verdict, "QUEUED") << e.reason;
  });
  std::vector<runner::Outcome> seen;
  // A worker process that dies on every task it is given.
  const worker::WorkerOptions options{.concurrency = 1,
                                      .idle_exit_s = 6,
                                      .max_documents = 0,
                                      .child_argv = {"/bin/sh", "-c", "read line; kill -9 $$"}};
  EXPECT_EQ(worker::run_worker(options, [&](const runner::Outcome& o) { seen.push_back(o); }, [] { return 0; }), 0);

  ASSERT_EQ(seen.size(), 4u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(seen[static_cast<std::size_t>(i)].status, "RETRY");
    EXPECT_EQ(seen[static_cast<std::size_t>(i)].error, "worker process ended unexpectedly (killed by signal 9)");
  }
  EXPECT_EQ(seen[3].status, "ERROR");
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
