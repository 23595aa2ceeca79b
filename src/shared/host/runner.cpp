#include "shared/host/runner.hpp"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <iostream>
#include <map>
#include <mutex>

#include "shared/clock.hpp"
#include "shared/config.hpp"
#include "shared/connectors/audit.hpp"
#include "shared/connectors/blobhub.hpp"
#include "shared/connectors/kept_connection.hpp"
#include "shared/connectors/mainstore.hpp"
#include "shared/connectors/pg.hpp"
#include "shared/connectors/tolvanstore.hpp"
#include "shared/errors.hpp"
#include "shared/fs/files.hpp"
#include "shared/host/audit_trail.hpp"
#include "shared/logsetup.hpp"
#include "shared/models.hpp"
#include "shared/proc/child.hpp"
#include "shared/processors/aigate.hpp"
#include "shared/processors/deleter.hpp"
#include "shared/processors/orchestrator.hpp"
#include "shared/processors/validator.hpp"
#include "shared/text/fixed.hpp"
#include "shared/text/pyjson.hpp"
#include "shared/text/qd_number.hpp"
#include "shared/text/utf8.hpp"
#include "shared/zentrel/metadata.hpp"

namespace shared::host::runner {

namespace blobhub = connectors::blobhub;
namespace mainstore = connectors::mainstore;
namespace pg = connectors::pg;

namespace {

logsetup::Logger& log() { return logsetup::get_logger("shared.host.runner"); }

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

// The columns of the metadata table the host writes for a document. The
// time a run starts is kept in processed_at while the row says RUNNING, so
// that a row left RUNNING by a run that died can be recognised by its age.
Record metadata_data(const Record& doc, const std::string& qd) {
  Record data = Record::object();
  data["document_number"] = qd;
  data["document_name"] = record::get_text_or(doc, "document_name", "");
  data["blob_filename"] = record::get_text_or(doc, "blob_filename", "");
  data["url_document_name"] = record::get_text_or(doc, "url_document_name", "");
  data["status"] = "RUNNING";
  data["processed_at"] = clock::utc_now_iso();
  return data;
}

bool metadata_has_column(const std::string& column);

// The host's own connection to the metadata database, kept for the life of
// the process: it holds the per-document locks, answers the host's checks
// and writes the rows without a TLS handshake per document.
struct HostSession {
  static mainstore::KeptConnection& get() {
    static mainstore::KeptConnection session;
    return session;
  }
};

void record_outcome(const std::string& qd, const Outcome& o, const std::string& etag) {
  Record data = Record::object();
  data["status"] = o.status;
  data["stage"] = o.stage.empty() ? Record() : Record(o.stage);
  data["error"] = o.error.empty() ? Record() : Record(o.error);
  data["processed_at"] = clock::utc_now_iso();
  data["duration_s"] = o.seconds;
  // Only a successful run makes the source count as done, so a failed
  // document is tried again on the next run.
  data["source_etag"] = o.status == "PROCESSED" && !etag.empty() ? Record(etag) : Record();
  if (const Record* s = record::find(o.result, "summary")) data["summary"] = *s;
  // A run that did not get as far as indexing leaves no counts of its own.
  // Tables made before the column existed keep working without it.
  if (metadata_has_column("index_counts")) {
    const Record* index_counts = record::find(o.result, "indexing");
    data["index_counts"] = index_counts ? *index_counts : Record();
  }
  // What the last conversion left out of the document; null when the run
  // did not get as far as converting it.
  if (metadata_has_column("loss_report")) {
    const Record* loss_report = record::find(o.result, "loss_report");
    data["loss_report"] = loss_report ? *loss_report : Record();
  }
  HostSession::get().with_conn(
      [&](PGconn* c) { return mainstore::update_row(c, config::get().PGTABLE, "document_number", Record(qd), data); });
}

Record unchecked_row(const Record& doc, const std::string& qd);

// A document that ended before the pipeline ran still has its output line
// and its trail's "failed" event. A refused one (FAILED) writes no row:
// what it asked for was never done, and a deletion trusts a row's file
// name. One that could not run (storage down) says so in its row; an
// existing row keeps the file and names of what was run before. Failing to
// write is logged; the outcome stands.
void record_early_outcome(const Task& task, const Outcome& o) {
  if (o.status != "FAILED") {
    try {
      Record data = Record::object();
      data["status"] = o.status;
      data["stage"] = o.stage.empty() ? Record() : Record(o.stage);
      data["error"] = o.error.empty() ? Record() : Record(o.error);
      data["processed_at"] = clock::utc_now_iso();
      data["duration_s"] = o.seconds;
      data["source_etag"] = Record();
      const std::string table = config::get().PGTABLE;
      const auto updated = HostSession::get().with_conn(
          [&](PGconn* c) { return mainstore::update_row(c, table, "document_number", Record(o.qd_number), data); });
      if (!updated) {
        Record fresh = unchecked_row(task.doc, o.qd_number);
        for (const auto& [k, v] : data.items()) fresh[k] = v;
        HostSession::get().with_conn(
            [&](PGconn* c) { return mainstore::upsert_document(c, table, o.qd_number, fresh); });
      }
    } catch (const std::exception& e) {
      log().error("Could not record the outcome of '" + o.name + "': " + text::one_line(e.what()));
    }
  }
  // Nothing of the document was written, so a trail that cannot be reached
  // loses no artefact: the failure is logged and the outcome stands.
  try {
    append_audit(audit_trail::run_events(o.qd_number, o.name, {}, "", o.status, o.stage, o.error, Record()));
  } catch (const std::exception& e) {
    log().error("Could not write the audit trail of '" + o.name + "': " + text::one_line(e.what()));
  }
}

// Whether the metadata table has `column`, asked once per table and column
// in a process.
bool metadata_has_column(const std::string& column) {
  static std::mutex mu;
  static std::map<std::string, bool> known;
  const std::string table = config::get().PGTABLE;
  std::lock_guard lock(mu);
  const std::string key = table + "." + column;
  if (auto it = known.find(key); it != known.end()) return it->second;
  const bool present = HostSession::get().with_conn([&](PGconn* c) {
    pg::PgResult r = pg::execute(c,
                                 "SELECT EXISTS (SELECT 1 FROM pg_attribute WHERE attrelid = to_regclass(%s) "
                                 "AND attname = %s AND NOT attisdropped) AS present",
                                 {table, column});
    return pg::first_row(r.get()).value_or(Record::object()).value("present", false);
  });
  if (!present) {
    log().warning("The metadata table '" + table + "' has no column " + column +
                  ": run sql/sop_metadata.sql on it to record it");
  }
  known[key] = present;
  return present;
}

// Session-level advisory locks on the host's kept connection. A document is
// run by one process at a time, whichever run or machine started it.
class DocumentLock : public pg::AdvisoryLock<mainstore::KeptConnection> {
 public:
  DocumentLock() : AdvisoryLock(HostSession::get()) {}
};

// The lock names of a document: its number within its metadata table, and
// its artefact names within the output container. Pipelines that keep their
// own tables and containers in one database do not hold each other up.
std::string document_lock_name(const std::string& qd) {
  return "kesto.document:" + config::get().PGTABLE + ":" + qd;
}

// What the metadata table says of a document before its run.
struct RowState {
  bool exists = false;
  std::string status, source_etag;
  double age_s = 0;  // since processed_at
  // processed_at in seconds since 1970, as the database writes it: every
  // write of the row changes it, whatever the clocks of the machines.
  std::string mark;
};

// Whether the row says the source with `etag` has been processed successfully.
bool unchanged_since_success(const RowState& row, const std::string& etag) {
  return row.exists && row.status == "PROCESSED" && row.source_etag == etag && !etag.empty();
}

RowState row_state(const std::string& qd) {
  const std::string table = config::get().PGTABLE;
  pg::check_identifier(table, "table name", true);
  return HostSession::get().with_conn([&](PGconn* c) {
    pg::PgResult r = pg::execute(c,
                                 "SELECT status, source_etag, COALESCE(extract(epoch FROM now() - processed_at), 0)"
                                 "::float8 AS age_s, COALESCE(extract(epoch FROM processed_at)::text, '') AS mark "
                                 "FROM " +
                                     table + " WHERE document_number = %s",
                                 {qd});
    RowState st;
    if (const auto row = pg::first_row(r.get())) {
      st.exists = true;
      st.status = record::get_text_or(*row, "status", "");
      st.source_etag = record::get_text_or(*row, "source_etag", "");
      if (const Record* a = record::find(*row, "age_s"); a && a->is_number()) st.age_s = a->get<double>();
      st.mark = record::get_text_or(*row, "mark", "");
    }
    return st;
  });
}

// The last path component of a blob name without its extension: what the
// artefact names of a file are built from.
std::string file_stem(const std::string& blob_filename) {
  const std::string name = base_name(blob_filename);
  const auto dot = name.rfind('.');
  return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

// Another document (by QD-number) whose recorded file would give artefacts
// of the same names as `blob_filename`; "" when none. Two such documents
// would overwrite each other's Markdown, sections and summary, and the
// deletion of one would remove the other's.
std::string colliding_document(const std::string& qd, const std::string& blob_filename) {
  const std::vector<Record> rows = HostSession::get().with_conn(
      [&](PGconn* c) { return mainstore::files_holding(c, config::get().PGTABLE, qd, {file_stem(blob_filename)}); });
  const std::vector<std::string> mine = processors::deleter::artifact_paths(blob_filename);
  for (const Record& row : rows) {
    const std::string other = record::get_text_or(row, "blob_filename", "");
    for (const std::string& p : processors::deleter::artifact_paths(other)) {
      if (std::find(mine.begin(), mine.end(), p) != mine.end()) {
        return record::get_text_or(row, "document_number", "") + " ('" + other + "')";
      }
    }
  }
  return {};
}

// The refusal of a file whose artefact names `other` (as colliding_document
// gives it) already has.
std::string collision_error(const std::string& blob_filename, const std::string& other) {
  return "'" + blob_filename + "' would overwrite the artefacts of " + other +
         ": the two documents need file names of their own";
}

// The row made for a document that has none, before its checks ran (a
// queued document, one whose storage was down): its file name only when no
// other document's recorded file gives the same artefact names, since a
// deletion trusts a row's file name.
Record unchecked_row(const Record& doc, const std::string& qd) {
  Record data = metadata_data(doc, qd);
  const std::string name = record::get_text_or(data, "blob_filename", "");
  if (!name.empty() && !colliding_document(qd, name).empty()) data["blob_filename"] = Record();
  return data;
}

std::string artifacts_lock_name(const std::string& blob_filename) {
  return "kesto.artifacts:" + config::get().STORAGE_CONTAINER_NAME + ":" + file_stem(blob_filename);
}

std::string qd_number_error(const std::string& given) {
  return given.empty() ? "Document has no QD-number (document_number)"
                       : "Invalid QD-number '" + given + "': a QD-number is 'QD-' followed by digits";
}

Outcome process_task(const Task& task, const Options& options, Outcome out,
                     std::chrono::steady_clock::time_point start) {
  const auto& s = config::get();
  const std::string blob_filename = out.name;
  std::string etag;
  const bool with_db = database_configured();

  // The file type is checked before anything is uploaded, so a refused file
  // leaves no blob behind.
  {
    processors::validator::ValidationStage validation;
    Record context{{"batch_size", task.batch_size}};
    const auto verdict = validation.run(task.doc, context);
    if (!verdict.success) {
      out.status = "FAILED";
      out.stage = verdict.stage;
      out.error = verdict.error.value_or("");
      out.seconds = seconds_since(start);
      if (with_db) record_early_outcome(task, out);
      return out;
    }
  }

  DocumentLock lock;
  std::string note;
  if (with_db) {
    if (!lock.try_lock({document_lock_name(out.qd_number), artifacts_lock_name(blob_filename)})) {
      out.status = "SKIPPED";
      out.error = "being run by another process at this moment";
      out.retryable = true;
      return out;
    }
  }

  // Every artefact the run writes, as the storage acknowledged it, for the
  // audit trail.
  blobhub::UploadJournal journal;
  try {
    std::optional<RowState> row;
    if (with_db) row = row_state(out.qd_number);
    std::string content_type;
    if (task.local_file.empty()) {
      // The source: the registry's file, or one uploaded into the documents
      // folder when it was queued. A run is not repeated for a source that
      // has not changed since its last successful run.
      const auto props =
          task.uploaded
              ? blobhub::get_blob_properties(blobhub::build_blob_path(s.BLOB_FOLDER_DOCUMENTS, blob_filename))
              : blobhub::get_blob_properties(
                    blob_filename,
                    blobhub::Where{.container = s.TOLVAN_STORAGE_CONTAINER_NAME, .use_tolvan_storage = true});
      etag = props.etag;
      content_type = props.content_type;
      if (row && unchanged_since_success(*row, etag)) {
        if (!options.force) {
          out.status = "SKIPPED";
          out.error = "source unchanged since its last successful run";
          return out;
        }
        if (options.queued_row_mark && row->mark != *options.queued_row_mark) {
          out.status = "SKIPPED";
          out.error = "already processed from the same source since it was queued";
          return out;
        }
      }
    }
    if (row && row->exists && row->status == "RUNNING") {
      // This run holds the document's lock, so the run that marked the row
      // is gone (or lost its lock with its connection, and ends in ERROR):
      // the lock, not the age of the mark, says whether a run is alive.
      note = "previous run abandoned (RUNNING for " + text::fixed(row->age_s, 0) + " s); run again";
      log().warning("'" + blob_filename + "' (" + out.qd_number + "): " + note);
    }
    if (with_db) {
      const std::string other = colliding_document(out.qd_number, blob_filename);
      if (!other.empty()) {
        out.status = "FAILED";
        out.stage = "VALIDATION";
        out.error = collision_error(blob_filename, other);
        out.seconds = seconds_since(start);
        record_early_outcome(task, out);
        return out;
      }
    }

    if (task.uploaded) {
      // Already in the documents folder (queued from another machine's files).
    } else if (task.local_file.empty()) {
      const std::string bytes = blobhub::download_from_tolvan(blob_filename);
      blobhub::upload_blob(
          blobhub::build_blob_path(s.BLOB_FOLDER_DOCUMENTS, blob_filename), bytes,
          {.content_type = content_type.empty() ? std::nullopt : std::optional<std::string>(content_type)});
    } else {
      const std::string bytes = shared::fs::read_file(task.local_file);
      blobhub::upload_blob(blobhub::build_blob_path(s.BLOB_FOLDER_DOCUMENTS, blob_filename), bytes,
                           {.content_type = "application/vnd.openxmlformats-officedocument.wordprocessingml.document"});
    }
  } catch (const std::exception& e) {
    // Storage unreachable, or the source gone: the document is an error of
    // this run, and its row says so.
    out.status = "ERROR";
    out.error = text::one_line(e.what());
    out.retryable = transient(e);
    out.seconds = seconds_since(start);
    if (with_db) record_early_outcome(task, out);
    return out;
  }

  Record doc = task.doc;
  if (with_db) {
    auto stored = HostSession::get().with_conn([&](PGconn* c) {
      return mainstore::upsert_document(c, s.PGTABLE, out.qd_number, metadata_data(task.doc, out.qd_number));
    });
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
    out.retryable = transient(e);
    out.result = models::to_record(models::PipelineResult{.doc_id = record::get_text(doc, "id"),
                                                          .file_name = blob_filename,
                                                          .status = "ERROR",
                                                          .stage = "",
                                                          .error = std::string(e.what())});
  }
  if (with_db && !lock.intact()) {
    // Another process may have taken the document up meanwhile: this run's
    // outcome is not to be trusted, and the document is run again.
    out.status = "ERROR";
    out.error = (out.error.empty() ? "" : out.error + "; ") +
                "the document's lock was lost with the database connection during the run";
    out.retryable = true;
  }
  if (with_db) {
    // An artefact the trail does not know of is not acceptable: a run whose
    // events cannot be written is an error, and is run again next time.
    const Record* indexing = record::find(out.result, "indexing");
    try {
      append_audit(audit_trail::run_events(out.qd_number, blob_filename, journal.records(), etag, out.status,
                                           out.stage, out.error, indexing ? *indexing : Record()));
    } catch (const std::exception& e) {
      log().error("Could not write the audit trail of '" + blob_filename + "': " + text::one_line(e.what()));
      out.status = "ERROR";
      out.error = (out.error.empty() ? "" : out.error + "; ") + "audit trail not written: " + text::one_line(e.what());
      out.retryable = transient(e);
    }
    out.seconds = seconds_since(start);
    try {
      record_outcome(out.qd_number, out, etag);
    } catch (const std::exception& e) {
      log().error("Could not record the outcome of '" + blob_filename + "': " + text::one_line(e.what()));
      if (out.status == "PROCESSED") {
        out.status = "ERROR";
        out.error = std::string("outcome not recorded: ") + e.what();
        out.retryable = transient(e);
      }
    }
  }
  if (!note.empty() && out.error.empty()) out.error = note;
  return out;
}

Outcome delete_task(const Task& task, const Options& options, Outcome out) {
  const bool with_db = database_configured() && !out.qd_number.empty();
  // Rows written before numbers were upper-cased may carry the number as
  // the registry wrote it.
  const std::string given(text::strip(record::get_text_or(task.doc, "document_number", "")));
  if (!options.force && with_db && !row_state(out.qd_number).exists &&
      (given == out.qd_number || !row_state(given).exists)) {
    out.status = "SKIPPED";
    out.error = "no metadata row: already deleted or never processed";
    return out;
  }
  Record doc = task.doc;
  doc["file_name"] = out.name;
  const Deletion d = delete_document(doc);
  if (d.busy) {
    out.status = "SKIPPED";
    out.error = "being run by another process at this moment";
    out.retryable = true;
    return out;
  }
  if (!d.lock_error.empty()) {
    out.status = "ERROR";
    out.stage = "DELETION";
    out.error = d.lock_error;
    out.retryable = true;
    return out;
  }
  out.status = d.result.success ? "DELETED" : "ERROR";
  out.stage = d.result.success ? "" : d.result.stage;
  out.error = d.result.error.value_or("");
  out.result = d.result.data.value_or(Record());
  // A deletion that left part of the document behind, or that the trail
  // does not record, is not a success.
  const std::vector<std::string> problems = d.problems();
  if (!problems.empty()) {
    std::string what;
    for (const auto& p : problems) what += (what.empty() ? "" : "; ") + p;
    out.status = "ERROR";
    out.stage = "DELETION";
    out.error = (out.error.empty() ? "" : out.error + "; ") + what;
  }
  return out;
}

}  // namespace

Record to_record(const Task& t) {
  Record r{{"action", t.action}, {"doc", t.doc}, {"batch_size", t.batch_size}, {"local_file", t.local_file}};
  if (t.uploaded) r["uploaded"] = true;
  return r;
}

Task task_from_record(const Record& r) {
  return Task{.action = r.at("action").get<std::string>(),
              .doc = r.at("doc"),
              .batch_size = r.at("batch_size").get<long>(),
              .local_file = r.at("local_file").get<std::string>(),
              .uploaded = r.value("uploaded", false)};
}

Record to_record(const Outcome& o) {
  Record r{{"action", o.action}, {"name", o.name},   {"qd_number", o.qd_number}, {"status", o.status},
           {"stage", o.stage},   {"error", o.error}, {"seconds", o.seconds},     {"result", o.result}};
  if (o.retryable) r["retryable"] = true;
  return r;
}

Outcome outcome_from_record(const Record& r) {
  return Outcome{.action = r.at("action").get<std::string>(),
                 .name = r.at("name").get<std::string>(),
                 .qd_number = r.at("qd_number").get<std::string>(),
                 .status = r.at("status").get<std::string>(),
                 .stage = r.at("stage").get<std::string>(),
                 .error = r.at("error").get<std::string>(),
                 .seconds = r.at("seconds").get<double>(),
                 .result = r.at("result"),
                 .retryable = r.value("retryable", false)};
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
    tasks.push_back(Task{.action = "process", .doc = doc, .local_file = file});
  }
  assign_batches(tasks, max_batch_size);
  return tasks;
}

Outcome run_task(const Task& task, const Options& options) {
  Outcome out;
  out.action = task.action;
  out.name = record::get_text_or(task.doc, "blob_filename", "");
  const std::string given(text::strip(record::get_text_or(task.doc, "document_number", "")));
  out.qd_number = given;
  const auto start = std::chrono::steady_clock::now();
  // The QD-number keys the metadata row, the index and the deletion: a
  // malformed one ("QD-", "%") would match other documents' artefacts, so
  // the document is refused before anything is read or removed. A deletion
  // without one may still take it from the file name.
  const auto qd = text::normalize_qd_number(given);
  if (!qd && (task.action != "delete" || !given.empty())) {
    out.status = "FAILED";
    out.stage = task.action == "delete" ? "DELETION" : "VALIDATION";
    out.error = qd_number_error(given);
    out.seconds = seconds_since(start);
    return out;
  }
  if (qd) out.qd_number = *qd;
  Task checked = task;
  // The deletion stage reads the number itself (it also finds rows written
  // before numbers were upper-cased); everything else stores it upper-cased.
  if (qd && task.action != "delete") checked.doc["document_number"] = *qd;
  try {
    out = task.action == "delete" ? delete_task(checked, options, out) : process_task(checked, options, out, start);
  } catch (const std::exception& e) {
    out.status = "ERROR";
    if (out.stage.empty()) out.stage = task.action == "delete" ? "DELETION" : "";
    out.error = text::one_line(e.what());
    out.retryable = transient(e);
  }
  out.seconds = seconds_since(start);
  return out;
}

std::vector<std::string> missing_settings(bool pending, bool uses_database) {
  const auto& s = config::get();
  // A misspelt engine is reported as such, not as the model settings that
  // only the hosted engine needs.
  const auto engine = processors::aigate::summary_engine();
  std::vector<std::string> missing;
  auto need = [&](const std::string& value, const char* var) {
    if (value.empty() && std::find(missing.begin(), missing.end(), var) == missing.end()) missing.emplace_back(var);
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
  if (engine == processors::aigate::SummaryEngine::azure_openai) {
    need(s.AZURE_OPENAI_ENDPOINT, "AZURE_OPENAI_ENDPOINT");
    need(s.AZURE_OPENAI_KEY, "AZURE_OPENAI_KEY");
    need(s.OPENAI_SUMMARY_MODEL, "OPENAI_SUMMARY_MODEL");
  }
  // A configured embedding deployment is used by every indexing: without
  // its endpoint, key or API version each document would fail only after
  // its tries.
  if (!s.OPENAI_EMBEDDING_MODEL.empty()) {
    need(s.AZURE_OPENAI_ENDPOINT, "AZURE_OPENAI_ENDPOINT");
    need(s.AZURE_OPENAI_KEY, "AZURE_OPENAI_KEY");
    need(s.AZURE_OPENAI_API_VERSION, "AZURE_OPENAI_API_VERSION");
  }
  return missing;
}

namespace {

// A worker process of run_all and the document it is running.
struct Worker {
  proc::ChildProcess process;
  std::string buffer;
  bool busy = false;
  Task task;
};

}  // namespace

void run_all(const std::vector<Task>& tasks, const Options& options, int jobs,
             const std::vector<std::string>& worker_argv, const std::function<void(const Outcome&)>& on_done) {
  if (jobs <= 1 || tasks.size() <= 1) {
    for (const Task& t : tasks) on_done(run_task(t, options));
    return;
  }
  // The workers' handles close their input and reap them however this ends.
  std::vector<Worker> workers;
  const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(jobs), tasks.size());
  for (std::size_t i = 0; i < n; ++i) workers.push_back(Worker{proc::ChildProcess::spawn(worker_argv)});

  std::deque<const Task*> queue;
  for (const Task& t : tasks) queue.push_back(&t);
  auto hand_out = [&](Worker& w) {
    if (queue.empty()) return;
    w.task = *queue.front();
    queue.pop_front();
    w.busy = true;
    w.process.send(text::dumps_compact(to_record(w.task)) + "\n");
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
        fds.push_back(pollfd{w.process.output_fd(), POLLIN, 0});
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
      if (!w.process.read_into(w.buffer)) {
        // The worker died in the middle of a document: that document is an
        // error, and a fresh worker takes the rest.
        Outcome lost;
        lost.action = w.task.action;
        lost.name = record::get_text_or(w.task.doc, "blob_filename", "");
        lost.qd_number = record::get_text_or(w.task.doc, "document_number", "");
        lost.status = "ERROR";
        lost.error = "worker process ended unexpectedly";
        w.process.finish();
        w.busy = false;
        w.buffer.clear();
        on_done(lost);
        if (!queue.empty()) {
          w.process = proc::ChildProcess::spawn(worker_argv);
          hand_out(w);
        }
        continue;
      }
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
}

int run_worker(const Options& options, std::istream& in, std::ostream& out) {
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    Outcome outcome;
    try {
      outcome = run_task(task_from_record(Record::parse(line)), options);
    } catch (const std::exception& e) {
      outcome.status = "ERROR";
      outcome.error = std::string("bad task: ") + e.what();
    }
    out << text::dumps_compact(to_record(outcome)) << '\n' << std::flush;
  }
  return 0;
}

void append_audit(const std::vector<connectors::audit::Event>& events) {
  if (events.empty()) return;
  const std::string table = config::get().AUDIT_TABLE;
  HostSession::get().with_conn([&](PGconn* c) {
    connectors::audit::append(c, table, events);
    return 0;
  });
}

std::vector<Record> audit_history(const std::string& qd) {
  const std::string table = config::get().AUDIT_TABLE;
  return HostSession::get().with_conn([&](PGconn* c) { return connectors::audit::history(c, table, qd); });
}

std::vector<std::string> Deletion::problems() const {
  std::vector<std::string> out;
  if (const Record* left = record::find(context, "left_behind"); left && left->is_array()) {
    for (const auto& item : *left) out.push_back("left behind: " + item.get<std::string>());
  }
  if (const Record* found = record::find(verification, "problems"); found && found->is_array()) {
    for (const auto& item : *found) out.push_back("still there: " + item.get<std::string>());
  }
  if (!audit_error.empty()) out.push_back("audit trail not written: " + audit_error);
  if (lock_lost) out.push_back("the document's lock was lost with the database connection during the deletion");
  return out;
}

namespace {

// Writes the row that brings a deletion that did not complete back to the
// next run, when the deletion removed the document's own: status
// DELETION_PENDING, why, and the file and names the removed row had.
void record_pending_deletion(const std::string& qd, const std::optional<Record>& recorded, const std::string& why) {
  Record data = Record::object();
  data["document_number"] = qd;
  if (recorded) {
    for (const char* column : {"document_name", "blob_filename", "url_document_name"}) {
      if (const Record* v = record::find(*recorded, column)) data[column] = *v;
    }
  }
  data["status"] = "DELETION_PENDING";
  data["error"] = why;
  data["processed_at"] = clock::utc_now_iso();
  HostSession::get().with_conn(
      [&](PGconn* c) { return mainstore::upsert_document(c, config::get().PGTABLE, qd, data); });
}

}  // namespace

Deletion delete_document(const Record& doc) {
  Deletion d;
  const std::string given = processors::deleter::qd_number_of(doc);
  const auto qd = text::normalize_qd_number(given);
  processors::deleter::DeletionStage stage;
  d.context = Record::object();
  if (!qd) {
    // The stage refuses it before anything is read or removed.
    d.result = stage.run(doc, d.context);
    return d;
  }
  // Without the document's lock a run of the same document could write its
  // artefacts and record them as done while they go: nothing is removed.
  if (!database_configured()) {
    d.lock_error = "the document's lock could not be taken: no metadata database is configured (PGHOST)";
    return d;
  }
  DocumentLock lock;
  try {
    if (!lock.try_lock({document_lock_name(*qd)})) {
      d.busy = true;
      return d;
    }
  } catch (const std::exception& e) {
    d.lock_error = "the document's lock could not be taken: " + text::one_line(e.what());
    return d;
  }
  // What the trail knows of the document before it goes: the receipt names
  // each removed blob with the digest recorded when it was written, and the
  // verification asks for every path the trail holds.
  std::vector<Record> history;
  try {
    history = audit_history(*qd);
  } catch (const std::exception& e) {
    d.audit_error = text::one_line(e.what());
  }
  // The row as it was: the file the verification looks for, and what a
  // pending deletion's row keeps.
  std::optional<Record> recorded;
  try {
    const std::string& table = config::get().PGTABLE;
    recorded = mainstore::get_by_document_number(*qd, table);
    if (!recorded && given != *qd) recorded = mainstore::get_by_document_number(given, table);
  } catch (const std::exception& e) {
    log().warning("Could not read the metadata row of '" + given + "': " + text::one_line(e.what()));
  }
  d.context["keep_row_when_incomplete"] = true;
  d.result = stage.run(doc, d.context);
  if (!d.result.data) return d;

  std::vector<std::string> known;
  for (const Record& e : connectors::audit::live_artefacts(history)) {
    known.push_back(record::get_text_or(e, "blob_path", ""));
  }
  // The file names that count are the recorded ones, not what a message
  // says the file is.
  Record check{{"document_number", given}};
  if (recorded) check["blob_filename"] = record::get_text_or(*recorded, "blob_filename", "");
  try {
    d.verification = processors::deleter::verify_document_deleted(check, known);
  } catch (const std::exception& e) {
    d.verification = Record{{"verified", false}, {"problems", Record::array({text::one_line(e.what())})}};
  }
  d.receipt = audit_trail::deletion_receipt(given, *d.result.data, d.context, history, d.verification);
  // One round trip on the lock's connection first: a connection the server
  // cut off is only noticed by a statement, and opened again by it.
  try {
    HostSession::get().with_conn([](PGconn* c) {
      pg::execute(c, "SELECT 1");
      return 0;
    });
    d.lock_lost = !lock.intact();
  } catch (const std::exception&) {
    d.lock_lost = true;
  }
  if (d.audit_error.empty()) {
    try {
      append_audit(audit_trail::deletion_events(*qd, d.receipt));
    } catch (const std::exception& e) {
      d.audit_error = text::one_line(e.what());
    }
  }
  // A deletion that did not complete after the stage removed the row would
  // be skipped by every later run ("no metadata row"), leaving the rest.
  const std::vector<std::string> problems = d.problems();
  const Record* row_there = record::find(d.verification, "metadata_row");
  if ((!d.result.success || !problems.empty()) && row_there && row_there->is_boolean() && !row_there->get<bool>()) {
    std::string why = d.result.error.value_or("");
    for (const auto& p : problems) why += (why.empty() ? "" : "; ") + p;
    try {
      record_pending_deletion(*qd, recorded, text::one_line(why));
    } catch (const std::exception& e) {
      log().error("Could not record the pending deletion of '" + given + "': " + text::one_line(e.what()));
    }
  }
  return d;
}

Admission admission(const Task& task, const Options& options, std::optional<double> queued_without_message_after_s) {
  const std::string given(text::strip(record::get_text_or(task.doc, "document_number", "")));
  const auto qd = text::normalize_qd_number(given);
  if (!qd && (task.action != "delete" || !given.empty())) return {"FAILED", qd_number_error(given), ""};
  if (!database_configured() || !qd) return {"QUEUED", "", ""};
  if (task.action != "delete") {
    const std::string name = record::get_text_or(task.doc, "blob_filename", "");
    if (const std::string other = colliding_document(*qd, name); !other.empty()) {
      return {"FAILED", collision_error(name, other), ""};
    }
  }
  const auto& s = config::get();
  const RowState row = row_state(*qd);
  const Admission queued{"QUEUED", "", row.mark};
  if (options.force) return queued;
  if (row.exists && row.status == "QUEUED") {
    if (!queued_without_message_after_s || row.age_s < *queued_without_message_after_s) {
      return {"WAITING", "already queued " + text::fixed(row.age_s, 0) + " s ago (--force queues it again)", ""};
    }
    return {"QUEUED", "marked QUEUED " + text::fixed(row.age_s, 0) + " s ago, but no message is left in the queue: queued again",
            row.mark};
  }
  if (row.exists && row.status == "RUNNING") {
    // The lock, not the age of the mark, says whether a run is alive.
    DocumentLock probe;
    if (!probe.try_lock({document_lock_name(*qd)})) {
      return {"WAITING", "being run by another process at this moment", ""};
    }
    return {"QUEUED", "previous run abandoned (RUNNING for " + text::fixed(row.age_s, 0) + " s); queued again", row.mark};
  }
  if (task.action == "delete") {
    if (!row.exists && (given == *qd || !row_state(given).exists)) {
      return {"SKIPPED", "no metadata row: already deleted or never processed", ""};
    }
    return queued;
  }
  if (task.local_file.empty() && !task.uploaded) {
    const auto props = blobhub::get_blob_properties(
        record::get_text_or(task.doc, "blob_filename", ""),
        blobhub::Where{.container = s.TOLVAN_STORAGE_CONTAINER_NAME, .use_tolvan_storage = true});
    if (unchanged_since_success(row, props.etag)) {
      return {"SKIPPED", "source unchanged since its last successful run", ""};
    }
  }
  return queued;
}

Admission upload_local(Task& task) {
  processors::validator::ValidationStage validation;
  Record context{{"batch_size", task.batch_size}};
  const auto verdict = validation.run(task.doc, context);
  if (!verdict.success) return {"FAILED", verdict.error.value_or("")};
  const std::string name = record::get_text_or(task.doc, "blob_filename", "");
  blobhub::upload_blob(blobhub::build_blob_path(config::get().BLOB_FOLDER_DOCUMENTS, name),
                       shared::fs::read_file(task.local_file),
                       {.content_type = "application/vnd.openxmlformats-officedocument.wordprocessingml.document"});
  task.local_file.clear();
  task.uploaded = true;
  return {"QUEUED", ""};
}

void mark_row(const Task& task, const std::string& status, const std::string& error) {
  if (!database_configured()) return;
  const std::string given(text::strip(record::get_text_or(task.doc, "document_number", "")));
  const auto qd = text::normalize_qd_number(given);
  if (!qd) return;
  const std::string table = config::get().PGTABLE;
  Record update = Record::object();
  update["status"] = status;
  update["error"] = error.empty() ? Record() : Record(error);
  update["processed_at"] = clock::utc_now_iso();
  // A message says what is to be done, not what the document is: an
  // existing row keeps its file and names, which deletions trust.
  const auto updated = HostSession::get().with_conn(
      [&](PGconn* c) { return mainstore::update_row(c, table, "document_number", Record(*qd), update); });
  // A deletion's row is only ever updated: a row made for it would be a
  // document that never was.
  if (updated || task.action == "delete") return;
  Record data = unchecked_row(task.doc, *qd);
  for (const auto& [k, v] : update.items()) data[k] = v;
  HostSession::get().with_conn([&](PGconn* c) { return mainstore::upsert_document(c, table, *qd, data); });
}

std::vector<Record> rows_with_status(const std::vector<std::string>& statuses) {
  const std::string table = config::get().PGTABLE;
  pg::check_identifier(table, "table name", true);
  Record wanted = Record::array();
  for (const std::string& st : statuses) wanted.push_back(st);
  return HostSession::get().with_conn([&](PGconn* c) {
    pg::PgResult r = pg::execute(c,
                                 "SELECT document_number, blob_filename, status, error, "
                                 "COALESCE(extract(epoch FROM now() - processed_at), 0)::float8 AS age_s FROM " +
                                     table +
                                     " WHERE status IN (SELECT jsonb_array_elements_text(%s::jsonb)) "
                                     "ORDER BY processed_at, document_number",
                                 {wanted});
    return pg::all_rows(r.get());
  });
}

}  // namespace shared::host::runner
