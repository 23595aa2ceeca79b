// The programs' argument parser: words that start with "-" where a command
// takes free text, such as a search query's "-word".
#include "apps/common/args.hpp"

#include <gtest/gtest.h>

namespace {

apps::ArgParser search_like(bool dash_words) {
  apps::ArgParser p("prog", "test");
  p.positional("QUERY", apps::Arity::at_least_one, "text").option("k", "k", "N", "count").flag("json", "", "flag");
  if (dash_words) p.dash_words_are_positional();
  return p;
}

std::string outcome(const apps::ArgParser& p, const std::vector<std::string>& args) {
  try {
    const apps::Parsed a = p.parse(args);
    std::string out;
    for (const std::string& w : a.list("QUERY")) out += "[" + w + "]";
    if (a.has("k")) out += " k=" + a.get("k");
    if (a.has("json")) out += " json";
    return out;
  } catch (const apps::UsageError& e) {
    return std::string("usage: ") + e.what();
  }
}

}  // namespace

TEST(ArgParser, DashWordsArePositionalOnlyWhereACommandAsksForIt) {
  const struct {
    std::vector<std::string> args;
    std::string with, without;
  } cases[] = {
      {{"-gloves"}, "[-gloves]", "usage: unknown option -gloves (see --help)"},
      {{"latex", "-gloves", "--k", "3"}, "[latex][-gloves] k=3", "usage: unknown option -gloves (see --help)"},
      {{"-gloves", "-k", "2", "--json"}, "[-gloves] k=2 json", "usage: unknown option -gloves (see --help)"},
      // Known options keep their meaning before and after the text.
      {{"--k=4", "a", "-k", "5"}, "[a] k=5", "[a] k=5"},
      {{"a", "--json"}, "[a] json", "[a] json"},
      // After "--" every word is text, options included.
      {{"--", "-k", "--json"}, "[-k][--json]", "[-k][--json]"},
      // A misspelt long option stays an error.
      {{"a", "--jsn"}, "usage: unknown option --jsn (see --help)", "usage: unknown option --jsn (see --help)"},
      {{"-"}, "[-]", "[-]"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(outcome(search_like(true), c.args), c.with) << c.args.front();
    EXPECT_EQ(outcome(search_like(false), c.args), c.without) << c.args.front();
  }
}
