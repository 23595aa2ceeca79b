// kesto enqueue, kesto worker, kesto queue: the pipeline's documents spread
// over any number of processes and machines through a queue of the
// pipeline's storage account.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <iostream>
#include <map>

#include "apps/common/args.hpp"
#include "apps/common/commands.hpp"
#include "apps/common/settings.hpp"
#include "apps/kesto/host_output.hpp"
#include "shared/config.hpp"
#include "shared/errors.hpp"
#include "shared/host/runner.hpp"
#include "shared/host/task.hpp"
#include "shared/host/worker.hpp"
#include "shared/serve/http.hpp"
#include "shared/serve/metrics.hpp"
#include "shared/text/pyjson.hpp"
#include "shared/text/utf8.hpp"

namespace {

using namespace shared::host;

const char* kQueueSettings =
    "Settings: KESTO_QUEUE (default \"kesto-documents\"; failures go to \"{queue}-poison\"),\n"
    "KESTO_MAX_DEQUEUE (default 5), KESTO_VISIBILITY_TIMEOUT (seconds, default 60), and the\n"
    "storage account and databases of 'kesto process'. The queue is served by the queue\n"
    "endpoint of STORAGE_ACCOUNT_CONNECTION_STRING (QueueEndpoint=, or derived from the account).";

void require_settings(bool pending) { apps::require_settings(runner::missing_settings(pending, true)); }

// --- kesto enqueue -------------------------------------------------------

apps::ArgParser enqueue_parser() {
  apps::ArgParser p("kesto enqueue",
                    "Puts one message per document on the work queue for 'kesto worker' processes: the\n"
                    "registry's pending documents (--pending), or local Word files, which are uploaded into\n"
                    "the documents folder first. Documents 'kesto process' would skip (source unchanged,\n"
                    "deleted and gone) are skipped; a document whose row says it is already QUEUED, or\n"
                    "RUNNING while another process runs it, is not queued twice (a QUEUED row older than\n"
                    "the visibility timeout while the queue holds no message at all is queued again).\n"
                    "Queued documents' rows are marked QUEUED.");
  p.positional("FILE.docx", apps::Arity::many, "local Word files to upload and queue")
      .flag("pending", "", "queue the registry's pending documents")
      .option("metadata", "", "FILE", "CSV or JSON metadata for local files (rows matched by blob_filename)")
      .flag("force", "", "queue unchanged and already queued documents too, and run them forced")
      .with_log_level()
      .epilog(std::string("Prints one line per document and the counts. Exit status: 0 done, 1 a document was\n"
                          "refused (a bad QD-number or file type, or a message the queue cannot carry), 2 usage or\n"
                          "configuration error.\n") +
              kQueueSettings);
  return p;
}

int run_enqueue(const std::vector<std::string>& args) {
  const apps::Parsed a = enqueue_parser().parse(args);
  shared::logsetup::configure_root_logger(apps::log_level(a));
  const bool pending = a.has("pending");
  const auto files = a.list("FILE.docx");
  if (pending == !files.empty()) throw apps::UsageError("give either --pending or local FILE.docx arguments");
  if (pending && a.has("metadata")) throw apps::UsageError("--metadata goes with local files");
  require_settings(pending);
  (void)worker::queue_settings();
  const task::Options options{.force = a.has("force")};
  const auto& settings = shared::config::get();
  const auto tasks = pending ? task::pending_tasks(settings.MAX_BATCH_SIZE)
                             : task::local_tasks(files, a.get("metadata"), settings.MAX_BATCH_SIZE);
  std::map<task::Status, long> counts;
  worker::enqueue(tasks, options, [&](const task::Task& t, const worker::Enqueued& e) {
    ++counts[e.verdict];
    const std::string qd = shared::record::get_text_or(t.doc, "document_number", "");
    std::string line = shared::record::get_text_or(t.doc, "blob_filename", "") + "  " + (qd.empty() ? "-" : qd) +
                       "  " + std::string(task::word(e.verdict));
    if (!e.reason.empty()) line += "  " + shared::text::one_line(e.reason);
    std::cout << shared::text::printable(line) << std::endl;
  });
  using task::Status;
  std::cout << tasks.size() << " document(s): queued " << counts[Status::Queued] << ", skipped "
            << counts[Status::Skipped] << ", already waiting " << counts[Status::Waiting] << ", refused "
            << counts[Status::Failed] << " \u2192 queue '" << worker::queue_settings().queue << "'" << std::endl;
  return counts[Status::Failed] > 0 ? 1 : 0;
}

// --- kesto worker --------------------------------------------------------

volatile std::sig_atomic_t g_stops = 0;

extern "C" void on_stop_signal(int) {
  if (g_stops < 2) g_stops = g_stops + 1;
}

apps::ArgParser worker_parser() {
  apps::ArgParser p("kesto worker",
                    "Takes documents from the work queue and runs them, each in a worker process of its own,\n"
                    "as 'kesto process' does: the outcome goes into the document's metadata row and the\n"
                    "message is deleted only then. Any number of workers on any number of machines may share\n"
                    "one queue; a per-document lock in the metadata database keeps two from running the same\n"
                    "document. A fault that may pass (storage or database unreachable, a worker process that\n"
                    "died) hands the document back for a later try; after KESTO_MAX_DEQUEUE tries it goes to\n"
                    "the poison queue and its row says ERROR.\n"
                    "SIGTERM or SIGINT: no new documents, the running ones finish, exit 0; a second signal\n"
                    "hands the running ones back at once.");
  p.option("concurrency", "c", "N", "documents at a time (default 1)")
      .option("idle-exit", "", "SECONDS", "end once the queue stayed empty that long (default: wait for ever)")
      .option("max-documents", "", "N", "end after taking N documents")
      .option("metrics-listen", "", "HOST:PORT",
              "serve the worker's counters at http://HOST:PORT/metrics (no key; keep it local)")
      .flag("serve", "", "(internal) run tasks from standard input")
      .with_log_level()
      .epilog(std::string("Prints one line per document as it finishes, as 'kesto process' does (status RETRY:\n"
                          "handed back for a later try). Exit status: 0 stopped, idle or done, 2 usage or\n"
                          "configuration error.\n") +
              kQueueSettings);
  return p;
}

int run_worker_command(const std::vector<std::string>& args) {
  const apps::Parsed a = worker_parser().parse(args);
  shared::logsetup::configure_root_logger(apps::log_level(a));
  if (a.has("serve")) return worker::serve_tasks(std::cin, std::cout);
  const long concurrency = a.get_long("concurrency", 1);
  if (concurrency < 1 || concurrency > 64) throw apps::UsageError("--concurrency must be between 1 and 64");
  const long max_documents = a.get_long("max-documents", 0);
  if (a.has("max-documents") && max_documents < 1) throw apps::UsageError("--max-documents must be at least 1");
  double idle_exit = -1;
  if (a.has("idle-exit")) {
    idle_exit = static_cast<double>(a.get_long("idle-exit", 0));
    if (idle_exit < 0) throw apps::UsageError("--idle-exit must be 0 or more seconds");
  }
  require_settings(false);
  (void)worker::queue_settings();
  shared::serve::metrics::WorkerMetrics metrics;
  std::unique_ptr<shared::serve::http::MetricsServer> metrics_door;
  if (a.has("metrics-listen")) {
    metrics_door = std::make_unique<shared::serve::http::MetricsServer>(a.get("metrics-listen"),
                                                                       [&metrics] { return metrics.text(); });
    // The port bound, which differs from the one given when that was 0.
    const std::string listen = a.get("metrics-listen");
    std::cout << "metrics on http://" << listen.substr(0, listen.rfind(':')) << ":" << metrics_door->port()
              << "/metrics" << std::endl;
  }

  struct sigaction sa {};
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: a signal ends the wait at once
  ::sigaction(SIGTERM, &sa, nullptr);
  ::sigaction(SIGINT, &sa, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  worker::WorkerOptions options{
      .concurrency = static_cast<int>(concurrency),
      .idle_exit_s = idle_exit,
      .max_documents = max_documents,
      .child_argv = {kesto_cli::self_path(), "worker", "--serve", "--log-level", a.get("log-level", "info")},
      .on_busy = [&metrics](long running) { metrics.in_flight(running); }};
  std::map<task::Status, int> counts;
  const auto start = std::chrono::steady_clock::now();
  worker::run_worker(
      options,
      [&](const task::Outcome& o) {
        ++counts[o.status];
        metrics.finished(std::string(task::word(o.status)), o.seconds);
        if (!o.stage.empty() && o.status != task::Status::Processed) metrics.failed_at(o.stage);
        for (const auto& [stage, seconds] : o.stage_seconds) metrics.stage(stage, seconds);
        std::cout << kesto_cli::outcome_line(o) << std::endl;
      },
      [] { return static_cast<int>(g_stops); });
  const double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::string summary = "worker:";
  for (const task::Status s : {task::Status::Processed, task::Status::Deleted, task::Status::Skipped,
                               task::Status::Failed, task::Status::Error, task::Status::Retry}) {
    summary += (s == task::Status::Processed ? " " : ", ") + std::string(task::word(s)) + " " + std::to_string(counts[s]);
  }
  std::cout << summary << " in " << kesto_cli::fixed1(total) << " s" << std::endl;
  return 0;
}

// --- kesto queue -----------------------------------------------------------

apps::ArgParser queue_parser() {
  apps::ArgParser p("kesto queue", "Shows the work queue: 'kesto queue status'.");
  p.positional("ACTION", apps::Arity::one, "status: messages waiting, in the poison queue, and the rows marked "
                                           "QUEUED (those without a message named) or RUNNING")
      .flag("json", "", "print the status as one JSON object")
      .with_log_level()
      .epilog(std::string("Exit status: 0 shown, 1 storage or database unreachable, 2 usage or configuration\n"
                          "error.\n") +
              kQueueSettings);
  return p;
}

int run_queue(const std::vector<std::string>& args) {
  const apps::Parsed a = queue_parser().parse(args);
  shared::logsetup::configure_root_logger(apps::log_level(a));
  if (a.get("ACTION") != "status") throw apps::UsageError("unknown action '" + a.get("ACTION") + "' (status)");
  require_settings(false);
  const auto q = worker::queue_settings();
  const worker::QueueStatus st = worker::queue_status();
  if (a.has("json")) {
    shared::Record rows = shared::Record::array();
    for (const auto& r : st.rows) rows.push_back(r);
    std::cout << shared::text::dumps_compact(shared::Record{{"queue", q.queue},
                                                            {"waiting", st.waiting},
                                                            {"poison_queue", q.poison_queue},
                                                            {"poison", st.poison},
                                                            {"rows", rows}})
              << std::endl;
    return 0;
  }
  long queued = 0, running = 0;
  for (const auto& r : st.rows) (shared::record::get_text_or(r, "status", "") == "RUNNING" ? running : queued)++;
  std::cout << "queue '" << q.queue << "': " << st.waiting << " message(s) waiting (approximate)\n"
            << "poison queue '" << q.poison_queue << "': " << st.poison << " message(s)\n"
            << "metadata rows: " << queued << " QUEUED, " << running << " RUNNING\n";
  for (const auto& r : st.rows) {
    const shared::Record* age = shared::record::find(r, "age_s");
    std::string line = "  " + shared::record::get_text_or(r, "document_number", "") + "  " +
                       shared::record::get_text_or(r, "blob_filename", "") + "  " +
                       shared::record::get_text_or(r, "status", "") + "  " +
                       kesto_cli::fixed1(age && age->is_number() ? age->get<double>() : 0) + " s";
    const std::string error = shared::record::get_text_or(r, "error", "");
    if (r.value("no_message", false)) line += "  no message in the queue: 'kesto enqueue' queues it again";
    if (!error.empty()) line += "  " + shared::text::one_line(error);
    std::cout << shared::text::printable(line) << "\n";
  }
  std::cout.flush();
  return 0;
}

apps::RegisterCommand reg_enqueue{{"enqueue", "put documents on the work queue for kesto worker", run_enqueue}};
apps::RegisterCommand reg_worker{{"worker", "take documents from the work queue and run them", run_worker_command}};
apps::RegisterCommand reg_queue{{"queue", "show the work queue (status)", run_queue}};

}  // namespace
