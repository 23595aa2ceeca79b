#include "shared/retrieval.hpp"

#include <algorithm>
#include <cmath>
#include <map>

#include "shared/config.hpp"
#include "shared/connectors/mainstore.hpp"
#include "shared/connectors/vector_db.hpp"
#include "shared/errors.hpp"
#include "shared/processors/aigate.hpp"
#include "shared/text/qd_number.hpp"
#include "shared/text/utf8.hpp"

namespace shared::retrieval {

namespace vector_db = connectors::vector_db;

namespace {

// The fused ranking looks this deep into each single ranking: deep enough
// that a section ranked low by one and high by the other still surfaces.
std::size_t candidate_depth(std::size_t k) { return std::max<std::size_t>(50, 4 * k); }

std::string upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

std::vector<Ranked> from_lexical(const std::vector<vector_db::LexicalHit>& hits) {
  std::vector<Ranked> out;
  out.reserve(hits.size());
  for (const auto& h : hits) out.push_back(Ranked{.qd_number = h.qd_number, .section_key = h.section_key, .score = h.score});
  return out;
}

}  // namespace

std::string_view mode_name(Mode mode) {
  switch (mode) {
    case Mode::automatic: return "auto";
    case Mode::lexical: return "lexical";
    case Mode::vector: return "vector";
    case Mode::hybrid: return "hybrid";
  }
  return "auto";
}

std::vector<Ranked> reciprocal_rank_fusion(const std::vector<std::vector<Ranked>>& rankings, std::size_t limit,
                                           double k) {
  struct Fused {
    Ranked r;
    std::size_t best_rank;
  };
  std::map<std::pair<std::string, std::string>, Fused> fused;
  for (const auto& ranking : rankings) {
    for (std::size_t i = 0; i < ranking.size(); ++i) {
      const auto id = std::make_pair(ranking[i].qd_number, ranking[i].section_key);
      auto [it, fresh] = fused.try_emplace(id, Fused{Ranked{id.first, id.second, 0.0}, i + 1});
      it->second.r.score += 1.0 / (k + static_cast<double>(i + 1));
      if (!fresh) it->second.best_rank = std::min(it->second.best_rank, i + 1);
    }
  }
  std::vector<Fused> all;
  all.reserve(fused.size());
  for (auto& [id, f] : fused) all.push_back(std::move(f));
  std::sort(all.begin(), all.end(), [](const Fused& a, const Fused& b) {
    if (a.r.score != b.r.score) return a.r.score > b.r.score;
    if (a.best_rank != b.best_rank) return a.best_rank < b.best_rank;
    if (a.r.qd_number != b.r.qd_number) return a.r.qd_number < b.r.qd_number;
    return a.r.section_key < b.r.section_key;
  });
  std::vector<Ranked> out;
  for (std::size_t i = 0; i < all.size() && i < limit; ++i) out.push_back(std::move(all[i].r));
  return out;
}

VectorEngine::VectorEngine(std::vector<std::pair<std::string, std::string>> ids,
                           const std::vector<std::vector<float>>& vectors)
    : ids_(std::move(ids)) {
  if (!vectors.empty()) dim_ = vectors.front().size();
  // Rows of another dimension than the first cannot be compared with one
  // query; they are left out rather than mis-scored.
  std::vector<std::pair<std::string, std::string>> kept;
  kept.reserve(ids_.size());
  matrix_.reserve(vectors.size() * dim_);
  for (std::size_t i = 0; i < vectors.size() && i < ids_.size(); ++i) {
    const auto& v = vectors[i];
    if (v.size() != dim_) continue;
    double norm = 0;
    for (float x : v) norm += static_cast<double>(x) * x;
    norm = std::sqrt(norm);
    for (float x : v) matrix_.push_back(norm > 0 && std::isfinite(norm) ? static_cast<float>(x / norm) : 0.0f);
    upper_qd_.push_back(upper(ids_[i].first));
    kept.push_back(std::move(ids_[i]));
  }
  ids_ = std::move(kept);
}

std::vector<Ranked> VectorEngine::nearest(const std::vector<double>& query, std::size_t k,
                                          std::string_view qd_number) const {
  std::vector<Ranked> out;
  if (k == 0 || query.size() != dim_ || dim_ == 0) return out;
  double norm = 0;
  for (double x : query) norm += x * x;
  norm = std::sqrt(norm);
  if (!(norm > 0) || !std::isfinite(norm)) return out;
  std::vector<float> q(dim_);
  for (std::size_t j = 0; j < dim_; ++j) q[j] = static_cast<float>(query[j] / norm);
  const std::string want = upper(qd_number);

  std::vector<std::pair<float, std::size_t>> scored;
  scored.reserve(ids_.size());
  constexpr std::size_t kLanes = 16;
  for (std::size_t i = 0; i < ids_.size(); ++i) {
    if (!want.empty() && upper_qd_[i] != want) continue;
    const float* row = matrix_.data() + i * dim_;
    // Independent partial sums let the compiler use vector instructions
    // without reordering one long floating-point sum.
    float lanes[kLanes] = {};
    std::size_t j = 0;
    for (; j + kLanes <= dim_; j += kLanes) {
      for (std::size_t l = 0; l < kLanes; ++l) lanes[l] += row[j + l] * q[j + l];
    }
    float dot = 0;
    for (; j < dim_; ++j) dot += row[j] * q[j];
    for (float l : lanes) dot += l;
    scored.emplace_back(dot, i);
  }
  const std::size_t n = std::min(k, scored.size());
  // Equal scores keep index order, which is QD-number and section order.
  std::partial_sort(scored.begin(), scored.begin() + static_cast<std::ptrdiff_t>(n), scored.end(),
                    [](const auto& a, const auto& b) { return a.first != b.first ? a.first > b.first : a.second < b.second; });
  for (std::size_t i = 0; i < n; ++i) {
    const auto& id = ids_[scored[i].second];
    out.push_back(Ranked{.qd_number = id.first, .section_key = id.second, .score = scored[i].first});
  }
  return out;
}

Query checked(const Query& query) {
  vector_db::check_query(query.text);
  if (query.k == 0) throw ValueError("k must be at least 1");
  Query out = query;
  if (!query.qd_number.empty()) {
    // "%" or " QD-958 " would otherwise reach the comparison as they are and
    // quietly find nothing.
    const std::optional<std::string> qd = text::normalize_qd_number(query.qd_number);
    if (!qd) throw ValueError("'" + query.qd_number + "' is not a QD-number ('QD-' followed by digits)");
    out.qd_number = *qd;
  }
  return out;
}

std::shared_ptr<const VectorEngine> VectorCache::engine(PGconn* conn, const std::string& table,
                                                       const std::string& model, long long now) {
  // One thread reads the vectors; the others wait for them rather than
  // reading them again.
  std::lock_guard lock(mu_);
  if (!engine_ || model != model_ || now != generation_) {
    vector_db::EmbeddingSet set = vector_db::load_embeddings(conn, model, table);
    engine_ = std::make_shared<const VectorEngine>(std::move(set.ids), set.vectors);
    model_ = model;
    generation_ = set.generation;
  }
  return engine_;
}

long long VectorCache::generation() const {
  std::lock_guard lock(mu_);
  return generation_;
}

Searcher::Searcher(std::string table_name, std::shared_ptr<VectorCache> cache)
    : table_(vector_db::table_for(table_name)),
      conn_(connectors::mainstore::get_conn()),
      cache_(cache ? std::move(cache) : std::make_shared<VectorCache>()) {}

Searcher::~Searcher() = default;

std::shared_ptr<const VectorEngine> Searcher::engine(const std::string& model) {
  return cache_->engine(conn_.get(), table_, model, vector_db::generation(conn_.get(), table_));
}

Answer Searcher::search(const Query& asked) {
  const Query query = checked(asked);
  const std::string model = config::get().OPENAI_EMBEDDING_MODEL;
  Answer answer;
  answer.mode = query.mode;
  if ((query.mode == Mode::vector || query.mode == Mode::hybrid) && model.empty()) {
    throw ValueError("OPENAI_EMBEDDING_MODEL is not set: " + std::string(mode_name(query.mode)) +
                     " search embeds the question with the embedding deployment");
  }
  std::shared_ptr<const VectorEngine> vectors;
  if (query.mode != Mode::lexical && !model.empty()) vectors = engine(model);
  if (query.mode == Mode::automatic) {
    answer.mode = vectors != nullptr && vectors->size() > 0 ? Mode::hybrid : Mode::lexical;
  }

  const std::size_t depth = answer.mode == Mode::hybrid ? candidate_depth(query.k) : query.k;
  std::vector<Ranked> lexical, semantic;
  if (answer.mode != Mode::vector) {
    lexical = from_lexical(vector_db::lexical_search(conn_.get(), query.text, depth, query.qd_number, table_));
  }
  // An index without vectors of the deployment has nothing to compare the
  // question with: asking the model would only cost a request.
  if (answer.mode != Mode::lexical && vectors != nullptr && vectors->size() > 0) {
    semantic = vectors->nearest(processors::aigate::generate_embeddings(query.text), depth, query.qd_number);
  }
  std::vector<Ranked> ranking;
  if (answer.mode == Mode::hybrid) {
    ranking = reciprocal_rank_fusion({lexical, semantic}, query.k);
  } else {
    ranking = answer.mode == Mode::vector ? std::move(semantic) : std::move(lexical);
    if (ranking.size() > query.k) ranking.resize(query.k);
  }

  std::vector<std::pair<std::string, std::string>> ids;
  for (const Ranked& r : ranking) ids.emplace_back(r.qd_number, r.section_key);
  const auto views = vector_db::section_views(conn_.get(), ids, query.text, table_);
  std::map<std::pair<std::string, std::string>, const vector_db::SectionView*> by_id;
  for (const auto& v : views) by_id[{v.qd_number, v.section_key}] = &v;
  for (const Ranked& r : ranking) {
    // A section deleted between the ranking and this read is skipped.
    const auto it = by_id.find({r.qd_number, r.section_key});
    if (it == by_id.end()) continue;
    const vector_db::SectionView& v = *it->second;
    answer.hits.push_back(Hit{.rank = answer.hits.size() + 1,
                              .score = r.score,
                              .qd_number = v.qd_number,
                              .section_key = v.section_key,
                              .document_name = v.document_name,
                              .link = v.link,
                              .snippet = v.snippet,
                              .text = v.enriched_text});
  }
  return answer;
}

Answer search(const Query& query, std::string table_name) {
  (void)checked(query);
  Searcher searcher(std::move(table_name));
  return searcher.search(query);
}

}  // namespace shared::retrieval
