#include <gtest/gtest.h>

#include "processors/stage_fixture.hpp"
#include "shared/errors.hpp"
#include "shared/processors/enricher_stage.hpp"
#include "shared/text/json_load.hpp"

namespace {

namespace en = shared::processors::enricher;
using shared::Record;
using testing_support::LogCapture;
using namespace stage_fixture;

const std::string SECTIONS =
    "{\n"
    "  \"qd\": \"QD-000958\",\n"
    "  \"document\": \"SOP-001\",\n"
    "  \"link\": \"https://veeva.example/d/958\",\n"
    "  \"sections\": {\n"
    "    \"SOP-001::Metadata\": \"## Metadata\",\n"
    "    \"SOP-001::1 Purpose\": \"t1\",\n"
    "    \"SOP-001::1.1 Scope\": \"t2 \xE2\x86\x92 \\\"\xC3\xBC\\\"\\t\",\n"
    "    \"SOP-001::2 Roles\": \"t3\",\n"
    "    \"SOP-001::2.3 QA\": \"t4\",\n"
    "    \"SOP-001::3.1 Orphan\": \"t5\"\n"
    "  }\n"
    "}";

const std::string ENRICHED_TEXT =
    "{\n"
    "  \"qd-number\": \"QD-000958\",\n"
    "  \"doc_name\": \"SOP-001\",\n"
    "  \"link\": \"https://veeva.example/d/958\",\n"
    "  \"enriched\": {\n"
    "    \"SOP-001::Metadata\": \"In document SOP-001.\\n\\n## Metadata\",\n"
    "    \"SOP-001::1 Purpose\": \"In document SOP-001.\\n\\nt1\",\n"
    "    \"SOP-001::1.1 Scope\": \"In document SOP-001, under 1 Purpose.\\n\\nt2 \xE2\x86\x92 \\\"\xC3\xBC\\\"\\t\",\n"
    "    \"SOP-001::2 Roles\": \"In document SOP-001.\\n\\nt3\",\n"
    "    \"SOP-001::2.3 QA\": \"In document SOP-001, under 2 Roles.\\n\\nt4\",\n"
    "    \"SOP-001::3.1 Orphan\": \"In document SOP-001, under .\\n\\nt5\"\n"
    "  }\n"
    "}";

const std::string EMPTY_ENRICHED =
    "{\n  \"qd-number\": null,\n  \"doc_name\": \"D\",\n  \"link\": \"\",\n  \"enriched\": {}\n}";

class EnrichmentStageTest : public StageTest {
 protected:
  en::EnrichmentStage stage;
};

TEST_F(EnrichmentStageTest, EnrichesTheContextDocumentAndStoresIt) {
  put("t-json/SOP-001.sections.json", "never read");
  Record context = {{"batch_size", 1},
                    {"sections_json", shared::text::loads(SECTIONS)},
                    {"sections_blob_path", "t-json/SOP-001.sections.json"}};
  const Record before = context;
  LogCapture cap;

  const auto result = stage.run(document({{"blob_filename", "SOP-001.docx"}}), context);

  EXPECT_EQ(result.stage, "ENRICHMENT");
  EXPECT_TRUE(result.success);
  EXPECT_EQ(result.error, std::nullopt);
  EXPECT_EQ(result.output_path, "t-enriched/SOP-001.enriched.json");
  EXPECT_EQ(get("t-enriched/SOP-001.enriched.json"), ENRICHED_TEXT);
  EXPECT_EQ(content_type("t-enriched/SOP-001.enriched.json"), "application/json");
  EXPECT_EQ(blobs().size(), 2u);

  Record expected = before;
  expected["enriched_json"] = shared::text::loads(ENRICHED_TEXT);
  expected["enriched_blob_path"] = "t-enriched/SOP-001.enriched.json";
  EXPECT_EQ(context.dump(), expected.dump());

  const std::vector<std::string> lines_expected = {
      started("enrich sections", "ENRICHMENT"),
      completed("enrich sections", "ENRICHMENT"),
      started("enriched json upload", "ENRICHMENT"),
      upload_line("t-enriched/SOP-001.enriched.json", container, ENRICHED_TEXT.size()),
      completed("enriched json upload", "ENRICHMENT"),
      stage_line("Enriched 6 section(s) \\u2192 t-enriched/SOP-001.enriched.json", "ENRICHMENT",
                 ", \"output_path\": \"t-enriched/SOP-001.enriched.json\""),
  };
  EXPECT_EQ(lines(cap), lines_expected);
}

TEST_F(EnrichmentStageTest, FallbacksNamesAndCounts) {
  struct Case {
    const char* name;
    Record doc;
    Record context;
    std::string source, sections;  // the sections blob put before the run
    std::string path, enriched;
    std::size_t count;
  };
  const std::vector<Case> cases = {
      {"a path in the context: the blob at that path; the output named after blob_filename, not \"document\"",
       document({{"blob_filename", "Other.docx"}}), {{"sections_blob_path", "custom/s.json"}}, "custom/s.json",
       SECTIONS, "t-enriched/Other.enriched.json", ENRICHED_TEXT, 6},
      {"an empty sections_json and no path: the path from the document name",
       document({{"blob_filename", "a/SOP-002.x.docx"}}), {{"sections_json", Record::object()}},
       "t-json/a/SOP-002.x.sections.json", SECTIONS, "t-enriched/a/SOP-002.x.enriched.json", ENRICHED_TEXT, 6},
      {"empty sections", document({{"blob_filename", "SOP-003.docx"}}), {{"sections_blob_path", ""}},
       "t-json/SOP-003.sections.json", "{\"document\": \"D\", \"sections\": {}}", "t-enriched/SOP-003.enriched.json",
       EMPTY_ENRICHED, 0},
      {"no sections member", document({{"blob_filename", "SOP-004.docx"}}), Record::object(),
       "t-json/SOP-004.sections.json", "{\"document\": \"D\"}", "t-enriched/SOP-004.enriched.json", EMPTY_ENRICHED,
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    put(c.source, c.sections);
    Record context = c.context;
    LogCapture cap;
    const auto result = stage.run(c.doc, context);
    EXPECT_TRUE(result.success);
    EXPECT_EQ(result.output_path, c.path);
    EXPECT_EQ(get(c.path), c.enriched);
    EXPECT_EQ(content_type(c.path), "application/json");
    Record expected = c.context;
    expected["enriched_json"] = shared::text::loads(c.enriched);
    expected["enriched_blob_path"] = c.path;
    EXPECT_EQ(context.dump(), expected.dump());
    EXPECT_EQ(cap.matching("download_blob('" + c.source + "'").size(), 1u);
    EXPECT_EQ(stage_lines(cap).back(),
              stage_line("Enriched " + std::to_string(c.count) + " section(s) \\u2192 " + c.path, "ENRICHMENT",
                         ", \"output_path\": \"" + c.path + "\""));
  }
}

TEST_F(EnrichmentStageTest, BadInputAndFailuresLeaveTheContextUntouchedAndWriteNothing) {
  const std::vector<std::string> enrich = {started("enrich sections", "ENRICHMENT"),
                                           completed("enrich sections", "ENRICHMENT")};
  std::vector<std::string> upload = enrich;
  upload.push_back(started("enriched json upload", "ENRICHMENT"));
  upload.push_back(completed("enriched json upload", "ENRICHMENT"));
  const std::vector<FailureCase> cases = {
      {"a downloaded array", "[1, 2]", Record::object(), false, "sections_json must be a JSON object, got array",
       enrich},
      {"a sections document given as text", "-", {{"sections_json", SECTIONS}}, false,
       "sections_json must be a JSON object, got string", enrich},
      {"a key without \"::\"", "{\"sections\": {\"D::1 A\": \"a\", \"no separator\": \"x\"}}", Record::object(),
       false, "section key 'no separator' has no '::' between document name and heading", enrich},
      {"a key with an empty heading", "{\"sections\": {\"D::1 A\": \"a\", \"D:: \\u00a0\": \"x\"}}",
       Record::object(), false, "section key 'D:: \xC2\xA0' has an empty heading", enrich},
      {"text that is not JSON", "{\"sections\": ", Record::object(), false, "~parse error", {}},
      {"text that is not UTF-8", "{\"document\": \"\xFF\"}", Record::object(), false,
       "Blob 't-json/SOP-001.sections.json' is not valid UTF-8 text: invalid byte 0xff at offset 14", {}},
      {"a missing blob", "-", {{"sections_json", nullptr}}, false, "~BlobNotFound", {}},
      {"refused upload", "-", {{"batch_size", 1}, {"sections_json", shared::text::loads(SECTIONS)}}, true,
       "~InternalError", upload},
  };
  for (const FailureCase& c : cases) {
    expect_failure(
        "t-json/SOP-001.sections.json", c,
        [&](Record& context) { stage.run(document({{"blob_filename", "SOP-001.docx"}}), context); },
        [&](const LogCapture&) { EXPECT_TRUE(blobs_in(ENRICHED).empty()); });
  }
}

}  // namespace
