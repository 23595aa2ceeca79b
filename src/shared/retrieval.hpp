// shared.retrieval: questions asked of the vector index. Lexical search
// (PostgreSQL full text over the enriched sections) is always available;
// where an embedding deployment is configured and the index holds its
// vectors, the question is embedded with generate_embeddings and ranked by
// cosine similarity too, and the two rankings are fused by reciprocal rank
// (k = 60). This is what `kesto search`, a chat front end or an evaluation
// script call.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "shared/connectors/pg.hpp"

namespace shared::retrieval {

enum class Mode {
  automatic,  // hybrid when the index holds vectors of the embedding deployment, else lexical
  lexical,
  vector,
  hybrid,
};

// "auto", "lexical", "vector", "hybrid".
std::string_view mode_name(Mode mode);

struct Query {
  std::string text;  // web-search syntax; at most 1000 characters and 100 words
  std::size_t k = 10;
  std::string qd_number;  // only this document when not empty: a QD-number (any case, spaces around ignored)
  Mode mode = Mode::automatic;
};

// `query` as it is searched, its QD-number in canonical form ("QD-" and
// digits, upper-case). Throws ValueError for a blank question, one of
// invalid UTF-8 or past the bounds of connectors::vector_db::check_query, a
// k of 0, or a QD-number that is not one. Asks no service.
Query checked(const Query& query);

struct Hit {
  std::size_t rank = 0;  // from 1
  // Lexical: ts_rank_cd; vector: cosine similarity; hybrid: the fused
  // reciprocal-rank score.
  double score = 0;
  std::string qd_number, section_key, document_name, link;
  std::string snippet;  // a short extract, the question's words marked "**word**"
  std::string text;     // the whole enriched section
};

struct Answer {
  Mode mode = Mode::lexical;  // the ranking actually used
  std::vector<Hit> hits;
};

// One identified section in a ranking.
struct Ranked {
  std::string qd_number, section_key;
  double score = 0;
};

// Reciprocal rank fusion: each section scores the sum of 1 / (k + rank) over
// the rankings it appears in (rank from 1); best first, ties broken by the
// better single rank, then by QD-number and key. At most `limit` entries.
std::vector<Ranked> reciprocal_rank_fusion(const std::vector<std::vector<Ranked>>& rankings, std::size_t limit,
                                           double k = 60);

// A ranking of sections by the cosine similarity of their vectors to a
// question's.
class VectorSearch {
 public:
  virtual ~VectorSearch() = default;
  virtual std::size_t size() const = 0;
  // The `k` sections most similar to `query`, best first; only those of
  // `qd_number` when given (any case). A query of another dimension, or of
  // length zero, finds nothing.
  virtual std::vector<Ranked> nearest(const std::vector<double>& query, std::size_t k,
                                      std::string_view qd_number = {}) const = 0;
};

// Exact cosine ranking over vectors held in memory, normalised once.
class VectorEngine final : public VectorSearch {
 public:
  VectorEngine() = default;
  VectorEngine(std::vector<std::pair<std::string, std::string>> ids, const std::vector<std::vector<float>>& vectors);
  // Adds one section; a vector of another dimension than the first is left out.
  void add(std::pair<std::string, std::string> id, const std::vector<float>& vector);
  std::size_t size() const override { return ids_.size(); }
  std::size_t dimension() const { return dim_; }
  std::vector<Ranked> nearest(const std::vector<double>& query, std::size_t k,
                              std::string_view qd_number = {}) const override;

 private:
  std::vector<std::pair<std::string, std::string>> ids_;
  std::vector<std::string> upper_qd_;
  std::vector<float> matrix_;  // size() rows of dimension() values, each of length 1 (or all zero)
  std::size_t dim_ = 0;
};

}  // namespace shared::retrieval

namespace shared::ann_index {
class AnnIndex;
}  // namespace shared::ann_index

namespace shared::retrieval {

// How the held vectors are searched.
enum class VectorKind {
  none,         // nothing read yet
  exact,        // read into memory (fewer than ANN_MIN_SECTIONS)
  approximate,  // an AnnIndex (graph and vectors), kept in a file when a cache directory is set
};

// The index's vectors held once for any number of Searchers (one a
// thread): read on first use and again only when the index's generation
// moved or another deployment is asked for. Below ANN_MIN_SECTIONS
// embedded sections they are read into memory; from there on they are held
// in an AnnIndex, mapped from its file in VECTOR_CACHE_DIR when one for this
// database, table and deployment is there, and brought up to date row by
// row: only vectors of rows written since are read. It scores every vector
// unless VECTOR_SEARCH is "approximate". Safe for several threads.
class VectorCache {
 public:
  VectorCache();
  ~VectorCache();
  // The vectors of `model` in `table` at the generation `now`, read on
  // `conn` when the ones held are of another model or generation.
  std::shared_ptr<const VectorSearch> engine(PGconn* conn, const std::string& table, const std::string& model,
                                             long long now);
  // The generation of the vectors held; -1 before the first read.
  long long generation() const;
  VectorKind kind() const;

 private:
  void refresh(PGconn* conn, const std::string& table, const std::string& model);

  mutable std::mutex mu_;
  std::string model_, table_;
  long long generation_ = -1;
  std::shared_ptr<const VectorEngine> exact_;
  std::shared_ptr<ann_index::AnnIndex> ann_;
};

// The file that keeps the AnnIndex of `model`'s vectors in `table`
// of the database `conn` is connected to, or "" when VECTOR_CACHE_DIR is
// "off". Throws Error for a cache directory that cannot be made, or
// that another user owns or others may write.
std::string ann_cache_file(PGconn* conn, const std::string& table, const std::string& model);

// Brings the vectors of OPENAI_EMBEDDING_MODEL in `table_name` (empty for
// VECTOR_TABLE) up to date as a search would, so that the first question
// of a later process finds the vector index file current; then lets
// them go. What was done, one line.
std::string prepare_vectors(std::string table_name = {});

// Answers questions over one index table on one database connection. Keeps
// the index's vectors in memory between questions and loads them again only
// when the index changed since (its generation moved). Not for two threads
// at once; Searchers of several threads share one VectorCache.
class Searcher {
 public:
  // Opens its connection (the PG* settings); `table_name` empty for
  // VECTOR_TABLE; `cache` shared with other Searchers, or null for one of
  // its own.
  explicit Searcher(std::string table_name = {}, std::shared_ptr<VectorCache> cache = nullptr);
  ~Searcher();
  Searcher(const Searcher&) = delete;
  Searcher& operator=(const Searcher&) = delete;

  // Throws ValueError as checked() does, or for vector or hybrid search
  // without OPENAI_EMBEDDING_MODEL; DatabaseError (a statement that ran past
  // SEARCH_TIMEOUT_S among them) and the model gateway's errors propagate.
  Answer search(const Query& query);

 private:
  std::shared_ptr<const VectorSearch> engine(const std::string& model);

  std::string table_;
  connectors::pg::PgConn conn_;
  std::shared_ptr<VectorCache> cache_;
};

// One question on a fresh Searcher; the question is checked before the
// connection is opened.
Answer search(const Query& query, std::string table_name = {});

}  // namespace shared::retrieval
