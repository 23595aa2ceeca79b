// kesto search before it reaches the database: the question and the
// QD-number are checked, and missing settings reported, with exit status 2
// and one line, in an empty folder with no settings at all.
#include <gtest/gtest.h>

#include "support/testing.hpp"

namespace {

testing_support::ProgramRun search(const std::string& env, const std::string& args) {
  testing_support::TempDir dir;
  return testing_support::kesto(dir.path(), env, "search " + args);
}

const std::string kMissingAll =
    "kesto search: error: missing settings: PGHOST, PGUSER, PGDATABASE (set them in the environment or in .env)\n";

// A shell word of `n` words "w".
std::string words(int n) {
  std::string out = "'";
  for (int i = 0; i < n; ++i) out += i ? " w" : "w";
  return out + "'";
}

}  // namespace

TEST(SearchCommand, RefusedBeforeAnyWorkWithOneLine) {
  const struct {
    std::string env, args, err;
  } cases[] = {
      // Nothing is tried without the database's settings; only the missing ones are named.
      {"", "gloves", kMissingAll},
      {"PGHOST=db.example PGDATABASE=kesto", "gloves",
       "kesto search: error: missing settings: PGUSER (set them in the environment or in .env)\n"},
      // A "-word" is the query's own syntax, not an option; "--" makes any word text.
      {"", "-gloves", kMissingAll},
      {"", "nitrile -latex --k 3", kMissingAll},
      {"", "-- -k", kMissingAll},
      {"", "gloves --qd ' qd-000958 '", kMissingAll},
      // The QD-number rule of every other command.
      {"", "gloves --qd ''", "kesto search: error: '' is not a QD-number ('QD-' followed by digits)\n"},
      {"", "gloves --qd QD-", "kesto search: error: 'QD-' is not a QD-number ('QD-' followed by digits)\n"},
      {"", "gloves --qd %", "kesto search: error: '%' is not a QD-number ('QD-' followed by digits)\n"},
      {"", "gloves --qd _", "kesto search: error: '_' is not a QD-number ('QD-' followed by digits)\n"},
      // Bounded questions.
      {"", "\"$(printf 'a%.0s' $(seq 1001))\"",
       "kesto search: error: the question is too long: 1001 characters (at most 1000)\n"},
      {"", "\"$(printf '\\303\\251%.0s' $(seq 1000))\"", kMissingAll},  // 1000 characters of two bytes each
      {"", words(101), "kesto search: error: the question has too many words: 101 (at most 100)\n"},
      {"", words(100), kMissingAll},
      {"", "'a-b-c-d-e-f-g-h-i-j-k-l-m-n-o-p-q-r-s-t-u-v-w-x-y-z-a-b-c-d-e-f-g-h-i-j-k-l-m-n-o-p-q-r-s-t-u-v-w-x-y-z-"
           "a-b-c-d-e-f-g-h-i-j-k-l-m-n-o-p-q-r-s-t-u-v-w-x-y-z-a-b-c-d-e-f-g-h-i-j-k-l-m-n-o-p-q-r-s-t-u-v-w-x-y-z'",
       "kesto search: error: the question has too many words: 104 (at most 100)\n"},
      {"", "\"gloves $(printf '\\377')\"", "kesto search: error: the question is not valid UTF-8 (byte 7)\n"},
      // No question, or one given to --prepare, which asks none.
      {"", "", "kesto search: error: missing argument QUERY (see --help)\n"},
      {"", "--prepare gloves", "kesto search: error: --prepare asks no question\n"},
      {"", "--prepare", kMissingAll},
      // What the line repeats of the command line cannot drive the terminal.
      {"", "gloves --qd \"$(printf 'x\\033]0;pwned\\007\\ny')\"",
       "kesto search: error: 'x\\x1b]0;pwned\\x07\\ny' is not a QD-number ('QD-' followed by digits)\n"},
  };
  for (const auto& c : cases) {
    const testing_support::ProgramRun r = search(c.env, c.args);
    EXPECT_EQ(r.status, 2) << c.args;
    EXPECT_EQ(r.err, c.err) << c.args;
    EXPECT_EQ(r.out, "") << c.args;
  }
  const testing_support::ProgramRun help = search("", "--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("kesto search -- -k"), std::string::npos) << help.out;
  EXPECT_NE(help.out.find("KESTO_SEARCH_TIMEOUT"), std::string::npos) << help.out;
}
