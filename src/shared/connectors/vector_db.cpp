#include "shared/connectors/vector_db.hpp"

#include <algorithm>
#include <atomic>
#include <arpa/inet.h>
#include <cmath>
#include <cstring>
#include <map>
#include <optional>

#include "shared/config.hpp"
#include "shared/connectors/kept_connection.hpp"
#include "shared/connectors/mainstore.hpp"
#include "shared/errors.hpp"
#include "shared/processors/sectioner.hpp"
#include "shared/text/metadata_markers.hpp"
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
std::string terms_table(const std::string& table) { return table + "_terms"; }

// The row of the terms table that counts the sections themselves: no word
// is the empty string.
constexpr const char* kSectionCount = "''";

// The text of a tsquery matching one lexeme, in `weights` ("A", "AB", ...)
// or anywhere when empty.
std::string lexeme_query(std::string_view lexeme, std::string_view weights = {}) {
  std::string out = "'";
  for (char c : lexeme) {
    if (c == '\'' || c == '\\') out += c;
    out += c;
  }
  out += "'";
  if (!weights.empty()) out += ":" + std::string(weights);
  return out;
}

// How the full-text column is made: the text-search configuration and, where
// the unaccent extension is installed, its function, so that "café" and
// "cafe" meet. Both come from checked identifiers, so they are written into
// the statements as they are.
struct Recipe {
  std::string config;  // e.g. "english"
  std::string fold;    // e.g. "public.unaccent", or "" when not installed
  // Whether rows written before rank fields existed may still lack them
  // (see fill_rank_fields).
  bool unfilled = false;
  // The text stored as the column's comment: a table whose comment differs
  // was built another way and has its vectors made again.
  std::string label() const { return "kesto ranked text: " + settings(); }
  // The comment of the version before rank fields: its vectors hold the
  // same words, weighed only by heading, and are made again row by row.
  std::string label_before_rank_fields() const { return "kesto full text: " + settings(); }
  std::string settings() const { return config + (fold.empty() ? "" : " " + fold); }
  std::string folded(const std::string& expr) const { return fold.empty() ? expr : fold + "(" + expr + ")"; }
  std::string regconfig() const { return "'" + config + "'::regconfig"; }
  std::string tsv(const std::string& expr) const { return "to_tsvector(" + regconfig() + ", " + folded(expr) + ")"; }
  // Each place a word can hold in a section has a weight label of its own:
  // the section's own heading (from its key) A, its own text B, its context
  // C, and the whole enriched text, sub-sections included, D. A row without
  // rank fields (written by an older version) is still found by its text.
  std::string vector_of(const std::string& key, const std::string& own, const std::string& context,
                        const std::string& text) const {
    const std::string heading = "CASE WHEN strpos(" + key + ", '::') > 0 THEN substr(" + key + ", strpos(" + key +
                                ", '::') + 2) ELSE " + key + " END";
    return "setweight(" + tsv(heading) + ", 'A') || setweight(" + tsv("coalesce(" + own + ", '')") + ", 'B') || setweight(" +
           tsv("coalesce(" + context + ", '')") + ", 'C') || " + tsv(text);
  }
  std::string query_of(const std::string& param) const {
    return "websearch_to_tsquery(" + regconfig() + ", " + folded(param) + ")";
  }
};

// Counts again, from the stored vectors, the sections holding each word.
void count_terms(PGconn* conn, const std::string& table) {
  const std::string terms = terms_table(table);
  pg::execute(conn, "DELETE FROM " + terms);
  pg::execute(conn, "INSERT INTO " + terms + " (lexeme, sections) SELECT e, count(*) FROM " + table +
                        ", unnest(tsvector_to_array(search_vector)) AS e GROUP BY e"
                        " UNION ALL SELECT " + kSectionCount + ", count(*) FROM " + table);
}

// The statement that adds `sign` (1 or -1) to the counts of the words of the
// rows that the statement's data-modifying query `rows` (a WITH query
// returning search_vector) wrote or removed. Words are written in order, so
// that two writers never wait on each other in a circle.
std::string count_change(const std::string& table, const std::string& rows, int sign) {
  const std::string n = sign > 0 ? "1" : "-1";
  return "INSERT INTO " + terms_table(table) + " AS m (lexeme, sections) SELECT e, sum(n) FROM (" +
         "SELECT unnest(tsvector_to_array(search_vector)) AS e, " + n + " AS n FROM " + rows +
         " UNION ALL SELECT " + kSectionCount + ", " + n + " FROM " + rows +
         ") AS d GROUP BY e ORDER BY e ON CONFLICT (lexeme) DO UPDATE SET sections = m.sections + excluded.sections";
}

// Writers of one index keep its word counts in step one at a time: taken
// before a transaction's first change of rows, held until it ends.
void lock_terms(PGconn* conn, const std::string& table) {
  pg::advisory_xact_lock(conn, "kesto.vector_db:" + table + ":terms");
}

// The comment on own_text once no row lacks rank fields.
constexpr const char* kFilled = "kesto rank fields filled";
// Rows given rank fields per transaction.
constexpr std::size_t kRowsPerFill = 500;

// Gives the rows written before rank fields existed theirs, and makes their
// vectors again, kRowsPerFill rows to a transaction in key order, so that
// writers wait on one batch at most and an interrupted fill keeps what it
// did; marks the table filled when no such row is left. One process fills a
// table at a time: while another does, this one returns at once and works
// on, a row not yet filled being found by its heading and text. The caller
// holds no transaction. Not bounded by SEARCH_TIMEOUT_S: the work is the
// index's, done once.
void fill_rank_fields(PGconn* conn, const std::string& table, const Recipe& recipe) {
  const std::string lock = "kesto.vector_db:" + table + ":fill";
  if (!pg::try_advisory_lock(conn, lock)) return;
  struct Release {
    PGconn* conn;
    const std::string& name;
    ~Release() {
      try {
        pg::advisory_unlock(conn, name);
      } catch (const std::exception&) {
        // A lock on a connection that broke is already released.
      }
    }
  } release{conn, lock};
  std::optional<std::pair<std::string, std::string>> after;
  for (;;) {
    pg::Transaction tx(conn);
    lock_terms(conn, table);
    pg::Statement next{"SELECT qd_number, section_key, document_name, enriched_text FROM " + table +
                           " WHERE own_text IS NULL",
                       {}};
    if (after) {
      next.text += " AND (qd_number, section_key) > (%s, %s)";
      next.values.push_back(after->first);
      next.values.push_back(after->second);
    }
    next.text += " ORDER BY qd_number, section_key LIMIT " + std::to_string(kRowsPerFill);
    pg::PgResult res = pg::execute(conn, next);
    const std::vector<Record> rows = pg::all_rows(res.get());
    if (rows.empty()) {
      // A row that an older version wrote behind the fill waits for the
      // next one.
      pg::PgResult left = pg::execute(conn, "SELECT EXISTS (SELECT 1 FROM " + table +
                                                " WHERE own_text IS NULL) AS remaining");
      if (!pg::first_row(left.get()).value_or(Record::object()).value("remaining", true)) {
        pg::execute(conn, "COMMENT ON COLUMN " + table + ".own_text IS '" + kFilled + "'");
      }
      tx.commit();
      return;
    }
    Record batch = Record::array();
    for (const Record& r : rows) {
      const std::string key = r["section_key"].get<std::string>();
      RankFields f = rank_fields(r["document_name"].get<std::string>(), key, r["enriched_text"].get<std::string>());
      batch.push_back(Record::array({r["qd_number"].get<std::string>(), key, std::move(f.own), std::move(f.context)}));
    }
    after.emplace(rows.back()["qd_number"].get<std::string>(), rows.back()["section_key"].get<std::string>());
    // The word counts lose the rows' old vectors and gain the new ones, in
    // one statement: both come from its snapshot, which no writer changes
    // while this transaction holds the terms lock.
    pg::execute(conn,
                "WITH v AS (SELECT x.value->>0 AS q, x.value->>1 AS k, x.value->>2 AS o, x.value->>3 AS c"
                " FROM jsonb_array_elements(%s::jsonb) AS x),"
                " was AS (SELECT t.search_vector FROM " + table + " AS t JOIN v ON t.qd_number = v.q AND"
                " t.section_key = v.k WHERE t.own_text IS NULL),"
                " made AS (UPDATE " + table + " AS t SET own_text = v.o, context_text = v.c, search_vector = " +
                    recipe.vector_of("t.section_key", "v.o", "v.c", "t.enriched_text") +
                    " FROM v WHERE t.qd_number = v.q AND t.section_key = v.k AND t.own_text IS NULL"
                    " RETURNING t.search_vector)"
                    " INSERT INTO " + terms_table(table) + " AS m (lexeme, sections) SELECT e, sum(n) FROM ("
                    "SELECT unnest(tsvector_to_array(search_vector)) AS e, -1 AS n FROM was UNION ALL "
                    "SELECT unnest(tsvector_to_array(search_vector)), 1 FROM made"
                    ") AS d GROUP BY e HAVING sum(n) <> 0 ORDER BY e"
                    " ON CONFLICT (lexeme) DO UPDATE SET sections = m.sections + excluded.sections",
                {batch});
    tx.commit();
  }
}

// Deletes the rows matching `where` (with its values) and their word
// counts; returns how many went.
std::size_t delete_rows(PGconn* conn, const std::string& table, const std::string& where,
                        const std::vector<Record>& values) {
  pg::PgResult res = pg::execute(conn,
                                 "WITH gone AS (DELETE FROM " + table + " WHERE " + where +
                                     " RETURNING search_vector), counted AS (" + count_change(table, "gone", -1) +
                                     ") SELECT count(*) AS n FROM gone",
                                 values);
  const Record row = pg::first_row(res.get()).value_or(Record::object());
  const Record* n = record::find(row, "n");
  return n && n->is_number() ? n->get<std::size_t>() : 0;
}

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
        " to_regclass(%s) IS NOT NULL AS has_terms,"
        " (SELECT col_description(a.attrelid, a.attnum) FROM pg_attribute a"
        "   WHERE a.attrelid = to_regclass(%s) AND a.attname = 'search_vector' AND NOT a.attisdropped) AS recipe,"
        " (SELECT col_description(a.attrelid, a.attnum) FROM pg_attribute a"
        "   WHERE a.attrelid = to_regclass(%s) AND a.attname = 'own_text' AND NOT a.attisdropped) AS filled,"
        " (SELECT n.nspname FROM pg_extension e JOIN pg_namespace n ON n.oid = e.extnamespace"
        "   WHERE e.extname = 'unaccent') AS unaccent_schema,"
        " EXISTS (SELECT 1 FROM pg_ts_config c JOIN pg_namespace n ON n.oid = c.cfgnamespace"
        "   WHERE c.cfgname = %s AND (%s = '' OR n.nspname = %s)) AS config_known",
        {table, gen, terms_table(table), table, table, cfg_name, cfg_schema, cfg_schema});
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
  auto unfilled = [](const Record& s) { return record::get_text_or(s, "filled", "") != kFilled; };
  if (state.value("present", false) && state.value("has_generation", false) && state.value("has_terms", false) &&
      current(state) == wanted) {
    recipe.unfilled = unfilled(state);
    return recipe;
  }

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
                        "    own_text        text,\n"
                        "    context_text    text,\n"
                        "    PRIMARY KEY (qd_number, section_key)\n"
                        ")");
  // Tables made by older versions lack the columns added since.
  pg::execute(conn, "ALTER TABLE " + table +
                        " ADD COLUMN IF NOT EXISTS content_sha256 text,"
                        " ADD COLUMN IF NOT EXISTS embedding_model text,"
                        " ADD COLUMN IF NOT EXISTS search_vector tsvector,"
                        " ADD COLUMN IF NOT EXISTS own_text text,"
                        " ADD COLUMN IF NOT EXISTS context_text text");
  pg::execute(conn, "CREATE INDEX IF NOT EXISTS " + base_name(table) + "_qd_upper_idx ON " + table +
                        " (upper(qd_number))");
  pg::execute(conn, "CREATE INDEX IF NOT EXISTS " + base_name(table) + "_search_idx ON " + table +
                        " USING gin (search_vector)");
  pg::execute(conn, "CREATE TABLE IF NOT EXISTS " + gen + " (generation bigint NOT NULL)");
  pg::execute(conn, "CREATE TABLE IF NOT EXISTS " + terms_table(table) +
                        " (lexeme text PRIMARY KEY, sections integer NOT NULL)");
  pg::execute(conn, "INSERT INTO " + gen + " SELECT 0 WHERE NOT EXISTS (SELECT 1 FROM " + gen + ")");
  pg::execute(conn, "UPDATE " + table +
                        " SET content_sha256 = encode(sha256(convert_to(enriched_text, 'UTF8')), 'hex')"
                        " WHERE content_sha256 IS NULL");
  // Another process may have finished the same upgrade while this one waited.
  // Rows without rank fields are filled later, in transactions of their own
  // (fill_rank_fields): here the table is held by the caller's transaction.
  const Record now = inspect();
  recipe.unfilled = unfilled(now);
  if (current(now) != wanted) {
    if (current(now) != recipe.label_before_rank_fields()) {
      pg::execute(conn, "UPDATE " + table + " SET search_vector = " +
                            recipe.vector_of("section_key", "own_text", "context_text", "enriched_text"));
    }
    count_terms(conn, table);
    pg::execute(conn, "COMMENT ON COLUMN " + table + ".search_vector IS '" + wanted + "'");
  } else if (!state.value("has_terms", false)) {
    count_terms(conn, table);
  }
  return recipe;
}

// Bounds the statements that follow in the caller's transaction. Set after
// the table was made sure of: a first-use upgrade of a large table is the
// index's own work, and cutting it short would only repeat it.
void bound_statements(PGconn* conn) {
  pg::execute(conn, "SET LOCAL statement_timeout = " + std::to_string(config::get().SEARCH_TIMEOUT_S * 1000));
}

// Begins `tx` on `conn` (with `first`, a statement that must open it, when
// given) and makes sure of the table in it. When rows without rank fields
// are left, they are filled first (fill_rank_fields) and the transaction
// begun again, so that the caller works on the filled rows.
Recipe begin(PGconn* conn, const std::string& table, std::optional<pg::Transaction>& tx,
             const std::string& first = {}) {
  for (bool filled = false;; filled = true) {
    tx.emplace(conn);
    if (!first.empty()) pg::execute(conn, first);
    const Recipe recipe = ensure(conn, table);
    if (!recipe.unfilled || filled) return recipe;
    tx->commit();
    tx.reset();
    fill_rank_fields(conn, table, recipe);
  }
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
    pg::Statement st{"WITH added AS (INSERT INTO " + table +
                         " (qd_number, section_key, section_index, document_name, link, enriched_text, embedding,"
                         " embedding_model, content_sha256, own_text, context_text, search_vector)"
                         " SELECT v.q, v.k, v.i::integer, v.n, v.l, v.x, v.e::real[], v.m, v.h, v.o, v.c, " +
                         recipe.vector_of("v.k", "v.o", "v.c", "v.x") + " FROM (VALUES ",
                     {}};
    for (std::size_t i = start; i < end; ++i) {
      const NewRow& r = rows[i];
      RankFields f = rank_fields(document_name, r.section->key, r.section->text);
      st.text += i == start ? "(" : ", (";
      st.text += "%s, %s, %s, %s, %s, %s, %s, %s, %s, %s, %s)";
      st.values.insert(st.values.end(),
                       {std::string(qd_number), r.section->key, static_cast<long long>(r.index),
                        std::string(document_name), std::string(link), r.section->text,
                        r.embedding ? Record(array_literal(*r.embedding)) : Record(nullptr),
                        r.embedding && !r.model.empty() ? Record(r.model) : Record(nullptr), r.sha, std::move(f.own),
                        std::move(f.context)});
    }
    st.text += ") AS v(q, k, i, n, l, x, e, m, h, o, c) RETURNING search_vector) " + count_change(table, "added", 1);
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

RankFields rank_fields(std::string_view document_name, std::string_view section_key, std::string_view enriched_text) {
  RankFields f;
  std::string_view section = enriched_text;
  const std::string lead = "In document " + std::string(document_name);
  if (enriched_text.starts_with(lead)) {
    const std::string_view rest = enriched_text.substr(lead.size());
    constexpr std::string_view under = ", under ";
    if (rest.starts_with(".\n\n")) {
      section = rest.substr(3);
      f.context = document_name;
    } else if (const std::size_t end = rest.find(".\n\n"); rest.starts_with(under) && end != std::string_view::npos) {
      // A heading is one line, so the prefix ends at the first full stop
      // that ends its line.
      section = rest.substr(end + 3);
      f.context = std::string(document_name) + "\n" + std::string(rest.substr(under.size(), end - under.size()));
    }
  }
  // The section text starts with its own heading; the next heading is its
  // first sub-section's.
  std::optional<processors::sectioner::HeadingMatch> next = processors::sectioner::HEADING_RE.search(section);
  if (next) next = processors::sectioner::HEADING_RE.search(section, next->end);
  const std::string_view own = text::rstrip(next ? section.substr(0, next->start) : section);

  const std::size_t sep = section_key.find("::");
  const std::string_view heading = sep == std::string_view::npos ? section_key : section_key.substr(sep + 2);
  if (heading != "Metadata" || own.find(text::METADATA_END) == std::string_view::npos) {
    f.own = own;
    return f;
  }
  // The stamp's lines "- **Label:** value": the value is what the section
  // is about, the label only says which value it is.
  std::size_t pos = 0;
  while (pos <= own.size()) {
    const std::size_t eol = std::min(own.find('\n', pos), own.size());
    const std::string_view line = own.substr(pos, eol - pos);
    pos = eol + 1;
    if (line.starts_with(text::METADATA_START) || line.starts_with(text::METADATA_END)) continue;
    const std::size_t label_end = line.find(":** ");
    if (line.starts_with("- **") && label_end != std::string_view::npos) {
      f.context += "\n" + std::string(line.substr(4, label_end - 4));
      f.own += std::string(line.substr(label_end + 4)) + "\n";
    } else {
      f.own += std::string(line) + "\n";
    }
  }
  return f;
}

double word_weight(double holding, double sections) {
  return std::log(1.0 + (sections - holding + 0.5) / (holding + 0.5));
}

SyncCounts sync_document_sections(std::string_view qd_number, std::string_view document_name, std::string_view link,
                                  const std::vector<Section>& sections, const Embed& embed,
                                  std::string_view embedding_model, std::string_view table_name) {
  check_qd_number(qd_number);
  const std::string table = table_for(table_name);
  const std::string qd(qd_number);
  const auto conn = index_connection().lease();
  std::optional<pg::Transaction> tx;
  const Recipe recipe = begin(conn.get(), table, tx);
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
  lock_terms(conn.get(), table);
  const std::size_t deleted =
      delete_rows(conn.get(), table,
                  "upper(qd_number) = upper(%s) AND section_key NOT IN (SELECT jsonb_array_elements(%s::jsonb)->>0)",
                  {qd, kept});
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
  tx->commit();
  return counts;
}

std::size_t replace_document_sections(std::string_view qd_number, std::string_view document_name,
                                      std::string_view link, const std::vector<Section>& sections,
                                      std::string_view table_name) {
  check_qd_number(qd_number);
  const std::string table = table_for(table_name);
  const auto conn = index_connection().lease();
  std::optional<pg::Transaction> tx;
  const Recipe recipe = begin(conn.get(), table, tx);
  lock_terms(conn.get(), table);
  delete_rows(conn.get(), table, "upper(qd_number) = upper(%s)", {std::string(qd_number)});
  std::vector<NewRow> rows;
  rows.reserve(sections.size());
  for (std::size_t i = 0; i < sections.size(); ++i) {
    rows.push_back(NewRow{.index = i, .section = &sections[i], .sha = sha256_hex(sections[i].text),
                          .embedding = sections[i].embedding, .model = {}});
  }
  insert_rows(conn.get(), table, recipe, qd_number, document_name, link, rows);
  bump_generation(conn.get(), table);
  tx->commit();
  return sections.size();
}

std::size_t delete_document_sections(std::string_view qd_number, std::string_view table_name) {
  check_qd_number(qd_number);
  const std::string table = table_for(table_name);
  const auto conn = index_connection().lease();
  std::optional<pg::Transaction> tx;
  begin(conn.get(), table, tx);
  lock_terms(conn.get(), table);
  const std::size_t n = delete_rows(conn.get(), table, "upper(qd_number) = upper(%s)", {std::string(qd_number)});
  if (n > 0) bump_generation(conn.get(), table);
  tx->commit();
  return n;
}

std::vector<Record> get_document_sections(std::string_view qd_number, std::string_view table_name) {
  const std::string table = table_for(table_name);
  const auto conn = index_connection().lease();
  std::optional<pg::Transaction> tx;
  begin(conn.get(), table, tx);
  pg::PgResult res = pg::execute(conn.get(),
                                 "SELECT qd_number, section_key, section_index, document_name, link, enriched_text, "
                                 "embedding, embedding_model, content_sha256, indexed_at FROM " +
                                     table + " WHERE upper(qd_number) = upper(%s) ORDER BY section_index",
                                 {std::string(qd_number)});
  std::vector<Record> rows = pg::all_rows(res.get());
  tx->commit();
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

namespace {

// The words of a question, and whether it uses the web-search operators.
std::pair<std::vector<std::string_view>, bool> question_words(std::string_view query) {
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
  return {words, operators};
}

}  // namespace

std::string any_word_query(std::string_view query) {
  const auto [words, operators] = question_words(query);
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
  std::optional<pg::Transaction> tx;
  const Recipe recipe = begin(conn, table, tx);
  bound_statements(conn);

  // The question's words, least common first, with how many sections hold
  // each and how many sections there are.
  pg::PgResult stats = pg::execute(
      conn,
      "SELECT q.e, coalesce(m.sections, 0) AS n,"
      " (SELECT coalesce(max(sections), 0) FROM " + terms_table(table) + " WHERE lexeme = " + kSectionCount +
          ") AS total"
          " FROM unnest(tsvector_to_array(" + recipe.tsv("%s") + ")) AS q(e)"
          " LEFT JOIN " + terms_table(table) + " AS m ON m.lexeme = q.e ORDER BY n, q.e",
      {std::string(query)});
  struct Word {
    std::string lexeme;
    double holding;
  };
  std::vector<Word> words;
  double sections = 0;
  for (const Record& r : pg::all_rows(stats.get())) {
    sections = std::max(sections, r["total"].get<double>());
    words.push_back(Word{r["e"].get<std::string>(), r["n"].get<double>()});
  }
  // A hyphenated word ("sign-off") is a lexeme of its own beside its parts
  // ("sign"); the parts alone would find every section that says "sign"
  // and nothing about signing off.
  std::vector<std::string> parts;
  for (const Word& w : words) {
    if (w.lexeme.find('-', 1) == std::string::npos) continue;
    std::size_t from = 0;
    while (from <= w.lexeme.size()) {
      const std::size_t dash = std::min(w.lexeme.find('-', from), w.lexeme.size());
      if (dash > from) parts.push_back(w.lexeme.substr(from, dash - from));
      from = dash + 1;
    }
  }
  // A word no section holds can neither admit nor rank one.
  std::erase_if(words, [&](const Word& w) {
    return w.holding <= 0 || std::find(parts.begin(), parts.end(), w.lexeme) != parts.end();
  });
  for (const Word& w : words) sections = std::max(sections, w.holding);
  const bool operators = question_words(query).second;
  if (words.empty() && !operators) {
    tx->commit();
    return hits;
  }

  // Each word counts by its rarity, and by where the section holds it: in
  // its own heading or body more than in its context, and there more than
  // only in its sub-sections (which a parent section's text repeats).
  // ts_rank of one word gives the weight of its best place, plus a
  // diminishing share of its further places (1/4, 1/9, ...), over 1.645;
  // it takes weights up to 1, so the places' weights go in divided by the
  // heading's. A section holding few of the question's words is scaled down
  // by the share of the question's weight it holds, so that rare words in a
  // document's name or metadata do not outrank the section holding the rest.
  std::vector<std::string> anywhere;
  double total_weight = 0;
  // Every word's rank is one column of the inner query; the outer one
  // weighs and sums them.
  pg::Statement st{"SELECT qd_number, section_key, ", {}};
  std::string inner = "SELECT t.qd_number, t.section_key, t.section_index";
  std::string place_weights = "'{" + record::format_number(WEIGHT_ELSEWHERE / WEIGHT_HEADING) + "," +
                              record::format_number(WEIGHT_CONTEXT / WEIGHT_HEADING) + "," +
                              record::format_number(WEIGHT_BODY / WEIGHT_HEADING) + ",1}'::float4[]";
  std::string sum, held;
  for (std::size_t i = 0; i < words.size(); ++i) {
    anywhere.push_back(lexeme_query(words[i].lexeme));
    const double weight = word_weight(words[i].holding, sections);
    total_weight += weight;
    const std::string r = "r" + std::to_string(i);
    inner += ", ts_rank(" + place_weights + ", t.search_vector, %s::tsquery, 0) AS " + r;
    sum += (i ? " + " : "") + record::format_number(weight) + " * " + r;
    held += (i ? " + " : "") + record::format_number(weight) + " * sign(" + r + ")";
  }
  if (words.empty()) {
    st.text += "0::float8 AS score";
  } else {
    st.text += "(" + sum + ") * (" + held + ") * " +
               record::format_number(1.64493406685 * WEIGHT_HEADING / total_weight) + " AS score";
  }
  st.text += " FROM (" + inner + " FROM " + table + " AS t WHERE t.search_vector @@ ";
  for (const std::string& a : anywhere) st.values.push_back(a);
  // Runs the statement with sections admitted by `admit` (a tsquery text,
  // or the user's query when empty).
  auto run = [&](const std::string& admit) {
    pg::Statement one = st;
    if (admit.empty()) {
      one.text += recipe.query_of("%s");
      one.values.push_back(std::string(query));
    } else {
      one.text += "%s::tsquery";
      one.values.push_back(admit);
    }
    if (!qd_number.empty()) {
      one.text += " AND upper(t.qd_number) = upper(%s)";
      one.values.push_back(std::string(qd_number));
    }
    // OFFSET 0 keeps the inner query whole, so that each rank is computed
    // once, not once for every use of it.
    one.text += " OFFSET 0) AS s ORDER BY score DESC, qd_number, section_index LIMIT %s";
    one.values.push_back(static_cast<long long>(k));
    hits.clear();
    pg::PgResult res = pg::execute(conn, one);
    for (const Record& r : pg::all_rows(res.get())) {
      hits.push_back(LexicalHit{.qd_number = r["qd_number"].get<std::string>(),
                                .section_key = r["section_key"].get<std::string>(),
                                .score = r["score"].get<double>()});
    }
  };
  if (operators) {
    // The user's operators decide which sections qualify.
    run({});
    tx->commit();
    return hits;
  }
  // Sections are admitted by the question's uncommon words: a common word
  // (must, use, one) would admit a large part of the index, each section of
  // which costs a visit to rank. A question of common words only is
  // admitted by its least common one. On a large index the admitting words
  // are also held together by at most 1 % of the sections, which bounds the
  // work of one question; when even the least common word is held by more,
  // only the sections holding every word are ranked if there are k of them.
  const bool large = sections > 20000;
  std::string admit;
  double expected = 0;
  for (std::size_t i = 0; i < words.size(); ++i) {
    const double n = words[i].holding;
    const bool common = n > std::max(COMMON_SHARE * sections, COMMON_MIN_SECTIONS);
    if (i > 0 && (common || (large && expected + n > 0.01 * sections))) break;
    expected += n;
    admit += (admit.empty() ? "" : " | ") + anywhere[i];
  }
  if (large && expected > 0.01 * sections && words.size() > 1) {
    std::string every;
    for (const std::string& a : anywhere) every += (every.empty() ? "" : " & ") + a;
    run(every);
    if (hits.size() >= k) {
      tx->commit();
      return hits;
    }
  }
  run(admit);
  tx->commit();
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
  std::optional<pg::Transaction> tx;
  const Recipe recipe = begin(conn, table, tx);
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
  tx->commit();
  return out;
}

std::int64_t generation(PGconn* conn, std::string_view table_name) {
  const std::string table = table_for(table_name);
  std::optional<pg::Transaction> tx;
  begin(conn, table, tx);
  bound_statements(conn);
  pg::PgResult res = pg::execute(conn, "SELECT max(generation) AS g FROM " + generation_table(table));
  const Record row = pg::first_row(res.get()).value_or(Record::object());
  tx->commit();
  const Record* g = record::find(row, "g");
  return g && g->is_number() ? g->get<std::int64_t>() : 0;
}

namespace {

std::atomic<std::uint64_t> g_vectors_read{0};

// Rows per fetch of a vector cursor: some megabytes at 1536 dimensions.
constexpr std::size_t kVectorBatch = 1000;
// Rows named per statement when only some vectors are read.
constexpr std::size_t kIdsPerFetch = 500;

std::string text_at(const PGresult* res, int row, int col) {
  return std::string(PQgetvalue(res, row, col), static_cast<std::size_t>(PQgetlength(res, row, col)));
}

// Rows of (qd_number, section_key, content_sha256, version, embedding) in
// binary form, to `take`; an embedding of another shape is left out.
void take_rows(const PGresult* res, const EmbeddingSnapshot::Take& take) {
  const int n = PQntuples(res);
  for (int i = 0; i < n; ++i) {
    auto vec = float4_array(PQgetvalue(res, i, 4), static_cast<std::size_t>(PQgetlength(res, i, 4)));
    if (!vec) continue;
    g_vectors_read.fetch_add(1, std::memory_order_relaxed);
    take(EmbeddedRow{.qd_number = text_at(res, i, 0),
                     .section_key = text_at(res, i, 1),
                     .content_sha256 = PQgetisnull(res, i, 2) ? std::string() : text_at(res, i, 2),
                     .version = text_at(res, i, 3)},
         std::move(*vec));
  }
}

constexpr const char* kRowColumns = "qd_number, section_key, content_sha256, xmin::text AS version";

}  // namespace

std::uint64_t vectors_read() { return g_vectors_read.load(std::memory_order_relaxed); }

EmbeddingSnapshot::EmbeddingSnapshot(PGconn* conn, std::string_view embedding_model, std::string_view table_name)
    : conn_(conn), table_(table_for(table_name)), model_(embedding_model) {
  // The generation and the rows must come from one snapshot, or a write
  // committed in between would be cached under the newer generation.
  begin(conn_, table_, tx_, "SET TRANSACTION ISOLATION LEVEL REPEATABLE READ");
  bound_statements(conn_);
  pg::PgResult g = pg::execute(conn_,
                               "SELECT max(generation) AS g, to_regclass(%s)::oid::bigint AS oid FROM " +
                                   generation_table(table_),
                               {table_});
  const Record row = pg::first_row(g.get()).value_or(Record::object());
  const Record* v = record::find(row, "g");
  generation_ = v && v->is_number() ? v->get<std::int64_t>() : 0;
  const Record* oid = record::find(row, "oid");
  relation_id_ = oid && oid->is_number() ? oid->get<std::int64_t>() : 0;
}

EmbeddingSnapshot::~EmbeddingSnapshot() = default;

std::size_t EmbeddingSnapshot::count() {
  pg::PgResult res = pg::execute(conn_,
                                 "SELECT count(*) AS n FROM " + table_ +
                                     " WHERE embedding IS NOT NULL AND embedding_model = %s",
                                 {model_});
  const Record row = pg::first_row(res.get()).value_or(Record::object());
  const Record* n = record::find(row, "n");
  return n && n->is_number() ? n->get<std::size_t>() : 0;
}

std::vector<EmbeddedRow> EmbeddingSnapshot::rows() {
  pg::PgResult res = pg::execute(conn_,
                                 std::string("SELECT ") + kRowColumns + " FROM " + table_ +
                                     " WHERE embedding IS NOT NULL AND embedding_model = %s"
                                     " ORDER BY qd_number, section_index",
                                 {model_});
  std::vector<EmbeddedRow> out;
  for (const Record& r : pg::all_rows(res.get())) {
    out.push_back(EmbeddedRow{.qd_number = r["qd_number"].get<std::string>(),
                              .section_key = r["section_key"].get<std::string>(),
                              .content_sha256 = record::get_text_or(r, "content_sha256", ""),
                              .version = r["version"].get<std::string>()});
  }
  return out;
}

void EmbeddingSnapshot::each(const Take& take) {
  char* quoted = PQescapeLiteral(conn_, model_.data(), model_.size());
  if (!quoted) throw DatabaseError(PQerrorMessage(conn_));
  const std::string literal(quoted);
  PQfreemem(quoted);
  pg::execute(conn_, std::string("DECLARE kesto_vectors NO SCROLL CURSOR FOR SELECT ") + kRowColumns +
                         ", embedding FROM " + table_ + " WHERE embedding IS NOT NULL AND embedding_model = " +
                         literal + " ORDER BY qd_number, section_index");
  const std::string fetch = "FETCH " + std::to_string(kVectorBatch) + " FROM kesto_vectors";
  for (;;) {
    // Binary results: the text form of 100,000 vectors would take seconds to parse.
    pg::PgResult res(PQexecParams(conn_, fetch.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 1));
    if (!res || PQresultStatus(res.get()) != PGRES_TUPLES_OK) throw result_failure(res.get(), conn_);
    if (PQntuples(res.get()) == 0) break;
    take_rows(res.get(), take);
  }
  pg::execute(conn_, "CLOSE kesto_vectors");
}

void EmbeddingSnapshot::each_of(const std::vector<std::pair<std::string, std::string>>& ids, const Take& take) {
  const std::string sql = std::string("SELECT t.qd_number, t.section_key, t.content_sha256, t.xmin::text AS version,"
                                      " t.embedding FROM jsonb_array_elements($1::jsonb) AS v(id) JOIN ") +
                          table_ +
                          " AS t ON t.qd_number = v.id->>0 AND t.section_key = v.id->>1"
                          " WHERE t.embedding IS NOT NULL AND t.embedding_model = $2";
  for (std::size_t start = 0; start < ids.size(); start += kIdsPerFetch) {
    Record batch = Record::array();
    for (std::size_t i = start; i < ids.size() && i < start + kIdsPerFetch; ++i) {
      batch.push_back(Record::array({ids[i].first, ids[i].second}));
    }
    const std::string json = batch.dump();
    const char* params[] = {json.c_str(), model_.c_str()};
    pg::PgResult res(PQexecParams(conn_, sql.c_str(), 2, nullptr, params, nullptr, nullptr, 1));
    if (!res || PQresultStatus(res.get()) != PGRES_TUPLES_OK) throw result_failure(res.get(), conn_);
    take_rows(res.get(), take);
  }
}

void EmbeddingSnapshot::finish() {
  if (tx_) tx_->commit();
  tx_.reset();
}

EmbeddingSet load_embeddings(PGconn* conn, std::string_view embedding_model, std::string_view table_name) {
  EmbeddingSnapshot snapshot(conn, embedding_model, table_name);
  EmbeddingSet set;
  set.generation = snapshot.generation();
  snapshot.each([&](EmbeddedRow&& row, std::vector<float>&& vec) {
    set.ids.emplace_back(std::move(row.qd_number), std::move(row.section_key));
    set.vectors.push_back(std::move(vec));
  });
  snapshot.finish();
  return set;
}

}  // namespace shared::connectors::vector_db
