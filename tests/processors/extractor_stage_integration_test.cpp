#include <gtest/gtest.h>

#include <set>

#include "processors/docx_fixture.hpp"
#include "processors/stage_fixture.hpp"
#include "shared/errors.hpp"
#include "shared/processors/extractor_stage.hpp"
#include "shared/text/pyjson.hpp"

namespace {

namespace ex = shared::processors::extractor;
using shared::Record;
using testing_support::LogCapture;
using namespace stage_fixture;

const std::string SOP_DOCX = docx_fixture::docx(
    docx_fixture::h1("Purpose") + docx_fixture::p("R\xC3\xA9sum\xC3\xA9 \xE2\x86\x92 ok") + docx_fixture::h2("Scope") +
    docx_fixture::tbl(docx_fixture::tr(docx_fixture::tc("Name") + docx_fixture::tc("Value")) +
                      docx_fixture::tr(docx_fixture::tc("a") + docx_fixture::tc_paragraphs({"b", "c"}))) +
    docx_fixture::p("End"));
// 85 code points in 89 bytes.
const std::string SOP_MARKDOWN =
    "# 1 Purpose\nR\xC3\xA9sum\xC3\xA9 \xE2\x86\x92 ok\n## 1.1 Scope\n\n| Name | Value |\n| --- | --- |\n| a | b c "
    "|\n\nEnd";

const std::string OTHER_DOCX = docx_fixture::docx(docx_fixture::p("Other document"));

// The report of a conversion that left nothing out.
const Record NO_LOSS = shared::processors::conversion_loss::to_record({});

class ExtractionStageTest : public StageTest {
 protected:
  ex::ExtractionStage stage;
};

TEST_F(ExtractionStageTest, ConvertsTheSourceUploadsTheMarkdownAndFillsTheContext) {
  put("t-docs/SOP-001.docx", SOP_DOCX);
  const Record doc = document({{"blob_filename", "SOP-001.docx"}});
  Record context = {{"batch_size", 1}};
  LogCapture cap;

  const auto result = stage.run(doc, context);

  EXPECT_EQ(result.stage, "EXTRACTION");
  EXPECT_TRUE(result.success);
  EXPECT_EQ(result.error, std::nullopt);
  EXPECT_EQ(result.output_path, "t-markdown/SOP-001.md");
  EXPECT_EQ(result.data, std::nullopt);
  EXPECT_EQ(get("t-markdown/SOP-001.md"), SOP_MARKDOWN);
  EXPECT_EQ(content_type("t-markdown/SOP-001.md"), "text/markdown");
  EXPECT_EQ(blobs().size(), 2u);
  EXPECT_EQ(context.dump(), Record({{"batch_size", 1},
                                    {"markdown_text", SOP_MARKDOWN},
                                    {"markdown_blob_path", "t-markdown/SOP-001.md"},
                                    {"md_filename", "SOP-001.md"},
                                    {"loss_report", NO_LOSS}})
                                .dump());

  const std::vector<std::string> expected = {
      started("blob download", "EXTRACTION"),
      download_line("t-docs/SOP-001.docx", container, SOP_DOCX.size()),
      completed("blob download", "EXTRACTION"),
      started("docx \\u2192 markdown", "EXTRACTION"),
      completed("docx \\u2192 markdown", "EXTRACTION"),
      started("markdown upload", "EXTRACTION"),
      upload_line("t-markdown/SOP-001.md", container, 89),
      completed("markdown upload", "EXTRACTION"),
      stage_line("Extracted 85 chars \\u2192 t-markdown/SOP-001.md", "EXTRACTION",
                 ", \"output_path\": \"t-markdown/SOP-001.md\""),
      stage_line("Conversion left nothing out", "EXTRACTION",
                 ", \"loss_report\": " + shared::text::dumps_compact_ascii(NO_LOSS)),
  };
  EXPECT_EQ(lines(cap), expected);
}

TEST_F(ExtractionStageTest, WhatTheConversionLeftOutIsInTheContextAndTheLog) {
  using namespace docx_fixture;
  put("t-docs/SOP-009.docx", docx(h1("Purpose") + p("Deeper", "Heading3") + p("") +
                                  "<w:p><w:r><w:footnoteReference w:id=\"1\"/></w:r></w:p>"));
  Record context = {{"batch_size", 1}};
  LogCapture cap;
  ASSERT_TRUE(stage.run(document({{"blob_filename", "SOP-009.docx"}}), context).success);
  Record report = NO_LOSS;
  report["footnotes"] = 1;
  report["deep_headings"] = 1;
  report["empty_paragraphs"] = 2;
  EXPECT_EQ(context.at("loss_report").dump(), report.dump());
  EXPECT_EQ(stage_lines(cap).back(),
            stage_line("Conversion left out: footnotes=1 deep_headings=1 empty_paragraphs=2", "EXTRACTION",
                       ", \"loss_report\": " + shared::text::dumps_compact_ascii(report)));
}

TEST_F(ExtractionStageTest, SourcePathMarkdownNameAndGivenText) {
  struct Case {
    const char* name;
    Record doc;
    Record context;
    std::string md_path, md_filename, markdown;
  };
  put("t-docs/folder/Name.docx", SOP_DOCX);
  put("t-docs/Plan.final.docx", OTHER_DOCX);
  put("t-docs/SOP-002.docx", SOP_DOCX);
  put("elsewhere/other.docx", OTHER_DOCX);
  const std::vector<Case> cases = {
      {"a folder in blob_filename is part of the source path but not of the Markdown name",
       document({{"blob_filename", "folder/Name.docx"}}), Record::object(), "t-markdown/Name.md", "Name.md",
       SOP_MARKDOWN},
      {"only the last suffix goes", document({{"blob_filename", "Plan.final.docx"}}), Record::object(),
       "t-markdown/Plan.final.md", "Plan.final.md", "Other document"},
      {"empty markdown_text is no text: the document is converted",
       document({{"blob_filename", "SOP-002.docx"}}), {{"markdown_text", ""}}, "t-markdown/SOP-002.md",
       "SOP-002.md", SOP_MARKDOWN},
      {"source_blob_path wins over the document's own path",
       document({{"blob_filename", "SOP-002.docx"}}), {{"source_blob_path", "elsewhere/other.docx"}},
       "t-markdown/SOP-002.md", "SOP-002.md", "Other document"},
      {"given text is uploaded as it is, without any download",
       document({{"blob_filename", "nowhere/SOP-003.docx"}}),
       {{"markdown_text", "# Given \xE2\x86\x92 text\r\n"}, {"source_blob_path", "missing/none.docx"}},
       "t-markdown/SOP-003.md", "SOP-003.md", "# Given \xE2\x86\x92 text\r\n"},
      {"without blob_filename the Markdown is \".md\"", document(), {{"markdown_text", "x"}}, "t-markdown/.md", ".md",
       "x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Record context = c.context;
    LogCapture cap;
    const auto result = stage.run(c.doc, context);
    EXPECT_TRUE(result.success);
    EXPECT_EQ(result.output_path, c.md_path);
    EXPECT_EQ(get(c.md_path), c.markdown);
    EXPECT_EQ(content_type(c.md_path), "text/markdown");
    Record expected = c.context;
    expected["markdown_text"] = c.markdown;
    expected["markdown_blob_path"] = c.md_path;
    expected["md_filename"] = c.md_filename;
    // Only a conversion makes a loss report; text given is not converted.
    const bool converted = !c.context.contains("markdown_text") || c.context["markdown_text"] == "";
    if (converted) expected["loss_report"] = NO_LOSS;
    EXPECT_EQ(context.dump(), expected.dump());
    // A download happens exactly when no text was given.
    EXPECT_EQ(cap.matching("download_blob(").size(), c.context.contains("markdown_text") &&
                                                         !c.context["markdown_text"].get<std::string>().empty()
                                                     ? 0u
                                                     : 1u);
  }
  // Two cases write SOP-002.md; nothing else lands in the folder.
  std::set<std::string> written;
  for (const Case& c : cases) written.insert(c.md_path);
  std::set<std::string> present;
  for (const auto& [name, bytes] : blobs_in(MARKDOWN)) present.insert(name);
  EXPECT_EQ(present, written);
}

TEST_F(ExtractionStageTest, LogCountsCodePointsNotBytes) {
  // Ten characters, one of them the three-byte arrow.
  Record context = {{"markdown_text", "abc \xE2\x86\x92 defg"}};
  LogCapture cap;
  stage.run(document({{"blob_filename", "SOP-001.docx"}}), context);
  EXPECT_EQ(stage_lines(cap).back(), stage_line("Extracted 10 chars \\u2192 t-markdown/SOP-001.md", "EXTRACTION",
                                                ", \"output_path\": \"t-markdown/SOP-001.md\""));
}

TEST_F(ExtractionStageTest, EmptySourceIsAFailedResultAndWritesNothing) {
  put("t-docs/SOP-001.docx", "");
  const Record context_before = {{"batch_size", 1}, {"markdown_text", ""}};
  Record context = context_before;
  LogCapture cap;

  const auto result = stage.run(document({{"blob_filename", "SOP-001.docx"}}), context);

  EXPECT_EQ(result.stage, "EXTRACTION");
  EXPECT_FALSE(result.success);
  EXPECT_EQ(result.error, "Downloaded blob 't-docs/SOP-001.docx' is empty.");
  EXPECT_EQ(result.output_path, std::nullopt);
  EXPECT_EQ(context.dump(), context_before.dump());
  EXPECT_TRUE(blobs_in(MARKDOWN).empty());
  EXPECT_EQ(lines(cap), (std::vector<std::string>{started("blob download", "EXTRACTION"),
                                                  download_line("t-docs/SOP-001.docx", container, 0),
                                                  completed("blob download", "EXTRACTION")}));

  // The path in the message is the one used, also when it came from the context.
  put("spare/empty.docx", "");
  context = {{"source_blob_path", "spare/empty.docx"}};
  EXPECT_EQ(stage.run(document({{"blob_filename", "SOP-001.docx"}}), context).error,
            "Downloaded blob 'spare/empty.docx' is empty.");
}

TEST_F(ExtractionStageTest, ErrorsPropagateWithTheContextUntouchedAndNothingUploaded) {
  const std::vector<std::string> download = {started("blob download", "EXTRACTION"),
                                             completed("blob download", "EXTRACTION")};
  std::vector<std::string> convert = download;
  convert.push_back(started("docx \\u2192 markdown", "EXTRACTION"));
  convert.push_back(completed("docx \\u2192 markdown", "EXTRACTION"));
  std::vector<std::string> upload = convert;
  upload.push_back(started("markdown upload", "EXTRACTION"));
  upload.push_back(completed("markdown upload", "EXTRACTION"));

  const std::vector<FailureCase> cases = {
      {"missing source blob", "-", {{"batch_size", 1}}, false, "~BlobNotFound", download},
      {"an empty source_blob_path is used, not replaced",
       SOP_DOCX,
       {{"source_blob_path", ""}},
       false,
       "~Please specify a container name and blob name.",
       download},
      {"not a Word document", "just text", {{"markdown_text", ""}}, false, "~not a Word document", convert},
      {"refused upload", SOP_DOCX, {{"batch_size", 1}}, true, "~InternalError", upload},
  };
  for (const FailureCase& c : cases) {
    expect_failure(
        "t-docs/SOP-001.docx", c,
        [&](Record& context) { stage.run(document({{"blob_filename", "SOP-001.docx"}}), context); },
        [&](const LogCapture&) { EXPECT_TRUE(blobs_in(MARKDOWN).empty()); });
  }
  EXPECT_EQ(transport->refused, 3);
}

TEST_F(ExtractionStageTest, LegacyFunctionsReadTextAndTables) {
  const std::string other = container + "-b";
  account.get_container_client(other).create();
  struct DropOther {
    const shared::connectors::BlobServiceClient& a;
    const std::string& c;
    ~DropOther() {
      try {
        a.get_container_client(c).delete_container();
      } catch (const std::exception&) {
      }
    }
  } drop{account, other};

  put("t-docs/SOP-001.docx", SOP_DOCX);
  account.get_blob_client(other, "t-docs/SOP-001.docx").upload(OTHER_DOCX);
  put("t-docs/empty.docx", "");

  EXPECT_EQ(ex::extract_text_from_blob("SOP-001.docx"), "Purpose\nR\xC3\xA9sum\xC3\xA9 \xE2\x86\x92 ok\nScope\nEnd");
  EXPECT_EQ(ex::extract_tables_from_blob("SOP-001.docx"),
            (std::vector<ex::TableCells>{{{"Name", "Value"}, {"a", "b\nc"}}}));
  EXPECT_EQ(ex::extract_text_from_blob("SOP-001.docx", other), "Other document");
  EXPECT_EQ(ex::extract_tables_from_blob("SOP-001.docx", other), std::vector<ex::TableCells>{});
  EXPECT_EQ(ex::extract_text_from_blob("/SOP-001.docx", ""), ex::extract_text_from_blob("SOP-001.docx"));

  for (auto* fn : {+[](const std::string& f) { ex::extract_text_from_blob(f); },
                   +[](const std::string& f) { ex::extract_tables_from_blob(f); }}) {
    try {
      fn("empty.docx");
      ADD_FAILURE() << "no error";
    } catch (const shared::ValueError& e) {
      EXPECT_EQ(std::string(e.what()), "Downloaded blob 't-docs/empty.docx' is empty.");
    }
    try {
      fn("missing.docx");
      ADD_FAILURE() << "no error";
    } catch (const shared::ServiceError& e) {
      EXPECT_EQ(e.status, 404);
    }
  }
  EXPECT_TRUE(blobs_in(MARKDOWN).empty());
}

}  // namespace
