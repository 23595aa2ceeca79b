#include <gtest/gtest.h>

#include "processors/stage_fixture.hpp"
#include "shared/errors.hpp"
#include "shared/processors/sectioner_stage.hpp"
#include "shared/text/json_load.hpp"

namespace {

namespace se = shared::processors::sectioner;
using shared::Record;
using testing_support::LogCapture;
using namespace stage_fixture;

const std::string STAMPED =
    "<!-- METADATA_START -->\n## Metadata\n\n- **Document Name:** Cleaning\n- **Document Number:** QD-000958\n- "
    "**Veeva Link:** https://veeva.example/d/958\n<!-- METADATA_END -->\n\n"
    "# 1 Purpose\nText with \"quotes\", a back\\slash and a\ttab.\n## 1.1 Scope\n\xC3\x9C" "ber \xE2\x86\x92 alles\n"
    "# 2 Roles\nQA\x01 done\r\n";

// The file written for STAMPED, byte for byte.
const std::string STAMPED_SECTIONS =
    "{\n"
    "  \"qd\": \"QD-000958\",\n"
    "  \"document\": \"SOP-001\",\n"
    "  \"link\": \"https://veeva.example/d/958\",\n"
    "  \"sections\": {\n"
    "    \"SOP-001::Metadata\": \"## Metadata\\n\\n- **Document Name:** Cleaning\\n- **Document Number:** "
    "QD-000958\\n- **Veeva Link:** https://veeva.example/d/958\\n<!-- METADATA_END -->\",\n"
    "    \"SOP-001::1 Purpose\": \"# 1 Purpose\\nText with \\\"quotes\\\", a back\\\\slash and a\\ttab.\\n\\n## 1.1 "
    "Scope\\n\xC3\x9C" "ber \xE2\x86\x92 alles\",\n"
    "    \"SOP-001::1.1 Scope\": \"## 1.1 Scope\\n\xC3\x9C" "ber \xE2\x86\x92 alles\",\n"
    "    \"SOP-001::2 Roles\": \"# 2 Roles\\nQA\\u0001 done\"\n"
    "  }\n"
    "}";

const Record SOP_001 = document({{"blob_filename", "SOP-001.docx"},
                                 {"document_number", "QD-000958"},
                                 {"url_document_name", "https://veeva.example/d/958"}});

class SectioningStageTest : public StageTest {
 protected:
  se::SectioningStage stage;
};

TEST_F(SectioningStageTest, SectionsTheContextTextAndStoresTheDocument) {
  put("t-markdown/SOP-001.md", "never read");
  Record context = {{"batch_size", 1},
                    {"markdown_text", STAMPED},
                    {"markdown_blob_path", "t-markdown/SOP-001.md"},
                    {"md_filename", "SOP-001.md"}};
  const Record before = context;
  LogCapture cap;

  const auto result = stage.run(SOP_001, context);

  EXPECT_EQ(result.stage, "SECTIONING");
  EXPECT_TRUE(result.success);
  EXPECT_EQ(result.error, std::nullopt);
  EXPECT_EQ(result.output_path, "t-json/SOP-001.sections.json");
  EXPECT_EQ(get("t-json/SOP-001.sections.json"), STAMPED_SECTIONS);
  EXPECT_EQ(content_type("t-json/SOP-001.sections.json"), "application/json");
  EXPECT_EQ(blobs().size(), 2u);

  Record expected = before;
  expected["sections_json"] = shared::text::loads(STAMPED_SECTIONS);
  expected["sections_blob_path"] = "t-json/SOP-001.sections.json";
  EXPECT_EQ(context.dump(), expected.dump());
  EXPECT_TRUE(context["sections_json"].is_object());

  const std::vector<std::string> lines_expected = {
      started("markdown sectioning", "SECTIONING"),
      completed("markdown sectioning", "SECTIONING"),
      started("json upload", "SECTIONING"),
      upload_line("t-json/SOP-001.sections.json", container, STAMPED_SECTIONS.size()),
      completed("json upload", "SECTIONING"),
      stage_line("Sectioned into 4 section(s) \\u2192 t-json/SOP-001.sections.json", "SECTIONING",
                 ", \"output_path\": \"t-json/SOP-001.sections.json\""),
  };
  EXPECT_EQ(lines(cap), lines_expected);
}

TEST_F(SectioningStageTest, FallbacksNamesAndCounts) {
  struct Case {
    const char* name;
    Record doc;
    Record context;
    std::string source, markdown;  // the Markdown blob put before the run
    std::string json_path, json;
    std::size_t count;
  };
  const std::vector<Case> cases = {
      {"empty text and a path: the blob at that path", SOP_001,
       {{"markdown_text", ""}, {"markdown_blob_path", "custom/in.md"}}, "custom/in.md", STAMPED,
       "t-json/SOP-001.sections.json", STAMPED_SECTIONS, 4},
      {"neither: the path from the document name", document({{"blob_filename", "a.b.docx"}}), Record::object(),
       "t-markdown/a.b.md", "# T\nx",
       "t-json/a.b.sections.json",
       "{\n  \"qd\": null,\n  \"document\": \"a.b\",\n  \"link\": \"\",\n  \"sections\": {\n    \"a.b::T\": \"# "
       "T\\nx\"\n  }\n}",
       1},
      {"no blob_filename: \".md\", \".sections.json\" and keys starting with \"::\"",
       document({{"document_number", 958}}), {{"markdown_blob_path", ""}}, "t-markdown/.md", "# T\n## T\n# U",
       "t-json/.sections.json",
       "{\n  \"qd\": 958,\n  \"document\": \"\",\n  \"link\": \"\",\n  \"sections\": {\n    \"::T\": \"## T\",\n    "
       "\"::U\": \"# U\"\n  }\n}",
       2},
      {"no headings: an empty map", document({{"blob_filename", "SOP-004.docx"}}), Record::object(),
       "t-markdown/SOP-004.md", "Just text\n#Title\n######### Nine", "t-json/SOP-004.sections.json",
       "{\n  \"qd\": null,\n  \"document\": \"SOP-004\",\n  \"link\": \"\",\n  \"sections\": {}\n}", 0},
      {"an empty blob: an empty map", document({{"blob_filename", "SOP-005.docx"}}), Record::object(),
       "t-markdown/SOP-005.md", "", "t-json/SOP-005.sections.json",
       "{\n  \"qd\": null,\n  \"document\": \"SOP-005\",\n  \"link\": \"\",\n  \"sections\": {}\n}", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    put(c.source, c.markdown);
    Record context = c.context;
    LogCapture cap;
    const auto result = stage.run(c.doc, context);
    EXPECT_TRUE(result.success);
    EXPECT_EQ(result.output_path, c.json_path);
    EXPECT_EQ(get(c.json_path), c.json);
    EXPECT_EQ(content_type(c.json_path), "application/json");
    Record expected = c.context;
    expected["sections_json"] = shared::text::loads(c.json);
    expected["sections_blob_path"] = c.json_path;
    EXPECT_EQ(context.dump(), expected.dump());
    EXPECT_EQ(cap.matching("download_blob('" + c.source + "'").size(), 1u);
    EXPECT_EQ(stage_lines(cap).back(),
              stage_line("Sectioned into " + std::to_string(c.count) + " section(s) \\u2192 " + c.json_path,
                         "SECTIONING", ", \"output_path\": \"" + c.json_path + "\""));
  }
}

TEST_F(SectioningStageTest, FailuresLeaveTheContextUntouchedAndWriteNoJson) {
  const std::vector<FailureCase> cases = {
      {"downloaded Markdown that is not UTF-8",
       "# 1 Zweck\n\xC3\x28",
       {{"batch_size", 1}},
       false,
       "~Blob 't-markdown/SOP-001.md' is not valid UTF-8 text: invalid byte 0xc3 at offset 10",
       {}},
      {"missing Markdown blob", "-", {{"markdown_text", ""}}, false, "~BlobNotFound", {}},
      {"refused upload",
       "-",
       {{"markdown_text", STAMPED}, {"markdown_blob_path", "t-markdown/SOP-001.md"}},
       true,
       "~InternalError",
       {started("markdown sectioning", "SECTIONING"), completed("markdown sectioning", "SECTIONING"),
        started("json upload", "SECTIONING"), completed("json upload", "SECTIONING")}},
  };
  for (const FailureCase& c : cases) {
    expect_failure("t-markdown/SOP-001.md", c, [&](Record& context) { stage.run(SOP_001, context); },
                   [&](const LogCapture&) { EXPECT_TRUE(blobs_in(JSON).empty()); });
  }
}

}  // namespace
