#include "shared/connectors/vector_db.hpp"

#include <cmath>

#include "shared/config.hpp"
#include "shared/connectors/mainstore.hpp"
#include "shared/errors.hpp"

namespace shared::connectors::vector_db {

namespace {

// Rows per INSERT statement: keeps the bound values far below libpq's limit
// of 65535 parameters while saving round trips.
constexpr std::size_t kRowsPerInsert = 500;

void check_qd_number(std::string_view qd_number) {
  if (qd_number.empty()) throw ValueError("qd_number is empty: sections are indexed under a document's QD-number");
}

std::string base_name(const std::string& table) {
  const std::size_t dot = table.find('.');
  return dot == std::string::npos ? table : table.substr(dot + 1);
}

}  // namespace

std::string table_for(std::string_view table_name) {
  std::string table = table_name.empty() ? config::get().VECTOR_TABLE : std::string(table_name);
  pg::check_identifier(table, "vector index table name", true);
  return table;
}

std::string array_literal(const std::vector<double>& values) {
  std::string out = "{";
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i) out += ',';
    const double d = values[i];
    if (std::isnan(d)) {
      out += "NaN";
    } else if (std::isinf(d)) {
      out += d > 0 ? "Infinity" : "-Infinity";
    } else {
      out += record::format_double(d);
    }
  }
  return out + "}";
}

void ensure_table(PGconn* conn, const std::string& table) {
  pg::PgResult found = pg::execute(conn, "SELECT to_regclass(%s) IS NOT NULL AS present", {table});
  if (pg::first_row(found.get()).value_or(Record::object()).value("present", false)) return;
  // Two processes creating the same table at once would collide in the
  // catalogue; the lock lasts until the caller's transaction ends.
  pg::execute(conn, "SELECT pg_advisory_xact_lock(hashtext(%s))", {"kesto.vector_db:" + table});
  pg::execute(conn, "CREATE TABLE IF NOT EXISTS " + table +
                        " (\n"
                        "    qd_number     text NOT NULL,\n"
                        "    section_key   text NOT NULL,\n"
                        "    section_index integer NOT NULL,\n"
                        "    document_name text NOT NULL DEFAULT '',\n"
                        "    link          text NOT NULL DEFAULT '',\n"
                        "    enriched_text text NOT NULL,\n"
                        "    embedding     real[],\n"
                        "    indexed_at    timestamptz NOT NULL DEFAULT now(),\n"
                        "    PRIMARY KEY (qd_number, section_key)\n"
                        ")");
  pg::execute(conn, "CREATE INDEX IF NOT EXISTS " + base_name(table) + "_qd_upper_idx ON " + table +
                        " (upper(qd_number))");
}

std::size_t replace_document_sections(std::string_view qd_number, std::string_view document_name,
                                      std::string_view link, const std::vector<Section>& sections,
                                      std::string_view table_name) {
  check_qd_number(qd_number);
  const std::string table = table_for(table_name);
  pg::PgConn conn = mainstore::get_conn();
  pg::Transaction tx(conn.get());
  ensure_table(conn.get(), table);
  pg::execute(conn.get(), "DELETE FROM " + table + " WHERE upper(qd_number) = upper(%s)",
              {std::string(qd_number)});
  for (std::size_t start = 0; start < sections.size(); start += kRowsPerInsert) {
    const std::size_t end = std::min(sections.size(), start + kRowsPerInsert);
    pg::Statement st{"INSERT INTO " + table +
                         " (qd_number, section_key, section_index, document_name, link, enriched_text, embedding)"
                         " VALUES ",
                     {}};
    for (std::size_t i = start; i < end; ++i) {
      const Section& s = sections[i];
      st.text += i == start ? "(%s, %s, %s, %s, %s, %s, %s)" : ", (%s, %s, %s, %s, %s, %s, %s)";
      st.values.insert(st.values.end(),
                       {std::string(qd_number), s.key, static_cast<long long>(i), std::string(document_name),
                        std::string(link), s.text,
                        s.embedding ? Record(array_literal(*s.embedding)) : Record(nullptr)});
    }
    pg::execute(conn.get(), st);
  }
  tx.commit();
  return sections.size();
}

std::size_t delete_document_sections(std::string_view qd_number, std::string_view table_name) {
  check_qd_number(qd_number);
  const std::string table = table_for(table_name);
  pg::PgConn conn = mainstore::get_conn();
  pg::Transaction tx(conn.get());
  ensure_table(conn.get(), table);
  pg::PgResult res = pg::execute(conn.get(), "DELETE FROM " + table + " WHERE upper(qd_number) = upper(%s)",
                                 {std::string(qd_number)});
  const std::size_t n = pg::affected_rows(res.get());
  tx.commit();
  return n;
}

std::vector<Record> get_document_sections(std::string_view qd_number, std::string_view table_name) {
  const std::string table = table_for(table_name);
  pg::PgConn conn = mainstore::get_conn();
  pg::Transaction tx(conn.get());
  ensure_table(conn.get(), table);
  pg::PgResult res = pg::execute(conn.get(),
                                 "SELECT qd_number, section_key, section_index, document_name, link, enriched_text, "
                                 "embedding, indexed_at FROM " +
                                     table + " WHERE upper(qd_number) = upper(%s) ORDER BY section_index",
                                 {std::string(qd_number)});
  std::vector<Record> rows = pg::all_rows(res.get());
  tx.commit();
  return rows;
}

}  // namespace shared::connectors::vector_db
