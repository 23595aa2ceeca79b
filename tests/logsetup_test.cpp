#include "shared/logsetup.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/testing.hpp"

using namespace shared::logsetup;
using testing_support::LogCapture;

TEST(JsonFormatter, LineBytesForContextAndEscapes) {
  LogCapture cap(Level::info);
  PipelineLogger plain("test.plain");
  plain.info("text");

  PipelineLogger staged("test.staged");
  staged.set_stage("EXTRACTION");
  staged.set_document("", std::nullopt);
  staged.info("x", {{"output_path", "a/b.md"}});

  PipelineLogger full("test.full", "doc-1");
  full.set_stage("SECTIONING").set_document("42", "SOP-1.docx");
  full.info("Uploaded 3 sections \u2192 'f/x.json'", {{"count", 3}, {"stage", "OVERRIDE"}});
  full.warning("quote \" and\nline \\ tab\t\x01 \xF0\x9F\x98\x80 ok", {{"ratio", 12.0}, {"flag", true}, {"none", nullptr}});

  get_logger("shared.connectors.blobhub").error("plain module line");
  get_logger("shared.connectors.blobhub").debug("hidden below info");
  full.debug("hidden too");

  const std::vector<std::string> expected = {
      R"({"message": "text"})",
      R"({"message": "x", "stage": "EXTRACTION", "output_path": "a/b.md"})",
      R"({"message": "Uploaded 3 sections \u2192 'f/x.json'", "stage": "OVERRIDE", "document_id": "42", "document_name": "SOP-1.docx", "count": 3})",
      R"({"message": "quote \" and\nline \\ tab\t\u0001 \ud83d\ude00 ok", "stage": "SECTIONING", "document_id": "42", "document_name": "SOP-1.docx", "ratio": 12.0, "flag": true, "none": null})",
      R"({"message": "plain module line"})",
  };
  EXPECT_EQ(cap.lines(), expected);
}

TEST(JsonFormatter, StructuredMessageKeepsFirstPosition) {
  _JsonFormatter f;
  shared::Record structured = {{"a", 1}, {"message", "replaced"}};
  LogRecord rec{Level::info, "n", "orig", &structured};
  EXPECT_EQ(f.format(rec), R"({"message": "replaced", "a": 1})");
}

TEST(PipelineLoggerTimed, CompletionLineWithRoundedDuration) {
  EXPECT_DOUBLE_EQ(round1(2.34), 2.3);
  EXPECT_DOUBLE_EQ(round1(2.36), 2.4);
  EXPECT_DOUBLE_EQ(round1(0.0), 0.0);

  LogCapture cap(Level::debug);
  PipelineLogger log("test.timed");
  log.set_stage("ENRICHMENT");
  { auto t = log.timed("json upload"); }
  auto lines = cap.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], R"({"message": "[json upload] started", "stage": "ENRICHMENT"})");
  EXPECT_EQ(lines[1].rfind(R"({"message": "[json upload] completed", "stage": "ENRICHMENT", "duration_ms": )", 0), 0u)
      << lines[1];

  // A block that throws still gets its completion line, then the exception goes on.
  cap.clear();
  EXPECT_THROW(
      {
        auto t = log.timed("failing");
        throw std::runtime_error("boom");
      },
      std::runtime_error);
  lines = cap.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[1].find("[failing] completed"), std::string::npos);
}

TEST(ConfigureRootLogger, TwiceKeepsOneHandlerAndSetsLevel) {
  LogCapture guard(Level::info);  // restores the root logger afterwards
  for (const auto& h : root_logger().handlers()) root_logger().remove_handler(h);
  configure_root_logger();
  setup_logging();
  EXPECT_EQ(root_logger().handlers().size(), 1u);
  EXPECT_EQ(root_logger().effective_level(), Level::info);
  EXPECT_FALSE(get_logger("x.y").is_enabled_for(Level::debug));
  configure_root_logger(Level::warning);
  EXPECT_EQ(root_logger().handlers().size(), 1u);
  EXPECT_FALSE(get_logger("x.y").is_enabled_for(Level::info));

  // A handler attached by the host beforehand means no JSON handler is added.
  for (const auto& h : root_logger().handlers()) root_logger().remove_handler(h);
  std::ostringstream host;
  auto mine = std::make_shared<StreamHandler>(host);
  root_logger().add_handler(mine);
  configure_root_logger(Level::debug);
  ASSERT_EQ(root_logger().handlers().size(), 1u);
  EXPECT_EQ(root_logger().handlers()[0], mine);
  root_logger().remove_handler(mine);
}

TEST(StreamHandler, WholeLinesFromManyThreads) {
  LogCapture cap(Level::info);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      PipelineLogger log("test.threads");
      for (int i = 0; i < 200; ++i) log.info(std::string(50, static_cast<char>('a' + t)), {{"i", i}});
    });
  }
  for (auto& th : threads) th.join();
  const auto lines = cap.lines();
  ASSERT_EQ(lines.size(), 800u);
  for (const auto& l : lines) {
    ASSERT_EQ(l.front(), '{');
    ASSERT_EQ(l.back(), '}');
  }
}

TEST(ParseLevel, NamesAndUnknown) {
  EXPECT_EQ(parse_level("INFO"), Level::info);
  EXPECT_EQ(parse_level("debug"), Level::debug);
  EXPECT_EQ(parse_level("critical"), Level::critical);
  EXPECT_FALSE(parse_level("verbose").has_value());
}
