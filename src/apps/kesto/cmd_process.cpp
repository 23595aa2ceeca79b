// kesto process: runs documents through the whole pipeline.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
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
#include "shared/text/pyjson.hpp"
#include "shared/text/utf8.hpp"

namespace {

using namespace shared::host;

apps::ArgParser parser() {
  apps::ArgParser p("kesto process",
                    "Runs documents through the pipeline: the registry's pending documents (--pending), or local\n"
                    "Word files. NEW and UPDATED documents are copied into the documents folder, recorded in the\n"
                    "metadata table and processed; DELETED documents are removed by the deletion stage.\n"
                    "A document whose source is unchanged since its last successful run is skipped.");
  p.positional("FILE.docx", apps::Arity::many, "local Word files to upload and process")
      .flag("pending", "", "process the registry's pending documents")
      .option("metadata", "", "FILE", "CSV or JSON metadata for local files (rows matched by blob_filename)")
      .flag("force", "", "process unchanged documents and delete unknown ones anyway")
      .option("jobs", "j", "N", "documents at a time, each in its own worker process (default 1)")
      .flag("json", "", "write one pipeline result per line on standard output")
      .flag("worker", "", "(internal) serve tasks on standard input")
      .with_log_level()
      .epilog("Each document gets one line: name, QD-number, outcome, stage, seconds; then \"lost: ...\"\n"
              "when the Word file holds what its Markdown leaves out (drawings, text boxes, ...), and the\n"
              "error, if any.\n"
              "Exit status: 0 every document processed (or skipped), 1 any document failed, 2 usage or\n"
              "configuration error. Log records go to standard error as JSON lines.");
  return p;
}

using kesto_cli::fixed1;
using kesto_cli::self_path;

int run(const std::vector<std::string>& args) {
  const apps::Parsed a = parser().parse(args);
  shared::logsetup::configure_root_logger(apps::log_level(a));
  task::Options options{.force = a.has("force")};
  if (a.has("worker")) return runner::run_worker(options, std::cin, std::cout);

  const bool pending = a.has("pending");
  const auto files = a.list("FILE.docx");
  if (pending == !files.empty()) throw apps::UsageError("give either --pending or local FILE.docx arguments");
  if (pending && a.has("metadata")) throw apps::UsageError("--metadata goes with local files");
  const long jobs = a.get_long("jobs", 1);
  if (jobs < 1 || jobs > 64) throw apps::UsageError("--jobs must be between 1 and 64");

  const auto& settings = shared::config::get();
  apps::require_settings(runner::missing_settings(pending, pending));

  const auto tasks = pending ? task::pending_tasks(settings.MAX_BATCH_SIZE)
                             : task::local_tasks(files, a.get("metadata"), settings.MAX_BATCH_SIZE);
  std::vector<std::string> worker = {self_path(), "process", "--worker", "--log-level", a.get("log-level", "info")};
  if (options.force) worker.push_back("--force");

  // A worker process that dies must not take this one with it through a
  // write to its pipe.
  ::signal(SIGPIPE, SIG_IGN);
  const bool json = a.has("json");
  const bool progress = tasks.size() > 3 && ::isatty(STDERR_FILENO);
  std::map<task::Status, int> counts;
  std::size_t done = 0;
  const auto start = std::chrono::steady_clock::now();
  runner::run_all(tasks, options, static_cast<int>(jobs), worker, [&](const task::Outcome& o) {
    ++done;
    ++counts[o.status];
    if (json) {
      if (o.status != task::Status::Skipped && o.action == task::Action::Process) {
        std::cout << shared::text::dumps_compact(o.result) << "\n";
      }
      if (o.action == task::Action::Delete && o.status != task::Status::Skipped) {
        std::cout << shared::text::dumps_compact(shared::Record{{"qd_number", o.qd_number},
                                                                {"status", std::string(task::word(o.status))},
                                                                {"result", o.result}})
                  << "\n";
      }
    } else {
      std::cout << kesto_cli::outcome_line(o) << "\n";
    }
    std::cout.flush();
    if (progress) std::cerr << "\r\033[K[" << done << "/" << tasks.size() << "] " << o.name << std::flush;
  });
  if (progress) std::cerr << "\r\033[K";

  const double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::string summary = std::to_string(tasks.size()) + " document(s):";
  for (const task::Status s : {task::Status::Processed, task::Status::Deleted, task::Status::Skipped,
                               task::Status::Failed, task::Status::Error}) {
    summary += " " + std::string(task::word(s)) + " " + std::to_string(counts[s]) + (s == task::Status::Error ? "" : ",");
  }
  summary += " in " + fixed1(total) + " s (" + fixed1(total > 0 ? static_cast<double>(tasks.size()) / total : 0) +
             " documents/s)";
  (json ? std::cerr : std::cout) << summary << std::endl;
  return counts[task::Status::Failed] + counts[task::Status::Error] > 0 ? 1 : 0;
}

apps::RegisterCommand reg{{"process", "run documents through the whole pipeline (registry or local files)", run}};

}  // namespace
