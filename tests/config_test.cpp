#include "shared/config.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>

#include "shared/errors.hpp"

#include "support/testing.hpp"

using shared::config::parse_dotenv;

TEST(Dotenv, ParsesTheUsualForms) {
  const auto vars = parse_dotenv(
      "# comment\n"
      "PLAIN=value\n"
      "export EXPORTED=yes\n"
      "  SPACED = some value  \n"
      "SINGLE='single # not a comment'\n"
      "DOUBLE=\"line1\\nline2 \\\"q\\\"\"\n"
      "INLINE=abc # trailing comment\n"
      "KEY=Eby8vdM02x==\n"
      "CONN=DefaultEndpointsProtocol=http;AccountName=a;AccountKey=k==;\n"
      "EMPTY=\n"
      "MULTI=\"first\nsecond\"\n"
      "AFTER=ok\r\n");
  EXPECT_EQ(vars.at("PLAIN"), "value");
  EXPECT_EQ(vars.at("EXPORTED"), "yes");
  EXPECT_EQ(vars.at("SPACED"), "some value");
  EXPECT_EQ(vars.at("SINGLE"), "single # not a comment");
  EXPECT_EQ(vars.at("DOUBLE"), "line1\nline2 \"q\"");
  EXPECT_EQ(vars.at("INLINE"), "abc");
  EXPECT_EQ(vars.at("KEY"), "Eby8vdM02x==");
  EXPECT_EQ(vars.at("CONN"), "DefaultEndpointsProtocol=http;AccountName=a;AccountKey=k==;");
  EXPECT_EQ(vars.at("EMPTY"), "");
  EXPECT_EQ(vars.at("MULTI"), "first\nsecond");
  EXPECT_EQ(vars.at("AFTER"), "ok");
}

TEST(Dotenv, ByteOrderMarkIsReadAndBadLinesAreRefusedWithTheirNumber) {
  EXPECT_EQ(parse_dotenv("\xEF\xBB\xBF" "FIRST=1\nSECOND=2\n"),
            (std::map<std::string, std::string>{{"FIRST", "1"}, {"SECOND", "2"}}));
  EXPECT_EQ(parse_dotenv("FIRST=\"1\"  # one\r\nSECOND=2\r\n"),
            (std::map<std::string, std::string>{{"FIRST", "1"}, {"SECOND", "2"}}));
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"A=1\nnot a line\nB=2\n", "line 2: not a NAME=value line"},
      {"A=1\n1BAD=x\n", "line 2: '1BAD' is not a variable name"},
      // A quote that never closes would swallow every setting after it.
      {"A=1\nKEY=\"abc\nB=2\nC=3\n", "line 2: the quoted value of KEY is never closed"},
      // Line numbers count the lines of a multi-line value.
      {"M=\"one\ntwo\"\n\nbroken\n", "line 4: not a NAME=value line"},
      // What follows a closing quote would be dropped without a word.
      {"A=1\nKEY=\"abc\"junk\nB=2\n", "line 2: text after the closing quote of KEY: 'junk'"},
      {"SINGLE='it''s'\n", "line 1: text after the closing quote of SINGLE: ''s''"},
      {"M='one\ntwo' x # y\n", "line 2: text after the closing quote of M: 'x # y'"},
      // Bare carriage returns make the whole file one line.
      {"A=1\rB=2\rC=3\r", "line 1: a carriage return that does not end a line (save the file with LF or CRLF "
                           "line ends)"},
      {"A=1\nB=2\rC=3\n", "line 2: a carriage return that does not end a line (save the file with LF or CRLF "
                           "line ends)"},
  };
  for (const auto& [text, message] : bad) {
    try {
      parse_dotenv(text);
      ADD_FAILURE() << "accepted: " << text;
    } catch (const shared::ValueError& e) {
      EXPECT_EQ(std::string(e.what()), message);
    }
  }
  testing_support::TempDir dir;
  testing_support::write_bytes(dir / ".env", "KESTO_T_OK=1\nKESTO_T_Q='open\n");
  ::unsetenv("KESTO_T_OK");
  try {
    shared::config::load_dotenv((dir / ".env").string());
    ADD_FAILURE() << "a malformed .env was loaded";
  } catch (const shared::ValueError& e) {
    EXPECT_NE(std::string(e.what()).find(".env' line 2:"), std::string::npos) << e.what();
  }
  EXPECT_EQ(std::getenv("KESTO_T_OK"), nullptr);  // nothing of it loaded
}

TEST(Dotenv, LoadKeepsVariablesAlreadySet) {
  testing_support::TempDir dir;
  testing_support::write_bytes(dir / ".env", "KESTO_T_SET=from-file\nKESTO_T_NEW=new\n");
  ::setenv("KESTO_T_SET", "from-env", 1);
  ::unsetenv("KESTO_T_NEW");
  ASSERT_TRUE(shared::config::load_dotenv((dir / ".env").string()));
  EXPECT_STREQ(std::getenv("KESTO_T_SET"), "from-env");
  EXPECT_STREQ(std::getenv("KESTO_T_NEW"), "new");
  EXPECT_FALSE(shared::config::load_dotenv((dir / "missing.env").string()));
}

TEST(Dotenv, AFolderOfThatNameIsSaidAndSkipped) {
  testing_support::TempDir dir;
  std::filesystem::create_directory(dir / ".env");
  testing_support::LogCapture cap(shared::logsetup::Level::warning);
  EXPECT_FALSE(shared::config::load_dotenv((dir / ".env").string()));
  EXPECT_EQ(cap.matching("is a folder, not a settings file: no settings were read from it").size(), 1u) << cap.text();
}

TEST(Settings, DefaultsAndVariableNames) {
  for (const char* v : {"BLOB_FOLDER_DOCUMENTS", "BLOB_FOLDER_MARKDOWN", "PGTABLE", "MAX_BATCH_SIZE"}) ::unsetenv(v);
  ::setenv("STORAGE_ACCOUNT_CONNECTION_STRING", "UseDevelopmentStorage=true", 1);
  ::setenv("TOLVAN_STORAGE_ACCOUNT_CONNECTION_STRING", "tolvan-conn", 1);
  ::setenv("BLOB_FOLDER_JSON", "custom-json", 1);
  ::setenv("MAX_BATCH_SIZE", "12", 1);
  const auto s = shared::config::from_environment();
  EXPECT_EQ(s.BLOB_FOLDER_DOCUMENTS, "kesto-ml-dev-documents");
  EXPECT_EQ(s.BLOB_FOLDER_MARKDOWN, "kesto-ml-dev-markdown-files");
  EXPECT_EQ(s.BLOB_FOLDER_JSON, "custom-json");
  EXPECT_EQ(s.BLOB_FOLDER_ENRICHED_JSON, "kesto-ml-dev-enriched-json");
  EXPECT_EQ(s.BLOB_FOLDER_SUMMARY, "kesto-ml-dev-summary-files");
  EXPECT_EQ(s.STORAGE_CONNECTION_STRING, "UseDevelopmentStorage=true");
  EXPECT_EQ(s.TOLVAN_STORAGE_CONNECTION_STRING, "tolvan-conn");
  EXPECT_EQ(s.PGTABLE, "sop_metadata");
  EXPECT_EQ(s.MAX_BATCH_SIZE, 12);
  EXPECT_EQ(s.MAX_INPUT_BYTES, std::size_t{1} << 30);
  EXPECT_EQ(s.RUNNING_TIMEOUT_S, 3600);
  ::unsetenv("MAX_BATCH_SIZE");
}

TEST(Settings, NumbersOutOfFormOrRangeAreRefusedNamingTheVariable) {
  const std::vector<std::pair<const char*, const char*>> bad = {
      {"MAX_BATCH_SIZE", "0"},         {"MAX_BATCH_SIZE", "-5"},       {"MAX_BATCH_SIZE", "lots"},
      {"MAX_BATCH_SIZE", "12abc"},     {"MAX_BATCH_SIZE", "99999999999999999999"},
      {"KESTO_MAX_INPUT_BYTES", "0"},  {"KESTO_RUNNING_TIMEOUT", "1h"}, {"PGPORT", "54x"},
      {"PGPORT", "70000"},             {"TOLVANSTORE_PORT", "-1"},
      {"KESTO_ANN_MIN_SECTIONS", "0"}, {"KESTO_ANN_EF", "5"},         {"KESTO_ANN_EF", "1e9"},
  };
  for (const auto& [var, value] : bad) {
    const std::string saved = testing_support::env(var);
    ::setenv(var, value, 1);
    try {
      shared::config::from_environment();
      ADD_FAILURE() << var << "=" << value << " was accepted";
    } catch (const shared::ValueError& e) {
      EXPECT_EQ(std::string(e.what()).rfind(std::string(var) + " must be a whole number", 0), 0u) << e.what();
      EXPECT_NE(std::string(e.what()).find(value), std::string::npos) << e.what();
    }
    if (saved.empty()) {
      ::unsetenv(var);
    } else {
      ::setenv(var, saved.c_str(), 1);
    }
  }
  ::setenv("MAX_BATCH_SIZE", "7", 1);
  EXPECT_EQ(shared::config::from_environment().MAX_BATCH_SIZE, 7);
  ::unsetenv("MAX_BATCH_SIZE");
}

TEST(Settings, VectorSearchIsOneOfTwoWords) {
  ::setenv("KESTO_VECTOR_SEARCH", " Approximate ", 1);
  EXPECT_EQ(shared::config::from_environment().VECTOR_SEARCH, "approximate");
  for (const char* bad : {"fast", "exact;approximate", "exactly"}) {
    ::setenv("KESTO_VECTOR_SEARCH", bad, 1);
    try {
      shared::config::from_environment();
      ADD_FAILURE() << bad << " was accepted";
    } catch (const shared::ValueError& e) {
      EXPECT_EQ(std::string(e.what()).rfind("KESTO_VECTOR_SEARCH must be 'exact' or 'approximate'", 0), 0u) << e.what();
    }
  }
  ::unsetenv("KESTO_VECTOR_SEARCH");
  EXPECT_EQ(shared::config::from_environment().VECTOR_SEARCH, "exact");
}
