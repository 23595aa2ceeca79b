// What the programs do with inputs that used to end in a silent success or an
// unbounded read: folders, endless streams, byte-order marks, malformed .env
// files and settings, malformed QD-numbers. Each program runs in an empty
// folder with only the environment given.
#include <gtest/gtest.h>

#include <filesystem>

#include "shared/processors/outline.hpp"
#include "support/testing.hpp"

namespace {

using testing_support::TempDir;
using testing_support::write_bytes;

using CliRun = testing_support::ProgramRun;

CliRun kesto(const TempDir& dir, const std::string& env, const std::string& args) {
  return testing_support::kesto(dir.path(), env, args);
}

const char* const kDoc = "{\"blob_filename\": \"SOP-7.docx\", \"document_number\": \"QD-7\"}";

}  // namespace

TEST(InputGuards, FoldersAndEndlessInputsAreRefusedWithOneLine) {
  TempDir dir;
  write_bytes(dir / "doc.json", kDoc);
  std::filesystem::create_directory(dir / "folder.md");
  struct Case {
    std::string env, args, message;
  };
  const std::vector<Case> cases = {
      {"", "stamp --doc doc.json folder.md", "cannot read 'folder.md': is a folder"},
      {"", "sections --doc doc.json folder.md", "cannot read 'folder.md': is a folder"},
      {"", "enrich folder.md", "cannot read 'folder.md': is a folder"},
      {"", "summarize --engine outline folder.md", "cannot read 'folder.md': is a folder"},
      {"", "convert folder.md", "cannot read 'folder.md': is a folder"},
      {"", "stamp --doc folder.md", "cannot read 'folder.md': is a folder"},
      // An endless stream stops at the cap instead of filling the memory.
      {"KESTO_MAX_INPUT_BYTES=1048576", "convert /dev/zero",
       "'/dev/zero' is larger than the input limit of 1048576 bytes (KESTO_MAX_INPUT_BYTES)"},
      {"KESTO_MAX_INPUT_BYTES=1048576", "convert - < /dev/zero",
       "standard input is larger than the input limit of 1048576 bytes (KESTO_MAX_INPUT_BYTES)"},
      {"KESTO_MAX_INPUT_BYTES=1048576", "sections --doc doc.json < /dev/zero",
       "standard input is larger than the input limit of 1048576 bytes (KESTO_MAX_INPUT_BYTES)"},
  };
  for (const Case& c : cases) {
    const CliRun r = kesto(dir, c.env, c.args);
    EXPECT_EQ(r.status, 1) << c.args << ": " << r.err;
    EXPECT_EQ(r.out, "") << c.args;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << ": " << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << c.args << ": " << r.err;  // one line
  }
}

TEST(InputGuards, ByteOrderMarkedMarkdownGivesItsSections) {
  TempDir dir;
  write_bytes(dir / "doc.json", kDoc);
  const std::string md = "# 1 Purpose\ntext\n## 1.1 Scope\nmore\n";
  write_bytes(dir / "plain.md", md);
  write_bytes(dir / "bom.md", "\xEF\xBB\xBF" + md);
  const CliRun plain = kesto(dir, "", "sections --doc doc.json plain.md");
  const CliRun bom = kesto(dir, "", "sections --doc doc.json bom.md");
  ASSERT_EQ(plain.status, 0) << plain.err;
  ASSERT_EQ(bom.status, 0) << bom.err;
  EXPECT_NE(plain.out.find("SOP-7::1.1 Scope"), std::string::npos) << plain.out;
  EXPECT_EQ(bom.out, plain.out);
  const CliRun stamped = kesto(dir, "", "stamp --doc doc.json bom.md");
  ASSERT_EQ(stamped.status, 0) << stamped.err;
  EXPECT_EQ(stamped.out.rfind("<!-- METADATA_START -->", 0), 0u);
  EXPECT_NE(stamped.out.find("\n\n# 1 Purpose"), std::string::npos);
}

TEST(InputGuards, DotenvAndSettingsAreReadWhollyOrRefused) {
  TempDir dir;
  write_bytes(dir / "in.md", "# 1 Purpose\nThis SOP covers cleaning.\n");
  // A byte-order mark in front of the first setting does not hide it.
  write_bytes(dir / ".env", "\xEF\xBB\xBF" "SUMMARY_ENGINE=outline\n");
  CliRun r = kesto(dir, "", "summarize in.md");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, shared::processors::outline::outline_summary("# 1 Purpose\nThis SOP covers cleaning.\n") + "\n");

  write_bytes(dir / ".env", "SUMMARY_ENGINE=outline\nAZURE_OPENAI_KEY=\"never closed\nPGTABLE=x\n");
  r = kesto(dir, "", "summarize in.md");
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_NE(r.err.find("'.env' line 2: the quoted value of AZURE_OPENAI_KEY is never closed"), std::string::npos)
      << r.err;
  std::filesystem::remove(dir / ".env");

  r = kesto(dir, "MAX_BATCH_SIZE=0", "process --pending");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("MAX_BATCH_SIZE must be a whole number from 1"), std::string::npos) << r.err;
  // A misspelt engine is named before the settings only the hosted engine needs.
  r = kesto(dir, "SUMMARY_ENGINE=outlien", "process --pending");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("SUMMARY_ENGINE must be"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("missing settings"), std::string::npos) << r.err;
}

TEST(InputGuards, MalformedQdNumbersAreRefusedBeforeAnyDeletion) {
  TempDir dir;
  // No storage or database is configured: a refusal must come before either
  // is asked for anything.
  for (const char* qd : {"QD-", "_", "%", "''", "QD-12x", "'QD- 1'"}) {
    const CliRun r = kesto(dir, "", std::string("delete ") + qd);
    EXPECT_EQ(r.status, 2) << qd << ": " << r.err;
    EXPECT_NE(r.err.find("Invalid QD-number"), std::string::npos) << qd << ": " << r.err;
    EXPECT_EQ(r.out, "") << qd;
    const CliRun dry = kesto(dir, "", std::string("delete --dry-run QD-000958 ") + qd);
    EXPECT_EQ(dry.status, 2) << qd;
    EXPECT_EQ(dry.out, "") << qd;
  }
}

TEST(InputGuards, MissingSettingsAreNamedBeforeAnyWork) {
  TempDir dir;
  struct Case {
    std::string env, args, missing;
  };
  const std::vector<Case> cases = {
      {"", "audit QD-1", "PGHOST, PGUSER, PGDATABASE"},
      {"PGHOST=127.0.0.1 PGUSER=u PGDATABASE=d", "audit --verify QD-1",
       "STORAGE_ACCOUNT_CONNECTION_STRING, STORAGE_CONTAINER_NAME"},
      {"PGHOST=127.0.0.1", "mainstore-check", "PGUSER, PGDATABASE"},
      {"", "blob ls kesto-ml-dev-documents", "STORAGE_ACCOUNT_CONNECTION_STRING"},
      {"STORAGE_ACCOUNT_CONNECTION_STRING=UseDevelopmentStorage=true", "blob exists --source x/y.docx",
       "TOLVAN_STORAGE_ACCOUNT_CONNECTION_STRING"},
      // An embedding deployment without its API version would fail every
      // document after a minute of tries.
      {"SUMMARY_ENGINE=outline STORAGE_ACCOUNT_CONNECTION_STRING=UseDevelopmentStorage=true "
       "STORAGE_CONTAINER_NAME=c OPENAI_EMBEDDING_MODEL=e AZURE_OPENAI_ENDPOINT=http://127.0.0.1:9 "
       "AZURE_OPENAI_KEY=k",
       "process in.docx", "AZURE_OPENAI_API_VERSION"},
  };
  write_bytes(dir / "in.docx", "not a word file");
  for (const Case& c : cases) {
    const CliRun r = kesto(dir, c.env, c.args);
    EXPECT_EQ(r.status, 2) << c.args << ": " << r.err;
    EXPECT_NE(r.err.find("error: missing settings: " + c.missing + " (set them in the environment or in .env)"),
              std::string::npos)
        << c.args << ": " << r.err;
    EXPECT_EQ(r.out, "") << c.args;
  }
}
