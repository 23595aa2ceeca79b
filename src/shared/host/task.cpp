#include "shared/host/task.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <filesystem>
#include <ostream>
#include <utility>

#include "shared/config.hpp"
#include "shared/connectors/tolvanstore.hpp"
#include "shared/errors.hpp"
#include "shared/processors/validator.hpp"
#include "shared/text/qd_number.hpp"
#include "shared/text/utf8.hpp"
#include "shared/zentrel/metadata.hpp"

namespace shared::host::task {

namespace {

constexpr std::array<std::pair<Status, std::string_view>, 10> kStatusWords = {{
    {Status::Processed, "PROCESSED"},
    {Status::Failed, "FAILED"},
    {Status::Error, "ERROR"},
    {Status::Deleted, "DELETED"},
    {Status::Skipped, "SKIPPED"},
    {Status::Queued, "QUEUED"},
    {Status::Running, "RUNNING"},
    {Status::Waiting, "WAITING"},
    {Status::Retry, "RETRY"},
    {Status::DeletionPending, "DELETION_PENDING"},
}};

constexpr std::array<std::pair<Action, std::string_view>, 2> kActionWords = {{
    {Action::Process, "process"},
    {Action::Delete, "delete"},
}};

template <class Words, class E>
std::string_view word_in(const Words& words, E value) {
  for (const auto& [v, w] : words) {
    if (v == value) return w;
  }
  return "";
}

template <class E, class Words>
std::optional<E> named_in(const Words& words, std::string_view word) {
  for (const auto& [v, w] : words) {
    if (w == word) return v;
  }
  return std::nullopt;
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

}  // namespace

std::string_view word(Status s) { return word_in(kStatusWords, s); }
std::optional<Status> status_named(std::string_view word) { return named_in<Status>(kStatusWords, word); }
std::ostream& operator<<(std::ostream& out, Status s) { return out << word(s); }

std::string_view word(Action a) { return word_in(kActionWords, a); }
std::optional<Action> action_named(std::string_view word) { return named_in<Action>(kActionWords, word); }
std::ostream& operator<<(std::ostream& out, Action a) { return out << word(a); }

Number number_of(const Task& task) {
  Number n{.given = std::string(text::strip(record::get_text_or(task.doc, "document_number", "")))};
  n.qd = text::normalize_qd_number(n.given);
  return n;
}

Outcome outcome_of(const Task* task, Status status, std::string error) {
  Outcome o;
  if (task) {
    o.action = task->action;
    o.name = record::get_text_or(task->doc, "blob_filename", "");
    o.qd_number = record::get_text_or(task->doc, "document_number", "");
  }
  o.status = status;
  o.error = std::move(error);
  return o;
}

FileCheck check_file(const Task& task) {
  processors::validator::ValidationStage validation;
  Record context{{"batch_size", task.batch_size}};
  const auto verdict = validation.run(task.doc, context);
  return {.passed = verdict.success, .stage = verdict.stage, .error = verdict.error.value_or("")};
}

connectors::blobhub::BlobProperties source_properties(const Task& task) {
  namespace blobhub = connectors::blobhub;
  const auto& s = config::get();
  const std::string name = record::get_text_or(task.doc, "blob_filename", "");
  if (task.uploaded) return blobhub::get_blob_properties(blobhub::build_blob_path(s.BLOB_FOLDER_DOCUMENTS, name));
  return blobhub::get_blob_properties(
      name, blobhub::Where{.container = s.TOLVAN_STORAGE_CONTAINER_NAME, .use_tolvan_storage = true});
}

Record to_record(const Task& t) {
  Record r{{"action", std::string(word(t.action))}, {"doc", t.doc}, {"batch_size", t.batch_size}, {"local_file", t.local_file}};
  if (t.uploaded) r["uploaded"] = true;
  return r;
}

Task task_from_record(const Record& r) {
  const auto action = action_named(r.at("action").get<std::string>());
  if (!action) throw ValueError("unknown action " + r.at("action").dump());
  return Task{.action = *action,
              .doc = r.at("doc"),
              .batch_size = r.at("batch_size").get<long>(),
              .local_file = r.at("local_file").get<std::string>(),
              .uploaded = r.value("uploaded", false)};
}

Record to_record(const Outcome& o) {
  Record r{{"action", std::string(o.action ? word(*o.action) : "")},
           {"name", o.name},
           {"qd_number", o.qd_number},
           {"status", std::string(word(o.status))},
           {"stage", o.stage},
           {"error", o.error},
           {"seconds", o.seconds},
           {"result", o.result}};
  if (o.retryable) r["retryable"] = true;
  if (!o.stage_seconds.empty()) {
    Record timed = Record::array();
    for (const auto& [stage, seconds] : o.stage_seconds) timed.push_back(Record::array({stage, seconds}));
    r["stage_seconds"] = timed;
  }
  return r;
}

Outcome outcome_from_record(const Record& r) {
  const std::string action = r.at("action").get<std::string>();
  const auto status = status_named(r.at("status").get<std::string>());
  if (!status) throw ValueError("unknown status " + r.at("status").dump());
  Outcome o{.name = r.at("name").get<std::string>(),
            .qd_number = r.at("qd_number").get<std::string>(),
            .status = *status,
            .stage = r.at("stage").get<std::string>(),
            .error = r.at("error").get<std::string>(),
            .seconds = r.at("seconds").get<double>(),
            .result = r.at("result"),
            .retryable = r.value("retryable", false)};
  if (const Record* timed = record::find(r, "stage_seconds")) {
    for (const Record& t : *timed) o.stage_seconds.emplace_back(t.at(0).get<std::string>(), t.at(1).get<double>());
  }
  if (!action.empty()) {
    o.action = action_named(action);
    if (!o.action) throw ValueError("unknown action " + r.at("action").dump());
  }
  return o;
}

std::vector<Task> pending_tasks(long max_batch_size) {
  std::vector<Task> tasks;
  for (const Record& rec : connectors::tolvanstore::get_all_pending_documents()) {
    const std::string status = record::get_text_or(rec, "kesto_status", "");
    if (status == "NEW" || status == "UPDATED") {
      tasks.push_back(Task{.action = Action::Process, .doc = rec});
    } else if (status == "DELETED") {
      tasks.push_back(Task{.action = Action::Delete, .doc = rec});
    }
  }
  assign_batches(tasks, max_batch_size);
  return tasks;
}

Record record_from_file_name(const std::string& file_name) {
  std::string number = text::find_qd_number(file_name);
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
    tasks.push_back(Task{.action = Action::Process, .doc = doc, .local_file = file});
  }
  assign_batches(tasks, max_batch_size);
  return tasks;
}

}  // namespace shared::host::task
