// The summarization stage against the storage emulator (settings from the
// environment that scripts/test.sh exports) and the fake model service.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <random>

#include "shared/config.hpp"
#include "shared/connectors/blobhub.hpp"
#include "shared/errors.hpp"
#include "shared/processors/aigate.hpp"
#include "shared/processors/outline.hpp"
#include "shared/processors/summarizer.hpp"
#include "shared/text/pyjson.hpp"
#include "support/fake_model_server.hpp"
#include "support/testing.hpp"

namespace {

namespace aigate = shared::processors::aigate;
namespace blobhub = shared::connectors::blobhub;
using shared::Record;
using shared::processors::summarizer::SummarizationStage;
using testing_support::FakeModelServer;
using testing_support::LogCapture;
using testing_support::RecordedSleeps;
using testing_support::ScopedSettings;

const std::string kMarkdown =
    "<!-- METADATA_START -->\n## Metadata\n\n- **Document Name:** Line clearance\n- **Document Number:** QD-000958\n"
    "- **Veeva Link:** N/A\n<!-- METADATA_END -->\n\n"
    "# 1 Purpose\nThis SOP covers line clearance. It applies to packaging lines.\n## 1.1 Scope\nAll sites.\n";

std::string unique_suffix() {
  std::random_device rd;
  return std::to_string(rd()) + std::to_string(rd());
}

std::string log_json(const std::string& message, const Record& fields) {
  Record line = {{"message", message}};
  for (const auto& [k, v] : fields.items()) line[k] = v;
  return shared::text::dumps_compact_ascii(line);
}

std::string user_content(const testing_support::RecordedRequest& r) {
  return nlohmann::json::parse(r.body)["messages"][1]["content"];
}

// Each test writes to folders of its own, so tests may run in parallel.
class SummarizerEmulatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(testing_support::env("STORAGE_ACCOUNT_CONNECTION_STRING").empty())
        << "the storage emulator is not running (start the tests with scripts/test.sh)";
    shared::config::Settings s = shared::config::from_environment();
    const std::string suffix = unique_suffix();
    s.BLOB_FOLDER_MARKDOWN = "md-" + suffix;
    s.BLOB_FOLDER_SUMMARY = "summary-" + suffix;
    s.AZURE_OPENAI_ENDPOINT = server.endpoint();
    s.AZURE_OPENAI_KEY = "emulator-test-key";
    s.OPENAI_SUMMARY_MODEL = "gpt-sum";
    s.SUMMARY_ENGINE = "azure-openai";
    settings = std::make_unique<ScopedSettings>(s);
    aigate::_set_transport_factory(nullptr);
    aigate::_reset_clients();
    blobhub::create_container(s.STORAGE_CONTAINER_NAME);
  }
  void TearDown() override { aigate::_reset_clients(); }

  const shared::config::Settings& cfg() const { return shared::config::get(); }

  FakeModelServer server;
  RecordedSleeps sleeps;
  std::unique_ptr<ScopedSettings> settings;
};

TEST_F(SummarizerEmulatorTest, ContextTextIsSummarizedUploadedAndLeftInTheContext) {
  server.set_chat_content("\n  ## Metadata\n- QD-000958\n# 1 Purpose\n- Line clearance.\n  ");
  const Record doc = {{"id", "42"}, {"file_name", "SOP-001.docx"}, {"blob_filename", "SOP-001.docx"}};
  // The Markdown path names no blob: with text in the context nothing is downloaded.
  Record context = {{"batch_size", 3}, {"markdown_text", kMarkdown}, {"markdown_blob_path", "nowhere/none.md"}};
  SummarizationStage stage;
  LogCapture cap(shared::logsetup::Level::info);

  const auto result = stage.run(doc, context);

  const std::string path = cfg().BLOB_FOLDER_SUMMARY + "/SOP-001.summary.md";
  const std::string summary = "## Metadata\n- QD-000958\n# 1 Purpose\n- Line clearance.";
  EXPECT_EQ(result.stage, "SUMMARIZATION");
  EXPECT_TRUE(result.success);
  EXPECT_EQ(result.output_path, path);
  EXPECT_FALSE(result.error.has_value());
  EXPECT_EQ(context, (Record{{"batch_size", 3},
                             {"markdown_text", kMarkdown},
                             {"markdown_blob_path", "nowhere/none.md"},
                             {"summary_text", summary},
                             {"summary_blob_path", path}}));
  EXPECT_EQ(blobhub::download_blob_text(path), summary);
  EXPECT_EQ(blobhub::get_blob_properties(path).content_type, "text/markdown");

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(user_content(requests[0]), "\n            Full document content:\n            " + kMarkdown + "\n            ");

  const Record context_fields = {{"stage", "SUMMARIZATION"}, {"document_id", "42"}, {"document_name", "SOP-001.docx"}};
  Record warning_fields = context_fields;
  warning_fields["dropped_headings"] = Record::array({"## 1.1 Scope"});
  Record done_fields = context_fields;
  done_fields["output_path"] = path;
  EXPECT_EQ(cap.matching("Summary dropped"),
            (std::vector<std::string>{
                log_json("Summary dropped 1 of 3 document headings: '## 1.1 Scope'", warning_fields)}));
  EXPECT_EQ(cap.matching("Summary ("),
            (std::vector<std::string>{log_json("Summary (53 chars) \u2192 " + path, done_fields)}));
}

TEST_F(SummarizerEmulatorTest, MarkdownIsDownloadedWhenTheContextHasNone) {
  struct Case {
    std::string name;
    Record doc;
    Record context;
    std::string markdown_path;  // where the test puts the Markdown
    std::string summary_name;
  };
  const std::string md = cfg().BLOB_FOLDER_MARKDOWN;
  const std::vector<Case> cases = {
      {"document name", {{"blob_filename", "SOP-001.docx"}}, Record::object(), md + "/SOP-001.md", "SOP-001.summary.md"},
      {"empty text, given path",
       {{"blob_filename", "SOP-002.docx"}},
       {{"markdown_text", ""}, {"markdown_blob_path", md + "/custom/other.md"}},
       md + "/custom/other.md",
       "SOP-002.summary.md"},
      {"no blob_filename", Record::object(), {{"markdown_blob_path", nullptr}}, md + "/.md", ".summary.md"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string text = "# " + c.name + "\nBody of " + c.name + ".";
    blobhub::upload_blob(c.markdown_path, text);
    server.set_chat_content("# " + c.name);
    Record context = c.context;
    SummarizationStage stage;
    const auto result = stage.run(c.doc, context);
    const std::string path = cfg().BLOB_FOLDER_SUMMARY + "/" + c.summary_name;
    EXPECT_EQ(result.output_path, path);
    EXPECT_EQ(blobhub::download_blob_text(path), "# " + c.name);
    EXPECT_EQ(context["summary_text"], "# " + c.name);
    EXPECT_EQ(user_content(server.requests().back()),
              "\n            Full document content:\n            " + text + "\n            ");
  }
}

TEST_F(SummarizerEmulatorTest, ModelFailureUploadsNothing) {
  server.fail(5, 503, "The engine is currently overloaded.");
  const Record doc = {{"id", "7"}, {"blob_filename", "SOP-009.docx"}};
  Record context = {{"batch_size", 1}, {"markdown_text", kMarkdown}};
  const Record before = context;
  SummarizationStage stage;
  EXPECT_THROW(stage.run(doc, context), shared::ServiceError);
  EXPECT_EQ(context, before);
  EXPECT_EQ(server.requests().size(), 5u);
  EXPECT_EQ(sleeps.waits(), (std::vector<double>{2.0, 4.0, 8.0, 16.0}));
  EXPECT_FALSE(blobhub::check_blob_exists(cfg().BLOB_FOLDER_SUMMARY + "/SOP-009.summary.md"));
  EXPECT_TRUE(blobhub::list_blobs_in_folder(cfg().BLOB_FOLDER_SUMMARY).empty());
}

TEST_F(SummarizerEmulatorTest, OutlineEngineRunsThroughTheStageWithoutTheService) {
  shared::config::Settings s = cfg();
  s.SUMMARY_ENGINE = "outline";
  ScopedSettings outline_engine(s);
  Record context = {{"markdown_text", kMarkdown}};
  SummarizationStage stage;
  LogCapture cap(shared::logsetup::Level::info);
  const auto result = stage.run(Record{{"blob_filename", "SOP-010.docx"}}, context);
  const std::string expected = shared::processors::outline::outline_summary(kMarkdown);
  EXPECT_EQ(blobhub::download_blob_text(*result.output_path), expected);
  EXPECT_EQ(context["summary_text"], expected);
  EXPECT_TRUE(server.requests().empty());
  EXPECT_TRUE(cap.matching("Summary dropped").empty());
  EXPECT_EQ(cap.matching("Generating summary for text of length").size(), 1u);
}

TEST_F(SummarizerEmulatorTest, EmptySummaryIsAnEmptyFile) {
  server.set_chat_content(" \n ");
  Record context = {{"markdown_text", "plain text without headings"}};
  SummarizationStage stage;
  LogCapture cap(shared::logsetup::Level::info);
  const auto result = stage.run(Record{{"blob_filename", "SOP-011.docx"}}, context);
  EXPECT_EQ(blobhub::download_blob_text(*result.output_path), "");
  EXPECT_EQ(context["summary_text"], "");
  EXPECT_EQ(cap.matching("Summary (0 chars) \\u2192 " + *result.output_path).size(), 1u);
}

}  // namespace
