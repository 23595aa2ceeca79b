#include "shared/connectors/vector_db.hpp"

#include <gtest/gtest.h>

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
