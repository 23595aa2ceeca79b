#include <gtest/gtest.h>

#include "processors/stage_fixture.hpp"
#include "shared/errors.hpp"
#include "shared/processors/stamper_stage.hpp"

namespace {

namespace st = shared::processors::stamper;
using shared::Record;
using testing_support::LogCapture;
using namespace stage_fixture;

// Metadata with quotes and non-ASCII, written as they are, and a line feed,
// written as a space so that the value stays on its line.
const Record METADATA = {{"document_name", "Cleaning \"Area\" \xE2\x86\x92 \xC3\x9Cnit\nline 2"},
                         {"document_number", "QD-000958"},
                         {"url_document_name", "https://veeva.example/doc?id=1&x=\"q\""}};
const std::string BLOCK =
    "<!-- METADATA_START -->\n## Metadata\n\n- **Document Name:** Cleaning \"Area\" \xE2\x86\x92 \xC3\x9Cnit line "
    "2\n- **Document Number:** QD-000958\n- **Veeva Link:** https://veeva.example/doc?id=1&x=\"q\"\n<!-- "
    "METADATA_END -->\n\n";

Record stamped_document(const Record& more = Record::object()) {
  Record doc = document(METADATA);
  for (auto it = more.begin(); it != more.end(); ++it) doc[it.key()] = it.value();
  return doc;
}

class StampingStageTest : public StageTest {
 protected:
  st::StampingStage stage;
};

TEST_F(StampingStageTest, StampsTheTextInTheContextAndOverwritesTheBlobWithoutReadingIt) {
  put("t-markdown/SOP-001.md", "what the blob held before", "text/plain");
  Record context = {{"batch_size", 1},
                    {"markdown_text", "# 1 Purpose\nText"},
                    {"markdown_blob_path", "t-markdown/SOP-001.md"},
                    {"md_filename", "SOP-001.md"}};
  LogCapture cap;

  const auto result = stage.run(stamped_document({{"blob_filename", "SOP-001.docx"}}), context);

  EXPECT_EQ(result.stage, "STAMPING");
  EXPECT_TRUE(result.success);
  EXPECT_EQ(result.error, std::nullopt);
  EXPECT_EQ(result.output_path, "t-markdown/SOP-001.md");
  EXPECT_EQ(get("t-markdown/SOP-001.md"), BLOCK + "# 1 Purpose\nText");
  EXPECT_EQ(content_type("t-markdown/SOP-001.md"), "text/markdown");
  EXPECT_EQ(blobs().size(), 1u);
  EXPECT_EQ(context.dump(), Record({{"batch_size", 1},
                                    {"markdown_text", BLOCK + "# 1 Purpose\nText"},
                                    {"markdown_blob_path", "t-markdown/SOP-001.md"},
                                    {"md_filename", "SOP-001.md"}})
                                .dump());
  const std::vector<std::string> expected = {
      started("stamp markdown", "STAMPING"),
      completed("stamp markdown", "STAMPING"),
      started("upload stamped markdown", "STAMPING"),
      upload_line("t-markdown/SOP-001.md", container, (BLOCK + "# 1 Purpose\nText").size()),
      completed("upload stamped markdown", "STAMPING"),
      stage_line("Stamped metadata on 't-markdown/SOP-001.md'", "STAMPING"),
  };
  EXPECT_EQ(lines(cap), expected);
}

TEST_F(StampingStageTest, ReadsTheBlobWhenTheContextHasNoText) {
  struct Case {
    const char* name;
    Record doc;
    Record context;
    std::string path, before, after;
  };
  const std::vector<Case> cases = {
      {"no keys: the path comes from blob_filename cut at its last dot",
       stamped_document({{"blob_filename", "Plan.final.docx"}}), Record::object(), "t-markdown/Plan.final.md",
       "# 1 Purpose\n", BLOCK + "# 1 Purpose\n"},
      {"no keys: a folder in blob_filename stays in the path", stamped_document({{"blob_filename", "a/SOP-001.docx"}}),
       Record::object(), "t-markdown/a/SOP-001.md", "Body", BLOCK + "Body"},
      {"empty text and a path: the blob at that path",
       stamped_document({{"blob_filename", "ignored.docx"}}),
       {{"markdown_text", ""}, {"markdown_blob_path", "custom/x.md"}},
       "custom/x.md",
       "\xEF\xBB\xBFKept byte-order mark",
       BLOCK + "\xEF\xBB\xBFKept byte-order mark"},
      {"a stamped blob gets its block replaced, text before it kept",
       stamped_document({{"blob_filename", "SOP-002.docx"}}),
       Record::object(),
       "t-markdown/SOP-002.md",
       "Preface\n<!-- METADATA_START -->\n## Metadata\nold\n<!-- METADATA_END -->\n\n\n \t# 1 Purpose\n",
       "Preface\n" + BLOCK + "# 1 Purpose\n"},
      {"absent and empty values are N/A, numbers their digits",
       document({{"blob_filename", "SOP-003.docx"}, {"document_number", 958}, {"url_document_name", ""}}),
       Record::object(),
       "t-markdown/SOP-003.md",
       "x",
       "<!-- METADATA_START -->\n## Metadata\n\n- **Document Name:** N/A\n- **Document Number:** 958\n- **Veeva "
       "Link:** N/A\n<!-- METADATA_END -->\n\nx"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    put(c.path, c.before);
    Record context = c.context;
    LogCapture cap;
    const auto result = stage.run(c.doc, context);
    EXPECT_TRUE(result.success);
    EXPECT_EQ(result.output_path, c.path);
    EXPECT_EQ(get(c.path), c.after);
    EXPECT_EQ(content_type(c.path), "text/markdown");
    Record expected = c.context;
    expected["markdown_text"] = c.after;
    expected["markdown_blob_path"] = c.path;
    EXPECT_EQ(context.dump(), expected.dump());
    EXPECT_EQ(cap.matching("download_blob('" + c.path + "'").size(), 1u);
  }
}

TEST_F(StampingStageTest, TextWithoutAPathIsRefusedBeforeAnythingIsWritten) {
  put("t-markdown/SOP-001.md", "unchanged");
  for (const Record& context_before :
       {Record{{"markdown_text", "# 1 Purpose"}}, Record{{"markdown_text", "# 1 Purpose"}, {"markdown_blob_path", ""}},
        Record{{"markdown_text", "# 1 Purpose"}, {"markdown_blob_path", nullptr}}}) {
    SCOPED_TRACE(context_before.dump());
    Record context = context_before;
    LogCapture cap;
    try {
      stage.run(stamped_document({{"blob_filename", "SOP-001.docx"}}), context);
      ADD_FAILURE() << "no error";
    } catch (const shared::ValueError& e) {
      EXPECT_EQ(std::string(e.what()),
                "context holds 'markdown_text' but no 'markdown_blob_path': there is no Markdown blob to write the "
                "stamped text to");
    }
    EXPECT_EQ(context.dump(), context_before.dump());
    EXPECT_EQ(blobs(), (std::map<std::string, std::string>{{"t-markdown/SOP-001.md", "unchanged"}}));
    EXPECT_TRUE(cap.lines().empty());
  }
}

TEST_F(StampingStageTest, FailuresLeaveTheContextAndTheBlobAsTheyWere) {
  const std::vector<FailureCase> cases = {
      {"downloaded Markdown that is not UTF-8",
       "# Caf\xE9 au lait",
       {{"batch_size", 1}},
       false,
       "~Blob 't-markdown/SOP-001.md' is not valid UTF-8 text: invalid byte 0xe9 at offset 5",
       {}},
      {"missing blob", "-", {{"markdown_text", ""}}, false, "~BlobNotFound", {}},
      {"refused upload",
       "# 1 Purpose",
       {{"markdown_blob_path", "t-markdown/SOP-001.md"}},
       true,
       "~InternalError",
       {started("stamp markdown", "STAMPING"), completed("stamp markdown", "STAMPING"),
        started("upload stamped markdown", "STAMPING"), completed("upload stamped markdown", "STAMPING")}},
  };
  for (const FailureCase& c : cases) {
    expect_failure(
        "t-markdown/SOP-001.md", c,
        [&](Record& context) { stage.run(stamped_document({{"blob_filename", "SOP-001.docx"}}), context); },
        [](const LogCapture& cap) { EXPECT_TRUE(cap.matching("Stamped metadata").empty()); });
  }
}

}  // namespace
