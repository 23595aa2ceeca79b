// shared.ann_index: approximate nearest-neighbour search (a hierarchical
// navigable small-world graph, hnswlib) over the normalised vectors of one
// index table and embedding deployment, with the identity of each vector's
// row, so that it can be brought up to date row by row and kept in a file
// between processes. A search of one document scores that document's
// vectors exactly; only the search of the whole index is approximate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "shared/connectors/vector_db.hpp"
#include "shared/retrieval.hpp"

namespace hnswlib {
template <typename dist_t>
class HierarchicalNSW;
class InnerProductSpace;
}  // namespace hnswlib

namespace shared::ann_index {

using retrieval::Ranked;
using retrieval::VectorSearch;

struct AnnParams {
  std::size_t M = 16;                 // links a node keeps per level (twice that on the lowest)
  std::size_t ef_construction = 200;  // candidates weighed while linking a new node
  std::size_t ef = 200;               // candidates weighed by a search (at least the k asked)
};

// The graph and its rows. Searches may run on several threads at once; an
// update waits for them and holds them off while it runs.
class AnnIndex final : public VectorSearch {
 public:
  using Row = connectors::vector_db::EmbeddedRow;

  // An empty index of `dimension` with room for `capacity` vectors before it grows.
  AnnIndex(std::size_t dimension, std::size_t capacity, AnnParams params = {});
  ~AnnIndex() override;
  AnnIndex(const AnnIndex&) = delete;
  AnnIndex& operator=(const AnnIndex&) = delete;

  std::size_t size() const override;  // rows held (deleted ones not counted)
  std::size_t dimension() const { return dim_; }
  std::size_t deleted() const;  // slots of deleted rows, free for new ones
  std::int64_t generation() const;
  const AnnParams& params() const { return params_; }

  // The `k` rows nearest `query` by cosine, best first; with `qd_number`
  // (any case) that document's rows only, scored exactly. A query of
  // another dimension, or of length zero, finds nothing.
  std::vector<Ranked> nearest(const std::vector<double>& query, std::size_t k,
                              std::string_view qd_number = {}) const override;

  // Adds rows while the index is built, `threads` at a time; not while
  // searches run. A vector of another dimension is left out. How many were added.
  std::size_t add_batch(std::vector<std::pair<Row, std::vector<float>>>& rows, unsigned threads);
  void set_generation(std::int64_t generation);
  // Candidates weighed by a search from now on (at least the k asked).
  void set_ef(std::size_t ef);
  // Whether whole-index searches score every vector instead of walking the
  // graph: exact answers at the cost of a full scan.
  void set_exact(bool exact);

  // Of `current` (every embedded row now), the indexes of rows not held as
  // they are now (new, or written again since).
  std::vector<std::size_t> missing(const std::vector<Row>& current) const;
  // Labels of held rows that `current` no longer has as they were.
  std::vector<std::size_t> stale(const std::vector<Row>& current) const;
  // Deletes the rows of `gone` (labels from stale()) and adds `added`,
  // reusing deleted slots, and records `generation`: one exclusive step.
  // How many were added.
  std::size_t update(const std::vector<std::size_t>& gone, std::vector<std::pair<Row, std::vector<float>>>& added,
                     std::int64_t generation);

  // Writes the index to `path` (a temporary file beside it, then renamed),
  // under `key`, the identity of what it indexes. Throws Error.
  void save(const std::string& path, std::string_view key) const;
  // The index of the file at `path` when it is one written for `key`,
  // whole and consistent; else nullopt and `why` says what is wrong. Never
  // trusts the file: every size, link and label is checked before use.
  static std::unique_ptr<AnnIndex> load(const std::string& path, std::string_view key, std::string& why);

 private:
  struct Slot {
    bool live = false;
    Row row;
  };
  std::size_t add_one(Row row, std::vector<float>& vec, std::optional<std::size_t> reuse);
  void index_row(std::size_t label);
  void unindex_row(std::size_t label);
  void own_memory();

  std::size_t dim_;
  AnnParams params_;
  std::unique_ptr<hnswlib::InnerProductSpace> space_;
  std::unique_ptr<hnswlib::HierarchicalNSW<float>> graph_;
  mutable std::shared_mutex mu_;
  std::vector<Slot> slots_;                                       // by label
  std::vector<std::size_t> free_;                                 // labels of deleted rows
  std::unordered_map<std::string, std::size_t> by_id_;            // QD-number '\0' key -> label
  std::unordered_map<std::string, std::vector<std::size_t>> by_qd_;  // upper-case QD-number -> labels
  std::int64_t generation_ = -1;
  bool exact_ = false;
  void* mapped_ = nullptr;  // the base layer when mapped from a file
  std::size_t mapped_bytes_ = 0;
};

}  // namespace shared::ann_index
