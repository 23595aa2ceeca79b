#include "shared/processors/enricher.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "shared/errors.hpp"
#include "shared/processors/sectioner.hpp"

using shared::Record;
namespace enricher = shared::processors::enricher;
namespace sectioner = shared::processors::sectioner;

namespace {
using Entries = std::vector<std::pair<std::string, std::string>>;

Record sections_of(const Entries& entries, const Record& document = "D") {
  Record sections = Record::object();
  for (const auto& [k, v] : entries) sections[k] = v;
  return {{"qd", "QD-1"}, {"document", document}, {"link", "L"}, {"sections", sections}};
}

Entries enriched_entries(const Record& out) {
  Entries e;
  for (auto it = out["enriched"].begin(); it != out["enriched"].end(); ++it) e.emplace_back(it.key(), it.value());
  return e;
}
}  // namespace

TEST(EnrichSections, PrefixesByHeadingNumber) {
  struct Case {
    const char* what;
    Entries sections;
    Entries expected;
  };
  const std::vector<Case> cases = {
      {"top-level and numbered sub-sections",
       {{"D::1 Purpose", "t1"}, {"D::1.1 Scope", "t2"}, {"D::2 Roles", "t3"}, {"D::2.3 QA", "t4"}},
       {{"D::1 Purpose", "In document D.\n\nt1"},
        {"D::1.1 Scope", "In document D, under 1 Purpose.\n\nt2"},
        {"D::2 Roles", "In document D.\n\nt3"},
        {"D::2.3 QA", "In document D, under 2 Roles.\n\nt4"}}},
      {"an orphan keeps the words and the full stop", {{"D::3.1 Orphan", "t5"}},
       {{"D::3.1 Orphan", "In document D, under .\n\nt5"}}},
      {"1.0 is a child of 1", {{"D::1 A", "a"}, {"D::1.0 Purpose", "b"}},
       {{"D::1 A", "In document D.\n\na"}, {"D::1.0 Purpose", "In document D, under 1 A.\n\nb"}}},
      {"words without a dot are top-level headings",
       {{"D::Metadata", "m"}, {"D::Appendix A.1 Forms", "f"}, {"D::Appendix.2 X", "x"}},
       {{"D::Metadata", "In document D.\n\nm"},
        {"D::Appendix A.1 Forms", "In document D.\n\nf"},
        {"D::Appendix.2 X", "In document D, under Appendix A.1 Forms.\n\nx"}}},
      {"a trailing dot makes a sub-section of its number", {{"D::1 First", "a"}, {"D::1. Introduction", "b"}},
       {{"D::1 First", "In document D.\n\na"}, {"D::1. Introduction", "In document D, under 1 First.\n\nb"}}},
      {"the parent is the top-level heading, not the immediate one",
       {{"D::1 A", "a"}, {"D::1.2 B", "b"}, {"D::1.2.3 C", "c"}},
       {{"D::1 A", "In document D.\n\na"},
        {"D::1.2 B", "In document D, under 1 A.\n\nb"},
        {"D::1.2.3 C", "In document D, under 1 A.\n\nc"}}},
      {"a later top-level heading of the same number takes over",
       {{"D::1 Old", "a"}, {"D::1.1 X", "b"}, {"D::1 New", "c"}, {"D::1.2 Y", "d"}},
       {{"D::1 Old", "In document D.\n\na"},
        {"D::1.1 X", "In document D, under 1 Old.\n\nb"},
        {"D::1 New", "In document D.\n\nc"},
        {"D::1.2 Y", "In document D, under 1 New.\n\nd"}}},
      {"only the first '::' splits; the name part is ignored; Unicode whitespace separates",
       {{"Other::2\u00a0Zweck::x", "a"}, {"::2.1\u3000Ü", "b"}, {"D:: 3 Lead", "c"}},
       {{"Other::2\u00a0Zweck::x", "In document D.\n\na"},
        {"::2.1\u3000Ü", "In document D, under 2\u00a0Zweck::x.\n\nb"},
        {"D:: 3 Lead", "In document D.\n\nc"}}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(enriched_entries(enricher::enrich_sections(sections_of(c.sections))), c.expected) << c.what;
  }
}

TEST(EnrichSections, MembersRenamedAndCopied) {
  struct Case {
    const char* what;
    Record input;
    std::string expected_json;
  };
  const std::vector<Case> cases = {
      {"empty sections still copy the members", {{"qd", "QD-9"}, {"document", "Ä"}, {"link", "l"}, {"sections", Record::object()}},
       "{\n  \"qd-number\": \"QD-9\",\n  \"doc_name\": \"Ä\",\n  \"link\": \"l\",\n  \"enriched\": {}\n}"},
      {"everything absent", Record::object(),
       "{\n  \"qd-number\": null,\n  \"doc_name\": \"\",\n  \"link\": \"\",\n  \"enriched\": {}\n}"},
      {"values unchanged, a null name written as None in the text",
       {{"qd", 958}, {"document", nullptr}, {"link", nullptr}, {"sections", {{"::A", "a\u00e9\t"}}}},
       "{\n  \"qd-number\": 958,\n  \"doc_name\": null,\n  \"link\": null,\n  \"enriched\": {\n"
       "    \"::A\": \"In document None.\\n\\na\u00e9\\t\"\n  }\n}"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(sectioner::sections_json_text(enricher::enrich_sections(c.input)), c.expected_json) << c.what;
  }
}

TEST(EnrichSections, BadInputIsRefusedWithAClearError) {
  struct Case {
    const char* what;
    Record input;
    std::string message;
    bool type_error;
  };
  const std::vector<Case> cases = {
      {"an array", Record::array({1}), "sections_json must be a JSON object, got array", true},
      {"a string", "text", "sections_json must be a JSON object, got string", true},
      {"null", nullptr, "sections_json must be a JSON object, got null", true},
      {"sections not an object", {{"sections", Record::array()}},
       "sections_json[\"sections\"] must be a JSON object, got array", true},
      {"sections null", {{"sections", nullptr}}, "sections_json[\"sections\"] must be a JSON object, got null", true},
      {"a key without '::'", sections_of({{"D::1 A", "a"}, {"D:1 B", "b"}}),
       "section key 'D:1 B' has no '::' between document name and heading", false},
      {"an empty heading", sections_of({{"D::", "#"}}), "section key 'D::' has an empty heading", false},
      {"an all-whitespace heading", sections_of({{"D:: \u00a0\t", "#"}}),
       "section key 'D:: \u00a0\t' has an empty heading", false},
      {"a text that is not a string", {{"sections", {{"D::A", 5}}}}, "section 'D::A' must be a string, got number",
       true},
  };
  for (const Case& c : cases) {
    try {
      enricher::enrich_sections(c.input);
      ADD_FAILURE() << c.what << ": no error";
    } catch (const shared::TypeError& e) {
      EXPECT_TRUE(c.type_error) << c.what;
      EXPECT_EQ(e.what(), c.message) << c.what;
    } catch (const shared::ValueError& e) {
      EXPECT_FALSE(c.type_error) << c.what;
      EXPECT_EQ(e.what(), c.message) << c.what;
    }
  }
}

TEST(EnrichSections, SectionsFromAMarkdownEndingInABareHeadingFail) {
  // The last line "#" and two spaces is a heading whose title trims to
  // empty; enrichment cannot number it.
  const Record document = sectioner::build_sections_document("# 1 A\ntext\n#  ", {{"blob_filename", "D.docx"}});
  EXPECT_TRUE(document["sections"].contains("D::"));
  EXPECT_THROW(enricher::enrich_sections(document), shared::ValueError);

  const Record fine = sectioner::build_sections_document("# 1 A\ntext\n# \n", {{"blob_filename", "D.docx"}});
  EXPECT_EQ(enriched_entries(enricher::enrich_sections(fine)), (Entries{{"D::1 A", "In document D.\n\n# 1 A\ntext\n#"}}));
}

TEST(EnrichSections, HeadingHelpers) {
  EXPECT_EQ(enricher::section_heading("a::b::c"), "b::c");
  EXPECT_EQ(enricher::section_heading("::"), "");
  EXPECT_EQ(enricher::heading_number("  4.2 Training records", "k"), "4.2");
  EXPECT_EQ(enricher::heading_number("Purpose", "k"), "Purpose");
  EXPECT_EQ(enricher::heading_number("1\u2003x", "k"), "1");
}
