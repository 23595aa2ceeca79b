#include "shared/host/runner.hpp"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <algorithm>
#include <deque>
#include <filesystem>
#include <iostream>

#include "shared/config.hpp"
#include "shared/connectors/blobhub.hpp"
#include "shared/connectors/mainstore.hpp"
#include "shared/connectors/tolvanstore.hpp"
#include "shared/errors.hpp"
#include "shared/logsetup.hpp"
#include "shared/models.hpp"
#include "shared/processors/deleter.hpp"
#include "shared/processors/orchestrator.hpp"
#include "shared/text/pyjson.hpp"
#include "shared/text/utf8.hpp"
#include "shared/zentrel/metadata.hpp"

extern char** environ;

namespace shared::host::runner {

namespace blobhub = connectors::blobhub;
namespace mainstore = connectors::mainstore;

namespace {

logsetup::Logger& log() { return logsetup::get_logger("shared.host.runner"); }

std::string now_iso() {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string base_name(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Records in batches of at most `max_batch_size`, each task carrying its batch's size.
void assign_batches(std::vector<Task>& tasks, long max_batch_size) {
  if (max_batch_size < 1) max_batch_size = 1;
  for (std::size_t start = 0; start < tasks.size(); start += static_cast<std::size_t>(max_batch_size)) {
    const std::size_t end = std::min(tasks.size(), start + static_cast<std::size_t>(max_batch_size));
    for (std::size_t i = start; i < end; ++i) tasks[i].batch_size = static_cast<long>(end - start);
  }
}

bool database_configured() {
  const auto& s = config::get();
  return !s.PGHOST.empty();
}

// The columns of the metadata table the host writes for a document.
Record metadata_data(const Record& doc, const std::string& qd) {
  Record data = Record::object();
  data["document_number"] = qd;
  data["document_name"] = record::get_text_or(doc, "document_name", "");
  data["blob_filename"] = record::get_text_or(doc, "blob_filename", "");
  data["url_document_name"] = record::get_text_or(doc, "url_document_name", "");
  data["status"] = "RUNNING";
  return data;
}

void record_outcome(const std::string& qd, const Outcome& o, const std::string& etag) {
  Record data = Record::object();
  data["status"] = o.status;
  data["stage"] = o.stage.empty() ? Record() : Record(o.stage);
  data["error"] = o.error.empty() ? Record() : Record(o.error);
  data["processed_at"] = now_iso();
  data["duration_s"] = o.seconds;
  // Only a successful run makes the source count as done, so a failed
  // document is tried again on the next run.
  data["source_etag"] = o.status == "PROCESSED" && !etag.empty() ? Record(etag) : Record();
  if (const Record* s = record::find(o.result, "summary")) data["summary"] = *s;
  // A run that did not get as far as indexing leaves no counts of its own.
  const Record* index_counts = record::find(o.result, "indexing");
  data["index_counts"] = index_counts ? *index_counts : Record();
  mainstore::update_row(config::get().PGTABLE, "document_number", Record(qd), data);
}

Outcome process_task(const Task& task, const Options& options, Outcome out,
                     std::chrono::steady_clock::time_point start) {
  const auto& s = config::get();
  const std::string blob_filename = out.name;
  std::string etag;
  std::optional<Record> row;
  const bool with_db = !out.qd_number.empty() && database_configured();

  if (task.local_file.empty()) {
    // A document from the registry: skip it when its source is unchanged
    // since its last successful run.
    const auto props = blobhub::get_blob_properties(
        blob_filename, blobhub::Where{.container = s.TOLVAN_STORAGE_CONTAINER_NAME, .use_tolvan_storage = true});
    etag = props.etag;
    if (with_db) row = mainstore::get_by_document_number(out.qd_number, s.PGTABLE);
    if (!options.force && row && record::get_text_or(*row, "status", "") == "PROCESSED" &&
        record::get_text_or(*row, "source_etag", "") == etag && !etag.empty()) {
      out.status = "SKIPPED";
      out.error = "source unchanged since its last successful run";
      return out;
    }
    const std::string bytes = blobhub::download_from_tolvan(blob_filename);
    blobhub::upload_blob(blobhub::build_blob_path(s.BLOB_FOLDER_DOCUMENTS, blob_filename), bytes,
                         {.content_type = props.content_type.empty() ? std::nullopt
                                                                     : std::optional<std::string>(props.content_type)});
  } else {
    std::ifstream in(task.local_file, std::ios::binary);
    if (!in) throw Error("cannot read '" + task.local_file + "'");
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    blobhub::upload_blob(blobhub::build_blob_path(s.BLOB_FOLDER_DOCUMENTS, blob_filename), bytes,
                         {.content_type = "application/vnd.openxmlformats-officedocument.wordprocessingml.document"});
  }

  Record doc = task.doc;
  if (with_db) {
    auto stored = mainstore::upsert_document(s.PGTABLE, out.qd_number, metadata_data(task.doc, out.qd_number));
    if (stored) doc = *stored;
  }
  doc["file_name"] = blob_filename;

  try {
    const auto result = processors::orchestrator::process_document(doc, task.batch_size);
    out.status = result.status;
    out.stage = result.status == "PROCESSED" ? "" : result.stage;
    out.error = result.error.value_or("");
    out.result = models::to_record(result);
  } catch (const std::exception& e) {
    out.status = "ERROR";
    out.error = e.what();
    out.result = models::to_record(models::PipelineResult{.doc_id = record::get_text(doc, "id"),
                                                          .file_name = blob_filename,
                                                          .status = "ERROR",
                                                          .stage = "",
                                                          .error = std::string(e.what())});
  }
  if (with_db) {
    out.seconds = seconds_since(start);
    try {
      record_outcome(out.qd_number, out, etag);
    } catch (const std::exception& e) {
      log().error("Could not record the outcome of '" + blob_filename + "': " + e.what());
      if (out.status == "PROCESSED") {
        out.status = "ERROR";
        out.error = std::string("outcome not recorded: ") + e.what();
      }
    }
  }
  return out;
}

Outcome delete_task(const Task& task, const Options& options, Outcome out) {
  const auto& s = config::get();
  if (!options.force && database_configured() && !out.qd_number.empty() &&
      !mainstore::get_by_document_number(out.qd_number, s.PGTABLE)) {
    out.status = "SKIPPED";
    out.error = "no metadata row: already deleted or never processed";
    return out;
  }
  processors::deleter::DeletionStage stage;
  Record doc = task.doc;
  doc["file_name"] = out.name;
  Record context = Record::object();
  const auto result = stage.run(doc, context);
  out.status = result.success ? "DELETED" : "ERROR";
  out.stage = result.success ? "" : result.stage;
  out.error = result.error.value_or("");
  out.result = result.data.value_or(Record());
  return out;
}

}  // namespace

Record to_record(const Task& t) {
  return Record{{"action", t.action}, {"doc", t.doc}, {"batch_size", t.batch_size}, {"local_file", t.local_file}};
}

Task task_from_record(const Record& r) {
  return Task{.action = r.at("action").get<std::string>(),
              .doc = r.at("doc"),
              .batch_size = r.at("batch_size").get<long>(),
              .local_file = r.at("local_file").get<std::string>()};
}

Record to_record(const Outcome& o) {
  return Record{{"action", o.action}, {"name", o.name},       {"qd_number", o.qd_number}, {"status", o.status},
                {"stage", o.stage},   {"error", o.error},     {"seconds", o.seconds},     {"result", o.result}};
}

Outcome outcome_from_record(const Record& r) {
  return Outcome{.action = r.at("action").get<std::string>(),
                 .name = r.at("name").get<std::string>(),
                 .qd_number = r.at("qd_number").get<std::string>(),
                 .status = r.at("status").get<std::string>(),
                 .stage = r.at("stage").get<std::string>(),
                 .error = r.at("error").get<std::string>(),
                 .seconds = r.at("seconds").get<double>(),
                 .result = r.at("result")};
}

std::vector<Task> pending_tasks(long max_batch_size) {
  std::vector<Task> tasks;
  for (const Record& rec : connectors::tolvanstore::get_all_pending_documents()) {
    const std::string status = record::get_text_or(rec, "kesto_status", "");
    if (status == "NEW" || status == "UPDATED") {
      tasks.push_back(Task{.action = "process", .doc = rec});
    } else if (status == "DELETED") {
      tasks.push_back(Task{.action = "delete", .doc = rec});
    }
  }
  assign_batches(tasks, max_batch_size);
  return tasks;
}

Record record_from_file_name(const std::string& file_name) {
  std::string number = processors::deleter::find_qd_number(file_name);
  for (char& c : number) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const auto dot = file_name.find_last_of('.');
  return Record{{"blob_filename", file_name},
                {"document_name", dot == std::string::npos || dot == 0 ? file_name : file_name.substr(0, dot)},
                {"document_number", number},
                {"url_document_name", ""}};
}

std::vector<Task> local_tasks(const std::vector<std::string>& files, const std::string& metadata_path,
                              long max_batch_size) {
  std::vector<Record> rows;
  if (!metadata_path.empty()) rows = zentrel::metadata::load_metadata(metadata_path);
  std::vector<Task> tasks;
  for (const std::string& file : files) {
    if (!std::filesystem::is_regular_file(file)) throw ValueError("not a file: '" + file + "'");
    const std::string name = base_name(file);
    Record doc;
    for (const Record& row : rows) {
      if (record::get_text_or(row, "blob_filename", "") == name) {
        doc = row;
        break;
      }
    }
    if (doc.is_null()) doc = record_from_file_name(name);
    // The index and the deletion both key on the QD-number: a document without
    // one would leave artefacts nothing can find again, so refuse it before
    // anything is uploaded.
    if (text::strip(record::get_text_or(doc, "document_number", "")).empty()) {
      throw ValueError("'" + name + "' has no QD-number: give it a row with a document_number in --metadata, " +
                       "or put the QD-number in its file name");
    }
    tasks.push_back(Task{.action = "process", .doc = doc, .local_file = file});
  }
  assign_batches(tasks, max_batch_size);
  return tasks;
}

Outcome run_task(const Task& task, const Options& options) {
  Outcome out;
  out.action = task.action;
  out.name = record::get_text_or(task.doc, "blob_filename", "");
  out.qd_number = std::string(text::strip(record::get_text_or(task.doc, "document_number", "")));
  const auto start = std::chrono::steady_clock::now();
  try {
    out = task.action == "delete" ? delete_task(task, options, out) : process_task(task, options, out, start);
  } catch (const std::exception& e) {
    out.status = "ERROR";
    if (out.stage.empty()) out.stage = task.action == "delete" ? "DELETION" : "";
    out.error = e.what();
  }
  out.seconds = seconds_since(start);
  return out;
}

std::vector<std::string> missing_settings(bool pending, bool uses_database) {
  const auto& s = config::get();
  std::vector<std::string> missing;
  auto need = [&](const std::string& value, const char* var) {
    if (value.empty()) missing.emplace_back(var);
  };
  need(s.STORAGE_CONNECTION_STRING, "STORAGE_ACCOUNT_CONNECTION_STRING");
  need(s.STORAGE_CONTAINER_NAME, "STORAGE_CONTAINER_NAME");
  if (pending) {
    need(s.TOLVAN_STORAGE_CONNECTION_STRING, "TOLVAN_STORAGE_ACCOUNT_CONNECTION_STRING");
    need(s.TOLVAN_STORAGE_CONTAINER_NAME, "TOLVAN_STORAGE_CONTAINER_NAME");
    need(s.TOLVANSTORE_HOST, "TOLVANSTORE_HOST");
    need(s.TOLVANSTORE_USER, "TOLVANSTORE_USER");
    need(s.TOLVANSTORE_PASSWORD, "TOLVANSTORE_PASSWORD");
    need(s.TOLVANSTORE_SCHEMA, "TOLVANSTORE_SCHEMA");
    need(s.TOLVANSTORE_TABLE, "TOLVANSTORE_TABLE");
  }
  if (uses_database) {
    need(s.PGHOST, "PGHOST");
    need(s.PGUSER, "PGUSER");
    need(s.PGDATABASE, "PGDATABASE");
  }
  if (s.SUMMARY_ENGINE != "outline") {
    need(s.AZURE_OPENAI_ENDPOINT, "AZURE_OPENAI_ENDPOINT");
    need(s.AZURE_OPENAI_KEY, "AZURE_OPENAI_KEY");
    need(s.OPENAI_SUMMARY_MODEL, "OPENAI_SUMMARY_MODEL");
  }
  return missing;
}

namespace {

// A worker process and the two pipe ends the parent holds.
struct Worker {
  pid_t pid = -1;
  int to_child = -1;    // the child's standard input
  int from_child = -1;  // the child's standard output
  std::string buffer;
  bool busy = false;
  Task task;
};

void write_all(int fd, const std::string& data) {
  std::size_t off = 0;
  while (off < data.size()) {
    const ssize_t n = ::write(fd, data.data() + off, data.size() - off);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw Error(std::string("cannot hand a document to a worker: ") + std::strerror(errno));
    }
    off += static_cast<std::size_t>(n);
  }
}

Worker spawn_worker(const std::vector<std::string>& argv) {
  int in_pipe[2], out_pipe[2];
  if (::pipe2(in_pipe, O_CLOEXEC) != 0 || ::pipe2(out_pipe, O_CLOEXEC) != 0) {
    throw Error(std::string("cannot start a worker: ") + std::strerror(errno));
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid;
  const int rc = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in_pipe[0]);
  ::close(out_pipe[1]);
  if (rc != 0) {
    ::close(in_pipe[1]);
    ::close(out_pipe[0]);
    throw Error(std::string("cannot start a worker: ") + std::strerror(rc));
  }
  Worker w;
  w.pid = pid;
  w.to_child = in_pipe[1];
  w.from_child = out_pipe[0];
  return w;
}

}  // namespace

void run_all(const std::vector<Task>& tasks, const Options& options, int jobs,
             const std::vector<std::string>& worker_argv, const std::function<void(const Outcome&)>& on_done) {
  if (jobs <= 1 || tasks.size() <= 1) {
    for (const Task& t : tasks) on_done(run_task(t, options));
    return;
  }
  // A worker that dies must not kill the parent with SIGPIPE.
  ::signal(SIGPIPE, SIG_IGN);
  std::vector<Worker> workers;
  const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(jobs), tasks.size());
  for (std::size_t i = 0; i < n; ++i) workers.push_back(spawn_worker(worker_argv));

  std::deque<const Task*> queue;
  for (const Task& t : tasks) queue.push_back(&t);
  auto hand_out = [&](Worker& w) {
    if (queue.empty()) return;
    w.task = *queue.front();
    queue.pop_front();
    w.busy = true;
    write_all(w.to_child, text::dumps_compact(to_record(w.task)) + "\n");
  };
  for (Worker& w : workers) hand_out(w);

  auto busy_count = [&] {
    return std::count_if(workers.begin(), workers.end(), [](const Worker& w) { return w.busy; });
  };
  while (busy_count() > 0) {
    std::vector<pollfd> fds;
    std::vector<Worker*> owners;
    for (Worker& w : workers) {
      if (w.busy) {
        fds.push_back(pollfd{w.from_child, POLLIN, 0});
        owners.push_back(&w);
      }
    }
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      throw Error(std::string("waiting for workers failed: ") + std::strerror(errno));
    }
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      Worker& w = *owners[i];
      char buf[65536];
      const ssize_t got = ::read(w.from_child, buf, sizeof buf);
      if (got <= 0) {
        // The worker died in the middle of a document: that document is an
        // error, and a fresh worker takes the rest.
        Outcome lost;
        lost.action = w.task.action;
        lost.name = record::get_text_or(w.task.doc, "blob_filename", "");
        lost.qd_number = record::get_text_or(w.task.doc, "document_number", "");
        lost.status = "ERROR";
        lost.error = "worker process ended unexpectedly";
        ::close(w.to_child);
        ::close(w.from_child);
        ::waitpid(w.pid, nullptr, 0);
        w.busy = false;
        on_done(lost);
        if (!queue.empty()) {
          w = spawn_worker(worker_argv);
          hand_out(w);
        }
        continue;
      }
      w.buffer.append(buf, static_cast<std::size_t>(got));
      std::size_t eol;
      while ((eol = w.buffer.find('\n')) != std::string::npos) {
        const std::string line = w.buffer.substr(0, eol);
        w.buffer.erase(0, eol + 1);
        w.busy = false;
        on_done(outcome_from_record(Record::parse(line)));
        hand_out(w);
      }
    }
  }
  for (Worker& w : workers) {
    ::close(w.to_child);
    ::close(w.from_child);
    ::waitpid(w.pid, nullptr, 0);
  }
}

int run_worker(const Options& options) {
  std::string line;
  while (std::getline(std::cin, line)) {
    if (line.empty()) continue;
    Outcome out;
    try {
      out = run_task(task_from_record(Record::parse(line)), options);
    } catch (const std::exception& e) {
      out.status = "ERROR";
      out.error = std::string("bad task: ") + e.what();
    }
    const std::string reply = text::dumps_compact(to_record(out)) + "\n";
    std::fwrite(reply.data(), 1, reply.size(), stdout);
    std::fflush(stdout);
  }
  return 0;
}

}  // namespace shared::host::runner
