// bench_retrieval: retrieval quality and search latency of shared.retrieval.
//
//   bench_retrieval quality QUESTIONS.tsv ENRICHED_TABLE RAW_TABLE
//     ENRICHED_TABLE holds the corpus as the pipeline indexed it (with the
//     stand-in embeddings). RAW_TABLE is made from it: the same sections
//     without their context prefix, embedded through the same service. Every
//     question is asked lexically and hybrid of both tables; prints recall@1,
//     recall@5, MRR (first 20 results) and the top-20 failure rate, for all
//     questions and by kind.
//
//   bench_retrieval latency TABLE SECTIONS DIM [QUERIES]
//     Fills TABLE with SECTIONS synthetic sections (100 per document) and
//     stand-in vectors of DIM dimensions unless it holds them already, then
//     asks QUERIES questions (default 60) lexically and hybrid on one kept
//     Searcher and prints median and 95th-percentile latency, and the time of
//     the first question, which loads the vectors.
//
//   bench_retrieval first TABLE
//     The first hybrid question of this process, as a new `kesto search`
//     or server would ask it: its time (reading the approximate index's file
//     and bringing it up to date included) and the process's peak RSS.
//
//   bench_retrieval change TABLE DIM
//     Writes ten sections of the first document of TABLE again with new
//     text (as a changed document would be indexed).
//
//   bench_retrieval recall TABLE DIM [QUERIES]
//     Recall@10 and @50 of the approximate index (file in
//     KESTO_VECTOR_CACHE_DIR) against the exact scan, over QUERIES questions
//     (default 200) embedded by the stand-in.
//
// Settings: the PG* database and, for hybrid, OPENAI_EMBEDDING_MODEL with
// AZURE_OPENAI_* pointing at bench_stand_in_embeddings.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <set>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "shared/config.hpp"
#include "shared/connectors/mainstore.hpp"
#include "shared/connectors/vector_db.hpp"
#include "shared/logsetup.hpp"
#include "shared/processors/aigate.hpp"
#include "shared/retrieval.hpp"
#include "stand_in.hpp"

namespace pg = shared::connectors::pg;
namespace vector_db = shared::connectors::vector_db;
namespace retrieval = shared::retrieval;
using shared::Record;

namespace {

struct Question {
  std::string qd, heading, kind, text;
};

std::vector<Question> read_questions(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::vector<Question> out;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#' || line.rfind("qd\t", 0) == 0) continue;
    std::vector<std::string> f;
    std::stringstream ss(line);
    std::string part;
    while (std::getline(ss, part, '\t')) f.push_back(part);
    if (f.size() != 4) throw std::runtime_error("bad question line: " + line);
    out.push_back({f[0], f[1], f[2], f[3]});
  }
  return out;
}

// Builds the raw table: each section of the enriched table without its
// context prefix (the enricher puts it before the first blank line).
void build_raw(const std::string& enriched, const std::string& raw) {
  pg::PgConn conn = shared::connectors::mainstore::get_conn();
  pg::PgResult res = pg::execute(conn.get(), "SELECT qd_number, section_key, document_name, link, enriched_text FROM " +
                                                 enriched + " ORDER BY qd_number, section_index");
  std::map<std::string, std::vector<vector_db::Section>> docs;
  std::map<std::string, std::pair<std::string, std::string>> meta;
  for (const Record& r : pg::all_rows(res.get())) {
    const std::string text = r["enriched_text"];
    const std::size_t cut = text.find("\n\n");
    docs[r["qd_number"]].push_back({r["section_key"], cut == std::string::npos ? text : text.substr(cut + 2), {}});
    meta[r["qd_number"]] = {r["document_name"], r["link"]};
  }
  const std::string model = shared::config::get().OPENAI_EMBEDDING_MODEL;
  vector_db::Embed embed;
  if (!model.empty()) {
    embed = [](const std::string& t) -> std::optional<std::vector<double>> {
      return shared::processors::aigate::generate_embeddings(t);
    };
  }
  for (const auto& [qd, sections] : docs) {
    vector_db::sync_document_sections(qd, meta[qd].first, meta[qd].second, sections, embed, model, raw);
  }
}

struct Score {
  int n = 0, at1 = 0, at5 = 0, at20 = 0;
  double rr = 0;
  void add(std::size_t rank) {  // 0: not in the first 20
    ++n;
    if (rank == 1) ++at1;
    if (rank >= 1 && rank <= 5) ++at5;
    if (rank >= 1 && rank <= 20) ++at20;
    if (rank >= 1) rr += 1.0 / static_cast<double>(rank);
  }
};

int quality(const std::string& questions_path, const std::string& enriched, const std::string& raw) {
  const auto questions = read_questions(questions_path);
  build_raw(enriched, raw);
  struct Config {
    std::string name, table;
    retrieval::Mode mode;
  };
  std::vector<Config> configs = {{"lexical, enriched text", enriched, retrieval::Mode::lexical},
                                 {"lexical, raw section text", raw, retrieval::Mode::lexical}};
  if (!shared::config::get().OPENAI_EMBEDDING_MODEL.empty()) {
    configs.push_back({"hybrid, enriched text", enriched, retrieval::Mode::hybrid});
    configs.push_back({"hybrid, raw section text", raw, retrieval::Mode::hybrid});
    configs.push_back({"vector only, enriched text", enriched, retrieval::Mode::vector});
  }
  std::printf("Retrieval quality: %zu questions (%ld sharing words with their section, %ld paraphrased)\n\n",
              questions.size(),
              static_cast<long>(std::count_if(questions.begin(), questions.end(), [](auto& q) { return q.kind == "shared"; })),
              static_cast<long>(std::count_if(questions.begin(), questions.end(), [](auto& q) { return q.kind == "paraphrase"; })));
  std::printf("| ranking | questions | recall@1 | recall@5 | MRR | not in top 20 |\n| --- | --- | --- | --- | --- | --- |\n");
  std::vector<std::string> misses;
  for (const Config& c : configs) {
    retrieval::Searcher searcher(c.table);
    std::map<std::string, Score> by_kind;
    for (const Question& q : questions) {
      const auto answer = searcher.search(retrieval::Query{.text = q.text, .k = 20, .qd_number = "", .mode = c.mode});
      std::size_t rank = 0;
      for (const auto& h : answer.hits) {
        const std::string suffix = "::" + q.heading;
        if (h.qd_number == q.qd && h.section_key.size() >= suffix.size() &&
            h.section_key.compare(h.section_key.size() - suffix.size(), suffix.size(), suffix) == 0) {
          rank = h.rank;
          break;
        }
      }
      by_kind["all"].add(rank);
      by_kind[q.kind].add(rank);
      if (rank != 1 && c.name == "lexical, enriched text" && q.kind == "shared") {
        misses.push_back(q.qd + " " + q.heading + ": \"" + q.text + "\" rank " + (rank ? std::to_string(rank) : "-") +
                         (answer.hits.empty() ? "" : ", first " + answer.hits[0].section_key));
      }
    }
    for (const char* kind : {"all", "shared", "paraphrase"}) {
      const Score& s = by_kind[kind];
      if (s.n == 0) continue;
      std::printf("| %s | %s (%d) | %.3f | %.3f | %.3f | %.3f |\n", c.name.c_str(), kind, s.n,
                  static_cast<double>(s.at1) / s.n, static_cast<double>(s.at5) / s.n, s.rr / s.n,
                  1.0 - static_cast<double>(s.at20) / s.n);
    }
  }
  std::printf("\nShared-word questions not ranked first (lexical, enriched):\n");
  for (const auto& m : misses) std::printf("  %s\n", m.c_str());
  return 0;
}

// ---- latency -------------------------------------------------------------

struct Rng {
  std::uint64_t s;
  std::uint64_t next() {
    std::uint64_t z = (s += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
};

// A vocabulary of 4,000 made-up words plus real SOP words, drawn with a
// Zipf-like skew, so that some words are in most sections and most in few.
struct Vocabulary {
  std::vector<std::string> words;
  Vocabulary() {
    const char* real[] = {"batch", "record", "cleaning", "validation", "deviation", "sample", "swab", "operator",
                          "supervisor", "equipment", "calibration", "temperature", "release", "review", "signature",
                          "training", "filter", "integrity", "stability", "chamber", "complaint", "supplier", "audit",
                          "gowning", "cleanroom", "water", "loop", "endotoxin", "label", "logbook"};
    for (const char* w : real) words.push_back(w);
    const char* syl[] = {"ka", "lo", "mer", "tin", "sa", "ve", "ro", "nu", "pel", "dor", "qua", "zi", "fen", "bra", "ul", "os"};
    Rng r{42};
    while (words.size() < 4000) {
      std::string w;
      const int n = 2 + static_cast<int>(r.next() % 3);
      for (int i = 0; i < n; ++i) w += syl[r.next() % 16];
      words.push_back(w);
    }
  }
  const std::string& draw(Rng& r) const {
    // Squaring a uniform draw favours the front of the list.
    const double u = static_cast<double>(r.next() % 1000000) / 1000000.0;
    return words[static_cast<std::size_t>(u * u * u * static_cast<double>(words.size() - 1))];
  }
};

void fill(const std::string& table, long sections, std::size_t dim) {
  const Vocabulary vocab;
  Rng r{7};
  const long per_doc = 100;
  const std::string model = shared::config::get().OPENAI_EMBEDDING_MODEL.empty() ? "stand-in"
                                                                                 : shared::config::get().OPENAI_EMBEDDING_MODEL;
  const auto start = std::chrono::steady_clock::now();
  for (long d = 0; d * per_doc < sections; ++d) {
    char qd[32];
    std::snprintf(qd, sizeof qd, "QD-%06ld", 100000 + d);
    const std::string name = std::string("SOP ") + qd + " " + vocab.words[d % 30];
    std::vector<vector_db::Section> docs;
    for (long s = 0; s < per_doc && d * per_doc + s < sections; ++s) {
      std::string heading = std::to_string(s / 10 + 1) + "." + std::to_string(s % 10 + 1) + " " + vocab.draw(r);
      std::string text = "In document " + name + ", under " + std::to_string(s / 10 + 1) + " " + vocab.draw(r) +
                         ".\n\n## " + heading + "\n";
      const int words = 50 + static_cast<int>(r.next() % 60);
      for (int w = 0; w < words; ++w) text += vocab.draw(r) + (w % 12 == 11 ? ".\n" : " ");
      docs.push_back({name + "::" + heading, text, {}});
    }
    vector_db::sync_document_sections(
        qd, name, "https://dms.example/" + std::string(qd), docs,
        [dim](const std::string& t) -> std::optional<std::vector<double>> { return stand_in::embed(t, dim); }, model,
        table);
    if (d % 100 == 99) {
      std::fprintf(stderr, "  %ld sections written (%.0f s)\n", (d + 1) * per_doc,
                   std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
  }
}

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5)];
}

int latency(const std::string& table, long sections, std::size_t dim, int queries) {
  {
    pg::PgConn conn = shared::connectors::mainstore::get_conn();
    pg::Transaction tx(conn.get());
    vector_db::ensure_table(conn.get(), table);
    pg::PgResult res = pg::execute(conn.get(), "SELECT count(*) AS n FROM " + table);
    const long have = pg::first_row(res.get())->at("n").get<long>();
    tx.commit();
    if (have < sections) {
      std::fprintf(stderr, "Filling %s with %ld sections of %zu-dimensional vectors...\n", table.c_str(), sections, dim);
      fill(table, sections, dim);
    }
    pg::execute(conn.get(), "ANALYZE " + table);
  }
  const Vocabulary vocab;
  Rng r{99};
  std::vector<std::string> asked;
  for (int i = 0; i < queries; ++i) {
    std::string q;
    const int n = 2 + static_cast<int>(r.next() % 4);
    for (int w = 0; w < n; ++w) q += (w ? " " : "") + vocab.draw(r);
    asked.push_back(q);
  }
  retrieval::Searcher searcher(table);
  auto time_one = [&](const std::string& q, retrieval::Mode mode) {
    const auto t0 = std::chrono::steady_clock::now();
    const auto a = searcher.search(retrieval::Query{.text = q, .k = 10, .qd_number = "", .mode = mode});
    (void)a;
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  };
  const bool hybrid = !shared::config::get().OPENAI_EMBEDDING_MODEL.empty();
  const double first = hybrid ? time_one("first question loads the vectors", retrieval::Mode::hybrid) : 0.0;
  std::printf("Search latency: %ld sections, %zu-dimensional vectors, %d questions of 2 to 5 words, k = 10\n\n",
              sections, dim, queries);
  std::printf("| ranking | median | 95th percentile |\n| --- | --- | --- |\n");
  for (retrieval::Mode mode : {retrieval::Mode::lexical, retrieval::Mode::hybrid, retrieval::Mode::vector}) {
    if (mode != retrieval::Mode::lexical && !hybrid) continue;
    std::vector<double> ms;
    for (const auto& q : asked) ms.push_back(time_one(q, mode));
    std::printf("| %s | %.1f ms | %.1f ms |\n", std::string(retrieval::mode_name(mode)).c_str(), percentile(ms, 0.5),
                percentile(ms, 0.95));
  }
  if (hybrid) {
    std::printf("\nFirst question (reads %ld vectors, or the approximate index's file): %.0f ms\n", sections, first);
  }
  // The exact cosine scan alone, without the database or the model.
  {
    pg::PgConn conn = shared::connectors::mainstore::get_conn();
    const auto set = vector_db::load_embeddings(conn.get(), shared::config::get().OPENAI_EMBEDDING_MODEL.empty()
                                                                 ? "stand-in"
                                                                 : shared::config::get().OPENAI_EMBEDDING_MODEL,
                                                table);
    retrieval::VectorEngine engine(set.ids, set.vectors);
    std::vector<double> ms;
    for (const auto& q : asked) {
      const auto qv = stand_in::embed(q, dim);
      const auto t0 = std::chrono::steady_clock::now();
      (void)engine.nearest(qv, 50);
      ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    }
    std::printf("Exact cosine over %zu vectors alone: median %.1f ms, 95th percentile %.1f ms\n", engine.size(),
                percentile(ms, 0.5), percentile(ms, 0.95));
  }
  return 0;
}

long peak_rss_mb() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss / 1024;
}

std::string model_name() {
  const std::string m = shared::config::get().OPENAI_EMBEDDING_MODEL;
  return m.empty() ? "stand-in" : m;
}

int first(const std::string& table) {
  // What the first question does is logged with its times.
  shared::logsetup::configure_root_logger(shared::logsetup::Level::info);
  const auto t0 = std::chrono::steady_clock::now();
  retrieval::Searcher searcher(table);
  const auto a = searcher.search(
      retrieval::Query{.text = "kalo mertin sa", .k = 10, .qd_number = "", .mode = retrieval::Mode::hybrid});
  const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  std::printf("First question of a new process: %.0f ms (%zu hits), peak RSS %ld MB\n", ms, a.hits.size(),
              peak_rss_mb());
  return 0;
}

int change(const std::string& table, std::size_t dim) {
  pg::PgConn conn = shared::connectors::mainstore::get_conn();
  pg::PgResult res = pg::execute(conn.get(), "SELECT min(qd_number) AS q FROM " + table);
  const std::string qd = pg::first_row(res.get())->at("q").get<std::string>();
  const auto rows = vector_db::get_document_sections(qd, table);
  std::vector<vector_db::Section> sections;
  std::string name, link;
  for (const auto& r : rows) {
    name = r["document_name"].get<std::string>();
    link = r["link"].get<std::string>();
    std::string text = r["enriched_text"].get<std::string>();
    if (sections.size() < 10) text += " Revised " + std::to_string(std::time(nullptr)) + ".";
    sections.push_back({r["section_key"].get<std::string>(), text, {}});
  }
  const auto counts = vector_db::sync_document_sections(
      qd, name, link, sections,
      [dim](const std::string& t) -> std::optional<std::vector<double>> { return stand_in::embed(t, dim); },
      model_name(), table);
  std::printf("Changed %s: %zu sections written again, %zu kept\n", qd.c_str(), counts.embedded, counts.kept);
  return 0;
}

int recall(const std::string& table, std::size_t dim, int queries) {
  pg::PgConn conn = shared::connectors::mainstore::get_conn();
  auto cache = std::make_shared<retrieval::VectorCache>();
  const auto ann = cache->engine(conn.get(), table, model_name(), vector_db::generation(conn.get(), table));
  if (cache->kind() != retrieval::VectorKind::approximate) {
    std::fprintf(stderr, "the index of %s is searched exactly: nothing to compare\n", table.c_str());
    return 1;
  }
  retrieval::VectorEngine exact;
  std::vector<std::vector<double>> stored;
  {
    vector_db::EmbeddingSnapshot snapshot(conn.get(), model_name(), table);
    std::size_t seen = 0;
    snapshot.each([&](vector_db::EmbeddedRow&& row, std::vector<float>&& vec) {
      if (seen++ % 997 == 0) stored.emplace_back(vec.begin(), vec.end());
      exact.add({std::move(row.qd_number), std::move(row.section_key)}, vec);
    });
  }
  // Questions shaped like the sections: stored vectors asked for their neighbours.
  {
    std::size_t found = 0, want = 0;
    for (const auto& v : stored) {
      const auto e = exact.nearest(v, 10);
      std::set<std::pair<std::string, std::string>> got;
      for (const auto& x : ann->nearest(v, 10)) got.insert({x.qd_number, x.section_key});
      for (const auto& x : e) found += got.count({x.qd_number, x.section_key});
      want += e.size();
    }
    std::printf("Stored vectors as questions (%zu): recall@10 %.4f\n", stored.size(),
                static_cast<double>(found) / static_cast<double>(want));
  }
  const Vocabulary vocab;
  Rng r{2024};
  std::size_t found10 = 0, want10 = 0, found50 = 0, want50 = 0, tied10 = 0, tied50 = 0;
  std::vector<double> ann_ms, exact_ms;
  for (int i = 0; i < queries; ++i) {
    std::string q;
    const int n = 2 + static_cast<int>(r.next() % 4);
    for (int w = 0; w < n; ++w) q += (w ? " " : "") + vocab.draw(r);
    const auto v = stand_in::embed(q, dim);
    for (std::size_t k : {std::size_t{10}, std::size_t{50}}) {
      auto t0 = std::chrono::steady_clock::now();
      const auto a = ann->nearest(v, k);
      auto t1 = std::chrono::steady_clock::now();
      const auto e = exact.nearest(v, k);
      auto t2 = std::chrono::steady_clock::now();
      if (k == 50) {
        ann_ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
        exact_ms.push_back(std::chrono::duration<double, std::milli>(t2 - t1).count());
      }
      std::set<std::pair<std::string, std::string>> got;
      for (const auto& x : a) got.insert({x.qd_number, x.section_key});
      std::size_t hit = 0;
      for (const auto& x : e) hit += got.count({x.qd_number, x.section_key});
      (k == 10 ? found10 : found50) += hit;
      (k == 10 ? want10 : want50) += e.size();
      // Sections tied with the exact k-th score are equally right answers:
      // counted by score, an answer is right when it scores at least the
      // exact k-th (to float precision).
      const double kth = e.empty() ? 0 : e.back().score;
      std::size_t good = 0;
      for (const auto& x : a) good += x.score >= kth - 1e-6;
      (k == 10 ? tied10 : tied50) += std::min(good, e.size());
    }
  }
  std::printf("Approximate against exact over %zu vectors, %d questions: recall@10 %.4f, recall@50 %.4f "
              "(same sections); by score (ties with the k-th counted): %.4f, %.4f\n",
              exact.size(), queries, static_cast<double>(found10) / static_cast<double>(want10),
              static_cast<double>(found50) / static_cast<double>(want50),
              static_cast<double>(tied10) / static_cast<double>(want10),
              static_cast<double>(tied50) / static_cast<double>(want50));
  std::printf("Nearest 50 alone: approximate median %.2f ms, 95th percentile %.2f ms; exact median %.1f ms\n",
              percentile(ann_ms, 0.5), percentile(ann_ms, 0.95), percentile(exact_ms, 0.5));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  shared::logsetup::configure_root_logger(shared::logsetup::Level::warning);
  const std::vector<std::string> a(argv + 1, argv + argc);
  try {
    if (a.size() == 4 && a[0] == "quality") return quality(a[1], a[2], a[3]);
    if ((a.size() == 4 || a.size() == 5) && a[0] == "latency") {
      return latency(a[1], std::stol(a[2]), static_cast<std::size_t>(std::stol(a[3])), a.size() == 5 ? std::stoi(a[4]) : 60);
    }
    if (a.size() == 2 && a[0] == "first") return first(a[1]);
    if (a.size() == 3 && a[0] == "change") return change(a[1], static_cast<std::size_t>(std::stol(a[2])));
    if ((a.size() == 3 || a.size() == 4) && a[0] == "recall") {
      return recall(a[1], static_cast<std::size_t>(std::stol(a[2])), a.size() == 4 ? std::stoi(a[3]) : 200);
    }
  } catch (const std::exception& e) {
    std::cerr << "bench_retrieval: " << e.what() << "\n";
    return 1;
  }
  std::cerr << "usage: bench_retrieval quality QUESTIONS.tsv ENRICHED_TABLE RAW_TABLE\n"
               "       bench_retrieval latency TABLE SECTIONS DIM [QUERIES]\n"
               "       bench_retrieval first TABLE\n"
               "       bench_retrieval change TABLE DIM\n"
               "       bench_retrieval recall TABLE DIM [QUERIES]\n";
  return 2;
}
