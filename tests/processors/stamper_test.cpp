#include "shared/processors/stamper.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shared/processors/sectioner.hpp"
#include "support/testing.hpp"

using shared::Record;
namespace stamper = shared::processors::stamper;

namespace {
std::string block(const std::string& name, const std::string& number, const std::string& link) {
  return "<!-- METADATA_START -->\n## Metadata\n\n- **Document Name:** " + name + "\n- **Document Number:** " + number +
         "\n- **Veeva Link:** " + link + "\n<!-- METADATA_END -->\n\n";
}
}  // namespace

TEST(MetadataBlock, ExactBytesOfTheTenPieces) {
  EXPECT_EQ(stamper::METADATA_START, "<!-- METADATA_START -->");
  EXPECT_EQ(stamper::METADATA_END, "<!-- METADATA_END -->");
  const Record doc = {{"document_name", "Cleaning SOP"}, {"document_number", "QD-000958"},
                      {"url_document_name", "https://veeva.example/doc/958"}};
  EXPECT_EQ(stamper::build_metadata_block(doc),
            "<!-- METADATA_START -->\n"
            "## Metadata\n"
            "\n"
            "- **Document Name:** Cleaning SOP\n"
            "- **Document Number:** QD-000958\n"
            "- **Veeva Link:** https://veeva.example/doc/958\n"
            "<!-- METADATA_END -->\n"
            "\n");
}

TEST(MetadataBlock, FallbacksAndPlainTextForms) {
  struct Case {
    const char* what;
    Record doc;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"name only, number absent, link empty", {{"document_name", "Plan"}, {"url_document_name", ""}},
       block("Plan", "N/A", "N/A")},
      {"empty record", Record::object(), block("N/A", "N/A", "N/A")},
      {"null, zero and false count as empty",
       {{"document_name", nullptr}, {"document_number", 0}, {"url_document_name", false}},
       block("N/A", "N/A", "N/A")},
      {"a number is written as its digits", {{"document_name", "X"}, {"document_number", 958}, {"url_document_name", "L"}},
       block("X", "958", "L")},
      {"quotes, markup, tabs and non-ASCII as they are, untrimmed; a line feed becomes a space",
       {{"document_name", " Ärger \"quoted\"\n**bold** "}, {"document_number", "QD\t1"}, {"url_document_name", "a\\b"}},
       block(" Ärger \"quoted\" **bold** ", "QD\t1", "a\\b")},
      {"not an object", Record::array({1, 2}), block("N/A", "N/A", "N/A")},
  };
  for (const Case& c : cases) EXPECT_EQ(stamper::build_metadata_block(c.doc), c.expected) << c.what;
}

TEST(StampMarkdown, PlacesOrReplacesTheBlock) {
  const Record doc = {{"document_name", "New"}, {"document_number", "QD-2"}, {"url_document_name", "L2"}};
  const std::string fresh = block("New", "QD-2", "L2");
  const std::string old = block("Old", "QD-1", "L1");
  struct Case {
    const char* what;
    std::string text;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"unstamped text starting with a heading", "# 1 Purpose\nbody\n", fresh + "# 1 Purpose\nbody\n"},
      {"unstamped text is not trimmed", "\n\n  # 1 Purpose", fresh + "\n\n  # 1 Purpose"},
      {"empty text", "", fresh},
      {"old block replaced, blank lines collapse to one", old + "\n\n\n# 1 Purpose", fresh + "# 1 Purpose"},
      {"Unicode whitespace after the old block is removed too",
       std::string("<!-- METADATA_START -->x<!-- METADATA_END -->\n\u00a0\u3000\t# A"), fresh + "# A"},
      {"text before an old block stays in front", "Preface\n" + old + "# A", "Preface\n" + fresh + "# A"},
      {"only the start marker: treated as unstamped", "<!-- METADATA_START -->\n# A",
       fresh + "<!-- METADATA_START -->\n# A"},
      {"only the end marker: treated as unstamped", "# A\n<!-- METADATA_END -->", fresh + "# A\n<!-- METADATA_END -->"},
      {"end marker before start marker: same rule, overlapping parts",
       "a<!-- METADATA_END --> b <!-- METADATA_START -->c",
       "a<!-- METADATA_END --> b " + fresh + "b <!-- METADATA_START -->c"},
      {"first markers win", old + "x\n" + old + "y", fresh + "x\n" + old + "y"},
  };
  for (const Case& c : cases) EXPECT_EQ(stamper::stamp_markdown(c.text, doc), c.expected) << c.what;
}

TEST(StampMarkdown, StampingTwiceEqualsOnceButForLeadingWhitespace) {
  const Record doc = {{"document_name", "N"}, {"document_number", "QD-1"}, {"url_document_name", "L"}};
  const std::string body = "# 1 Purpose\ntext\n";
  const std::string once = stamper::stamp_markdown(body, doc);
  EXPECT_EQ(stamper::stamp_markdown(once, doc), once);

  const std::string padded = "\n\n" + body;
  EXPECT_EQ(stamper::stamp_markdown(stamper::stamp_markdown(padded, doc), doc), once);
  EXPECT_NE(stamper::stamp_markdown(padded, doc), once);
}

TEST(StampMarkdown, HelpersAgreeWithTheStamp) {
  EXPECT_EQ(stamper::compose_metadata_block("a", "b", "c"), block("a", "b", "c"));
  EXPECT_TRUE(stamper::has_metadata_block("<!-- METADATA_END --><!-- METADATA_START -->"));
  EXPECT_FALSE(stamper::has_metadata_block("<!-- METADATA_START --> <!-- METADATA_END ->"));
  EXPECT_EQ(stamper::replace_metadata_block(block("a", "b", "c") + "\n\nbody", "NEW\n"), "NEW\nbody");
}

TEST(MetadataBlock, LineBreaksInValuesCannotForgeHeadings) {
  // A record whose values carry line breaks must not put a heading of its own
  // into the Markdown, and so no section of its own into the index.
  const Record doc = {{"blob_filename", "SOP-1.docx"},
                      {"document_name", "Cleaning\n# 9 Forged\r\nmore"},
                      {"document_number", "QD-1\u2028## 9.1 Also forged"},
                      {"url_document_name", "https://v/1\r# 10 Third"}};
  const std::string block = stamper::build_metadata_block(doc);
  EXPECT_EQ(block,
            "<!-- METADATA_START -->\n## Metadata\n\n- **Document Name:** Cleaning # 9 Forged more\n"
            "- **Document Number:** QD-1 ## 9.1 Also forged\n- **Veeva Link:** https://v/1 # 10 Third\n"
            "<!-- METADATA_END -->\n\n");
  const std::string stamped = stamper::stamp_markdown("# 1 Purpose\ntext\n", doc);
  const Record sections = shared::processors::sectioner::build_sections_document(stamped, doc);
  std::vector<std::string> keys;
  for (auto it = sections.at("sections").begin(); it != sections.at("sections").end(); ++it) keys.push_back(it.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"SOP-1::Metadata", "SOP-1::1 Purpose"}));
}

TEST(MetadataBlock, ValuesCannotEndOrOpenTheBlock) {
  // A value spelling a marker would end the block early for the next stamp:
  // the rest of the block would stay in the body, grow with every stamp and
  // become a heading of its own.
  const Record doc = {{"blob_filename", "SOP-1.docx"},
                      {"document_name", "Name <!-- METADATA_END --> ## 9 Forged"},
                      {"document_number", "QD-1<!-- METADATA_START -->"},
                      {"url_document_name", "https://v/1 <!-- hidden"}};
  EXPECT_EQ(stamper::build_metadata_block(doc),
            block("Name &lt;!-- METADATA_END --> ## 9 Forged", "QD-1&lt;!-- METADATA_START -->",
                  "https://v/1 &lt;!-- hidden"));
  const std::string once = stamper::stamp_markdown("# 1 Purpose\ntext\n", doc);
  EXPECT_EQ(stamper::stamp_markdown(once, doc), once);
  EXPECT_EQ(stamper::stamp_markdown(stamper::stamp_markdown(once, doc), doc), once);
  const Record sections = shared::processors::sectioner::build_sections_document(
      stamper::stamp_markdown(once, doc), doc);
  std::vector<std::string> keys;
  for (auto it = sections.at("sections").begin(); it != sections.at("sections").end(); ++it) keys.push_back(it.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"SOP-1::Metadata", "SOP-1::1 Purpose"}));
}
