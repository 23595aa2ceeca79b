#include "shared/host/metadata_row.hpp"

#include <algorithm>
#include <map>
#include <mutex>

#include "shared/clock.hpp"
#include "shared/config.hpp"
#include "shared/connectors/mainstore.hpp"
#include "shared/connectors/pg.hpp"
#include "shared/host/session.hpp"
#include "shared/processors/artifact_names.hpp"
#include "shared/processors/deleter.hpp"

namespace shared::host::metadata_row {

namespace mainstore = connectors::mainstore;
namespace pg = connectors::pg;
using task::Outcome;
using task::Status;
using task::Task;

namespace {

// The columns of the metadata table the host writes for a document. The
// time a run starts is kept in processed_at while the row says RUNNING, so
// that a row left RUNNING by a run that died can be recognised by its age.
Record metadata_data(const Record& doc, const std::string& qd) {
  Record data = Record::object();
  data["document_number"] = qd;
  data["document_name"] = record::get_text_or(doc, "document_name", "");
  data["blob_filename"] = record::get_text_or(doc, "blob_filename", "");
  data["url_document_name"] = record::get_text_or(doc, "url_document_name", "");
  data["status"] = std::string(task::word(Status::Running));
  data["processed_at"] = clock::utc_now_iso();
  return data;
}

// Whether the metadata table has `column`, asked once per table and column
// in a process.
bool has_column(const std::string& column) {
  static std::mutex mu;
  static std::map<std::string, bool> known;
  const std::string table = config::get().PGTABLE;
  std::lock_guard lock(mu);
  const std::string key = table + "." + column;
  if (auto it = known.find(key); it != known.end()) return it->second;
  const bool present = session::get().with_conn([&](PGconn* c) {
    pg::PgResult r = pg::execute(c,
                                 "SELECT EXISTS (SELECT 1 FROM pg_attribute WHERE attrelid = to_regclass(%s) "
                                 "AND attname = %s AND NOT attisdropped) AS present",
                                 {table, column});
    return pg::first_row(r.get()).value_or(Record::object()).value("present", false);
  });
  if (!present) {
    session::log().warning("The metadata table '" + table + "' has no column " + column +
                           ": run sql/sop_metadata.sql on it to record it");
  }
  known[key] = present;
  return present;
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

// Updates the row of `qd` with `update`; a document without a row gets
// one made by unchecked_row when `make` is set.
void update_or_make(const Record& doc, const std::string& qd, const Record& update, bool make) {
  const std::string table = config::get().PGTABLE;
  const auto updated = session::get().with_conn(
      [&](PGconn* c) { return mainstore::update_row(c, table, "document_number", Record(qd), update); });
  if (updated || !make) return;
  Record data = unchecked_row(doc, qd);
  for (const auto& [k, v] : update.items()) data[k] = v;
  session::get().with_conn([&](PGconn* c) { return mainstore::upsert_document(c, table, qd, data); });
}

// The columns every outcome writes: its status, stage, error, when, and how long.
Record outcome_columns(const Outcome& o) {
  Record data = Record::object();
  data["status"] = std::string(task::word(o.status));
  data["stage"] = o.stage.empty() ? Record() : Record(o.stage);
  data["error"] = o.error.empty() ? Record() : Record(o.error);
  data["processed_at"] = clock::utc_now_iso();
  data["duration_s"] = o.seconds;
  return data;
}

}  // namespace

std::optional<decision::Row> read(const std::string& qd) {
  const std::string table = config::get().PGTABLE;
  pg::check_identifier(table, "table name", true);
  return session::get().with_conn([&](PGconn* c) {
    pg::PgResult r = pg::execute(c,
                                 "SELECT status, source_etag, COALESCE(extract(epoch FROM now() - processed_at), 0)"
                                 "::float8 AS age_s, COALESCE(extract(epoch FROM processed_at)::text, '') AS mark "
                                 "FROM " +
                                     table + " WHERE document_number = %s",
                                 {qd});
    std::optional<decision::Row> st;
    if (const auto row = pg::first_row(r.get())) {
      st.emplace();
      st->status = task::status_named(record::get_text_or(*row, "status", ""));
      st->source_etag = record::get_text_or(*row, "source_etag", "");
      if (const Record* a = record::find(*row, "age_s"); a && a->is_number()) st->age_s = a->get<double>();
      st->mark = record::get_text_or(*row, "mark", "");
    }
    return st;
  });
}

std::string colliding_document(const std::string& qd, const std::string& blob_filename) {
  const std::vector<Record> rows = session::get().with_conn([&](PGconn* c) {
    namespace names = processors::artifact_names;
    return mainstore::files_sharing_keys(c, config::get().PGTABLE, qd,
                                    {names::extraction_stem(blob_filename), names::doc_stem(blob_filename)});
  });
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

std::optional<Record> mark_running(const Record& doc, const std::string& qd) {
  return session::get().with_conn(
      [&](PGconn* c) { return mainstore::upsert_document(c, config::get().PGTABLE, qd, metadata_data(doc, qd)); });
}

void record_outcome(const std::string& qd, const Outcome& o, const std::string& etag,
                    const models::PipelineResult& result) {
  Record data = outcome_columns(o);
  // Only a successful run makes the source count as done, so a failed
  // document is tried again on the next run.
  data["source_etag"] = o.status == Status::Processed && !etag.empty() ? Record(etag) : Record();
  if (result.summary) data["summary"] = *result.summary;
  // A run that did not get as far as indexing leaves no counts of its own.
  // Tables made before the column existed keep working without it.
  if (has_column("index_counts")) data["index_counts"] = result.indexing.value_or(Record());
  // What the last conversion left out of the document; null when the run
  // did not get as far as converting it.
  if (has_column("loss_report")) data["loss_report"] = result.loss_report.value_or(Record());
  session::get().with_conn(
      [&](PGconn* c) { return mainstore::update_row(c, config::get().PGTABLE, "document_number", Record(qd), data); });
}

void record_early_outcome(const Task& task, const Outcome& o) {
  if (o.status == Status::Failed) return;
  Record data = outcome_columns(o);
  data["source_etag"] = Record();
  update_or_make(task.doc, o.qd_number, data, true);
}

void mark(const Task& task, Status status, const std::string& error) {
  if (!session::database_configured()) return;
  const auto qd = task::number_of(task).qd;
  if (!qd) return;
  Record update = Record::object();
  update["status"] = std::string(task::word(status));
  update["error"] = error.empty() ? Record() : Record(error);
  update["processed_at"] = clock::utc_now_iso();
  // A message says what is to be done, not what the document is: an
  // existing row keeps its file and names, which deletions trust. A
  // deletion's row is only ever updated: a row made for it would be a
  // document that never was.
  update_or_make(task.doc, *qd, update, task.action != task::Action::Delete);
}

void record_pending_deletion(const std::string& qd, const std::optional<Record>& recorded, const std::string& why) {
  Record data = Record::object();
  data["document_number"] = qd;
  if (recorded) {
    for (const char* column : {"document_name", "blob_filename", "url_document_name"}) {
      if (const Record* v = record::find(*recorded, column)) data[column] = *v;
    }
  }
  data["status"] = std::string(task::word(Status::DeletionPending));
  data["error"] = why;
  data["processed_at"] = clock::utc_now_iso();
  session::get().with_conn([&](PGconn* c) { return mainstore::upsert_document(c, config::get().PGTABLE, qd, data); });
}

std::vector<Record> with_status(const std::vector<Status>& statuses) {
  const std::string table = config::get().PGTABLE;
  pg::check_identifier(table, "table name", true);
  Record wanted = Record::array();
  for (const Status st : statuses) wanted.push_back(std::string(task::word(st)));
  return session::get().with_conn([&](PGconn* c) {
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

}  // namespace shared::host::metadata_row
