#include "shared/processors/summarization.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <sstream>

#include "processors/instruction_lines.hpp"
#include "shared/errors.hpp"
#include "shared/text/utf8.hpp"
#include "support/fake_model_server.hpp"
#include "support/testing.hpp"

namespace {

namespace summarization = shared::processors::summarization;
using nlohmann::ordered_json;
using testing_support::FakeReply;
using testing_support::FakeTransport;
using testing_support::LogCapture;
using testing_support::RecordedSleeps;

constexpr const char* kEndpoint = "https://chain.openai.azure.com/";
constexpr const char* kKey = "chain-key-77aa";

// Lines 9-12, 31-33, 36, 37 and 40 are indented by three spaces, line 30
// has an en dash, and the text ends with two line feeds.
std::string expected_system_text() {
  std::string out = "\n";
  for (std::size_t i = 0; i < instruction::LINES.size(); ++i) {
    const std::size_t n = i + 1;
    std::string line(instruction::LINES[i]);
    if (n == 30) line.replace(line.find("2-5"), 3, "2\u20135");
    const bool indented = (n >= 9 && n <= 12) || (n >= 31 && n <= 33) || n == 36 || n == 37 || n == 40;
    if (i > 0) out += "\n";
    out += (indented ? "   " : "") + line;
  }
  return out + "\n\n";
}

std::atomic<int> factory_calls{0};

std::shared_ptr<FakeTransport>& transport() {
  static auto t = std::make_shared<FakeTransport>();
  return t;
}

// The chain's objects live for the process, so every test of this file
// shares one transport, installed before the first use.
class ChainTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ::setenv("AZURE_OPENAI_ENDPOINT", kEndpoint, 1);
    ::setenv("AZURE_OPENAI_KEY", kKey, 1);
    summarization::_set_transport_factory([] {
      ++factory_calls;
      return std::static_pointer_cast<shared::net::Transport>(transport());
    });
  }
  void SetUp() override {
    transport()->clear();
    transport()->set_default({200, testing_support::chat_reply_body("fine")});
  }
  RecordedSleeps sleeps;
};

TEST_F(ChainTest, PromptTextsAreExact) {
  const auto& prompt = summarization::document_summarization_prompt();
  ASSERT_EQ(prompt.messages.size(), 2u);
  EXPECT_EQ(prompt.messages[0].role, "system");
  EXPECT_EQ(prompt.messages[1].role, "user");
  const std::string& system = prompt.messages[0].content;
  EXPECT_EQ(system, expected_system_text());
  EXPECT_EQ(shared::text::count_code_points(system), 1900u);
  EXPECT_NE(system.find("\n   - You MUST keep all Heading 1 (#) and Heading 2 (##) exactly as they appear.\n"),
            std::string::npos);
  EXPECT_NE(system.find("(2\u20135 bullet points"), std::string::npos);
  EXPECT_EQ(system.find("2-5"), std::string::npos);
  EXPECT_EQ(system.find("            "), std::string::npos);
  EXPECT_EQ(prompt.messages[1].content, "\nFull document content:\n{document_text}\n");
  EXPECT_EQ(shared::text::count_code_points(prompt.messages[1].content), 40u);
}

TEST_F(ChainTest, ClientIsMadeOnceWithItsFixedParameters) {
  const auto& llm = summarization::llm();
  EXPECT_EQ(&summarization::llm(), &llm);
  EXPECT_EQ(&summarization::doc_summarization_chain(), &summarization::doc_summarization_chain());
  EXPECT_EQ(factory_calls.load(), 1);
  EXPECT_EQ(llm.config().deployment, "gpt-5.2-chat");
  EXPECT_EQ(llm.config().api_version, "2024-05-01-preview");
  EXPECT_EQ(llm.config().max_retries, 2);
  EXPECT_EQ(llm.config().endpoint, kEndpoint);
  EXPECT_EQ(llm.config().api_key, kKey);
}

TEST_F(ChainTest, InvokeReturnsTheAssistantMessageUntrimmed) {
  transport()->set_default({200, testing_support::chat_reply_body("\n\n# T\n- p\n  ")});
  const std::string document = "# 1 Scope\nUses {document_text} and {x} literally.";
  LogCapture cap(shared::logsetup::Level::debug);
  const auto reply = summarization::doc_summarization_chain().invoke({{"document_text", document}});
  EXPECT_EQ(reply.content, "\n\n# T\n- p\n  ");
  EXPECT_EQ(reply.role, "assistant");
  EXPECT_TRUE(cap.lines().empty());

  const auto requests = transport()->requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].url,
            "https://chain.openai.azure.com/openai/deployments/gpt-5.2-chat/chat/completions"
            "?api-version=2024-05-01-preview");
  EXPECT_EQ(shared::net::header_value(requests[0].headers, "api-key"), kKey);
  const ordered_json body = ordered_json::parse(requests[0].body);
  EXPECT_EQ(body, (ordered_json{{"messages",
                                 {{{"role", "system"}, {"content", expected_system_text()}},
                                  {{"role", "user"}, {"content", "\nFull document content:\n" + document + "\n"}}}},
                                {"model", "gpt-5.2-chat"}}));
  EXPECT_TRUE(sleeps.waits().empty());
}

TEST_F(ChainTest, TheClientRetriesTwiceOnItsOwn) {
  const FakeReply ok{200, testing_support::chat_reply_body("done")};
  const FakeReply busy{503, testing_support::azure_error_body("503", "Service busy")};
  const FakeReply throttled{429, testing_support::azure_error_body("429", "Too many requests")};
  const FakeReply conflict{409, testing_support::azure_error_body("409", "Conflict")};
  const FakeReply timeout{408, testing_support::azure_error_body("408", "Request timeout")};
  const FakeReply refused{0, ""};  // no answer at all
  const FakeReply bad{400, testing_support::azure_error_body("BadRequest", "Invalid messages")};
  struct Case {
    std::string name;
    std::vector<FakeReply> script;
    std::size_t requests;
    std::vector<double> waits;
    std::string error;  // "" when the reply arrives
  };
  const std::vector<Case> cases = {
      {"two busy then ok", {busy, busy}, 3, {0.5, 1.0}, ""},
      {"refused then ok", {refused}, 2, {0.5}, ""},
      {"conflict and timeout then ok", {conflict, timeout}, 3, {0.5, 1.0}, ""},
      {"three throttled", {throttled, throttled, throttled}, 3, {0.5, 1.0},
       "Azure OpenAI chat completion failed (HTTP 429): Too many requests"},
      {"three refused", {refused, refused, refused}, 3, {0.5, 1.0}, "connection refused by the fake transport"},
      {"bad request is not retried", {bad}, 1, {}, "Azure OpenAI chat completion failed (HTTP 400): Invalid messages"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    transport()->clear();
    transport()->set_default(ok);
    for (const FakeReply& r : c.script) transport()->script(r);
    RecordedSleeps waits;
    LogCapture cap(shared::logsetup::Level::warning);
    try {
      const auto reply = summarization::doc_summarization_chain().invoke({{"document_text", "doc"}});
      EXPECT_EQ(c.error, "");
      EXPECT_EQ(reply.content, "done");
    } catch (const shared::Error& e) {
      EXPECT_EQ(std::string(e.what()), c.error);
    }
    EXPECT_EQ(transport()->requests().size(), c.requests);
    EXPECT_EQ(waits.waits(), c.waits);
    EXPECT_EQ(cap.lines().size(), c.waits.size());
  }
}

TEST_F(ChainTest, OnlyTheClientLogsItsRetry) {
  transport()->script({503, testing_support::azure_error_body("503", "Service busy")});
  LogCapture cap(shared::logsetup::Level::debug);
  std::ostringstream client_lines;
  auto handler = std::make_shared<shared::logsetup::StreamHandler>(client_lines);
  handler->set_formatter(std::make_shared<shared::logsetup::_JsonFormatter>());
  shared::logsetup::get_logger("shared.net.azure_openai").add_handler(handler);
  summarization::doc_summarization_chain().invoke({{"document_text", "doc"}});
  shared::logsetup::get_logger("shared.net.azure_openai").remove_handler(handler);
  const std::string line = R"({"message": "Azure OpenAI chat completion request failed (HTTP 503); retry 1/2 in 0.5s"})";
  EXPECT_EQ(cap.lines(), (std::vector<std::string>{line}));
  EXPECT_EQ(client_lines.str(), line + "\n");
}

TEST_F(ChainTest, MissingDocumentTextSendsNothing) {
  try {
    summarization::doc_summarization_chain().invoke({{"text", "doc"}});
    FAIL() << "no error";
  } catch (const shared::ValueError& e) {
    EXPECT_EQ(std::string(e.what()), "missing value for prompt placeholder '{document_text}'");
  }
  EXPECT_TRUE(transport()->requests().empty());
}

}  // namespace
