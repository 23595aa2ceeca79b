#include "shared/serve/api.hpp"

#include <algorithm>

#include "shared/config.hpp"
#include "shared/connectors/audit.hpp"
#include "shared/connectors/mainstore.hpp"
#include "shared/connectors/queuehub.hpp"
#include "shared/connectors/vector_db.hpp"
#include "shared/host/audit_trail.hpp"
#include "shared/host/deletion.hpp"
#include "shared/host/session.hpp"
#include "shared/host/task.hpp"
#include "shared/host/worker.hpp"
#include "shared/logsetup.hpp"
#include "shared/text/qd_number.hpp"
#include "shared/text/utf8.hpp"

namespace shared::serve::api {

namespace pg = connectors::pg;
namespace vector_db = connectors::vector_db;
using host::task::Status;

namespace {

logsetup::Logger& log() { return logsetup::get_logger("shared.serve"); }

ApiError bad_request(const std::string& message) { return ApiError(400, "bad_request", message); }
ApiError not_found(const std::string& message) { return ApiError(404, "not_found", message); }

// The one value of a parameter; nullopt when absent. Given twice, it is
// refused: which one counts would be a guess.
std::optional<std::string> param(const Params& params, const std::string& name) {
  const auto [first, last] = params.equal_range(name);
  if (first == last) return std::nullopt;
  if (std::next(first) != last) throw bad_request("the parameter '" + name + "' is given more than once");
  if (!text::is_valid(first->second)) throw bad_request("the parameter '" + name + "' is not UTF-8");
  return first->second;
}

long whole(const Params& params, const std::string& name, long def, long lo, long hi) {
  const auto given = param(params, name);
  if (!given) return def;
  const std::string& t = *given;
  bool digits = !t.empty() && t.size() <= 9;
  for (const char c : t) digits = digits && c >= '0' && c <= '9';
  if (!digits) throw bad_request("'" + name + "' must be a whole number from " + std::to_string(lo) + " to " + std::to_string(hi));
  const long v = std::stol(t);
  if (v < lo || v > hi) {
    throw bad_request("'" + name + "' must be a whole number from " + std::to_string(lo) + " to " + std::to_string(hi));
  }
  return v;
}

void refuse_unknown(const Params& params, std::initializer_list<std::string_view> known) {
  for (const auto& [name, value] : params) {
    if (std::find(known.begin(), known.end(), name) == known.end()) {
      throw bad_request("unknown parameter '" + text::printable(name) + "'");
    }
  }
}

std::string metadata_table() {
  const std::string table = config::get().PGTABLE;
  pg::check_identifier(table, "table name", true);
  return table;
}

const char* kRowColumns =
    "document_number, document_name, blob_filename, url_document_name, status, stage, error, processed_at, "
    "duration_s";

Record row_fields(const Record& row) {
  Record out = Record::object();
  for (const char* k : {"document_number", "document_name", "blob_filename", "url_document_name", "status", "stage",
                        "error", "processed_at", "duration_s"}) {
    const Record* v = record::find(row, k);
    out[k] = v && !(v->is_string() && v->get<std::string>().empty()) ? *v : Record();
  }
  return out;
}

bool table_exists(PGconn* conn, const std::string& table) {
  pg::PgResult r = pg::execute(conn, "SELECT to_regclass(%s) IS NOT NULL AS present", {table});
  const auto row = pg::first_row(r.get());
  return row && row->value("present", false);
}

std::string statuses_text() {
  std::string out;
  for (const Status s : {Status::Processed, Status::Failed, Status::Error, Status::Deleted, Status::Skipped,
                         Status::Queued, Status::Running, Status::Waiting, Status::Retry, Status::DeletionPending}) {
    out += (out.empty() ? "" : ", ") + std::string(host::task::word(s));
  }
  return out;
}

}  // namespace

SectionName section_name(std::string_view qd_number, std::string_view document_name, std::string_view section_key) {
  std::string_view title = section_key;
  const std::string prefix = std::string(document_name) + "::";
  if (!document_name.empty() && title.substr(0, prefix.size()) == prefix) {
    title.remove_prefix(prefix.size());
  } else if (const auto sep = title.find("::"); sep != std::string_view::npos) {
    title.remove_prefix(sep + 2);
  }
  SectionName n;
  std::size_t i = 0;
  while (i < title.size() && ((title[i] >= '0' && title[i] <= '9') || (i > 0 && title[i] == '.'))) ++i;
  // A number stands before a space and the heading's words ("3.2 Execution",
  // "3. Scope"); "2024 review" reads the same, which the stored key cannot tell apart.
  if (i > 0 && i < title.size() && title[i] == ' ') {
    n.number = std::string(title.substr(0, i));
    while (!n.number.empty() && n.number.back() == '.') n.number.pop_back();
    n.heading = std::string(title.substr(i + 1));
  } else {
    n.heading = std::string(title);
  }
  n.citation = std::string(qd_number) + " \u00a7" + (n.number.empty() ? "" : n.number + " ") + n.heading;
  if (n.number.empty()) n.citation = std::string(qd_number) + " \u00a7" + n.heading;
  return n;
}

std::string qd_of(std::string_view given) {
  const auto qd = text::normalize_qd_number(given);
  if (!qd) throw bad_request("'" + text::printable(std::string(given.substr(0, 64))) + "' is not a QD-number ('QD-' followed by digits)");
  return *qd;
}

ApiError classify(const std::exception& e) {
  if (const auto* api = dynamic_cast<const ApiError*>(&e)) return *api;
  if (const auto* db = dynamic_cast<const DatabaseError*>(&e)) {
    log().warning(std::string("database: ") + db->what());
    if (db->transient() || db->sqlstate == "57014") {
      return ApiError(503, "unavailable", "the database does not answer at this moment");
    }
  } else if (const auto* err = dynamic_cast<const Error*>(&e); err && err->transient()) {
    log().warning(std::string("service: ") + err->what());
    return ApiError(503, "unavailable", "a service does not answer at this moment");
  }
  log().error(std::string("request failed: ") + e.what());
  return ApiError(500, "internal", "the request failed; the server's log says why");
}

// --- ConnectionPool ---------------------------------------------------------

ConnectionPool::Lease ConnectionPool::lease() {
  {
    std::lock_guard lock(mu_);
    while (!idle_.empty()) {
      pg::PgConn c = std::move(idle_.back());
      idle_.pop_back();
      if (PQstatus(c.get()) == CONNECTION_OK) return Lease(*this, std::move(c));
    }
  }
  pg::PgConn c = connectors::mainstore::get_conn();
  // Statements shaped by a caller's parameters never outlive their bound.
  pg::execute(c.get(), "SELECT set_config('statement_timeout', %s, false)",
              {std::to_string(config::get().SEARCH_TIMEOUT_S * 1000)});
  return Lease(*this, std::move(c));
}

void ConnectionPool::give_back(pg::PgConn conn) {
  if (!conn || PQstatus(conn.get()) != CONNECTION_OK || PQtransactionStatus(conn.get()) != PQTRANS_IDLE) return;
  std::lock_guard lock(mu_);
  idle_.push_back(std::move(conn));
}

// --- Service ----------------------------------------------------------------

Service::Service() : vectors_(std::make_shared<retrieval::VectorCache>()) {}
Service::~Service() = default;

std::unique_ptr<retrieval::Searcher> Service::take_searcher() {
  {
    std::lock_guard lock(searchers_mu_);
    if (!searchers_.empty()) {
      auto s = std::move(searchers_.back());
      searchers_.pop_back();
      return s;
    }
  }
  return std::make_unique<retrieval::Searcher>(std::string(), vectors_);
}

void Service::give_back(std::unique_ptr<retrieval::Searcher> searcher) {
  std::lock_guard lock(searchers_mu_);
  searchers_.push_back(std::move(searcher));
}

Record Service::search(const Params& params, SearchTiming* timing) {
  refuse_unknown(params, {"q", "k", "qd", "mode"});
  retrieval::Query q;
  q.text = param(params, "q").value_or("");
  q.k = static_cast<std::size_t>(whole(params, "k", 10, 1, 100));
  if (const auto qd = param(params, "qd"); qd) q.qd_number = qd_of(*qd);
  if (const auto mode = param(params, "mode"); mode) {
    if (*mode == "lexical") {
      q.mode = retrieval::Mode::lexical;
    } else if (*mode == "vector") {
      q.mode = retrieval::Mode::vector;
    } else if (*mode == "hybrid") {
      q.mode = retrieval::Mode::hybrid;
    } else {
      throw bad_request("unknown mode (lexical, vector or hybrid)");
    }
  }
  try {
    q = retrieval::checked(q);
  } catch (const ValueError& e) {
    throw bad_request(e.what());
  }
  if (q.mode != retrieval::Mode::lexical && q.mode != retrieval::Mode::automatic &&
      config::get().OPENAI_EMBEDDING_MODEL.empty()) {
    throw bad_request(std::string(retrieval::mode_name(q.mode)) + " search needs an embedding deployment, and none is configured");
  }
  const auto start = std::chrono::steady_clock::now();
  auto searcher = take_searcher();
  retrieval::Answer answer;
  try {
    answer = searcher->search(q);
  } catch (const DatabaseError& e) {
    // A searcher whose connection broke is not used again.
    if (e.transient()) searcher.reset();
    if (searcher) give_back(std::move(searcher));
    throw;
  }
  give_back(std::move(searcher));
  if (timing) {
    timing->mode = std::string(retrieval::mode_name(answer.mode));
    timing->seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  Record hits = Record::array();
  for (const retrieval::Hit& h : answer.hits) {
    const SectionName n = section_name(h.qd_number, h.document_name, h.section_key);
    hits.push_back(Record{{"rank", h.rank},
                          {"score", h.score},
                          {"qd_number", h.qd_number},
                          {"section_key", h.section_key},
                          {"section_number", n.number},
                          {"section_heading", n.heading},
                          {"citation", n.citation},
                          {"document_name", h.document_name},
                          {"link", h.link},
                          {"snippet", h.snippet}});
  }
  return Record{{"query", q.text}, {"mode", std::string(retrieval::mode_name(answer.mode))}, {"k", q.k}, {"hits", hits}};
}

Record Service::documents(const Params& params) {
  refuse_unknown(params, {"status", "q", "limit", "after"});
  const long limit = whole(params, "limit", 50, 1, 200);
  Record status, needle, after;
  if (const auto s = param(params, "status"); s) {
    if (!host::task::status_named(*s)) throw bad_request("unknown status (" + statuses_text() + ")");
    status = *s;
  }
  if (const auto t = param(params, "q"); t && !t->empty()) {
    if (text::count_code_points(*t) > 200) throw bad_request("'q' is longer than 200 characters");
    needle = *t;
  }
  if (const auto a = param(params, "after"); a) after = qd_of(*a);
  const std::string table = metadata_table();
  auto conn = pool_.lease();
  // Keyset paging on the unique document number: a page costs the same
  // wherever it starts. The text is found with strpos: no pattern syntax.
  // The loss report comes through row_to_json: null for a table without
  // the column, and its counts in their stored order.
  pg::PgResult r = pg::execute(
      conn.get(),
      std::string("SELECT ") + kRowColumns + ", row_to_json(t)->'loss_report' AS loss_report FROM " + table + " t" +
          " WHERE (%s::text IS NULL OR status = %s::text)"
          " AND (%s::text IS NULL OR document_number > %s::text)"
          " AND (%s::text IS NULL OR strpos(lower(concat_ws(' ', document_number, document_name, blob_filename)),"
          " lower(%s::text)) > 0)"
          " ORDER BY document_number LIMIT %s",
      {status, status, after, after, needle, needle, limit + 1});
  std::vector<Record> rows = pg::all_rows(r.get());
  Record next = Record();
  if (rows.size() > static_cast<std::size_t>(limit)) {
    rows.resize(static_cast<std::size_t>(limit));
    next = rows.back().value("document_number", "");
  }
  Record docs = Record::array();
  for (const Record& row : rows) {
    Record fields = row_fields(row);
    const Record* loss = record::find(row, "loss_report");
    fields["loss_report"] = loss && loss->is_object() ? *loss : Record();
    docs.push_back(std::move(fields));
  }
  return Record{{"documents", docs}, {"next_after", next}};
}

bool Service::has_row(PGconn* conn, const std::string& qd) {
  pg::PgResult r =
      pg::execute(conn, "SELECT 1 AS one FROM " + metadata_table() + " WHERE document_number = %s", {qd});
  return pg::first_row(r.get()).has_value();
}

Record Service::document(const std::string& qd) {
  const std::string table = metadata_table();
  Record row;
  long long sections = 0;
  {
    auto conn = pool_.lease();
    // row_to_json keeps the columns a table has, and the loss report's key order.
    pg::PgResult r = pg::execute(conn.get(), "SELECT row_to_json(t) AS r FROM " + table + " t WHERE document_number = %s", {qd});
    const auto found = pg::first_row(r.get());
    if (!found) throw not_found("no document " + qd);
    row = found->value("r", Record::object());
    const std::string index = vector_db::table_for();
    if (table_exists(conn.get(), index)) {
      pg::PgResult c =
          pg::execute(conn.get(), "SELECT count(*) AS n FROM " + index + " WHERE upper(qd_number) = upper(%s)", {qd});
      sections = pg::first_row(c.get()).value_or(Record::object()).value("n", 0LL);
    }
  }
  std::vector<Record> history;
  {
    std::lock_guard lock(host_mu_);
    history = host::audit_trail::history(qd);
  }
  Record artefacts = Record::array();
  for (const Record& e : connectors::audit::live_artefacts(history)) {
    Record a = Record::object();
    for (const char* k : {"blob_path", "size_bytes", "sha256", "etag", "action", "recorded_at"}) {
      const Record* v = record::find(e, k);
      a[k] = v ? *v : Record();
    }
    artefacts.push_back(a);
  }
  const Record* loss = record::find(row, "loss_report");
  const Record* counts = record::find(row, "index_counts");
  const Record* summary = record::find(row, "summary");
  return Record{{"document", row_fields(row)},
                {"loss_report", loss ? *loss : Record()},
                {"index_counts", counts ? *counts : Record()},
                {"index_sections", sections},
                {"artefacts", artefacts},
                {"summary", summary && summary->is_string() ? *summary : Record()}};
}

Record Service::sections(const std::string& qd) {
  auto conn = pool_.lease();
  if (!has_row(conn.get(), qd)) throw not_found("no document " + qd);
  Record out = Record::array();
  const std::string index = vector_db::table_for();
  if (table_exists(conn.get(), index)) {
    pg::PgResult r = pg::execute(conn.get(),
                                 "SELECT section_index, section_key, document_name, enriched_text, indexed_at FROM " +
                                     index + " WHERE upper(qd_number) = upper(%s) ORDER BY section_index LIMIT 100000",
                                 {qd});
    for (const Record& row : pg::all_rows(r.get())) {
      const std::string key = row.value("section_key", "");
      const SectionName n = section_name(qd, row.value("document_name", ""), key);
      out.push_back(Record{{"position", row.value("section_index", 0LL)},
                           {"section_key", key},
                           {"section_number", n.number},
                           {"section_heading", n.heading},
                           {"citation", n.citation},
                           {"text", row.value("enriched_text", "")},
                           {"indexed_at", row.value("indexed_at", Record())}});
    }
  }
  return Record{{"qd_number", qd}, {"sections", out}};
}

Record Service::audit(const std::string& qd, bool verify) {
  std::lock_guard lock(host_mu_);
  const std::vector<Record> history = host::audit_trail::history(qd);
  if (history.empty()) {
    bool row = false;
    {
      auto conn = pool_.lease();
      row = has_row(conn.get(), qd);
    }
    if (!row) throw not_found("no document " + qd + " and no audit trail of it");
  }
  if (verify) return host::audit_trail::verify_trail(qd, history);
  Record events = Record::array();
  for (const Record& e : history) events.push_back(e);
  return Record{{"qd_number", qd}, {"events", events}};
}

Record Service::queue() {
  std::lock_guard lock(host_mu_);
  const auto q = host::worker::queue_settings();
  const host::worker::QueueStatus st = host::worker::queue_status();
  Record rows = Record::array();
  for (const auto& r : st.rows) rows.push_back(r);
  return Record{{"queue", q.queue}, {"waiting", st.waiting}, {"poison_queue", q.poison_queue}, {"poison", st.poison}, {"rows", rows}};
}

Record Service::overview() {
  const std::string table = metadata_table();
  Record by_status = Record::object(), per_hour = Record::array(), failures = Record::array();
  {
    auto conn = pool_.lease();
    pg::PgResult s = pg::execute(conn.get(), "SELECT coalesce(status, '') AS status, count(*) AS n FROM " + table +
                                                 " GROUP BY 1 ORDER BY 1");
    for (const Record& row : pg::all_rows(s.get())) by_status[row.value("status", "")] = row.value("n", 0LL);
    pg::PgResult h = pg::execute(conn.get(),
                                 "SELECT date_trunc('hour', processed_at) AS hour, count(*) AS n FROM " + table +
                                     " WHERE status = 'PROCESSED' AND processed_at > now() - interval '72 hours'"
                                     " GROUP BY 1 ORDER BY 1 LIMIT 100");
    for (const Record& row : pg::all_rows(h.get())) {
      per_hour.push_back(Record{{"hour", row.value("hour", Record())}, {"count", row.value("n", 0LL)}});
    }
    pg::PgResult f = pg::execute(conn.get(),
                                 "SELECT document_number, document_name, status, stage, error, processed_at FROM " +
                                     table +
                                     " WHERE status IN ('FAILED', 'ERROR') ORDER BY processed_at DESC NULLS LAST,"
                                     " document_number LIMIT 20");
    for (const Record& row : pg::all_rows(f.get())) failures.push_back(row);
  }
  Record queue = Record();
  if (const auto depth = queue_depth()) queue = Record{{"waiting", depth->first}, {"poison", depth->second}};
  return Record{{"by_status", by_status}, {"processed_per_hour", per_hour}, {"queue", queue}, {"latest_failures", failures}};
}

std::optional<std::pair<long, long>> Service::queue_depth() {
  try {
    const auto q = host::worker::queue_settings();
    return std::make_pair(connectors::queuehub::approximate_message_count(q.queue),
                          connectors::queuehub::approximate_message_count(q.poison_queue));
  } catch (const std::exception& e) {
    log().warning(std::string("queue depth not read: ") + e.what());
    return std::nullopt;
  }
}

Record Service::reprocess(const std::string& qd) {
  Record row;
  {
    auto conn = pool_.lease();
    pg::PgResult r = pg::execute(conn.get(),
                                 "SELECT document_number, document_name, blob_filename, url_document_name FROM " +
                                     metadata_table() + " WHERE document_number = %s",
                                 {qd});
    const auto found = pg::first_row(r.get());
    if (!found) throw not_found("no document " + qd);
    row = *found;
  }
  // The document is run again from the source its last run ingested into
  // the documents folder, forced, as a queued local file is.
  host::task::Task t;
  t.action = host::task::Action::Process;
  for (const char* k : {"document_number", "document_name", "blob_filename", "url_document_name"}) {
    const Record* v = record::find(row, k);
    t.doc[k] = v && v->is_string() ? *v : Record("");
  }
  t.uploaded = true;
  Record out;
  std::lock_guard lock(host_mu_);
  host::worker::enqueue({t}, host::task::Options{.force = true},
                        [&](const host::task::Task&, const host::worker::Enqueued& e) {
                          out = Record{{"qd_number", qd},
                                       {"verdict", std::string(host::task::word(e.verdict))},
                                       {"reason", e.reason}};
                        });
  if (out.is_null()) throw ApiError(500, "internal", "the document was not queued");
  return out;
}

Record Service::remove(const std::string& qd) {
  {
    auto conn = pool_.lease();
    if (!has_row(conn.get(), qd)) throw not_found("no document " + qd);
  }
  std::lock_guard lock(host_mu_);
  const host::deletion::Deletion d = host::deletion::delete_document(Record{{"document_number", qd}});
  if (d.busy) throw ApiError(409, "busy", qd + " is being run by another process at this moment: not deleted");
  if (!d.lock_error.empty()) {
    log().warning(qd + " not deleted: " + d.lock_error);
    throw ApiError(503, "unavailable", qd + " not deleted: the document's lock could not be taken");
  }
  Record problems = Record::array();
  for (const std::string& p : d.problems()) problems.push_back(p);
  const bool complete = d.result.success && problems.empty();
  if (!d.result.success && d.result.error) problems.push_back(*d.result.error);
  return Record{{"qd_number", qd}, {"complete", complete}, {"problems", problems}, {"receipt", d.receipt}};
}

void Service::record_operator_request(const std::string& qd, const std::string& key_name, const Record& detail) {
  connectors::audit::Writer writer = connectors::audit::this_process();
  writer.host_user = key_name;
  connectors::audit::Event e{.document_number = qd, .action = std::string(connectors::audit::OPERATOR_REQUEST), .detail = detail};
  std::lock_guard lock(host_mu_);
  host::session::get().with_conn([&](PGconn* c) {
    connectors::audit::append(c, config::get().AUDIT_TABLE, {e}, writer);
    return 0;
  });
}

Record Service::check_readiness() {
  Record db{{"ok", true}, {"reason", ""}}, storage{{"ok", true}, {"reason", ""}};
  try {
    auto conn = pool_.lease();
    pg::execute(conn.get(), "SELECT 1");
  } catch (const std::exception& e) {
    db = Record{{"ok", false}, {"reason", "the database does not answer"}};
    log().warning(std::string("readiness: database: ") + e.what());
  }
  try {
    const auto q = host::worker::queue_settings();
    (void)connectors::queuehub::approximate_message_count(q.queue);
  } catch (const std::exception& e) {
    storage = Record{{"ok", false}, {"reason", "storage does not answer"}};
    log().warning(std::string("readiness: storage: ") + e.what());
  }
  return Record{{"ok", db["ok"].get<bool>() && storage["ok"].get<bool>()}, {"database", db}, {"storage", storage}};
}

Service::Counts Service::counts() {
  Counts c;
  auto conn = pool_.lease();
  pg::PgResult s = pg::execute(conn.get(), "SELECT coalesce(status, '') AS status, count(*) AS n FROM " +
                                               metadata_table() + " GROUP BY 1");
  for (const Record& row : pg::all_rows(s.get())) c.by_status[row.value("status", "")] = row.value("n", 0LL);
  const std::string index = vector_db::table_for();
  if (table_exists(conn.get(), index)) {
    pg::PgResult n = pg::execute(conn.get(), "SELECT count(*) AS n FROM " + index);
    c.index_sections = pg::first_row(n.get()).value_or(Record::object()).value("n", 0LL);
    c.index_generation = vector_db::generation(conn.get());
  }
  return c;
}

}  // namespace shared::serve::api
