#include "shared/config.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

#include "support/testing.hpp"

using shared::config::parse_dotenv;

TEST(Dotenv, ParsesTheUsualForms) {
  const auto vars = parse_dotenv(
      "# comment\n"
      "PLAIN=value\n"
      "export EXPORTED=yes\n"
      "  SPACED = some value  \n"
      "SINGLE='it''s # not a comment'\n"
      "DOUBLE=\"line1\\nline2 \\\"q\\\"\"\n"
      "INLINE=abc # trailing comment\n"
      "KEY=Eby8vdM02x==\n"
      "CONN=DefaultEndpointsProtocol=http;AccountName=a;AccountKey=k==;\n"
      "EMPTY=\n"
      "MULTI=\"first\nsecond\"\n"
      "AFTER=ok\r\n"
      "not a line\n"
      "1BAD=x\n");
  EXPECT_EQ(vars.at("PLAIN"), "value");
  EXPECT_EQ(vars.at("EXPORTED"), "yes");
  EXPECT_EQ(vars.at("SPACED"), "some value");
  EXPECT_EQ(vars.at("SINGLE"), "it");
  EXPECT_EQ(vars.at("DOUBLE"), "line1\nline2 \"q\"");
  EXPECT_EQ(vars.at("INLINE"), "abc");
  EXPECT_EQ(vars.at("KEY"), "Eby8vdM02x==");
  EXPECT_EQ(vars.at("CONN"), "DefaultEndpointsProtocol=http;AccountName=a;AccountKey=k==;");
  EXPECT_EQ(vars.at("EMPTY"), "");
  EXPECT_EQ(vars.at("MULTI"), "first\nsecond");
  EXPECT_EQ(vars.at("AFTER"), "ok");
  EXPECT_EQ(vars.count("1BAD"), 0u);
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
  ::setenv("MAX_BATCH_SIZE", "lots", 1);
  EXPECT_EQ(shared::config::from_environment().MAX_BATCH_SIZE, 500);
}
