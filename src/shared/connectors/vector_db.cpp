#include "shared/connectors/vector_db.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <cmath>
#include <cstring>
#include <map>

#include "shared/config.hpp"
#include "shared/connectors/kept_connection.hpp"
#include "shared/connectors/mainstore.hpp"
#include "shared/errors.hpp"
#include "shared/text/utf8.hpp"

namespace shared::connectors::vector_db {

namespace {

// The index's connection for the whole process: one TLS handshake, not one
// per document indexed or removed.
mainstore::KeptConnection& index_connection() {
  static mainstore::KeptConnection kept;
  return kept;
}

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

std::string upper(std::string s) {
  for (char& c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return s;
}

std::string generation_table(const std::string& table) { return table + "_generation"; }

// How the full-text column is made: the text-search configuration and, where
// the unaccent extension is installed, its function, so that "café" and
// "cafe" meet. Both come from checked identifiers, so they are written into
// the statements as they are.
struct Recipe {
  std::string config;  // e.g. "english"
  std::string fold;    // e.g. "public.unaccent", or "" when not installed
  // The text stored as the column's comment: a table whose comment differs
  // was built another way and has its vectors made again.
  std::string label() const { return "kesto full text: " + config + (fold.empty() ? "" : " " + fold); }
  std::string folded(const std::string& expr) const { return fold.empty() ? expr : fold + "(" + expr + ")"; }
  std::string regconfig() const { return "'" + config + "'::regconfig"; }
  // The section's own heading (from its key) weighs more than its body, so
  // that a question naming a section's subject finds that section first.
  std::string vector_of(const std::string& key, const std::string& text) const {
    const std::string heading = "CASE WHEN strpos(" + key + ", '::') > 0 THEN substr(" + key + ", strpos(" + key +
                                ", '::') + 2) ELSE " + key + " END";
    return "setweight(to_tsvector(" + regconfig() + ", " + folded(heading) + "), 'A') || to_tsvector(" +
           regconfig() + ", " + folded(text) + ")";
  }
  std::string query_of(const std::string& param) const {
    return "websearch_to_tsquery(" + regconfig() + ", " + folded(param) + ")";
  }
};

Recipe ensure(PGconn* conn, const std::string& table) {
  std::string config = text::ascii_lower(text::strip(config::get().SEARCH_TEXT_CONFIG));
  if (config.empty()) config = "english";
  pg::check_identifier(config, "SEARCH_TEXT_CONFIG", true);
  const std::size_t dot = config.find('.');
  const std::string cfg_schema = dot == std::string::npos ? "" : config.substr(0, dot);
  const std::string cfg_name = dot == std::string::npos ? config : config.substr(dot + 1);
  const std::string gen = generation_table(table);

  auto inspect = [&] {
    pg::PgResult r = pg::execute(
        conn,
        "SELECT to_regclass(%s) IS NOT NULL AS present, to_regclass(%s) IS NOT NULL AS has_generation,"
        " (SELECT col_description(a.attrelid, a.attnum) FROM pg_attribute a"
        "   WHERE a.attrelid = to_regclass(%s) AND a.attname = 'search_vector' AND NOT a.attisdropped) AS recipe,"
        " (SELECT n.nspname FROM pg_extension e JOIN pg_namespace n ON n.oid = e.extnamespace"
        "   WHERE e.extname = 'unaccent') AS unaccent_schema,"
        " EXISTS (SELECT 1 FROM pg_ts_config c JOIN pg_namespace n ON n.oid = c.cfgnamespace"
        "   WHERE c.cfgname = %s AND (%s = '' OR n.nspname = %s)) AS config_known",
        {table, gen, table, cfg_name, cfg_schema, cfg_schema});
    return pg::first_row(r.get()).value_or(Record::object());
  };
  Record state = inspect();
  if (!state.value("config_known", false)) {
    throw ValueError("SEARCH_TEXT_CONFIG: PostgreSQL has no text search configuration '" + config + "'");
  }
  Recipe recipe{.config = config, .fold = {}};
  const std::string ext_schema = record::get_text_or(state, "unaccent_schema", "");
  if (!ext_schema.empty() && pg::is_plain_identifier(ext_schema)) recipe.fold = ext_schema + ".unaccent";
  const std::string wanted = recipe.label();
  auto current = [](const Record& s) { return record::get_text_or(s, "recipe", ""); };
  if (state.value("present", false) && state.value("has_generation", false) && current(state) == wanted) return recipe;

  // Two processes creating or upgrading the same table at once would
  // collide in the catalogue; the lock lasts until the caller's transaction
  // ends.
  pg::advisory_xact_lock(conn, "kesto.vector_db:" + table);
  pg::execute(conn, "CREATE TABLE IF NOT EXISTS " + table +
                        " (\n"
                        "    qd_number       text NOT NULL,\n"
                        "    section_key     text NOT NULL,\n"
                        "    section_index   integer NOT NULL,\n"
                        "    document_name   text NOT NULL DEFAULT '',\n"
                        "    link            text NOT NULL DEFAULT '',\n"
                        "    enriched_text   text NOT NULL,\n"
                        "    embedding       real[],\n"
                        "    indexed_at      timestamptz NOT NULL DEFAULT now(),\n"
                        "    content_sha256  text,\n"
                        "    embedding_model text,\n"
                        "    search_vector   tsvector,\n"
                        "    PRIMARY KEY (qd_number, section_key)\n"
                        ")");
  // Tables made before retrieval existed lack the last three columns.
  pg::execute(conn, "ALTER TABLE " + table +
                        " ADD COLUMN IF NOT EXISTS content_sha256 text,"
                        " ADD COLUMN IF NOT EXISTS embedding_model text,"
                        " ADD COLUMN IF NOT EXISTS search_vector tsvector");
  pg::execute(conn, "CREATE INDEX IF NOT EXISTS " + base_name(table) + "_qd_upper_idx ON " + table +
                        " (upper(qd_number))");
  pg::execute(conn, "CREATE INDEX IF NOT EXISTS " + base_name(table) + "_search_idx ON " + table +
                        " USING gin (search_vector)");
  pg::execute(conn, "CREATE TABLE IF NOT EXISTS " + gen + " (generation bigint NOT NULL)");
  pg::execute(conn, "INSERT INTO " + gen + " SELECT 0 WHERE NOT EXISTS (SELECT 1 FROM " + gen + ")");
  pg::execute(conn, "UPDATE " + table +
                        " SET content_sha256 = encode(sha256(convert_to(enriched_text, 'UTF8')), 'hex')"
                        " WHERE content_sha256 IS NULL");
  // Another process may have finished the same upgrade while this one waited.
  if (current(inspect()) != wanted) {
    pg::execute(conn, "UPDATE " + table + " SET search_vector = " + recipe.vector_of("section_key", "enriched_text"));
    pg::execute(conn, "COMMENT ON COLUMN " + table + ".search_vector IS '" + wanted + "'");
  }
  return recipe;
}

// Bounds the statements that follow in the caller's transaction. Set after
// the table was made sure of: a first-use upgrade of a large table is the
// index's own work, and cutting it short would only repeat it.
void bound_statements(PGconn* conn) {
  pg::execute(conn, "SET LOCAL statement_timeout = " + std::to_string(config::get().SEARCH_TIMEOUT_S * 1000));
}

bool is_word_byte(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c >= 0x80;
}

void bump_generation(PGconn* conn, const std::string& table) {
  pg::execute(conn, "UPDATE " + generation_table(table) + " SET generation = generation + 1");
}

// A row to insert.
struct NewRow {
  std::size_t index;
  const Section* section;
  std::string sha;
  std::optional<std::vector<double>> embedding;
  std::string model;
};

void insert_rows(PGconn* conn, const std::string& table, const Recipe& recipe, std::string_view qd_number,
                 std::string_view document_name, std::string_view link, const std::vector<NewRow>& rows) {
  for (std::size_t start = 0; start < rows.size(); start += kRowsPerInsert) {
    const std::size_t end = std::min(rows.size(), start + kRowsPerInsert);
    pg::Statement st{"INSERT INTO " + table +
                         " (qd_number, section_key, section_index, document_name, link, enriched_text, embedding,"
                         " embedding_model, content_sha256, search_vector)"
                         " SELECT v.q, v.k, v.i::integer, v.n, v.l, v.x, v.e::real[], v.m, v.h, " +
                         recipe.vector_of("v.k", "v.x") + " FROM (VALUES ",
                     {}};
    for (std::size_t i = start; i < end; ++i) {
      const NewRow& r = rows[i];
      st.text += i == start ? "(%s, %s, %s, %s, %s, %s, %s, %s, %s)" : ", (%s, %s, %s, %s, %s, %s, %s, %s, %s)";
      st.values.insert(st.values.end(),
                       {std::string(qd_number), r.section->key, static_cast<long long>(r.index),
                        std::string(document_name), std::string(link), r.section->text,
                        r.embedding ? Record(array_literal(*r.embedding)) : Record(nullptr),
                        r.embedding && !r.model.empty() ? Record(r.model) : Record(nullptr), r.sha});
    }
    st.text += ") AS v(q, k, i, n, l, x, e, m, h)";
    pg::execute(conn, st);
  }
}

DatabaseError result_failure(const PGresult* res, PGconn* conn) {
  const char* state = res ? PQresultErrorField(res, PG_DIAG_SQLSTATE) : nullptr;
  std::string message = res ? PQresultErrorMessage(res) : PQerrorMessage(conn);
  while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
  return DatabaseError(message, state ? state : "");
}

std::uint32_t be32(const char* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return ntohl(v);
}

// A one-dimensional float4 array in PostgreSQL's binary form, or nullopt for
// any other shape (NULL elements, more dimensions, another element type).
std::optional<std::vector<float>> float4_array(const char* p, std::size_t n) {
  constexpr Oid kFloat4 = 700;
  if (n < 12) return std::nullopt;
  const std::uint32_t ndim = be32(p), has_null = be32(p + 4), elem = be32(p + 8);
  if (ndim != 1 || has_null != 0 || elem != kFloat4 || n < 20) return std::nullopt;
  const std::uint32_t count = be32(p + 12);
  if (n != 20 + static_cast<std::size_t>(count) * 8) return std::nullopt;
  std::vector<float> out(count);
  const char* q = p + 20;
  for (std::uint32_t i = 0; i < count; ++i, q += 8) {
    if (be32(q) != 4) return std::nullopt;
    const std::uint32_t bits = be32(q + 4);
    std::memcpy(&out[i], &bits, 4);
  }
  return out;
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
    out += record::format_number(values[i]);
  }
  return out + "}";
}

void ensure_table(PGconn* conn, const std::string& table) { ensure(conn, table); }

SyncCounts sync_document_sections(std::string_view qd_number, std::string_view document_name, std::string_view link,
                                  const std::vector<Section>& sections, const Embed& embed,
                                  std::string_view embedding_model, std::string_view table_name) {
  check_qd_number(qd_number);
  const std::string table = table_for(table_name);
  const std::string qd(qd_number);
  const auto conn = index_connection().lease();
  pg::Transaction tx(conn.get());
  const Recipe recipe = ensure(conn.get(), table);
  // Two runs of the same document would otherwise both decide what to keep
  // from the same old rows and then collide on the inserts.
  pg::advisory_xact_lock(conn.get(), "kesto.vector_db:" + table + ":" + upper(qd));

  struct Old {
    std::string sha, model;
    bool has_embedding = false;
    int rows = 0;
  };
  std::map<std::string, Old> old;
  {
    pg::PgResult res = pg::execute(conn.get(),
                                   "SELECT section_key, content_sha256, embedding_model, embedding IS NOT NULL AS e"
                                   " FROM " + table + " WHERE upper(qd_number) = upper(%s)",
                                   {qd});
    for (const Record& r : pg::all_rows(res.get())) {
      Old& o = old[r["section_key"].get<std::string>()];
      o.sha = record::get_text_or(r, "content_sha256", "");
      o.model = record::get_text_or(r, "embedding_model", "");
      o.has_embedding = r.value("e", false);
      ++o.rows;
    }
  }

  SyncCounts counts;
  counts.sections = sections.size();
  Record kept = Record::array();
  std::vector<NewRow> fresh;
  std::map<std::string, bool> present;
  for (std::size_t i = 0; i < sections.size(); ++i) {
    const Section& s = sections[i];
    present[s.key] = true;
    std::string sha = sha256_hex(s.text);
    const auto it = old.find(s.key);
    // Rows of one key under two spellings of the QD-number cannot be told
    // apart: both are written again.
    const bool unchanged = it != old.end() && it->second.rows == 1 && it->second.sha == sha;
    const bool embedding_ok =
        !embed || (it != old.end() && it->second.has_embedding && it->second.model == embedding_model);
    if (unchanged && embedding_ok) {
      kept.push_back(Record::array({s.key, static_cast<long long>(i)}));
      continue;
    }
    NewRow row{.index = i, .section = &s, .sha = std::move(sha), .embedding = {}, .model = std::string(embedding_model)};
    if (embed) row.embedding = embed(s.text);
    if (row.embedding) ++counts.embedded;
    fresh.push_back(std::move(row));
  }
  for (const auto& [key, o] : old) {
    if (!present.count(key)) counts.removed += static_cast<std::size_t>(o.rows);
  }
  counts.kept = kept.size();

  // Vanished and changed rows go; kept ones stay untouched.
  pg::PgResult gone = pg::execute(conn.get(),
                                  "DELETE FROM " + table +
                                      " WHERE upper(qd_number) = upper(%s)"
                                      " AND section_key NOT IN (SELECT jsonb_array_elements(%s::jsonb)->>0)",
                                  {qd, kept});
  const std::size_t deleted = pg::affected_rows(gone.get());
  if (!kept.empty()) {
    // Only rows whose position, name or link moved are written, so that an
    // unchanged document costs no row versions.
    pg::execute(conn.get(),
                "UPDATE " + table +
                    " AS t SET qd_number = %s, document_name = %s, link = %s, section_index = (v.value->>1)::integer"
                    " FROM jsonb_array_elements(%s::jsonb) AS v"
                    " WHERE upper(t.qd_number) = upper(%s) AND t.section_key = v.value->>0"
                    " AND (t.qd_number, t.document_name, t.link, t.section_index) IS DISTINCT FROM"
                    " (%s, %s, %s, (v.value->>1)::integer)",
                {qd, std::string(document_name), std::string(link), kept, qd, qd, std::string(document_name),
                 std::string(link)});
  }
  insert_rows(conn.get(), table, recipe, qd, document_name, link, fresh);
  if (deleted > 0 || !fresh.empty()) bump_generation(conn.get(), table);
  tx.commit();
  return counts;
}

std::size_t replace_document_sections(std::string_view qd_number, std::string_view document_name,
                                      std::string_view link, const std::vector<Section>& sections,
                                      std::string_view table_name) {
  check_qd_number(qd_number);
  const std::string table = table_for(table_name);
  const auto conn = index_connection().lease();
  pg::Transaction tx(conn.get());
  const Recipe recipe = ensure(conn.get(), table);
  pg::execute(conn.get(), "DELETE FROM " + table + " WHERE upper(qd_number) = upper(%s)",
              {std::string(qd_number)});
  std::vector<NewRow> rows;
  rows.reserve(sections.size());
  for (std::size_t i = 0; i < sections.size(); ++i) {
    rows.push_back(NewRow{.index = i, .section = &sections[i], .sha = sha256_hex(sections[i].text),
                          .embedding = sections[i].embedding, .model = {}});
  }
  insert_rows(conn.get(), table, recipe, qd_number, document_name, link, rows);
  bump_generation(conn.get(), table);
  tx.commit();
  return sections.size();
}

std::size_t delete_document_sections(std::string_view qd_number, std::string_view table_name) {
  check_qd_number(qd_number);
  const std::string table = table_for(table_name);
  const auto conn = index_connection().lease();
  pg::Transaction tx(conn.get());
  ensure(conn.get(), table);
  pg::PgResult res = pg::execute(conn.get(), "DELETE FROM " + table + " WHERE upper(qd_number) = upper(%s)",
                                 {std::string(qd_number)});
  const std::size_t n = pg::affected_rows(res.get());
  if (n > 0) bump_generation(conn.get(), table);
  tx.commit();
  return n;
}

std::vector<Record> get_document_sections(std::string_view qd_number, std::string_view table_name) {
  const std::string table = table_for(table_name);
  const auto conn = index_connection().lease();
  pg::Transaction tx(conn.get());
  ensure(conn.get(), table);
  pg::PgResult res = pg::execute(conn.get(),
                                 "SELECT qd_number, section_key, section_index, document_name, link, enriched_text, "
                                 "embedding, embedding_model, content_sha256, indexed_at FROM " +
                                     table + " WHERE upper(qd_number) = upper(%s) ORDER BY section_index",
                                 {std::string(qd_number)});
  std::vector<Record> rows = pg::all_rows(res.get());
  tx.commit();
  return rows;
}

void check_query(std::string_view query) {
  if (text::strip(query).empty()) throw ValueError("the question is empty");
  if (const std::size_t bad = text::first_invalid(query); bad != std::string_view::npos) {
    throw ValueError("the question is not valid UTF-8 (byte " + std::to_string(bad) + ")");
  }
  if (const std::size_t n = text::count_code_points(query); n > MAX_QUERY_CHARS) {
    throw ValueError("the question is too long: " + std::to_string(n) + " characters (at most " +
                     std::to_string(MAX_QUERY_CHARS) + ")");
  }
  std::size_t words = 0;
  for (std::size_t i = 0; i < query.size(); ++i) {
    const bool starts = is_word_byte(static_cast<unsigned char>(query[i])) &&
                        (i == 0 || !is_word_byte(static_cast<unsigned char>(query[i - 1])));
    words += starts ? 1 : 0;
  }
  if (words > MAX_QUERY_WORDS) {
    throw ValueError("the question has too many words: " + std::to_string(words) + " (at most " +
                     std::to_string(MAX_QUERY_WORDS) + ")");
  }
}

std::string any_word_query(std::string_view query) {
  std::vector<std::string_view> words;
  bool operators = query.find('"') != std::string_view::npos;
  std::size_t i = 0;
  while (i < query.size()) {
    while (i < query.size() && (query[i] == ' ' || query[i] == '\t' || query[i] == '\n' || query[i] == '\r')) ++i;
    std::size_t j = i;
    while (j < query.size() && !(query[j] == ' ' || query[j] == '\t' || query[j] == '\n' || query[j] == '\r')) ++j;
    if (j > i) {
      const std::string_view w = query.substr(i, j - i);
      if (w[0] == '-' || (w.size() == 2 && (w[0] == 'o' || w[0] == 'O') && (w[1] == 'r' || w[1] == 'R'))) {
        operators = true;
      }
      words.push_back(w);
    }
    i = j;
  }
  if (operators) return std::string(query);
  std::string out;
  for (std::string_view w : words) {
    if (!out.empty()) out += " or ";
    out += w;
  }
  return out;
}

std::vector<LexicalHit> lexical_search(PGconn* conn, std::string_view query, std::size_t k,
                                       std::string_view qd_number, std::string_view table_name) {
  check_query(query);
  const std::string table = table_for(table_name);
  std::vector<LexicalHit> hits;
  if (k == 0) return hits;
  pg::Transaction tx(conn);
  const Recipe recipe = ensure(conn, table);
  bound_statements(conn);
  // A section holding every word of the question comes first (score 1 and
  // more); below it, sections holding some of them, so that a question
  // phrased in other words than its section still finds it. ts_rank_cd is
  // divided by 1 + log(length) (flag 1), so that a sub-section outranks the
  // longer parent section that repeats its text, and then scaled into
  // [0, 1) (flag 32) to keep the two bands apart.
  // Sections holding every word are looked for alone first: the GIN index
  // finds them quickly, and when there are k of them the slower search for
  // any word could not change the answer.
  const std::string any = any_word_query(query);
  std::string admit;  // the tsquery text of the words that admit sections; "" for all of them
  auto run = [&](bool every_word) {
    pg::Statement st{"SELECT qd_number, section_key,"
                     " (CASE WHEN search_vector @@ a THEN 1 ELSE 0 END) + ts_rank_cd(search_vector, o, 1 | 32) AS score"
                     " FROM " + table + ", " + recipe.query_of("%s") + " AS a, " + recipe.query_of("%s") +
                         " AS o WHERE search_vector @@ ",
                     {std::string(query), any}};
    if (every_word) {
      st.text += "a";
    } else if (admit.empty()) {
      st.text += "o";
    } else {
      st.text += "%s::tsquery";
      st.values.push_back(admit);
    }
    if (!qd_number.empty()) {
      st.text += " AND upper(qd_number) = upper(%s)";
      st.values.push_back(std::string(qd_number));
    }
    st.text += " ORDER BY score DESC, qd_number, section_index LIMIT %s";
    st.values.push_back(static_cast<long long>(k));
    hits.clear();
    pg::PgResult res = pg::execute(conn, st);
    for (const Record& r : pg::all_rows(res.get())) {
      hits.push_back(LexicalHit{.qd_number = r["qd_number"].get<std::string>(),
                                .section_key = r["section_key"].get<std::string>(),
                                .score = r["score"].get<double>()});
    }
  };
  run(true);
  if (hits.size() < k && any != query) {
    // Ranking costs a visit to every admitted section: on a large index the
    // words that admit sections are the least common ones, taken while
    // together they are expected in at most 1 % of the sections (from the
    // planner's statistics; the least common word always admits). The
    // others only rank; sections holding every word are in already. Small
    // indexes are fast either way and keep every word.
    pg::PgResult lex = pg::execute(
        conn,
        "SELECT q.e, coalesce(m.f, 0) AS f, c.reltuples > 20000 AS large"
        " FROM unnest(tsvector_to_array(to_tsvector(" + recipe.regconfig() + ", " + recipe.folded("%s") +
            "))) AS q(e)"
            " CROSS JOIN (SELECT coalesce(max(reltuples), 0) AS reltuples FROM pg_class WHERE oid = to_regclass(%s)) c"
            " LEFT JOIN (SELECT m.e, m.f FROM pg_stats s,"
            "   unnest(s.most_common_elems::text::text[], s.most_common_elem_freqs) AS m(e, f)"
            "   WHERE s.attname = 'search_vector' AND s.tablename = %s"
            "   AND s.schemaname = coalesce(nullif(%s, ''), current_schema())) m ON m.e = q.e"
            " ORDER BY f, q.e",
        // The catalogue holds unquoted names in lower case.
        {std::string(query), table, text::ascii_lower(base_name(table)),
         table.find('.') == std::string::npos ? std::string() : text::ascii_lower(table.substr(0, table.find('.')))});
    const std::vector<Record> lexemes = pg::all_rows(lex.get());
    if (!lexemes.empty() && lexemes.front().value("large", false)) {
      double expected = 0;
      for (std::size_t i = 0; i < lexemes.size(); ++i) {
        const double f = lexemes[i]["f"].get<double>();
        if (i > 0 && expected + f > 0.01) break;
        expected += f;
        std::string quoted = "'";
        for (char c : lexemes[i]["e"].get<std::string>()) {
          if (c == '\'' || c == '\\') quoted += c;
          quoted += c;
        }
        admit += (admit.empty() ? "" : " | ") + quoted + "'";
      }
    }
    run(false);
  }
  tx.commit();
  return hits;
}

std::vector<SectionView> section_views(PGconn* conn, const std::vector<std::pair<std::string, std::string>>& ids,
                                       std::string_view query, std::string_view table_name) {
  check_query(query);
  const std::string table = table_for(table_name);
  std::vector<SectionView> out;
  if (ids.empty()) return out;
  Record wanted = Record::array();
  for (const auto& [qd, key] : ids) wanted.push_back(Record::array({qd, key}));
  pg::Transaction tx(conn);
  const Recipe recipe = ensure(conn, table);
  bound_statements(conn);
  pg::PgResult res = pg::execute(
      conn,
      "SELECT t.qd_number, t.section_key, t.document_name, t.link, t.enriched_text,"
      " ts_headline(" + recipe.regconfig() + ", t.enriched_text, " + recipe.query_of("%s") +
          ", 'StartSel=**, StopSel=**, MaxWords=30, MinWords=12, MaxFragments=2, FragmentDelimiter=\" … \"')"
          " AS snippet"
          " FROM jsonb_array_elements(%s::jsonb) WITH ORDINALITY AS v(id, ord)"
          " JOIN " + table + " AS t ON t.qd_number = v.id->>0 AND t.section_key = v.id->>1 ORDER BY v.ord",
      {any_word_query(query), wanted});
  for (const Record& r : pg::all_rows(res.get())) {
    SectionView v;
    v.qd_number = r["qd_number"].get<std::string>();
    v.section_key = r["section_key"].get<std::string>();
    v.document_name = r["document_name"].get<std::string>();
    v.link = r["link"].get<std::string>();
    v.enriched_text = r["enriched_text"].get<std::string>();
    // One line: the extract keeps the section's line breaks otherwise.
    const std::string raw = record::get_text_or(r, "snippet", "");
    bool blank = false;
    for (char c : raw) {
      if (c == '\n' || c == '\r' || c == '\t' || c == ' ') {
        blank = !v.snippet.empty();
        continue;
      }
      if (blank) v.snippet += ' ';
      blank = false;
      v.snippet += c;
    }
    out.push_back(std::move(v));
  }
  tx.commit();
  return out;
}

std::int64_t generation(PGconn* conn, std::string_view table_name) {
  const std::string table = table_for(table_name);
  pg::Transaction tx(conn);
  ensure(conn, table);
  bound_statements(conn);
  pg::PgResult res = pg::execute(conn, "SELECT max(generation) AS g FROM " + generation_table(table));
  const Record row = pg::first_row(res.get()).value_or(Record::object());
  tx.commit();
  const Record* g = record::find(row, "g");
  return g && g->is_number() ? g->get<std::int64_t>() : 0;
}

EmbeddingSet load_embeddings(PGconn* conn, std::string_view embedding_model, std::string_view table_name) {
  const std::string table = table_for(table_name);
  pg::Transaction tx(conn);
  // The generation and the rows must come from one snapshot, or a write
  // committed in between would be cached under the newer generation.
  pg::execute(conn, "SET TRANSACTION ISOLATION LEVEL REPEATABLE READ");
  ensure(conn, table);
  bound_statements(conn);
  EmbeddingSet set;
  {
    pg::PgResult g = pg::execute(conn, "SELECT max(generation) AS g FROM " + generation_table(table));
    const Record row = pg::first_row(g.get()).value_or(Record::object());
    const Record* v = record::find(row, "g");
    set.generation = v && v->is_number() ? v->get<std::int64_t>() : 0;
  }
  // Binary results: the text form of 100,000 vectors would take seconds to parse.
  const std::string sql = "SELECT qd_number, section_key, embedding FROM " + table +
                          " WHERE embedding IS NOT NULL AND embedding_model = $1 ORDER BY qd_number, section_index";
  const std::string model(embedding_model);
  const char* params[] = {model.c_str()};
  pg::PgResult res(PQexecParams(conn, sql.c_str(), 1, nullptr, params, nullptr, nullptr, 1));
  if (!res || PQresultStatus(res.get()) != PGRES_TUPLES_OK) throw result_failure(res.get(), conn);
  const int n = PQntuples(res.get());
  set.ids.reserve(static_cast<std::size_t>(n));
  set.vectors.reserve(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) {
    auto vec = float4_array(PQgetvalue(res.get(), i, 2), static_cast<std::size_t>(PQgetlength(res.get(), i, 2)));
    if (!vec) continue;
    set.ids.emplace_back(std::string(PQgetvalue(res.get(), i, 0), static_cast<std::size_t>(PQgetlength(res.get(), i, 0))),
                         std::string(PQgetvalue(res.get(), i, 1), static_cast<std::size_t>(PQgetlength(res.get(), i, 1))));
    set.vectors.push_back(std::move(*vec));
  }
  tx.commit();
  return set;
}

}  // namespace shared::connectors::vector_db
