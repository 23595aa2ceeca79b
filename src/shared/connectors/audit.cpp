#include "shared/connectors/audit.hpp"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>

#include "shared/connectors/pg.hpp"
#include "shared/errors.hpp"
#include "shared/version.hpp"

namespace shared::connectors::audit {

namespace {

constexpr std::string_view kActions[] = {INGESTED,          ARTEFACT_WRITTEN, INDEXED, DELETED,
                                         DELETION_VERIFIED, FAILED,           OPERATOR_REQUEST};

std::string table_text(std::string_view table) {
  pg::check_identifier(table, "audit table name", true);
  return std::string(table);
}

// The table's own name without its schema: the trigger is named after it.
std::string bare_name(const std::string& table) {
  const auto dot = table.find('.');
  return dot == std::string::npos ? table : table.substr(dot + 1);
}

// The columns every audit trail has; a table without them is something else.
constexpr std::string_view kColumns[] = {"id",         "recorded_at", "host_user",  "machine",    "document_number",
                                         "action",     "blob_path",   "size_bytes", "sha256",     "etag",
                                         "source_etag", "index_rows", "pipeline_version", "detail"};

// Refuses a table of that name that exists but is not an audit trail: the
// append-only trigger would otherwise be put on it for good, and every later
// change to it refused (a mistyped KESTO_AUDIT_TABLE naming the metadata
// table would stop every run).
void check_existing_table(PGconn* conn, const std::string& table) {
  pg::PgResult r = pg::execute(conn,
                               "SELECT to_regclass(%s) IS NOT NULL AS present, "
                               "(SELECT string_agg(attname::text, ',') FROM pg_attribute "
                               " WHERE attrelid = to_regclass(%s) AND attnum > 0 AND NOT attisdropped) AS columns",
                               {table, table});
  const Record row = pg::first_row(r.get()).value_or(Record::object());
  if (!row.value("present", false)) return;
  const std::string columns = "," + record::get_text_or(row, "columns", "") + ",";
  std::string lacking;
  for (std::string_view c : kColumns) {
    if (columns.find("," + std::string(c) + ",") == std::string::npos) {
      lacking += (lacking.empty() ? "" : ", ") + std::string(c);
    }
  }
  if (!lacking.empty()) {
    throw ValueError("KESTO_AUDIT_TABLE names '" + table + "', a table that is not an audit trail (it has no " +
                     lacking + "): name a table of its own");
  }
}

Record text_or_null(const std::string& s) { return s.empty() ? Record() : Record(s); }

template <class T>
Record optional_or_null(const std::optional<T>& v) {
  return v ? Record(*v) : Record();
}

}  // namespace

Writer this_process() {
  Writer w;
  if (const char* user = std::getenv("USER"); user && *user) {
    w.host_user = user;
  } else if (const passwd* pw = getpwuid(geteuid())) {
    w.host_user = pw->pw_name;
  }
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) == 0) w.machine = host;
  w.version = std::string(version::pipeline_version());
  return w;
}

void ensure_table(PGconn* conn, std::string_view table_name) {
  const std::string table = table_text(table_name);
  const std::string bare = bare_name(table);
  pg::Transaction tx(conn);
  // Two processes creating the table at once would collide on its type.
  pg::advisory_xact_lock(conn, "kesto.audit-table:" + table);
  check_existing_table(conn, table);
  pg::execute(conn, "CREATE TABLE IF NOT EXISTS " + table +
                        " (\n"
                        "    id               bigserial PRIMARY KEY,\n"
                        "    recorded_at      timestamptz NOT NULL DEFAULT clock_timestamp(),\n"
                        "    host_user        text,\n"
                        "    machine          text,\n"
                        "    document_number  text NOT NULL,\n"
                        "    action           text NOT NULL,\n"
                        "    blob_path        text,\n"
                        "    size_bytes       bigint,\n"
                        "    sha256           text,\n"
                        "    etag             text,\n"
                        "    source_etag      text,\n"
                        "    index_rows       bigint,\n"
                        "    pipeline_version text,\n"
                        "    detail           jsonb\n"
                        ")");
  pg::execute(conn, "CREATE INDEX IF NOT EXISTS " + bare + "_document_number_idx ON " + table +
                        " (document_number, id)");
  pg::execute(conn, "CREATE INDEX IF NOT EXISTS " + bare + "_blob_path_idx ON " + table + " (blob_path, id)");
  // The table keeps every row it was given: changes are refused by the
  // server, whoever asks. The refusing function is one for every trail of
  // the database, so replacing it waits for its own lock, not the table's.
  pg::advisory_xact_lock(conn, "kesto.audit-function");
  pg::execute(conn,
              "CREATE OR REPLACE FUNCTION kesto_audit_refuse_change() RETURNS trigger LANGUAGE plpgsql AS $$\n"
              "BEGIN\n"
              "  RAISE EXCEPTION 'the audit trail %% is append-only: %% refused', TG_TABLE_NAME, TG_OP;\n"
              "END\n"
              "$$");
  pg::execute(conn, "CREATE OR REPLACE TRIGGER " + bare + "_append_only BEFORE UPDATE OR DELETE OR TRUNCATE ON " +
                        table + " FOR EACH STATEMENT EXECUTE FUNCTION kesto_audit_refuse_change()");
  tx.commit();
}

void append(PGconn* conn, std::string_view table_name, const std::vector<Event>& events, const Writer& writer) {
  const std::string table = table_text(table_name);
  for (const Event& e : events) {
    if (e.document_number.empty()) throw ValueError("an audit event needs a document number");
    if (std::find(std::begin(kActions), std::end(kActions), e.action) == std::end(kActions)) {
      throw ValueError("unknown audit action '" + e.action + "'");
    }
  }
  if (events.empty()) return;
  {
    // Once per process and table; a failed creation is tried again next time.
    static std::mutex mu;
    static std::set<std::string> ready;
    std::lock_guard lock(mu);
    if (!ready.count(table)) {
      ensure_table(conn, table);
      ready.insert(table);
    }
  }
  std::string sql = "INSERT INTO " + table +
                    " (host_user, machine, document_number, action, blob_path, size_bytes, sha256, etag,"
                    " source_etag, index_rows, pipeline_version, detail) VALUES ";
  std::vector<Record> values;
  for (std::size_t i = 0; i < events.size(); ++i) {
    const Event& e = events[i];
    sql += std::string(i ? ", " : "") + "(%s, %s, %s, %s, %s, %s, %s, %s, %s, %s, %s, %s)";
    for (Record v : {text_or_null(writer.host_user), text_or_null(writer.machine), Record(e.document_number),
                     Record(e.action), text_or_null(e.blob_path), optional_or_null(e.size), text_or_null(e.sha256),
                     text_or_null(e.etag), text_or_null(e.source_etag), optional_or_null(e.index_rows),
                     text_or_null(writer.version), e.detail.is_null() ? Record() : e.detail}) {
      values.push_back(std::move(v));
    }
  }
  pg::Transaction tx(conn);
  pg::execute(conn, sql, values);
  tx.commit();
}

std::vector<Record> history(PGconn* conn, std::string_view table_name, std::string_view document_number) {
  const std::string table = table_text(table_name);
  pg::PgResult exists = pg::execute(conn, "SELECT to_regclass(%s) IS NOT NULL AS present", {table});
  if (!pg::first_row(exists.get()).value_or(Record::object()).value("present", false)) return {};
  pg::PgResult r = pg::execute(conn,
                               "SELECT id, recorded_at, host_user, machine, document_number, action, blob_path,"
                               " size_bytes, sha256, etag, source_etag, index_rows, pipeline_version, detail FROM " +
                                   table + " WHERE document_number = %s ORDER BY id",
                               {std::string(document_number)});
  return pg::all_rows(r.get());
}

std::map<std::string, std::string> live_owners(PGconn* conn, std::string_view table_name,
                                               const std::vector<std::string>& paths) {
  const std::string table = table_text(table_name);
  std::map<std::string, std::string> out;
  if (paths.empty()) return out;
  pg::PgResult exists = pg::execute(conn, "SELECT to_regclass(%s) IS NOT NULL AS present", {table});
  if (!pg::first_row(exists.get()).value_or(Record::object()).value("present", false)) return out;
  Record wanted = Record::array();
  for (const std::string& p : paths) wanted.push_back(p);
  pg::PgResult r = pg::execute(
      conn,
      "SELECT w.blob_path, w.document_number FROM (SELECT DISTINCT ON (blob_path) blob_path, document_number, id "
      "FROM " + table + " WHERE blob_path = ANY (ARRAY(SELECT jsonb_array_elements_text(%s::jsonb))) "
      "AND action IN ('ingested', 'artefact_written') ORDER BY blob_path, id DESC) w "
      "WHERE NOT EXISTS (SELECT 1 FROM " + table + " d WHERE d.blob_path = w.blob_path "
      "AND d.document_number = w.document_number AND d.action = 'deleted' AND d.id > w.id)",
      {wanted});
  for (const Record& row : pg::all_rows(r.get())) {
    out[record::get_text_or(row, "blob_path", "")] = record::get_text_or(row, "document_number", "");
  }
  return out;
}

std::vector<Record> live_artefacts(const std::vector<Record>& events) {
  std::vector<std::string> order;
  std::map<std::string, Record> live;
  for (const Record& e : events) {
    const Record* path = record::find(e, "blob_path");
    if (!path || !path->is_string()) continue;
    const std::string p = path->get<std::string>();
    const std::string action = record::get_text_or(e, "action", "");
    if (action == INGESTED || action == ARTEFACT_WRITTEN) {
      if (std::find(order.begin(), order.end(), p) == order.end()) order.push_back(p);
      live[p] = e;
    } else if (action == DELETED) {
      live.erase(p);
    }
  }
  std::vector<Record> out;
  for (const std::string& p : order) {
    if (auto it = live.find(p); it != live.end()) out.push_back(it->second);
  }
  return out;
}

}  // namespace shared::connectors::audit
