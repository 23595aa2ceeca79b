#include "shared/connectors/mainstore.hpp"

#include <map>
#include <mutex>

#include "shared/config.hpp"
#include "shared/errors.hpp"
#include "shared/logsetup.hpp"

namespace shared::connectors::mainstore {

namespace {

logsetup::Logger& _logger() { return logsetup::get_logger("shared.connectors.mainstore"); }

// Multi-line statements: a leading line break, clauses indented by eight
// spaces, and a final line break followed by four spaces.
std::string layout(std::initializer_list<std::string> clauses) {
  std::string out = "\n";
  for (const std::string& c : clauses) out += "        " + c + "\n";
  return out + "    ";
}

std::string text(std::string_view s) { return std::string(s); }

void check_table(std::string_view table_name) { pg::check_identifier(table_name, "table name", true); }

// The keys of `data`, each checked; refuses a non-object or empty `data`.
std::vector<std::string> data_columns(const Record& data, const char* verb) {
  if (!data.is_object()) throw TypeError("data must be a map of column names to values");
  if (data.empty()) throw ValueError(std::string("data is empty: there is no column to ") + verb);
  std::vector<std::string> cols;
  for (auto it = data.begin(); it != data.end(); ++it) {
    pg::check_identifier(it.key(), "column name");
    cols.push_back(it.key());
  }
  return cols;
}

std::string join(const std::vector<std::string>& parts, const char* sep) {
  std::string out;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i) out += sep;
    out += parts[i];
  }
  return out;
}

// One transaction on `given`, or on a connection of its own when that is
// null: the rows are returned only once the commit succeeded; any failure
// rolls back (and closes the connection of its own).
std::vector<Record> run(const pg::Statement& st, bool all_rows, PGconn* given = nullptr) {
  pg::PgConn own;
  if (!given) own = get_conn();
  PGconn* const conn = given ? given : own.get();
  pg::Transaction tx(conn);
  pg::PgResult res = pg::execute(conn, st);
  std::vector<Record> rows;
  if (all_rows) {
    rows = pg::all_rows(res.get());
  } else if (auto first = pg::first_row(res.get())) {
    rows.push_back(std::move(*first));
  }
  tx.commit();
  return rows;
}

std::optional<Record> run_first(const pg::Statement& st, PGconn* given = nullptr) {
  std::vector<Record> rows = run(st, false, given);
  if (rows.empty()) return std::nullopt;
  return std::move(rows.front());
}

}  // namespace

pg::Statement fetch_all_statement(std::string_view table_name) {
  check_table(table_name);
  return {"SELECT * FROM " + text(table_name) + ";", {}};
}

pg::Statement get_one_statement(std::string_view table_name, std::string_view pk_column, const Record& pk_value) {
  check_table(table_name);
  pg::check_identifier(pk_column, "column name");
  return {layout({"SELECT * FROM " + text(table_name), "WHERE " + text(pk_column) + " = %s;"}), {pk_value}};
}

pg::Statement insert_statement(std::string_view table_name, const Record& data) {
  check_table(table_name);
  const std::vector<std::string> cols = data_columns(data, "insert");
  std::vector<std::string> marks(cols.size(), "%s");
  pg::Statement st{layout({"INSERT INTO " + text(table_name) + " (" + join(cols, ", ") + ")",
                           "VALUES (" + join(marks, ", ") + ")", "RETURNING *;"}),
                   {}};
  for (const auto& [k, v] : data.items()) st.values.push_back(v);
  return st;
}

pg::Statement update_statement(std::string_view table_name, std::string_view pk_column, const Record& pk_value,
                               const Record& data) {
  check_table(table_name);
  pg::check_identifier(pk_column, "column name");
  std::vector<std::string> sets = data_columns(data, "update");
  for (std::string& c : sets) c += " = %s";
  pg::Statement st{layout({"UPDATE " + text(table_name), "SET " + join(sets, ", "),
                           "WHERE " + text(pk_column) + " = %s", "RETURNING *;"}),
                   {}};
  for (const auto& [k, v] : data.items()) st.values.push_back(v);
  st.values.push_back(pk_value);
  return st;
}

pg::Statement delete_statement(std::string_view table_name, std::string_view pk_column, const Record& pk_value) {
  check_table(table_name);
  pg::check_identifier(pk_column, "column name");
  return {layout({"DELETE FROM " + text(table_name), "WHERE " + text(pk_column) + " = %s", "RETURNING *;"}),
          {pk_value}};
}

pg::Statement delete_by_document_number_statement(std::string_view document_number, std::string_view table_name) {
  check_table(table_name);
  return {layout({"DELETE FROM " + text(table_name), "WHERE document_number = %s", "RETURNING *;"}),
          {text(document_number)}};
}

pg::PgConn get_conn() {
  const config::Settings& s = config::get();
  return pg::connect(pg::ConnectParams{.host = s.PGHOST,
                                       .port = s.PGPORT,
                                       .dbname = s.PGDATABASE,
                                       .user = s.PGUSER,
                                       .password = s.PGPASSWORD,
                                       .sslmode = "require",
                                       .connect_timeout = static_cast<int>(s.CONNECT_TIMEOUT_S),
                                       .entra_token = s.PGAUTH == "entra"});
}

std::vector<Record> fetch_all(std::string_view table_name) { return run(fetch_all_statement(table_name), true); }

std::optional<Record> get_one(std::string_view table_name, std::string_view pk_column, const Record& pk_value) {
  return run_first(get_one_statement(table_name, pk_column, pk_value));
}

Record insert_row(std::string_view table_name, const Record& data) { return insert_row(nullptr, table_name, data); }

Record insert_row(PGconn* conn, std::string_view table_name, const Record& data) {
  const pg::Statement st = insert_statement(table_name, data);
  _logger().error("[DB] INSERT query: " + st.text);
  _logger().error("[DB] INSERT values: " + pg::repr_tuple(st.values));
  try {
    std::optional<Record> row = run_first(st, conn);
    // RETURNING * of a successful INSERT always yields the row.
    return row ? std::move(*row) : Record::object();
  } catch (const std::exception& e) {
    _logger().error(std::string("[DB] INSERT error: ") + e.what());
    throw;
  }
}

std::optional<Record> update_row(std::string_view table_name, std::string_view pk_column, const Record& pk_value,
                                 const Record& data) {
  return update_row(nullptr, table_name, pk_column, pk_value, data);
}

std::optional<Record> update_row(PGconn* conn, std::string_view table_name, std::string_view pk_column,
                                 const Record& pk_value, const Record& data) {
  const pg::Statement st = update_statement(table_name, pk_column, pk_value, data);
  _logger().error("[DB] UPDATE query: " + st.text);
  _logger().error("[DB] UPDATE values: " + pg::repr_tuple(st.values));
  try {
    return run_first(st, conn);
  } catch (const std::exception& e) {
    _logger().error(std::string("[DB] UPDATE error: ") + e.what());
    throw;
  }
}

std::optional<Record> delete_row(std::string_view table_name, std::string_view pk_column, const Record& pk_value) {
  return run_first(delete_statement(table_name, pk_column, pk_value));
}

std::optional<Record> get_by_document_number(std::string_view document_number, std::string_view table_name) {
  return get_one(table_name, "document_number", text(document_number));
}

std::optional<Record> delete_by_document_number(std::string_view document_number, std::string_view table_name) {
  return run_first(delete_by_document_number_statement(document_number, table_name));
}

std::optional<Record> upsert_document(std::string_view table_name, std::string_view doc_number, const Record& data) {
  return upsert_document(nullptr, table_name, doc_number, data);
}

std::optional<Record> upsert_document(PGconn* conn, std::string_view table_name, std::string_view doc_number,
                                      const Record& data) {
  // Refused before anything is logged or looked up.
  check_table(table_name);
  const std::vector<std::string> keys = data_columns(data, "write");

  logsetup::Logger& log = _logger();
  log.error("[DB] upsert_document called:");
  log.error("[DB]   table_name = '" + text(table_name) + "'");
  log.error("[DB]   doc_number = '" + text(doc_number) + "'");
  log.error("[DB]   data keys = " + pg::repr_list(keys));

  const std::optional<Record> existing =
      run_first(get_one_statement(table_name, "document_number", text(doc_number)), conn);
  log.error(std::string("[DB]   existing record = ") + (existing ? "True" : "False"));
  if (!existing) return insert_row(conn, table_name, data);

  Record update_data = Record::object();
  std::vector<std::string> update_keys;
  for (auto it = data.begin(); it != data.end(); ++it) {
    if (it.key() == "id") continue;
    update_data[it.key()] = it.value();
    update_keys.push_back(it.key());
  }
  log.error("[DB]   update_data keys = " + pg::repr_list(update_keys));
  return update_row(conn, table_name, "document_number", text(doc_number), update_data);
}

namespace {

// The table's name without its schema, and the schema part ("" for none):
// an index is made in its table's schema under a bare name.
std::pair<std::string, std::string> split_table(const std::string& table) {
  const auto dot = table.find('.');
  if (dot == std::string::npos) return {"", table};
  return {table.substr(0, dot), table.substr(dot + 1)};
}

std::string index_name(const std::string& table, const char* column, bool qualified) {
  const auto [schema, bare] = split_table(table);
  return (qualified && !schema.empty() ? schema + "." : "") + bare + "_" + column + "_idx";
}

// Whether the table has both key indexes; nullopt when the table does not
// exist.
std::optional<bool> artefact_keys_present(PGconn* conn, const std::string& table) {
  pg::PgResult r = pg::execute(conn,
                               "SELECT to_regclass(%s) IS NOT NULL AS present, to_regclass(%s) IS NOT NULL AND "
                               "to_regclass(%s) IS NOT NULL AS ready",
                               {table, index_name(table, "artefact_stem", true),
                                index_name(table, "artefact_doc_stem", true)});
  const Record row = pg::first_row(r.get()).value_or(Record::object());
  if (!row.value("present", false)) return std::nullopt;
  return row.value("ready", false);
}

// Whether the table's rows can be found by their artefact keys, giving a
// table made before them the two indexes (once per process and table, on
// a connection outside any transaction; two processes doing it at once
// take turns). A table that cannot be given them is searched with a scan,
// and a warning says how to mend it.
bool artefact_keys_ready(PGconn* conn, const std::string& table) {
  static std::mutex mu;
  static std::map<std::string, bool> known;
  std::lock_guard lock(mu);
  if (auto it = known.find(table); it != known.end()) return it->second;
  const std::optional<bool> present = artefact_keys_present(conn, table);
  if (!present) return true;  // the statement itself says the table is missing
  if (*present) return known[table] = true;
  if (PQtransactionStatus(conn) != PQTRANS_IDLE) return false;  // asked again outside the caller's transaction
  try {
    pg::Transaction tx(conn);
    pg::advisory_xact_lock(conn, "kesto.metadata-keys:" + table);
    for (const std::string& statement : artefact_key_statements(table)) pg::execute(conn, statement);
    tx.commit();
    _logger().info("The metadata table '" + table + "' now indexes its rows' artefact names");
    return known[table] = true;
  } catch (const std::exception& e) {
    _logger().warning("The metadata table '" + table + "' has no artefact name indexes and they could not be made (" +
                      std::string(e.what()) +
                      "): searches for files with the same artefact names read the whole table; run "
                      "sql/sop_metadata.sql on it");
    return known[table] = false;
  }
}

}  // namespace

std::vector<std::string> artefact_key_statements(std::string_view table_name) {
  check_table(table_name);
  const std::string table = text(table_name);
  return {"CREATE INDEX IF NOT EXISTS " + index_name(table, "artefact_stem", false) + " ON " + table + " ((" +
              std::string(ARTEFACT_STEM_SQL) + "))",
          "CREATE INDEX IF NOT EXISTS " + index_name(table, "artefact_doc_stem", false) + " ON " + table + " ((" +
              std::string(ARTEFACT_DOC_STEM_SQL) + "))"};
}

std::string files_sharing_keys_statement(std::string_view table_name) {
  check_table(table_name);
  return "WITH k AS (SELECT ARRAY(SELECT jsonb_array_elements_text(%s::jsonb)) AS keys) "
         "SELECT document_number, blob_filename FROM " + text(table_name) + ", k WHERE ((" +
         std::string(ARTEFACT_STEM_SQL) + ") = ANY (k.keys) OR (" + std::string(ARTEFACT_DOC_STEM_SQL) +
         ") = ANY (k.keys)) AND upper(document_number) <> %s ORDER BY document_number";
}

std::vector<Record> files_sharing_keys(PGconn* conn, std::string_view table_name, std::string_view qd_number,
                                       const std::vector<std::string>& keys) {
  if (keys.empty()) return {};
  check_table(table_name);
  if (!artefact_keys_ready(conn, text(table_name))) return files_holding(conn, table_name, qd_number, keys);
  Record values = Record::array();
  for (const std::string& key : keys) values.push_back(key);
  pg::PgResult res = pg::execute(conn, files_sharing_keys_statement(table_name), {values, text(qd_number)});
  return pg::all_rows(res.get());
}

std::vector<Record> files_holding(PGconn* conn, std::string_view table_name, std::string_view qd_number,
                                  const std::vector<std::string>& fragments) {
  if (fragments.empty()) return {};
  check_table(table_name);
  Record patterns = Record::array();
  for (const std::string& fragment : fragments) {
    std::string pattern = "%";
    for (char c : fragment) {
      if (c == '%' || c == '_' || c == '\\') pattern += '\\';
      pattern += c;
    }
    patterns.push_back(pattern + "%");
  }
  pg::PgResult res = pg::execute(conn,
                                 "SELECT document_number, blob_filename FROM " + text(table_name) +
                                     " WHERE upper(document_number) <> %s AND EXISTS (SELECT 1 FROM "
                                     "jsonb_array_elements_text(%s::jsonb) AS p(pattern) WHERE blob_filename LIKE "
                                     "p.pattern) ORDER BY document_number",
                                 {text(qd_number), patterns});
  return pg::all_rows(res.get());
}

}  // namespace shared::connectors::mainstore
