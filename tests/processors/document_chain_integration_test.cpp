// A real Word document through extraction, stamping, sectioning and
// enrichment, each stage reading what the one before left in the context and
// in blob storage.
#include <gtest/gtest.h>

#include <sstream>

#include "processors/stage_fixture.hpp"
#include "shared/processors/enricher_stage.hpp"
#include "shared/processors/extractor_stage.hpp"
#include "shared/processors/sectioner_stage.hpp"
#include "shared/processors/stamper_stage.hpp"
#include "shared/text/json_load.hpp"

namespace {

namespace sp = shared::processors;
using shared::Record;
using testing_support::LogCapture;
using namespace stage_fixture;

class DocumentChainTest : public StageTest {};

TEST_F(DocumentChainTest, CorpusDocumentThroughTheFourStages) {
  const auto path = testing_support::corpus_dir() / "docx" / "pandoc" / "nested_anchors_in_header.docx";
  const std::string docx = testing_support::read_bytes(path);
  ASSERT_FALSE(docx.empty()) << path;
  put("t-docs/QD-000958 Cleaning.docx", docx);
  const Record doc = document({{"blob_filename", "QD-000958 Cleaning.docx"},
                               {"document_number", "QD-000958"},
                               {"document_name", "Cleaning \xE2\x80\x93 Area \xC3\x9C"},
                               {"url_document_name", "https://veeva.example/d/958"}});

  sp::extractor::ExtractionStage extraction;
  sp::stamper::StampingStage stamping;
  sp::sectioner::SectioningStage sectioning;
  sp::enricher::EnrichmentStage enrichment;
  Record context = {{"batch_size", 1}};
  LogCapture cap(shared::logsetup::Level::info);
  for (sp::base::PipelineStageBase* stage :
       std::initializer_list<sp::base::PipelineStageBase*>{&extraction, &stamping, &sectioning, &enrichment}) {
    const auto result = stage->run(doc, context);
    ASSERT_TRUE(result.success) << stage->stage_name << ": " << result.error.value_or("");
  }

  // The Markdown blob holds the stamped conversion; the extraction's unstamped
  // upload was overwritten in place.
  const std::string markdown = get("t-markdown/QD-000958 Cleaning.md");
  const std::string converted = sp::extractor::docx_bytes_to_markdown(docx);
  EXPECT_EQ(markdown, sp::stamper::build_metadata_block(doc) + converted);
  EXPECT_EQ(context["markdown_text"], markdown);
  EXPECT_EQ(context["markdown_blob_path"], "t-markdown/QD-000958 Cleaning.md");
  EXPECT_EQ(context["md_filename"], "QD-000958 Cleaning.md");

  // The sections document: the metadata section first, then one entry per
  // heading of the converted text, all parsed back equal to the context's.
  const std::string sections_text = get("t-json/QD-000958 Cleaning.sections.json");
  const Record sections = shared::text::loads(sections_text);
  EXPECT_EQ(sections, context["sections_json"]);
  EXPECT_EQ(context["sections_blob_path"], "t-json/QD-000958 Cleaning.sections.json");
  EXPECT_EQ(sections["qd"], "QD-000958");
  EXPECT_EQ(sections["document"], "QD-000958 Cleaning");
  ASSERT_TRUE(sections["sections"].is_object());
  ASSERT_GE(sections["sections"].size(), 3u);
  EXPECT_EQ(sections["sections"].begin().key(), "QD-000958 Cleaning::Metadata");
  EXPECT_NE(sections["sections"]["QD-000958 Cleaning::Metadata"].get<std::string>().find(
                "- **Document Name:** Cleaning \xE2\x80\x93 Area \xC3\x9C"),
            std::string::npos);
  std::size_t headings = 0;
  std::istringstream converted_lines(converted);
  for (std::string l; std::getline(converted_lines, l);) {
    if (l.rfind("# ", 0) == 0 || l.rfind("## ", 0) == 0) ++headings;
  }
  EXPECT_EQ(sections["sections"].size(), headings + 1);
  EXPECT_EQ(sections_text, sp::sectioner::sections_json_text(sections));

  // The enriched document: the same keys in the same order, each text its
  // section's text behind the context sentence.
  const std::string enriched_text = get("t-enriched/QD-000958 Cleaning.enriched.json");
  const Record enriched = shared::text::loads(enriched_text);
  EXPECT_EQ(enriched, context["enriched_json"]);
  EXPECT_EQ(context["enriched_blob_path"], "t-enriched/QD-000958 Cleaning.enriched.json");
  EXPECT_EQ(enriched["qd-number"], "QD-000958");
  EXPECT_EQ(enriched["doc_name"], "QD-000958 Cleaning");
  ASSERT_EQ(enriched["enriched"].size(), sections["sections"].size());
  auto e = enriched["enriched"].begin();
  for (auto s = sections["sections"].begin(); s != sections["sections"].end(); ++s, ++e) {
    EXPECT_EQ(e.key(), s.key());
    const std::string text = e.value().get<std::string>(), body = s.value().get<std::string>();
    EXPECT_EQ(text.rfind("In document QD-000958 Cleaning", 0), 0u) << text;
    EXPECT_EQ(text.substr(text.find(".\n\n") + 3), body);
  }
  EXPECT_EQ(blobs().size(), 4u);
  EXPECT_EQ(cap.matching("Stamped metadata on 't-markdown/QD-000958 Cleaning.md'").size(), 1u);

  // Sectioning and enrichment again with nothing in the context: they read
  // the blobs the first run left and write the same files.
  Record fresh = Record::object();
  ASSERT_TRUE(sectioning.run(doc, fresh).success);
  fresh.erase("sections_json");
  fresh.erase("sections_blob_path");
  ASSERT_TRUE(enrichment.run(doc, fresh).success);
  EXPECT_EQ(get("t-json/QD-000958 Cleaning.sections.json"), sections_text);
  EXPECT_EQ(get("t-enriched/QD-000958 Cleaning.enriched.json"), enriched_text);
  EXPECT_EQ(fresh["enriched_json"], context["enriched_json"]);
}

}  // namespace
