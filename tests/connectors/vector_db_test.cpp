#include "shared/connectors/vector_db.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace vector_db = shared::connectors::vector_db;

TEST(VectorDbText, AnyWordQueryKeepsTheUsersOperators) {
  const std::pair<std::string, std::string> cases[] = {
      {"which detergent is approved", "which or detergent or is or approved"},
      {"  spaced\tout\n words ", "spaced or out or words"},
      {"\"exact phrase\" too", "\"exact phrase\" too"},
      {"detergent -review", "detergent -review"},
      {"cleaning OR rinsing", "cleaning OR rinsing"},
      {"cleaning or rinsing", "cleaning or rinsing"},
      {"oregano order", "oregano or order"},
      {"QD-000958 scope", "QD-000958 or scope"},
      {"", ""},
  };
  for (const auto& [in, want] : cases) EXPECT_EQ(vector_db::any_word_query(in), want) << in;
}

TEST(VectorDbText, Sha256AndArrayLiterals) {
  EXPECT_EQ(vector_db::sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(vector_db::sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_NE(vector_db::sha256_hex("In document A.\n\nx"), vector_db::sha256_hex("In document A.\n\nx "));
  EXPECT_EQ(vector_db::array_literal({0.25, -1.5}), "{0.25,-1.5}");
  EXPECT_EQ(vector_db::array_literal({}), "{}");
}

TEST(VectorDbText, ASectionRanksOnItsOwnTextAndItsContext) {
  const std::string meta =
      "## Metadata\n\n- **Document Name:** Cleaning Validation\n- **Document Number:** QD-000958\n"
      "- **Veeva Link:** https://dms.example/QD-000958\n<!-- METADATA_END -->\n\nCleaning of Vessels";
  const struct {
    std::string name, key, text, own, context;
  } cases[] = {
      // A parent's text repeats its sub-sections: only its own body is its own.
      {"D", "D::6 Limits", "In document D.\n\n## 6 Limits\nSet here.\n\n### 6.1 Heat\nAt most 25 C.\n\n### 6.2 Cold\n2 C.",
       "## 6 Limits\nSet here.", "D"},
      {"D", "D::6.1 Heat", "In document D, under 6 Limits.\n\n### 6.1 Heat\nAt most 25 C.", "### 6.1 Heat\nAt most 25 C.",
       "D\n6 Limits"},
      {"D", "D::3.1 Orphan", "In document D, under .\n\n### 3.1 Orphan\nt5", "### 3.1 Orphan\nt5", "D\n"},
      // A name with the prefix's own words in it.
      {"A, under B", "A, under B::1 X", "In document A, under B, under 1 Y.\n\n## 1.1 X\nx", "## 1.1 X\nx",
       "A, under B\n1 Y"},
      // No prefix of this document: all of it is section text.
      {"D", "D::2 X", "## 2 X\nbody\n\n### 2.1 Y\nz", "## 2 X\nbody", ""},
      {"D", "D::2 X", "In document E.\n\n## 2 X\nbody\n### 2.1 Y", "In document E.\n\n## 2 X\nbody", ""},
      {"D", "D::Plain", "no heading at all\n", "no heading at all", ""},
      // The stamp: values are the section's own text, labels its context.
      {"D", "D::Metadata", "In document D.\n\n" + meta,
       "## Metadata\n\nCleaning Validation\nQD-000958\nhttps://dms.example/QD-000958\n\nCleaning of Vessels\n",
       "D\nDocument Name\nDocument Number\nVeeva Link"},
      // A heading called Metadata that is no stamp is a section like any other.
      {"D", "D::Metadata", "In document D.\n\n## Metadata\n- **Owner:** QA", "## Metadata\n- **Owner:** QA", "D"},
  };
  for (const auto& c : cases) {
    const vector_db::RankFields f = vector_db::rank_fields(c.name, c.key, c.text);
    EXPECT_EQ(f.own, c.own) << c.text;
    EXPECT_EQ(f.context, c.context) << c.text;
  }
}

TEST(VectorDbText, RarerWordsWeighMore) {
  EXPECT_GT(vector_db::word_weight(1, 100), vector_db::word_weight(10, 100));
  EXPECT_GT(vector_db::word_weight(10, 100), vector_db::word_weight(100, 100));
  EXPECT_GT(vector_db::word_weight(100, 100), 0.0);  // a word in every section still counts a little
  EXPECT_NEAR(vector_db::word_weight(1, 100), std::log(1 + 99.5 / 1.5), 1e-12);
}
