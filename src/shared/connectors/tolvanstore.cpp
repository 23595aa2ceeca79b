#include "shared/connectors/tolvanstore.hpp"

#include <mutex>

#include "shared/config.hpp"
#include "shared/connectors/pg.hpp"
#include "shared/errors.hpp"
#include "shared/retry.hpp"
#include "shared/text/utf8.hpp"

namespace shared::connectors::tolvanstore {

namespace {

logsetup::Logger& _logger() { return logsetup::get_logger("shared.connectors.tolvanstore"); }

// libpq connections must not be used by two threads at once: every use of
// the shared connection, its creation and its closing hold this lock.
std::recursive_mutex& _mu() {
  static std::recursive_mutex m;
  return m;
}

pg::PgConn& _connection() {
  static pg::PgConn c;
  return c;
}

retry::Options read_retry() { return retry::Options{.max_attempts = 3, .initial_delay = 1.0, .max_delay = 30.0}; }

constexpr std::size_t kPrefixChars = 15;

// "{schema}.{table}" as written into the statements; both parts must be
// plain identifiers.
std::string qualified_table() {
  const config::Settings& s = config::get();
  pg::check_identifier(s.TOLVANSTORE_SCHEMA, "TOLVANSTORE_SCHEMA");
  pg::check_identifier(s.TOLVANSTORE_TABLE, "TOLVANSTORE_TABLE");
  return s.TOLVANSTORE_SCHEMA + "." + s.TOLVANSTORE_TABLE;
}

std::vector<Record> query(const std::string& sql, const std::vector<Record>& values) {
  std::lock_guard lock(_mu());
  PGconn* conn = _get_connection();
  // libpq runs each statement in its own transaction unless told otherwise:
  // these reads are autocommitted.
  pg::PgResult res = pg::execute(conn, sql, values);
  return pg::all_rows(res.get());
}

Record with_blob_name(Record row) {
  const Record* name = record::find(row, "blob_filename");
  row["blob_name"] = name ? *name : Record(nullptr);
  return row;
}

std::string drop_chars(const std::string& s, std::size_t n) {
  std::size_t i = 0;
  for (std::size_t k = 0; k < n && i < s.size(); ++k) {
    std::size_t len = 1;
    text::decode(s, i, len);
    i += len;
  }
  return s.substr(i);
}

Record _get_document_status(const std::string& blob_filename) {
  const std::string table = qualified_table();
  std::vector<Record> rows = query(
      "SELECT id, blob_filename, kesto_status, document_name, document_number, url_document_name FROM " + table +
          " WHERE blob_filename = %s LIMIT 1",
      {blob_filename});
  if (rows.empty() && text::count_code_points(blob_filename) > kPrefixChars) {
    const std::string cleaned = drop_chars(blob_filename, kPrefixChars);
    rows = query("SELECT blob_filename, kesto_status, document_name, document_number, url_document_name FROM " +
                     table + " WHERE blob_filename LIKE %s LIMIT 1",
                 {"%" + cleaned + "%"});
  }
  if (rows.empty()) throw ValueError("Document not found in " + table + ": " + blob_filename);
  return with_blob_name(std::move(rows.front()));
}

std::vector<Record> _get_all_pending_documents(const std::vector<std::string>& statuses) {
  const std::string table = qualified_table();
  std::string marks;
  std::vector<Record> values;
  for (const std::string& s : statuses) {
    marks += marks.empty() ? "%s" : ",%s";
    values.emplace_back(s);
  }
  std::vector<Record> rows =
      query("SELECT * FROM " + table + " WHERE kesto_status IN (" + marks + ") ORDER BY blob_filename", values);
  for (Record& r : rows) r = with_blob_name(std::move(r));
  return rows;
}

std::vector<Record> _get_all_documents() {
  std::vector<Record> rows =
      query("SELECT blob_filename, kesto_status FROM " + qualified_table() + " ORDER BY blob_filename", {});
  for (Record& r : rows) r = with_blob_name(std::move(r));
  return rows;
}

std::vector<std::string> _get_table_columns() {
  const config::Settings& s = config::get();
  std::vector<Record> rows = query(
      "SELECT column_name FROM information_schema.columns WHERE table_schema = %s AND table_name = %s "
      "ORDER BY ordinal_position",
      {s.TOLVANSTORE_SCHEMA, s.TOLVANSTORE_TABLE});
  std::vector<std::string> out;
  for (const Record& r : rows) out.push_back(record::get_text(r, "column_name"));
  return out;
}

}  // namespace

ConnectionParameters connection_parameters() {
  const config::Settings& s = config::get();
  ConnectionParameters p;
  p.host = s.TOLVANSTORE_HOST;
  p.user = s.TOLVANSTORE_USER;
  p.password = s.TOLVANSTORE_PASSWORD;
  const std::string port(text::strip(s.TOLVANSTORE_PORT));
  if (!port.empty()) {
    std::size_t used = 0;
    int n = 0;
    try {
      n = std::stoi(port, &used);
    } catch (const std::exception&) {
      used = 0;
    }
    if (used == 0 || used != port.size()) {
      throw ValueError("TOLVANSTORE_PORT is not a whole number: '" + s.TOLVANSTORE_PORT + "'");
    }
    p.port = n;
  }
  p.database = s.TOLVANSTORE_NAME.empty() ? "0348_kesto" : s.TOLVANSTORE_NAME;
  // Signed in with Microsoft Entra ID, the password is a token got per connection.
  if (p.host.empty() || p.user.empty() || (p.password.empty() && s.PGAUTH != "entra")) {
    throw ValueError(
        "Missing required PostgreSQL connection parameters. Set TOLVANSTORE_HOST, TOLVANSTORE_USER, and "
        "TOLVANSTORE_PASSWORD environment variables.");
  }
  return p;
}

PGconn* _get_connection() {
  const ConnectionParameters p = connection_parameters();
  std::lock_guard lock(_mu());
  pg::PgConn& conn = _connection();
  if (!conn || PQstatus(conn.get()) == CONNECTION_BAD) {
    // A connection that failed to open leaves the previous one as it was.
    pg::PgConn fresh = pg::connect(pg::ConnectParams{.host = p.host,
                                                     .port = std::to_string(p.port),
                                                     .dbname = p.database,
                                                     .user = p.user,
                                                     .password = p.password,
                                                     .connect_timeout = 10,
                                                     .entra_token = config::get().PGAUTH == "entra"});
    conn = std::move(fresh);
    _logger().info("Connected to Tolvan database: " + p.database + " at " + p.host + ":" + std::to_string(p.port));
  }
  return conn.get();
}

void close_connection() {
  std::lock_guard lock(_mu());
  pg::PgConn& conn = _connection();
  if (conn && PQstatus(conn.get()) != CONNECTION_BAD) {
    conn.reset();
    _logger().info("Closed Tolvan database connection");
  }
  conn.reset();
}

Record get_document_status(const std::string& blob_filename) {
  static const auto wrapped = retry::retry(read_retry(), "get_document_status", _get_document_status);
  return wrapped(blob_filename);
}

std::vector<Record> get_all_pending_documents(const std::optional<std::vector<std::string>>& statuses) {
  static const auto wrapped = retry::retry(read_retry(), "get_all_pending_documents", _get_all_pending_documents);
  const std::vector<std::string> chosen = statuses.value_or(std::vector<std::string>{"NEW", "UPDATED", "DELETED"});
  // An empty IN list is not valid SQL, and no status means no document.
  if (chosen.empty()) return {};
  return wrapped(chosen);
}

std::vector<Record> get_all_documents() {
  static const auto wrapped = retry::retry(read_retry(), "get_all_documents", _get_all_documents);
  return wrapped();
}

std::vector<std::string> get_table_columns() {
  static const auto wrapped = retry::retry(read_retry(), "get_table_columns", _get_table_columns);
  return wrapped();
}

TolvanstoreConnector::TolvanstoreConnector(logsetup::Logger* log)
    : logger(log ? log : &_logger()),
      schema(config::get().TOLVANSTORE_SCHEMA),
      table(config::get().TOLVANSTORE_TABLE) {}

Record TolvanstoreConnector::get_document_status(const std::string& blob_name) const {
  return tolvanstore::get_document_status(blob_name);
}

std::vector<Record> TolvanstoreConnector::get_all_pending_documents(
    const std::optional<std::vector<std::string>>& statuses) const {
  return tolvanstore::get_all_pending_documents(statuses);
}

std::vector<Record> TolvanstoreConnector::get_all_documents() const { return tolvanstore::get_all_documents(); }

std::vector<std::string> TolvanstoreConnector::get_table_columns() const {
  return tolvanstore::get_table_columns();
}

void TolvanstoreConnector::close() const { close_connection(); }

}  // namespace shared::connectors::tolvanstore
