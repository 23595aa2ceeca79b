#include "shared/retrieval.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <thread>

#include "shared/ann_index.hpp"
#include "shared/config.hpp"
#include "shared/cosine.hpp"
#include "shared/connectors/mainstore.hpp"
#include "shared/connectors/vector_db.hpp"
#include "shared/digest.hpp"
#include "shared/errors.hpp"
#include "shared/logsetup.hpp"
#include "shared/processors/aigate.hpp"
#include "shared/text/qd_number.hpp"
#include "shared/text/utf8.hpp"

namespace shared::retrieval {

namespace vector_db = connectors::vector_db;

namespace {

logsetup::Logger& logger() { return logsetup::get_logger("shared.retrieval"); }

// The fused ranking looks this deep into each single ranking: deep enough
// that a section ranked low by one and high by the other still surfaces.
std::size_t candidate_depth(std::size_t k) { return std::max<std::size_t>(50, 4 * k); }

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
                           const std::vector<std::vector<float>>& vectors) {
  matrix_.reserve(vectors.empty() ? 0 : vectors.size() * vectors.front().size());
  for (std::size_t i = 0; i < vectors.size() && i < ids.size(); ++i) add(std::move(ids[i]), vectors[i]);
}

void VectorEngine::add(std::pair<std::string, std::string> id, const std::vector<float>& v) {
  if (ids_.empty()) dim_ = v.size();
  // Rows of another dimension than the first cannot be compared with one
  // query; they are left out rather than mis-scored.
  if (v.size() != dim_) return;
  std::vector<float> unit = v;
  cosine::normalise(unit);
  matrix_.insert(matrix_.end(), unit.begin(), unit.end());
  upper_qd_.push_back(cosine::upper(id.first));
  ids_.push_back(std::move(id));
}

std::vector<Ranked> VectorEngine::nearest(const std::vector<double>& query, std::size_t k,
                                          std::string_view qd_number) const {
  std::vector<Ranked> out;
  if (k == 0 || query.size() != dim_ || dim_ == 0) return out;
  const std::vector<float> q = cosine::unit_query(query);
  if (q.empty()) return out;
  const std::string want = cosine::upper(qd_number);

  std::vector<std::pair<float, std::size_t>> scored;
  scored.reserve(ids_.size());
  for (std::size_t i = 0; i < ids_.size(); ++i) {
    if (!want.empty() && upper_qd_[i] != want) continue;
    scored.emplace_back(cosine::dot(matrix_.data() + i * dim_, q.data(), dim_), i);
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

VectorCache::VectorCache() = default;
VectorCache::~VectorCache() = default;

std::shared_ptr<const VectorSearch> VectorCache::engine(PGconn* conn, const std::string& table,
                                                       const std::string& model, long long now) {
  // One thread reads the vectors; the others wait for them rather than
  // reading them again.
  std::lock_guard lock(mu_);
  if ((!exact_ && !ann_) || model != model_ || table != table_ || now != generation_) {
    try {
      refresh(conn, table, model);
    } catch (...) {
      // A graph left half updated is not searched again: the next question
      // reads the vectors anew.
      if (ann_ && ann_->generation() != generation_) ann_.reset();
      throw;
    }
  }
  if (ann_) return ann_;
  return exact_;
}

long long VectorCache::generation() const {
  std::lock_guard lock(mu_);
  return generation_;
}

VectorKind VectorCache::kind() const {
  std::lock_guard lock(mu_);
  return ann_ ? VectorKind::approximate : exact_ ? VectorKind::exact : VectorKind::none;
}

namespace {

// The cache directory, made when missing; "" when switched off or when no
// home is known. Throws Error for one another user owns or others may write.
std::string cache_directory() {
  const std::string set(text::strip(config::get().VECTOR_CACHE_DIR));
  if (set == "off") return "";
  std::string dir = set;
  if (dir.empty()) {
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    const char* home = std::getenv("HOME");
    if (xdg && xdg[0] == '/') {
      dir = std::string(xdg) + "/kesto";
    } else if (home && home[0] == '/') {
      dir = std::string(home) + "/.cache/kesto";
    } else {
      return "";
    }
  }
  for (std::size_t at = 1; at <= dir.size(); ++at) {
    if (at < dir.size() && dir[at] != '/') continue;
    const std::string part = dir.substr(0, at);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
      throw Error("cannot make the vector cache directory " + part + ": " + std::strerror(errno));
    }
  }
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    throw Error("the vector cache directory " + dir + " is not a directory");
  }
  // Whoever may write there could hand this process a graph of their own.
  if (st.st_uid != ::geteuid()) throw Error("the vector cache directory " + dir + " belongs to another user");
  if (st.st_mode & (S_IWGRP | S_IWOTH)) throw Error("the vector cache directory " + dir + " is writable by others");
  return dir;
}

std::string connection_identity(PGconn* conn) {
  auto field = [](const char* v) { return std::string(v ? v : ""); };
  return "postgresql://" + field(PQhost(conn)) + ":" + field(PQport(conn)) + "/" + field(PQdb(conn));
}

std::string format_count(std::size_t n) {
  std::string digits = std::to_string(n), out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

constexpr std::size_t kBuildBatch = 1000;

long long elapsed_ms(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

std::string ann_cache_file(PGconn* conn, const std::string& table, const std::string& model) {
  const std::string dir = cache_directory();
  if (dir.empty()) return "";
  const std::string id = connection_identity(conn) + "\n" + table + "\n" + model;
  return dir + "/vectors-" + digest::sha256_hex(id).substr(0, 32) + ".ann";
}

void VectorCache::refresh(PGconn* conn, const std::string& table, const std::string& model) {
  const config::Settings& cfg = config::get();
  const auto min = static_cast<std::size_t>(cfg.ANN_MIN_SECTIONS);
  vector_db::EmbeddingSnapshot snapshot(conn, model, table);
  const bool same = model == model_ && table == table_;
  model_ = model;
  table_ = table;
  generation_ = -1;
  if (!same) ann_.reset();
  // The table's object id tells a table made again under the same name.
  const std::string key = connection_identity(conn) + "\n" + table + "\n" + std::to_string(snapshot.relation_id()) +
                          "\n" + model;
  std::string file;
  bool found = false;
  auto find_file = [&] {
    if (found) return;
    found = true;
    try {
      file = ann_cache_file(conn, table, model);
    } catch (const std::exception& e) {
      logger().warning(std::string(e.what()) + ": the vector index is not kept between processes");
    }
  };
  bool tried = false;
  auto load_file = [&] {
    if (ann_ || tried || file.empty() || ::access(file.c_str(), F_OK) != 0) return;
    tried = true;
    const auto t0 = std::chrono::steady_clock::now();
    std::string why;
    ann_ = ann_index::AnnIndex::load(file, key, why);
    if (!ann_) {
      logger().warning("vector index file " + file + " not used (" + why + "): it is made again");
    } else {
      logger().info("vector index file " + file + " read (" + format_count(ann_->size()) + " vectors, generation " +
                    std::to_string(ann_->generation()) + ", " + std::to_string(elapsed_ms(t0)) + " ms)");
    }
  };
  if (!ann_ && !exact_) {
    // A new process: a file of the current generation answers at once,
    // without counting or reading anything.
    find_file();
    load_file();
    if (ann_ && ann_->generation() == snapshot.generation() && ann_->size() >= min) {
      ann_->set_ef(static_cast<std::size_t>(cfg.ANN_EF));
      ann_->set_exact(cfg.VECTOR_SEARCH != "approximate");
      snapshot.finish();
      generation_ = snapshot.generation();
      return;
    }
  }
  const std::size_t count = snapshot.count();
  if (count < min) {
    // The old vectors go before the new ones are read: one copy at a time.
    ann_.reset();
    exact_.reset();
    auto engine = std::make_shared<VectorEngine>();
    snapshot.each([&](vector_db::EmbeddedRow&& row, std::vector<float>&& vec) {
      engine->add({std::move(row.qd_number), std::move(row.section_key)}, vec);
    });
    snapshot.finish();
    exact_ = std::move(engine);
    generation_ = snapshot.generation();
    return;
  }
  exact_.reset();
  find_file();
  load_file();

  bool changed = false;
  if (ann_ && ann_->generation() != snapshot.generation()) {
    const auto t0 = std::chrono::steady_clock::now();
    const std::vector<vector_db::EmbeddedRow> rows = snapshot.rows();
    const std::vector<std::size_t> gone = ann_->stale(rows);
    const std::vector<std::size_t> fresh = ann_->missing(rows);
    const std::size_t slots = ann_->size() + ann_->deleted();
    // A graph holding many deleted nodes searches worse and slower than a
    // new one.
    if ((ann_->deleted() + gone.size()) * 4 > slots + fresh.size()) {
      logger().info("vector index: " + format_count(gone.size()) + " of " + format_count(slots) +
                    " rows changed or gone; made again");
      ann_.reset();
    } else {
      std::vector<std::pair<std::string, std::string>> ids;
      for (std::size_t i : fresh) ids.emplace_back(rows[i].qd_number, rows[i].section_key);
      std::vector<std::pair<vector_db::EmbeddedRow, std::vector<float>>> added;
      snapshot.each_of(ids, [&](vector_db::EmbeddedRow&& row, std::vector<float>&& vec) {
        added.emplace_back(std::move(row), std::move(vec));
      });
      const std::size_t n = ann_->update(gone, added, snapshot.generation());
      logger().info("vector index brought to generation " + std::to_string(snapshot.generation()) + ": " +
                    format_count(gone.size()) + " removed, " + format_count(n) + " added (" +
                    std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                                       std::chrono::steady_clock::now() - t0)
                                       .count()) +
                    " ms)");
      changed = true;
    }
  }
  if (!ann_) {
    const auto t0 = std::chrono::steady_clock::now();
    const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    logger().info("vector index: building the vector index file's graph of " + format_count(count) + " vectors on " +
                  std::to_string(threads) + " threads");
    std::shared_ptr<ann_index::AnnIndex> built;
    std::vector<std::pair<vector_db::EmbeddedRow, std::vector<float>>> batch;
    std::size_t added = 0, next_report = 1;
    auto flush = [&] {
      if (batch.empty()) return;
      if (!built) built = std::make_shared<ann_index::AnnIndex>(batch.front().second.size(), count);
      added += built->add_batch(batch, threads);
      batch.clear();
      if (count > 0 && next_report <= 10 && added * 10 >= next_report * count) {
        while (next_report <= 10 && added * 10 >= next_report * count) ++next_report;
        logger().info("vector index: " + format_count(added) + " of " + format_count(count) + " vectors added (" +
                      std::to_string(std::chrono::duration_cast<std::chrono::seconds>(
                                         std::chrono::steady_clock::now() - t0)
                                         .count()) +
                      " s)");
      }
    };
    snapshot.each([&](vector_db::EmbeddedRow&& row, std::vector<float>&& vec) {
      batch.emplace_back(std::move(row), std::move(vec));
      if (batch.size() >= kBuildBatch) flush();
    });
    flush();
    if (!built) built = std::make_shared<ann_index::AnnIndex>(1, 1);
    ann_ = std::move(built);
    changed = true;
  }
  ann_->set_generation(snapshot.generation());
  ann_->set_ef(static_cast<std::size_t>(cfg.ANN_EF));
  ann_->set_exact(cfg.VECTOR_SEARCH != "approximate");
  snapshot.finish();
  generation_ = snapshot.generation();
  if (changed && !file.empty()) {
    try {
      ann_->save(file, key);
    } catch (const std::exception& e) {
      logger().warning(std::string("vector index not kept: ") + e.what());
    }
  }
}

std::string prepare_vectors(std::string table_name) {
  const std::string table = vector_db::table_for(table_name);
  const std::string model = config::get().OPENAI_EMBEDDING_MODEL;
  if (model.empty()) return "OPENAI_EMBEDDING_MODEL is not set: there are no vectors to prepare";
  connectors::pg::PgConn conn = connectors::mainstore::get_conn();
  std::size_t count = 0;
  {
    vector_db::EmbeddingSnapshot snapshot(conn.get(), model, table);
    count = snapshot.count();
    snapshot.finish();
  }
  const auto min = static_cast<std::size_t>(config::get().ANN_MIN_SECTIONS);
  if (count < min) {
    return format_count(count) + " vectors of " + model + " in " + table + ": fewer than KESTO_ANN_MIN_SECTIONS (" +
           format_count(min) + "), held in memory by each process; nothing to prepare";
  }
  const std::string file = ann_cache_file(conn.get(), table, model);
  if (file.empty()) return "KESTO_VECTOR_CACHE_DIR is off: no vector index file is kept, nothing to prepare";
  VectorCache cache;
  const auto engine = cache.engine(conn.get(), table, model, vector_db::generation(conn.get(), table));
  return format_count(engine->size()) + " vectors of " + model + " in " + table + " at generation " +
         std::to_string(cache.generation()) + " in the vector index file " + file;
}

Searcher::Searcher(std::string table_name, std::shared_ptr<VectorCache> cache)
    : table_(vector_db::table_for(table_name)),
      conn_(connectors::mainstore::get_conn()),
      cache_(cache ? std::move(cache) : std::make_shared<VectorCache>()) {}

Searcher::~Searcher() = default;

std::shared_ptr<const VectorSearch> Searcher::engine(const std::string& model) {
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
  std::shared_ptr<const VectorSearch> vectors;
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
