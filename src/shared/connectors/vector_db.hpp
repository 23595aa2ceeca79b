// shared.connectors.vector_db: the vector index of document sections, kept
// as a table of the metadata database (the PG* settings; table VECTOR_TABLE,
// default "document_sections", created on first use when missing, and an
// older table upgraded in place on first use). One row per section:
// QD-number, section key, section_index (the section's place in the order
// of the enriched document, from 0), document name, link, enriched text,
// embedding (real[] or NULL) with the deployment that made it, the SHA-256 of
// the enriched text, a full-text vector over the text, and the time of
// indexing; beside the text, the parts that rank the section (its own text
// and its context, see rank_fields). A one-row side table
// "{table}_generation" counts the changes of the index's set of embedded
// rows, so that a process holding vectors in memory knows when to load them
// again; a side table "{table}_terms" counts the sections holding each word,
// which weighs the words of a question. QD-numbers are matched ignoring case.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "shared/connectors/pg.hpp"
#include "shared/digest.hpp"
#include "shared/record.hpp"

namespace shared::connectors::vector_db {

// One section to index.
struct Section {
  std::string key;   // "{doc_name}::{title}"
  std::string text;  // the enriched text
  std::optional<std::vector<double>> embedding;
};

// The embedding of one section text, or nullopt to store none.
using Embed = std::function<std::optional<std::vector<double>>(const std::string& text)>;

// What a re-index of one document did.
struct SyncCounts {
  std::size_t sections = 0;  // rows the document has now
  std::size_t kept = 0;      // unchanged text: row and embedding left as they were
  std::size_t embedded = 0;  // changed or new sections given a fresh embedding
  std::size_t removed = 0;   // sections that vanished from the document
};

// The index table's name: `table_name`, or VECTOR_TABLE when empty. Throws
// ValueError unless it is a plain identifier (optionally schema-qualified).
std::string table_for(std::string_view table_name = {});

// Creates the index table, its indexes and its generation and terms tables
// unless they exist, and upgrades an older table in place (hash, model and
// full-text columns, filled for the rows it holds; words counted), inside
// the caller's transaction, serialised against concurrent creators. The
// rank fields of rows written before they existed are left to the first
// read or write through the functions below, which fill them 500 rows to a
// transaction of their own before their work. The full-text column follows
// the setting SEARCH_TEXT_CONFIG: when it changed, every row's vector is
// made again. Throws ValueError for an unknown text-search configuration.
void ensure_table(PGconn* conn, const std::string& table);

// Re-indexes one document in one transaction: a section whose key and
// SHA-256 are unchanged keeps its row and embedding (only its section_index,
// name and link are brought up to date) and is not passed to `embed`, unless
// it has no embedding of `embedding_model` yet while `embed` is set; changed
// and new sections are written with `embed`'s vector (NULL when `embed` is
// empty or gives none); sections no longer present are deleted. Whatever
// throws (`embed` included) rolls everything back, leaving the previous
// sections as they were. The embeddings carried in `sections` are ignored.
// Throws ValueError for an empty QD-number, DatabaseError from the database.
SyncCounts sync_document_sections(std::string_view qd_number, std::string_view document_name, std::string_view link,
                                  const std::vector<Section>& sections, const Embed& embed,
                                  std::string_view embedding_model, std::string_view table_name = {});

// Replaces every section of the document by `sections` with the embeddings
// they carry, in one transaction: a failure leaves the previous sections as
// they were. Returns the number of sections written. Throws ValueError for an
// empty QD-number, DatabaseError from the database.
std::size_t replace_document_sections(std::string_view qd_number, std::string_view document_name,
                                      std::string_view link, const std::vector<Section>& sections,
                                      std::string_view table_name = {});

// Deletes every section of the document; returns how many were removed.
std::size_t delete_document_sections(std::string_view qd_number, std::string_view table_name = {});

// The document's sections in their original order, each row as a record
// (qd_number, section_key, section_index, document_name, link, enriched_text,
// embedding, embedding_model, content_sha256, indexed_at).
std::vector<Record> get_document_sections(std::string_view qd_number, std::string_view table_name = {});

// What ranks one section besides its heading: its own text and its context.
struct RankFields {
  std::string own;      // the section's heading line and its own body, without its sub-sections
  std::string context;  // the document's name and the top-level heading the section sits under
};

// The rank fields of one enriched section, as the enrichment stage wrote it:
// "In document {document_name}.\n\n" or "In document {document_name}, under
// {heading}.\n\n", then the section text, which holds its sub-sections'
// texts after its own body. `own` ends where the section text's second
// heading starts. Text without that prefix is all section text. The stamped
// metadata section (heading "Metadata") keeps its values (name, number,
// link) as its own text and their labels as context, so that it answers
// questions about the document by its name or number, not by the word
// "document". Never fails.
RankFields rank_fields(std::string_view document_name, std::string_view section_key, std::string_view enriched_text);

// The array literal of an embedding: "{0.25,-1.5}".
std::string array_literal(const std::vector<double>& values);

// Lower-case hex SHA-256 of the bytes (section texts are compared by it).
using digest::sha256_hex;

// ---- Retrieval -------------------------------------------------------------
// These run on the caller's connection, so that one search (or a front end
// answering many) pays for one connection, not one per step. Every statement
// they run after making sure of the table is bounded by the setting
// SEARCH_TIMEOUT_S (KESTO_SEARCH_TIMEOUT): the server cancels it then, so a
// costly question cannot run on after its caller has gone.

// The longest question, in characters, and the most words it may hold
// (runs of letters and digits, inside phrases too, each "-word" counted):
// beyond them the server's work grows past any answer worth waiting for.
inline constexpr std::size_t MAX_QUERY_CHARS = 1000;
inline constexpr std::size_t MAX_QUERY_WORDS = 100;

// Throws ValueError unless `query` is searchable text: not blank, valid
// UTF-8, at most MAX_QUERY_CHARS characters and MAX_QUERY_WORDS words.
void check_query(std::string_view query);

// One ranked section of the full-text search.
struct LexicalHit {
  std::string qd_number;
  std::string section_key;
  double score = 0;  // higher is better (see lexical_search)
};

// The query that matches any of the words of `query`: its words joined by
// " or ", or `query` itself when it uses the web-search operators ("phrase",
// or, -word), whose meaning the user chose.
std::string any_word_query(std::string_view query);

// How much a word of a question counts where a section holds it: in the
// section's own heading, its own body, its context (document name, the
// heading it sits under), or only elsewhere in its text (its sub-sections).
inline constexpr double WEIGHT_HEADING = 1.5;
inline constexpr double WEIGHT_BODY = 1.0;
inline constexpr double WEIGHT_CONTEXT = 0.5;
inline constexpr double WEIGHT_ELSEWHERE = 0.3;

// A word held by more than this share of the sections, and by more than
// COMMON_MIN_SECTIONS, is common: it counts in the rank but admits no
// section while the question has a rarer word. (In a small index every word
// is in a large share of the sections.)
inline constexpr double COMMON_SHARE = 0.15;
inline constexpr double COMMON_MIN_SECTIONS = 10;

// The inverse document frequency of a word held by `holding` of `sections`
// sections, as BM25 weighs it: ln(1 + (N - n + 0.5) / (n + 0.5)).
double word_weight(double holding, double sections);

// The `k` sections best matching `query` (web-search syntax: words, "quoted
// phrases", or, -word; any text is safe), best first, ties in document and
// section order; only the document `qd_number` when it is given. A section
// scores, over the question's words w, the sum of word_weight(w) times the
// weight of the best place it holds w (heading, body, context, elsewhere;
// each further place adds a diminishing share), times the share of the
// question's word weight it holds anywhere. Plain
// words admit sections by their uncommon words (a question of common words
// only by its least common one; on an index of more than 20,000 sections
// only the least common words, together in at most 1 % of the sections, or
// when even the least common one is in more, the sections holding every
// word if there are k of them);
// with operators ("phrase", or, -word) a section must satisfy the query. A
// query without searchable words finds nothing. Throws ValueError as
// check_query does, DatabaseError from the database (a statement past
// SEARCH_TIMEOUT_S among them).
std::vector<LexicalHit> lexical_search(PGconn* conn, std::string_view query, std::size_t k,
                                       std::string_view qd_number = {}, std::string_view table_name = {});

// What a search shows of one section.
struct SectionView {
  std::string qd_number, section_key, document_name, link, enriched_text;
  std::string snippet;  // a short extract, the query's words marked "**word**"
};

// The named sections (pairs of QD-number and section key, matched exactly),
// in the order asked, with their snippets for `query`; a pair no longer in
// the index is left out. Throws as lexical_search does.
std::vector<SectionView> section_views(PGconn* conn, const std::vector<std::pair<std::string, std::string>>& ids,
                                       std::string_view query, std::string_view table_name = {});

// The stored embeddings of one deployment, as loaded for the vector engine.
struct EmbeddingSet {
  std::int64_t generation = 0;  // the index's generation they were read at
  std::vector<std::pair<std::string, std::string>> ids;  // QD-number, section key
  std::vector<std::vector<float>> vectors;
};

// The index's current generation (0 for a table never written).
std::int64_t generation(PGconn* conn, std::string_view table_name = {});

// Every stored embedding made by `embedding_model`, with the generation of
// the same snapshot.
EmbeddingSet load_embeddings(PGconn* conn, std::string_view embedding_model, std::string_view table_name = {});

// What identifies the stored version of one embedded row: a row written
// again (a new embedding, a changed text) has another `version`.
struct EmbeddedRow {
  std::string qd_number, section_key, content_sha256;
  std::string version;  // PostgreSQL's xmin of the row, as text
};

// One consistent reading of the embeddings of one deployment: the
// generation, the rows' identities and their vectors all come from one
// snapshot (a repeatable-read transaction held until finish() or the
// object's end). Vectors are streamed in bounded batches, never all held at
// once. Every statement is bounded by SEARCH_TIMEOUT_S. Throws DatabaseError.
class EmbeddingSnapshot {
 public:
  using Take = std::function<void(EmbeddedRow&&, std::vector<float>&&)>;

  EmbeddingSnapshot(PGconn* conn, std::string_view embedding_model, std::string_view table_name = {});
  ~EmbeddingSnapshot();
  EmbeddingSnapshot(const EmbeddingSnapshot&) = delete;
  EmbeddingSnapshot& operator=(const EmbeddingSnapshot&) = delete;

  std::int64_t generation() const { return generation_; }
  // The table's object id: another for a table dropped and made again.
  std::int64_t relation_id() const { return relation_id_; }
  // How many rows hold an embedding of the deployment.
  std::size_t count();
  // The identities of those rows, no vectors, by QD-number and section order.
  std::vector<EmbeddedRow> rows();
  // Every such row with its vector, in the order of rows(), to `take`.
  void each(const Take& take);
  // The rows named by (QD-number, section key), matched exactly, with their
  // vectors; one no longer embedded is left out.
  void each_of(const std::vector<std::pair<std::string, std::string>>& ids, const Take& take);
  // Ends the transaction.
  void finish();

 private:
  PGconn* conn_;
  std::string table_, model_;
  std::int64_t generation_ = 0, relation_id_ = 0;
  std::optional<pg::Transaction> tx_;
};

// How many vectors this process has read from the database so far.
std::uint64_t vectors_read();

}  // namespace shared::connectors::vector_db
