// The approximate vector index: its recall against the exact scan, its
// updates row by row, and its file, which it never trusts.
#include "shared/ann_index.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <random>
#include <set>

#include "support/testing.hpp"

namespace retrieval = shared::retrieval;
using shared::ann_index::AnnIndex;
using Row = AnnIndex::Row;
using Rows = std::vector<std::pair<Row, std::vector<float>>>;

namespace {

constexpr std::size_t kDim = 48;

// Points scattered round a few centres, as embeddings of texts on a few
// topics are.
struct Clustered {
  std::mt19937 rng{12345};
  std::vector<std::vector<float>> centres;
  explicit Clustered(std::size_t n_centres) {
    std::normal_distribution<float> d(0, 1);
    for (std::size_t c = 0; c < n_centres; ++c) {
      std::vector<float> v(kDim);
      for (float& x : v) x = d(rng);
      centres.push_back(v);
    }
  }
  std::vector<float> near(std::size_t c, float spread) {
    std::normal_distribution<float> d(0, spread);
    std::vector<float> v = centres[c % centres.size()];
    for (float& x : v) x += d(rng);
    return v;
  }
};

Row row(std::size_t doc, std::size_t section, std::string version = "1") {
  return Row{.qd_number = "QD-" + std::to_string(1000 + doc),
             .section_key = "S" + std::to_string(section),
             .content_sha256 = "sha-" + std::to_string(section) + "-" + version,
             .version = version};
}

std::vector<double> as_query(const std::vector<float>& v) { return std::vector<double>(v.begin(), v.end()); }

std::set<std::string> keys(const std::vector<retrieval::Ranked>& r) {
  std::set<std::string> out;
  for (const auto& x : r) out.insert(x.qd_number + "/" + x.section_key);
  return out;
}

// An index of `n` clustered rows, 20 to a document, and the exact engine of the same rows.
struct Pair {
  std::unique_ptr<AnnIndex> ann;
  retrieval::VectorEngine exact;
  Rows rows;
};

Pair make(std::size_t n, Clustered& data) {
  Pair p;
  p.ann = std::make_unique<AnnIndex>(kDim, n);
  for (std::size_t i = 0; i < n; ++i) p.rows.emplace_back(row(i / 20, i), data.near(i % 40, 0.6f));
  for (const auto& [r, v] : p.rows) p.exact.add({r.qd_number, r.section_key}, v);
  Rows copy = p.rows;
  p.ann->add_batch(copy, 2);
  p.ann->set_generation(1);
  return p;
}

double recall_at_10(const retrieval::VectorSearch& ann, const retrieval::VectorSearch& exact, Clustered& data,
                    int questions) {
  std::size_t found = 0, wanted = 0;
  for (int q = 0; q < questions; ++q) {
    const auto query = as_query(data.near(static_cast<std::size_t>(q), 0.8f));
    const auto truth = keys(exact.nearest(query, 10));
    const auto got = keys(ann.nearest(query, 10));
    for (const auto& k : truth) found += got.count(k);
    wanted += truth.size();
  }
  return static_cast<double>(found) / static_cast<double>(wanted);
}

TEST(AnnIndex, FindsTheExactNearestTenOfAThousandsAlmostAlways) {
  Clustered data(40);
  Pair p = make(3000, data);
  ASSERT_EQ(p.ann->size(), 3000u);
  EXPECT_GE(recall_at_10(*p.ann, p.exact, data, 200), 0.99);
  // Scoring every vector instead of walking the graph finds exactly what the scan finds.
  p.ann->set_exact(true);
  EXPECT_EQ(recall_at_10(*p.ann, p.exact, data, 50), 1.0);
  p.ann->set_exact(false);
  // The scores mean what the exact scan's mean: cosine similarity.
  const auto query = as_query(data.near(3, 0.8f));
  const auto a = p.ann->nearest(query, 1), e = p.exact.nearest(query, 1);
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0].section_key, e[0].section_key);
  EXPECT_NEAR(a[0].score, e[0].score, 1e-4);
  // A question of another dimension, or of no length, finds nothing.
  EXPECT_TRUE(p.ann->nearest(std::vector<double>(kDim + 1, 1.0), 10).empty());
  EXPECT_TRUE(p.ann->nearest(std::vector<double>(kDim, 0.0), 10).empty());
}

TEST(AnnIndex, UpdatesRowByRowAndSearchesOneDocumentExactly) {
  Clustered data(40);
  Pair p = make(2000, data);
  // Section 5 of document 0 moves to a new place, document 1 goes, a new
  // document comes.
  std::vector<Row> now;
  for (std::size_t i = 0; i < p.rows.size(); ++i) {
    if (i / 20 == 1) continue;
    now.push_back(i == 5 ? row(0, 5, "2") : p.rows[i].first);
  }
  for (std::size_t s = 0; s < 3; ++s) now.push_back(row(500, 9000 + s));
  const auto gone = p.ann->stale(now);
  const auto fresh = p.ann->missing(now);
  EXPECT_EQ(gone.size(), 21u);
  ASSERT_EQ(fresh.size(), 4u);

  const std::vector<float> old_place = p.rows[5].second;
  std::vector<float> new_place(kDim, 0.0f);
  new_place[0] = 1.0f;  // far from every cluster's centre
  std::vector<float> added_place(kDim, 0.0f);
  added_place[1] = 1.0f;
  Rows added;
  for (std::size_t i : fresh) added.emplace_back(now[i], now[i].section_key == "S5" ? new_place : added_place);
  EXPECT_EQ(p.ann->update(gone, added, 2), 4u);
  EXPECT_EQ(p.ann->generation(), 2);
  EXPECT_EQ(p.ann->size(), 2000u - 20 + 3);
  EXPECT_TRUE(p.ann->stale(now).empty());
  EXPECT_TRUE(p.ann->missing(now).empty());

  const auto by_new = p.ann->nearest(as_query(new_place), 1);
  ASSERT_EQ(by_new.size(), 1u);
  EXPECT_EQ(by_new[0].qd_number + "/" + by_new[0].section_key, "QD-1000/S5");
  for (const auto& r : p.ann->nearest(as_query(old_place), 50)) {
    EXPECT_FALSE(r.qd_number == "QD-1000" && r.section_key == "S5" && r.score > 0.99) << "found by its old vector";
  }
  const auto by_added = p.ann->nearest(as_query(added_place), 3);
  EXPECT_EQ(keys(by_added), (std::set<std::string>{"QD-1500/S9000", "QD-1500/S9001", "QD-1500/S9002"}));
  // The deleted document is never returned, not even when every row is asked for.
  for (const auto& r : p.ann->nearest(as_query(p.rows[25].second), 3000)) EXPECT_NE(r.qd_number, "QD-1001");
  EXPECT_TRUE(p.ann->nearest(as_query(p.rows[25].second), 10, "qd-1001").empty());

  // One document's search scores all its rows: the exact scan's answer, in any case of its number.
  retrieval::VectorEngine exact;
  for (const Row& r : now) {
    if (r.qd_number != "QD-1002") continue;
    const std::size_t i = std::stoul(r.section_key.substr(1));
    exact.add({r.qd_number, r.section_key}, p.rows[i].second);
  }
  const auto query = as_query(data.near(7, 0.8f));
  const auto a = p.ann->nearest(query, 20, "qd-1002"), e = exact.nearest(query, 20);
  ASSERT_EQ(a.size(), 20u);
  for (std::size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].section_key, e[i].section_key);
    EXPECT_NEAR(a[i].score, e[i].score, 1e-5);
  }

  // Deleted slots are taken again by the next rows.
  Rows more;
  for (std::size_t s = 0; s < 20; ++s) more.emplace_back(row(600, 9100 + s), data.near(s, 0.6f));
  p.ann->update({}, more, 3);
  EXPECT_EQ(p.ann->deleted(), 0u);
  EXPECT_EQ(p.ann->size(), 2000u - 20 + 3 + 20);
}

class AnnFile : public ::testing::Test {
 protected:
  void SetUp() override {
    Clustered data(10);
    pair_ = make(600, data);
    Rows none;
    pair_.ann->update({pair_.ann->stale({}).front()}, none, 7);  // one deleted slot in the file
    path_ = (dir_ / "index.ann").string();
    pair_.ann->save(path_, key_);
    bytes_ = testing_support::read_bytes(path_);
    query_ = as_query(data.near(2, 0.8f));
  }
  std::uint64_t field(std::size_t i) const {
    std::uint64_t v;
    std::memcpy(&v, bytes_.data() + 8 + 8 * i, 8);
    return v;
  }
  void set_field(std::string& b, std::size_t i, std::uint64_t v) const { std::memcpy(b.data() + 8 + 8 * i, &v, 8); }
  // Where the base layer starts (at a multiple of 64 KiB), and each node's share of it.
  std::size_t level0() const { return (152 + field(14) + field(15) + 65535) / 65536 * 65536; }
  std::size_t per_node() const { return field(11); }

  testing_support::TempDir dir_;
  std::string path_, bytes_;
  const std::string key_ = "postgresql://db:5432/x\ntable\n42\nmodel";
  Pair pair_;
  std::vector<double> query_;
};

TEST_F(AnnFile, AFileReadBackSearchesAsTheIndexItWasWrittenFrom) {
  std::string why;
  const auto back = AnnIndex::load(path_, key_, why);
  ASSERT_TRUE(back) << why;
  EXPECT_EQ(back->generation(), 7);
  EXPECT_EQ(back->size(), pair_.ann->size());
  EXPECT_EQ(back->deleted(), 1u);
  const auto a = back->nearest(query_, 10), b = pair_.ann->nearest(query_, 10);
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t i = 0; i < a.size(); ++i) EXPECT_EQ(a[i].section_key, b[i].section_key);
  EXPECT_EQ(back->nearest(query_, 5, "QD-1003").size(), 5u);
  // A read index grows past the room it was given (its base layer is then its own).
  Clustered data(10);
  Rows more;
  for (std::size_t i = 0; i < 1500; ++i) more.emplace_back(row(900 + i / 20, 20000 + i), data.near(i, 0.6f));
  const std::vector<float> last = more.back().second;
  EXPECT_EQ(back->update({}, more, 8), 1500u);
  EXPECT_EQ(back->size(), pair_.ann->size() + 1500);
  const auto found = back->nearest(as_query(last), 1);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].section_key, "S21499");
  // The same file is another index's for any other key.
  EXPECT_FALSE(AnnIndex::load(path_, key_ + "x", why));
  EXPECT_FALSE(AnnIndex::load(path_, "postgresql://db:5432/x\ntable\n43\nmodel", why));
}

TEST_F(AnnFile, AHostileFileIsRefusedWithAReason) {
  const std::size_t node = per_node();
  struct Case {
    const char* name;
    std::function<void(std::string&)> spoil;
  };
  const std::vector<Case> cases = {
      {"empty", [](std::string& b) { b.clear(); }},
      {"cut in its header", [](std::string& b) { b.resize(100); }},
      {"cut in its rows", [&](std::string& b) { b.resize(152 + field(14) + 10); }},
      {"cut in its base layer", [&](std::string& b) { b.resize(level0() + node * 3 + 5); }},
      {"cut at its end", [](std::string& b) { b.pop_back(); }},
      {"one byte longer", [](std::string& b) { b.push_back('\0'); }},
      {"garbage header", [](std::string& b) { std::memset(b.data(), 'x', 152); }},
      {"another version", [&](std::string& b) { set_field(b, 0, 2); }},
      {"another dimension", [&](std::string& b) { set_field(b, 2, kDim + 1); }},
      {"huge dimension", [&](std::string& b) { set_field(b, 2, 1ULL << 40); }},
      {"another M", [&](std::string& b) { set_field(b, 3, 8); }},
      {"more elements", [&](std::string& b) { set_field(b, 6, field(6) + 1); }},
      {"huge parts", [&](std::string& b) { set_field(b, 16, ~0ULL - 10); }},
      {"deleted count", [&](std::string& b) { set_field(b, 7, 0); }},
      {"entry out of range", [&](std::string& b) { set_field(b, 9, field(6)); }},
      {"level too high", [&](std::string& b) { set_field(b, 8, field(8) + 1); }},
      {"link out of range",
       [&](std::string& b) {
         const std::uint32_t far = 0xFFFFFF;
         std::memcpy(b.data() + level0() + 4, &far, 4);
       }},
      {"list longer than M0",
       [&](std::string& b) {
         const std::uint16_t many = 1000;
         std::memcpy(b.data() + level0(), &many, 2);
       }},
      {"label out of range",
       [&](std::string& b) {
         const std::uint64_t label = 1 << 20;
         std::memcpy(b.data() + level0() + node - 8, &label, 8);
       }},
      {"label repeated",
       [&](std::string& b) { std::memcpy(b.data() + level0() + node - 8, b.data() + level0() + 2 * node - 8, 8); }},
      {"deletion mark unset", [&](std::string& b) {
         // The one deleted row's node loses its mark: every node is tried.
         for (std::size_t i = 0; i < field(6); ++i) b[level0() + i * node + 2] = 0;
       }},
      {"upper layer link to a node without that layer",
       [&](std::string& b) {
         // The first node with an upper layer links to a node of level 0.
         std::size_t at = level0() + field(16);
         std::uint32_t low = 0;
         std::vector<std::uint32_t> levels;
         for (std::size_t i = 0; i < field(6); ++i) {
           std::uint32_t size;
           std::memcpy(&size, b.data() + at, 4);
           levels.push_back(size);
           at += 4 + size;
         }
         while (levels[low] != 0) ++low;
         at = level0() + field(16);
         for (std::size_t i = 0; i < field(6); ++i) {
           std::uint32_t size;
           std::memcpy(&size, b.data() + at, 4);
           if (size > 0) {
             const std::uint16_t one = 1;
             std::memcpy(b.data() + at + 4, &one, 2);
             std::memcpy(b.data() + at + 8, &low, 4);
             return;
           }
           at += 4 + size;
         }
       }},
  };
  for (const Case& c : cases) {
    std::string b = bytes_;
    c.spoil(b);
    const std::string spoilt = (dir_ / "spoilt.ann").string();
    testing_support::write_bytes(spoilt, b);
    ::chmod(spoilt.c_str(), 0600);
    std::string why;
    EXPECT_FALSE(AnnIndex::load(spoilt, key_, why)) << c.name;
    EXPECT_FALSE(why.empty()) << c.name;
  }
}

TEST_F(AnnFile, AFileOthersMayWriteOrAnotherUserOwnsIsRefused) {
  std::string why;
  ASSERT_EQ(::chmod(path_.c_str(), 0620), 0);
  EXPECT_FALSE(AnnIndex::load(path_, key_, why));
  EXPECT_EQ(why, "writable by others");
  ASSERT_EQ(::chmod(path_.c_str(), 0600), 0);
  const std::string link = (dir_ / "link.ann").string();
  ASSERT_EQ(::symlink(path_.c_str(), link.c_str()), 0);
  EXPECT_FALSE(AnnIndex::load(link, key_, why));
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(path_.c_str(), 65534, 65534), 0);
    EXPECT_FALSE(AnnIndex::load(path_, key_, why));
    EXPECT_EQ(why, "owned by another user");
  }
}

}  // namespace
