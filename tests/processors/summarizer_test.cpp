#include "shared/processors/summarizer.hpp"

#include <gtest/gtest.h>

#include "shared/connectors/blobhub.hpp"
#include "shared/errors.hpp"
#include "shared/processors/aigate.hpp"
#include "support/fake_model_server.hpp"
#include "support/testing.hpp"

namespace {

namespace aigate = shared::processors::aigate;
namespace blobhub = shared::connectors::blobhub;
using shared::Record;
using shared::processors::summarizer::SummarizationStage;
using testing_support::FakeTransport;
using testing_support::LogCapture;
using testing_support::RecordedSleeps;
using testing_support::ScopedSettings;

TEST(SummarizerDocumentName, DropsTheLastExtensionOnly) {
  struct Case {
    Record doc;
    std::string name;
  };
  const std::vector<Case> cases = {
      {{{"blob_filename", "SOP-001.docx"}}, "SOP-001"},
      {{{"blob_filename", "QD-000958 v2.0.docx"}}, "QD-000958 v2.0"},
      {{{"blob_filename", "README"}}, "README"},
      {{{"blob_filename", ".docx"}}, ""},
      {{{"blob_filename", "folder/SOP.x.docx"}}, "folder/SOP.x"},
      {{{"id", 7}}, ""},
      {Record::object(), ""},
  };
  for (const Case& c : cases) EXPECT_EQ(shared::processors::summarizer::document_name(c.doc), c.name) << c.doc.dump();
}

// Both services are recording fakes: the model gateway's transport and the
// blob storage transport (which answers every request with 201).
class SummarizerStageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    shared::config::Settings s;
    s.AZURE_OPENAI_ENDPOINT = "https://unit.openai.azure.com";
    s.AZURE_OPENAI_KEY = "k";
    s.OPENAI_SUMMARY_MODEL = "m";
    s.STORAGE_CONNECTION_STRING =
        "DefaultEndpointsProtocol=https;AccountName=unitacct;AccountKey=a2V5a2V5a2V5a2V5;EndpointSuffix=core.windows.net";
    s.STORAGE_CONTAINER_NAME = "pipeline";
    s.BLOB_FOLDER_SUMMARY = "sum";
    settings = std::make_unique<ScopedSettings>(s);
    aigate::_set_transport_factory([t = transport] { return t; });
    aigate::_reset_clients();
    blobhub::_set_client_options({.transport = blob_transport});
    blobhub::_reset_clients();
  }
  void TearDown() override {
    aigate::_set_transport_factory(nullptr);
    aigate::_reset_clients();
    blobhub::_set_client_options({});
    blobhub::_reset_clients();
  }
  std::shared_ptr<FakeTransport> transport = std::make_shared<FakeTransport>(
      testing_support::FakeReply{500, testing_support::azure_error_body("500", "Internal error")});
  std::shared_ptr<FakeTransport> blob_transport = std::make_shared<FakeTransport>(testing_support::FakeReply{201, ""});
  std::unique_ptr<ScopedSettings> settings;
  RecordedSleeps sleeps;
};

TEST_F(SummarizerStageTest, ModelFailureUploadsNothingAndLeavesTheContext) {
  SummarizationStage stage;
  EXPECT_EQ(stage.stage_name, "SUMMARIZATION");
  const Record doc = {{"id", "42"}, {"file_name", "SOP-001.docx"}, {"blob_filename", "SOP-001.docx"}};
  Record context = {{"batch_size", 1}, {"markdown_text", "# 1 Purpose\nText."}, {"markdown_blob_path", "md/SOP-001.md"}};
  const Record before = context;
  LogCapture cap(shared::logsetup::Level::debug);
  try {
    stage.run(doc, context);
    FAIL() << "no error";
  } catch (const shared::ServiceError& e) {
    EXPECT_EQ(std::string(e.what()), "Azure OpenAI chat completion failed (HTTP 500): Internal error");
  }
  EXPECT_EQ(context, before);
  EXPECT_EQ(transport->requests().size(), 5u);
  EXPECT_EQ(sleeps.waits(), (std::vector<double>{2.0, 4.0, 8.0, 16.0}));
  // The timed summary block ends, the upload block never starts.
  EXPECT_EQ(cap.matching("[AI summarization] completed").size(), 1u);
  EXPECT_TRUE(cap.matching("summary upload").empty());
  EXPECT_TRUE(cap.matching("Summary (").empty());
  EXPECT_TRUE(blob_transport->requests().empty());
}

TEST_F(SummarizerStageTest, UploadIsTheTrimmedSummaryAsMarkdown) {
  transport->set_default({200, testing_support::chat_reply_body("\n # 1 Purpose\n- Cleaning.\n")});
  SummarizationStage stage;
  const Record doc = {{"blob_filename", "SOP-001.docx"}};
  Record context = {{"markdown_text", "# 1 Purpose\nText."}};
  const auto result = stage.run(doc, context);
  EXPECT_EQ(result.output_path, "sum/SOP-001.summary.md");
  EXPECT_EQ(context["summary_text"], "# 1 Purpose\n- Cleaning.");

  const auto puts = blob_transport->requests();
  ASSERT_EQ(puts.size(), 1u);
  EXPECT_EQ(puts[0].method, "PUT");
  EXPECT_EQ(puts[0].url, "https://unitacct.blob.core.windows.net/pipeline/sum/SOP-001.summary.md");
  EXPECT_EQ(shared::net::header_value(puts[0].headers, "x-ms-blob-content-type"), "text/markdown");
  EXPECT_EQ(puts[0].body, "# 1 Purpose\n- Cleaning.");
}

TEST_F(SummarizerStageTest, MisspeltEngineFailsBeforeAnyRequest) {
  shared::config::Settings s = shared::config::get();
  s.SUMMARY_ENGINE = "outlines";
  ScopedSettings engine(s);
  SummarizationStage stage;
  Record context = {{"markdown_text", "# A"}};
  EXPECT_THROW(stage.run(Record{{"blob_filename", "a.docx"}}, context), shared::ValueError);
  EXPECT_EQ(context, (Record{{"markdown_text", "# A"}}));
  EXPECT_TRUE(transport->requests().empty());
  EXPECT_TRUE(sleeps.waits().empty());
}

}  // namespace
