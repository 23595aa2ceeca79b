#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "shared/processors/outline.hpp"
#include "support/fake_model_server.hpp"
#include "support/testing.hpp"

namespace {

using testing_support::TempDir;

using CliRun = testing_support::ProgramRun;

// Runs `kesto summarize ARGS` in an empty folder (no .env) with only the
// given environment.
CliRun summarize(const TempDir& dir, const std::string& env, const std::string& args) {
  return testing_support::kesto(dir.path(), env, "summarize " + args);
}

const std::string kDocument =
    "<!-- METADATA_START -->\n## Metadata\n\n- **Document Number:** QD-1\n<!-- METADATA_END -->\n\n"
    "# 1 Purpose\nThis SOP covers line clearance. It applies to all lines.\n## 1.1 Scope\nPackaging only.\n";

TEST(SummarizeCommand, OutlineEnginePrintsTheOutlineAndOneLineFeed) {
  TempDir dir;
  testing_support::write_bytes(dir / "sop.md", kDocument);
  const std::string expected = shared::processors::outline::outline_summary(kDocument) + "\n";
  for (const std::string& how : {std::string("SUMMARY_ENGINE=outline|sop.md"), std::string("|--engine outline sop.md"),
                                 std::string("SUMMARY_ENGINE=azure-openai|--engine outline - < sop.md")}) {
    const std::size_t bar = how.find('|');
    const CliRun r = summarize(dir, how.substr(0, bar), how.substr(bar + 1));
    EXPECT_EQ(r.status, 0) << how << r.err;
    EXPECT_EQ(r.out, expected) << how;
  }
}

TEST(SummarizeCommand, ModelEngineGoesToTheServiceAndWarnsAboutDroppedHeadings) {
  TempDir dir;
  testing_support::write_bytes(dir / "sop.md", kDocument);
  testing_support::FakeModelServer server;
  server.set_chat_content("\n## Metadata\n- QD-1\n# 1 Purpose\n- Line clearance.\n\n");
  const std::string env = "AZURE_OPENAI_ENDPOINT=" + server.endpoint() +
                          " AZURE_OPENAI_KEY=cli-key OPENAI_SUMMARY_MODEL=gpt-cli";
  const CliRun r = summarize(dir, env, "sop.md");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "## Metadata\n- QD-1\n# 1 Purpose\n- Line clearance.\n");
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].path, "/openai/deployments/gpt-cli/chat/completions");
  const auto body = nlohmann::json::parse(requests[0].body);
  EXPECT_EQ(body["messages"][1]["content"], "\n            Full document content:\n            " + kDocument +
                                                "\n            ");
  EXPECT_NE(r.err.find(R"({"message": "Summary dropped 1 of 3 document headings: '## 1.1 Scope'"})"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.err.find("cli-key"), std::string::npos);
}

TEST(SummarizeCommand, BadUseAndBadInput) {
  TempDir dir;
  testing_support::write_bytes(dir / "sop.md", kDocument);
  testing_support::write_bytes(dir / "latin1.md", "# Caf\xe9\n");
  struct Case {
    std::string env, args;
    int status;
    std::string err;
  };
  const std::vector<Case> cases = {
      {"", "sop.md", 2,
       "kesto summarize: error: AZURE_OPENAI_ENDPOINT is not set (the azure-openai engine needs it; --engine outline "
       "works offline)\n"},
      {"AZURE_OPENAI_ENDPOINT=http://127.0.0.1:9", "sop.md", 2,
       "kesto summarize: error: AZURE_OPENAI_KEY is not set (the azure-openai engine needs it; --engine outline works "
       "offline)\n"},
      {"", "--engine gpt sop.md", 2, "kesto summarize: error: --engine must be azure-openai or outline, not 'gpt'\n"},
      {"SUMMARY_ENGINE=gpt", "sop.md", 2,
       "kesto summarize: error: SUMMARY_ENGINE must be \"azure-openai\" or \"outline\", not \"gpt\"\n"},
      {"", "--engine outline", 2, "kesto summarize: error: missing argument FILE (see --help)\n"},
      {"", "--engine outline missing.md", 1, "kesto summarize: error: cannot read 'missing.md'\n"},
      {"", "--engine outline latin1.md", 1,
       "kesto summarize: error: 'latin1.md' is not valid UTF-8 (byte offset 5)\n"},
  };
  for (const Case& c : cases) {
    const CliRun r = summarize(dir, c.env, c.args);
    EXPECT_EQ(r.status, c.status) << c.args;
    EXPECT_EQ(r.err, c.err) << c.args;
    EXPECT_EQ(r.out, "") << c.args;
  }
  const CliRun help = summarize(dir, "", "--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("usage: kesto summarize [options] FILE\n", 0), 0u) << help.out;
}

}  // namespace
