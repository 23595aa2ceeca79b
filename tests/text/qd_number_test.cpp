#include "shared/text/qd_number.hpp"

#include <gtest/gtest.h>

#include "shared/text/utf8.hpp"

using shared::text::normalize_qd_number;

TEST(QdNumber, OnlyQdAndDigitsAreAccepted) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
      {"QD-000958", "QD-000958"},
      {" qd-3020 ", "QD-3020"},
      {"\tQd-7\n", "QD-7"},
      {"\u00a0QD-12\u2003", "QD-12"},  // Unicode spaces around it
      {"QD-", std::nullopt},
      {"QD", std::nullopt},
      {"_", std::nullopt},
      {"%", std::nullopt},
      {"", std::nullopt},
      {"   ", std::nullopt},
      {"QD-12a", std::nullopt},
      {"QD-1 2", std::nullopt},
      {"QD_12", std::nullopt},
      {"XQD-12", std::nullopt},
      {"QD-%", std::nullopt},
      {"QD-\u0661\u0662", std::nullopt},  // Arabic-Indic digits are not digits here
  };
  for (const auto& [in, want] : cases) EXPECT_EQ(normalize_qd_number(in), want) << "'" << in << "'";
}

TEST(LineText, FoldAndOneLine) {
  using shared::text::fold_line_breaks;
  using shared::text::one_line;
  EXPECT_EQ(fold_line_breaks("a\nb\r\nc\rd\u2028e\u2029f\u0085g\vh\fi"), "a b c d e f g h i");
  EXPECT_EQ(fold_line_breaks("Reinigung «A» \xff"), "Reinigung «A» \xff");  // other bytes stay as they are
  EXPECT_EQ(one_line("could not connect\nis the server running?\r\n"), "could not connect\\nis the server running?");
  EXPECT_EQ(one_line("plain"), "plain");
}
