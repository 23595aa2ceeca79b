#include "shared/retrieval.hpp"

#include <gtest/gtest.h>

namespace retrieval = shared::retrieval;
using retrieval::Ranked;

namespace {

std::vector<Ranked> ranking(std::initializer_list<const char*> keys) {
  std::vector<Ranked> out;
  for (const char* k : keys) out.push_back(Ranked{.qd_number = "QD-1", .section_key = k, .score = 0});
  return out;
}

std::string order(const std::vector<Ranked>& r) {
  std::string out;
  for (const Ranked& x : r) out += (out.empty() ? "" : " ") + x.section_key;
  return out;
}

}  // namespace

TEST(ReciprocalRankFusion, SumsOneOverSixtyPlusRank) {
  const struct {
    std::vector<std::vector<Ranked>> rankings;
    std::size_t limit;
    std::string want;
  } cases[] = {
      // a: 1/61 + 1/63 just beats b's 2/62; d's single first place comes next.
      {{ranking({"a", "b", "c"}), ranking({"d", "b", "a"})}, 10, "a b d c"},
      // Equal sums: the better single rank wins, then the key.
      {{ranking({"a", "b"}), ranking({"b", "a"})}, 10, "a b"},
      {{ranking({"x"}), ranking({"y"})}, 10, "x y"},
      {{ranking({"a", "b", "c"}), {}}, 2, "a b"},
      {{{}, {}}, 5, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(order(retrieval::reciprocal_rank_fusion(c.rankings, c.limit)), c.want);
  const auto fused = retrieval::reciprocal_rank_fusion({ranking({"a", "b", "c"}), ranking({"d", "b", "a"})}, 10);
  EXPECT_DOUBLE_EQ(fused[0].score, 1.0 / 61 + 1.0 / 63);
  EXPECT_DOUBLE_EQ(fused[1].score, 2.0 / 62);
  EXPECT_DOUBLE_EQ(fused[2].score, 1.0 / 61);
  // The same key in two documents is two sections.
  const auto two = retrieval::reciprocal_rank_fusion(
      {{Ranked{"QD-1", "k", 0}}, {Ranked{"QD-2", "k", 0}}}, 10);
  EXPECT_EQ(two.size(), 2u);
}

TEST(VectorEngine, RanksByCosineNotByLength) {
  retrieval::VectorEngine engine({{"QD-1", "long"}, {"QD-1", "near"}, {"qd-2", "other"}, {"QD-1", "zero"}},
                                 {{10, 10, 0}, {1, 0.1f, 0}, {0, 0, 1}, {0, 0, 0}});
  EXPECT_EQ(engine.size(), 4u);
  // Equal scores (both 0) keep the order the vectors were given in.
  EXPECT_EQ(order(engine.nearest({1, 0, 0}, 10)), "near long other zero");
  const auto top = engine.nearest({2, 0, 0}, 1);
  ASSERT_EQ(top.size(), 1u);
  EXPECT_NEAR(top[0].score, 1 / std::sqrt(1.01), 1e-6);
  EXPECT_EQ(order(engine.nearest({1, 0, 0}, 10, "QD-2")), "other");
  // Nothing comparable: another dimension, or no direction at all.
  EXPECT_TRUE(engine.nearest({1, 0}, 10).empty());
  EXPECT_TRUE(engine.nearest({0, 0, 0}, 10).empty());
  EXPECT_TRUE(engine.nearest({1, 0, 0}, 0).empty());
}

TEST(VectorEngine, RowsOfAnotherDimensionAreLeftOut) {
  // 40 values: the unrolled part and the tail of the dot product both count.
  std::vector<float> a(40, 0.0f), b(40, 0.0f);
  a[39] = 1;
  b[0] = 1;
  retrieval::VectorEngine engine({{"QD-1", "a"}, {"QD-1", "short"}, {"QD-1", "b"}}, {a, {1, 2}, b});
  EXPECT_EQ(engine.size(), 2u);
  EXPECT_EQ(engine.dimension(), 40u);
  std::vector<double> q(40, 0.0);
  q[39] = 1;
  const auto hits = engine.nearest(q, 10);
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[0].section_key, "a");
  EXPECT_FLOAT_EQ(static_cast<float>(hits[0].score), 1.0f);
  EXPECT_FLOAT_EQ(static_cast<float>(hits[1].score), 0.0f);
}
