// kesto search against the test cluster: output forms and exit statuses.
#include <gtest/gtest.h>

#include "connectors/pg_testing.hpp"
#include "shared/connectors/vector_db.hpp"

namespace {

struct Outcome {
  int status;
  std::string out, err;
};

class KestoSearch : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!pg_testing::have_cluster()) GTEST_SKIP();
    table_ = pg_testing::unique_name("cli_idx");
  }
  void TearDown() override {
    if (table_.empty()) return;
    try {
      pg_testing::exec(testing_support::env("PGDATABASE"),
                       "DROP TABLE IF EXISTS " + table_ + ", " + table_ + "_generation, " + table_ + "_terms");
    } catch (const std::exception&) {
    }
  }
  Outcome kesto(const std::string& args, const std::string& env = "") const {
    testing_support::TempDir tmp;
    Outcome r;
    r.status = testing_support::run_command("VECTOR_TABLE=" + table_ + " OPENAI_EMBEDDING_MODEL= " + env + " '" +
                                                (testing_support::binary_dir() / "kesto").string() + "' search " +
                                                args + " 2>'" + (tmp / "err").string() + "'",
                                            &r.out);
    r.err = testing_support::read_bytes(tmp / "err");
    return r;
  }
  void index_sample() const {
    shared::config::Settings s = shared::config::from_environment();
    s.VECTOR_TABLE = table_;
    testing_support::ScopedSettings scoped(s);
    shared::connectors::vector_db::replace_document_sections(
        "QD-000958", "SOP", "https://veeva.example/958",
        {{"SOP::1 Purpose", "In document SOP.\n\n## 1 Purpose\nRooms are cleaned\ndaily with detergent.", {}},
         {"SOP::2 Scope", "In document SOP.\n\n## 2 Scope\nAll rooms.", {}}});
  }
  std::string table_;
};

}  // namespace

TEST_F(KestoSearch, AnEmptyIndexAnswersNothingAndSucceeds) {
  Outcome r = kesto("'cleaning'");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "No section matches.\n");
  r = kesto("--json 'cleaning'");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
}

TEST_F(KestoSearch, TextAndJsonLines) {
  index_sample();
  Outcome r = kesto("'cleaning detergent' --k 1");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "1. [1.4903] QD-000958  SOP::1 Purpose\n"
            "   https://veeva.example/958\n"
            "   document SOP. ## 1 Purpose Rooms are **cleaned** daily with **detergent**\n");
  r = kesto("--json --qd qd-000958 rooms");
  EXPECT_EQ(r.status, 0) << r.err;
  const auto eol = r.out.find('\n');
  ASSERT_NE(eol, std::string::npos);
  const shared::Record first = shared::Record::parse(r.out.substr(0, eol));
  EXPECT_EQ(first.at("rank"), 1);
  EXPECT_EQ(first.at("mode"), "lexical");
  EXPECT_EQ(first.at("qd_number"), "QD-000958");
  EXPECT_EQ(first.at("link"), "https://veeva.example/958");
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 2);
  EXPECT_EQ(kesto("--json --qd QD-1 rooms").out, "");
}

TEST_F(KestoSearch, UsageAndConfigurationErrorsExitTwo) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"'  '", ""},
      {"x --k 0", ""},
      {"x --lexical --vector", ""},
      {"x --hybrid", ""},
      {"x --vector", ""},
      {"x", "SEARCH_TEXT_CONFIG=klingon"},
      {"x", "VECTOR_TABLE='a;b'"},
  };
  for (const auto& [args, env] : cases) {
    const Outcome r = kesto(args, env);
    EXPECT_EQ(r.status, 2) << args << " " << env << ": " << r.err;
    EXPECT_NE(r.err, "") << args;
  }
  const Outcome help = kesto("--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--hybrid"), std::string::npos);
  EXPECT_EQ(kesto("x", "PGPORT=1").status, 1);
}

TEST_F(KestoSearch, DashWordsAndTheDocumentFilter) {
  index_sample();
  // "-word" excludes sections holding the word, as the query syntax says.
  Outcome r = kesto("rooms -scope");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("1. [", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("SOP::1 Purpose"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("SOP::2 Scope"), std::string::npos) << r.out;
  EXPECT_EQ(kesto("-- -purpose rooms").out, kesto("rooms -purpose").out);
  // Spaces around the QD-number are no part of it.
  r = kesto("--qd ' qd-000958 ' rooms --json");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 2) << r.out;
}

TEST_F(KestoSearch, StoredTextCannotForgeLinesOrDriveTheTerminal) {
  shared::config::Settings s = shared::config::from_environment();
  s.VECTOR_TABLE = table_;
  {
    testing_support::ScopedSettings scoped(s);
    shared::connectors::vector_db::replace_document_sections(
        "QD-000958", "SOP", "https://veeva.example/958\n2. [9.9999] QD-000001  Forged::Result\x1b]0;pwned\x07",
        {{"SOP::1 Purpose\x1b[2J", "In document SOP.\n\n## 1 Purpose\nRooms are cleaned\x1b[31m daily.\r\nBy\tall.",
          {}}});
  }
  Outcome r = kesto("cleaned --text");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "1. [0.3093] QD-000958  SOP::1 Purpose\\x1b[2J\n"
            "   https://veeva.example/958\\n2. [9.9999] QD-000001  Forged::Result\\x1b]0;pwned\\x07\n"
            "   document SOP. ## 1 Purpose Rooms are **cleaned**\\x1b[31m daily\n"
            "\n"
            "In document SOP.\n\n## 1 Purpose\nRooms are cleaned\\x1b[31m daily.\\r\nBy\\tall.\n\n");
  // JSON keeps the text exact; its writer escapes it already.
  r = kesto("cleaned --json");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(shared::Record::parse(r.out).at("link"),
            "https://veeva.example/958\n2. [9.9999] QD-000001  Forged::Result\x1b]0;pwned\x07");
}
