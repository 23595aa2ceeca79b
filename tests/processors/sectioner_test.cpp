#include "shared/processors/sectioner.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "shared/errors.hpp"
#include "shared/text/utf8.hpp"

using shared::Record;
namespace sectioner = shared::processors::sectioner;
using sectioner::HEADING_RE;

namespace {

struct Found {
  std::size_t start;
  std::size_t level;
  std::string title;  // untrimmed group 2
  bool operator==(const Found&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Found& f) {
  return os << "{" << f.start << ", " << f.level << ", \"" << f.title << "\"}";
}

std::vector<Found> headings(const std::string& text) {
  std::vector<Found> out;
  for (const auto& m : HEADING_RE.finditer(text)) {
    EXPECT_EQ(m.end, m.title_end) << "a match ends where its title ends";
    out.push_back({m.start, m.level, std::string(m.title(text))});
  }
  return out;
}

using Entries = std::vector<std::pair<std::string, std::string>>;

Entries split(const std::string& text, const std::string& doc_name = "D", bool include_metadata = true) {
  return sectioner::split_markdown_hierarchical(text, doc_name, include_metadata).entries();
}

const std::string NBSP = "\u00a0";

}  // namespace

TEST(HeadingPattern, MatchesLikeABacktrackingEngineInMultiLineMode) {
  EXPECT_EQ(sectioner::HeadingPattern::pattern, "^(#{1,8})\\s+(.+)$");
  struct Case {
    const char* what;
    std::string text;
    std::vector<Found> expected;
  };
  const std::vector<Case> cases = {
      {"plain heading", "# A", {{0, 1, "A"}}},
      {"eight is the limit", "######## Eight\n######### Nine", {{0, 8, "Eight"}}},
      {"no space after the hashes", "#Title\n#\tTab", {{7, 1, "Tab"}}},
      {"trailing hashes and spaces stay in the title", "## Scope ##  ", {{0, 2, "Scope ##  "}}},
      {"carriage return stays in the title", "# A\r\nB", {{0, 1, "A\r"}}},
      {"carriage return is whitespace, not a line break", "#\r\nTitle", {{0, 1, "Title"}}},
      {"no line starts after a lone carriage return", "x\r# A", {}},
      {"U+2028 is no line break for ^", "x\u2028# A", {}},
      {"U+2028 and U+0085 are title characters", "# A\u2028B\u0085", {{0, 1, "A\u2028B\u0085"}}},
      {"Unicode whitespace after the hashes", "#" + NBSP + "\u3000\u2003X", {{0, 1, "X"}}},
      {"whitespace run crosses lines: next non-blank line is the title", "#\n\n  \nNext line\nbody",
       {{0, 1, "Next line"}}},
      {"a heading line used up as a title", "#\n## Sub\n### Three", {{0, 1, "## Sub"}, {9, 3, "Three"}}},
      {"search resumes after the match", "# a\n#\n\n\n#b\n", {{0, 1, "a"}, {4, 1, "#b"}}},
      {"indented hashes are no heading", " # A\ntext", {}},
      {"hash inside a line is no heading", "a # b", {}},
      {"last line: hash and two spaces gives back one space", "#  ", {{0, 1, " "}}},
      {"last line: hash, space, line feed is no heading", "# \n", {}},
      {"last line: hash, space, no-break space, line feed", "# " + NBSP + "\n", {{0, 1, NBSP}}},
      {"give-back reaches over trailing line feeds", "#\n\n\n  \n", {{0, 1, " "}}},
      {"give-back picks the last non-line-feed character", "# \n\n" + NBSP + "\n\n", {{0, 1, NBSP}}},
      {"only line feeds after the hash at the end", "text\n#\n\n\n", {}},
      {"hash alone at the end", "text\n#", {}},
      {"earlier headings survive a failing end", "# A\n##\n", {{0, 1, "A"}}},
      {"empty text", "", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(headings(c.text), c.expected) << c.what;
}

TEST(HeadingPattern, SearchFromAPositionNeedsALineStart) {
  const std::string text = "# A\n# B\n";
  auto m = HEADING_RE.search(text, 1);
  ASSERT_TRUE(m.has_value());
  EXPECT_EQ(m->start, 4u);
  EXPECT_EQ(m->title(text), "B");
  m = HEADING_RE.search(text, 4);
  ASSERT_TRUE(m.has_value());
  EXPECT_EQ(m->start, 4u);
  EXPECT_FALSE(HEADING_RE.search(text, 5).has_value());
  EXPECT_FALSE(HEADING_RE.search(text, text.size()).has_value());
  EXPECT_FALSE(HEADING_RE.search(text, text.size() + 3).has_value());
}

TEST(HeadingPattern, LargeAdversarialInputsGiveTheExpectedMatches) {
  // Lines of "#" followed by long blank runs: each "#" takes the next "#"
  // line as its title, so the matches pair up.
  std::string text;
  const int groups = 2000;
  for (int i = 0; i < groups; ++i) text += "#" + std::string(500, '\n');
  const auto found = HEADING_RE.finditer(text);
  ASSERT_EQ(found.size(), static_cast<std::size_t>(groups / 2));
  EXPECT_EQ(found.back().start, static_cast<std::size_t>(groups - 2) * 501);
  EXPECT_EQ(found.back().title(text), "#");

  // A blank tail of spaces and line feeds: one match giving back one space.
  const std::string tail = "#" + std::string(100000, '\n') + " " + std::string(100000, '\n');
  const auto one = HEADING_RE.finditer(tail);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].title_start, 100001u);
}

TEST(SplitMarkdownHierarchical, HierarchyCollapseAndOrder) {
  struct Case {
    const char* what;
    std::string text;
    Entries expected;
  };
  const std::vector<Case> cases = {
      {"text before the first heading is dropped",
       "Intro\n# A\ntext a\n## B\ntext b\n# C\ntext c",
       {{"D::A", "# A\ntext a\n\n## B\ntext b"}, {"D::B", "## B\ntext b"}, {"D::C", "# C\ntext c"}}},
      {"a skipped level still nests", "# A\n### B\n## C",
       {{"D::A", "# A\n\n### B\n\n## C"}, {"D::B", "### B"}, {"D::C", "## C"}}},
      {"a deeper first heading is a root closed by a shallower one", "### X\nx\n# Y\ny",
       {{"D::X", "### X\nx"}, {"D::Y", "# Y\ny"}}},
      {"no-space and nine-hash lines stay in the body", "# A\n#Title\n######### Nine\nend",
       {{"D::A", "# A\n#Title\n######### Nine\nend"}}},
      {"a bare hash takes the next line as title", "#\nNext line\nmore", {{"D::Next line", "#\nNext line\nmore"}}},
      {"a bare hash uses up a following heading line", "#\n## Sub\nbody", {{"D::## Sub", "#\n## Sub\nbody"}}},
      {"fenced code is no protection; underlined titles are no headings",
       "# A\n```\n# comment\n```\nTitle\n=====\nSub\n---",
       {{"D::A", "# A\n```"}, {"D::comment", "# comment\n```\nTitle\n=====\nSub\n---"}}},
      {"titles are trimmed, trailing hashes kept, CR removed", "## Scope ##  \r\nbody\r\n# B\r\n",
       {{"D::Scope ##", "## Scope ##  \r\nbody"}, {"D::B", "# B"}}},
      {"bodies are trimmed of Unicode whitespace", "# A\u3000\n\ntext\u00a0\n\n\n# B\n",
       {{"D::A", "# A\u3000\n\ntext"}, {"D::B", "# B"}}},
      {"same title twice: position of the first, text of the last",
       "# 1 Intro\n## Purpose\np1\n# 2 Work\n## Purpose\np2",
       {{"D::1 Intro", "# 1 Intro\n\n## Purpose\np1"},
        {"D::Purpose", "## Purpose\np2"},
        {"D::2 Work", "# 2 Work\n\n## Purpose\np2"}}},
      {"parent and child of the same title: the child wins", "# A\na\n## A\nb",
       {{"D::A", "## A\nb"}}},
      {"a last heading with an empty title", "# A\n#  ", {{"D::A", "# A"}, {"D::", "#"}}},
      {"no headings", "just text\n", {}},
      {"empty text", "", {}},
      {"eight levels deep",
       "# 1\n## 2\n### 3\n#### 4\n##### 5\n###### 6\n####### 7\n######## 8",
       {{"D::1", "# 1\n\n## 2\n\n### 3\n\n#### 4\n\n##### 5\n\n###### 6\n\n####### 7\n\n######## 8"},
        {"D::2", "## 2\n\n### 3\n\n#### 4\n\n##### 5\n\n###### 6\n\n####### 7\n\n######## 8"},
        {"D::3", "### 3\n\n#### 4\n\n##### 5\n\n###### 6\n\n####### 7\n\n######## 8"},
        {"D::4", "#### 4\n\n##### 5\n\n###### 6\n\n####### 7\n\n######## 8"},
        {"D::5", "##### 5\n\n###### 6\n\n####### 7\n\n######## 8"},
        {"D::6", "###### 6\n\n####### 7\n\n######## 8"},
        {"D::7", "####### 7\n\n######## 8"},
        {"D::8", "######## 8"}}},
  };
  for (const Case& c : cases) EXPECT_EQ(split(c.text), c.expected) << c.what;
}

TEST(SplitMarkdownHierarchical, MetadataBlockKeptOrRemoved) {
  const std::string stamped =
      "<!-- METADATA_START -->\n## Metadata\n\n- **Document Name:** N\n<!-- METADATA_END -->\n\n"
      "### Note\nn\n# 1 Purpose\ntext";
  struct Case {
    const char* what;
    std::string text;
    bool include_metadata;
    Entries expected;
  };
  const std::vector<Case> cases = {
      {"kept: an ordinary level-2 section holding the end marker, deeper headings under it", stamped, true,
       {{"D::Metadata",
         "## Metadata\n\n- **Document Name:** N\n<!-- METADATA_END -->\n\n### Note\nn"},
        {"D::Note", "### Note\nn"},
        {"D::1 Purpose", "# 1 Purpose\ntext"}}},
      {"removed: markers and everything between them, nothing inserted", stamped, false,
       {{"D::Note", "### Note\nn"}, {"D::1 Purpose", "# 1 Purpose\ntext"}}},
      {"removal joins the parts directly", "# A<!-- METADATA_START -->x<!-- METADATA_END -->B\nb", false,
       {{"D::AB", "# AB\nb"}}},
      {"only the start marker: nothing removed", "<!-- METADATA_START -->\n## Metadata\n# A", false,
       {{"D::Metadata", "## Metadata"}, {"D::A", "# A"}}},
      {"only the end marker: nothing removed", "## Metadata\n<!-- METADATA_END -->\n# A", false,
       {{"D::Metadata", "## Metadata\n<!-- METADATA_END -->"}, {"D::A", "# A"}}},
  };
  for (const Case& c : cases) EXPECT_EQ(split(c.text, "D", c.include_metadata), c.expected) << c.what;
  EXPECT_EQ(sectioner::METADATA_START, "<!-- METADATA_START -->");
  EXPECT_EQ(sectioner::METADATA_END, "<!-- METADATA_END -->");
}

TEST(SplitMarkdownHierarchical, KeysUseTheDocumentNameAsItIs) {
  EXPECT_EQ(split("# A", ""), (Entries{{"::A", "# A"}}));
  EXPECT_EQ(split("# A", "Ä::b"), (Entries{{"Ä::b::A", "# A"}}));
}

TEST(DocumentName, CutsTheLastSuffix) {
  const std::vector<std::pair<Record, std::string>> cases = {
      {{{"blob_filename", "SOP-001.docx"}}, "SOP-001"},
      {{{"blob_filename", "a.b.docx"}}, "a.b"},
      {{{"blob_filename", "folder/Name.docx"}}, "folder/Name"},
      {{{"blob_filename", "README"}}, "README"},
      {{{"blob_filename", ".hidden"}}, ""},
      {{{"blob_filename", ""}}, ""},
      {Record::object(), ""},
  };
  for (const auto& [doc, expected] : cases) EXPECT_EQ(sectioner::document_name(doc), expected) << doc.dump();
  try {
    sectioner::document_name({{"blob_filename", nullptr}});
    FAIL() << "a null blob_filename must be refused";
  } catch (const shared::TypeError& e) {
    EXPECT_STREQ(e.what(), "blob_filename must be a string, got null");
  }
}

TEST(SectionsDocument, MembersInOrderAndJsonTextByteForByte) {
  const Record doc = {{"blob_filename", "SOP-7.docx"}, {"document_number", "QD-000958"},
                      {"url_document_name", "https://v/7"}};
  const std::string md = "Intro\n# 1 Zweck «Ü»\n\"q\" \\ tab\t\x01\x1f\x7f\b\fend\n## 1.1 Scope\r\nx";
  const Record document = sectioner::build_sections_document(md, doc);
  EXPECT_EQ(sectioner::sections_json_text(document),
            "{\n"
            "  \"qd\": \"QD-000958\",\n"
            "  \"document\": \"SOP-7\",\n"
            "  \"link\": \"https://v/7\",\n"
            "  \"sections\": {\n"
            "    \"SOP-7::1 Zweck «Ü»\": \"# 1 Zweck «Ü»\\n\\\"q\\\" \\\\ tab\\t\\u0001\\u001f\x7f\\b\\fend\\n\\n## 1.1 "
            "Scope\\r\\nx\",\n"
            "    \"SOP-7::1.1 Scope\": \"## 1.1 Scope\\r\\nx\"\n"
            "  }\n"
            "}");
}

TEST(SectionsDocument, AbsentValuesAndEmptySections) {
  struct Case {
    const char* what;
    Record doc;
    std::string md;
    bool include_metadata;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"empty record, no headings", Record::object(), "no headings", true,
       "{\n  \"qd\": null,\n  \"document\": \"\",\n  \"link\": \"\",\n  \"sections\": {}\n}"},
      {"values taken unchanged: a number, a null link",
       {{"blob_filename", "X"}, {"document_number", 958}, {"url_document_name", nullptr}}, "# T", true,
       "{\n  \"qd\": 958,\n  \"document\": \"X\",\n  \"link\": null,\n  \"sections\": {\n    \"X::T\": \"# T\"\n  }\n}"},
      {"metadata excluded",
       {{"blob_filename", "X.docx"}}, "<!-- METADATA_START -->\n## Metadata\n<!-- METADATA_END -->\n# T", false,
       "{\n  \"qd\": null,\n  \"document\": \"X\",\n  \"link\": \"\",\n  \"sections\": {\n    \"X::T\": \"# T\"\n  }\n}"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(sectioner::sections_json_text(sectioner::build_sections_document(c.md, c.doc, c.include_metadata)),
              c.expected)
        << c.what;
  }
}

TEST(SectionsDocument, ManySectionsKeepOrderAndCollisions) {
  std::string md;
  const int n = 20000;
  for (int i = 0; i < n; ++i) md += "# " + std::to_string(i % (n / 2)) + "\nbody " + std::to_string(i) + "\n";
  const Record document = sectioner::build_sections_document(md, {{"blob_filename", "B.docx"}});
  const Record& sections = document["sections"];
  ASSERT_EQ(sections.size(), static_cast<std::size_t>(n / 2));
  auto it = sections.begin();
  EXPECT_EQ(it.key(), "B::0");
  EXPECT_EQ(it.value(), "# 0\nbody " + std::to_string(n / 2));
  EXPECT_EQ(sections.back(), "# " + std::to_string(n / 2 - 1) + "\nbody " + std::to_string(n - 1));
}

TEST(SectionsDocument, WrittenPieceByPieceAsTheBuiltDocumentIsWritten) {
  std::string large;
  for (int i = 0; i < 3000; ++i) {
    large += std::string(1 + i % 4, '#') + " " + std::to_string(i % 700) + " T\u00e9\n\"body\" \\ " +
             std::to_string(i) + "\t\xE2\x86\x92\n\n";
  }
  struct Case {
    const char* what;
    Record doc;
    std::string md;
    bool include_metadata;
  };
  const std::vector<Case> cases = {
      {"empty record, no headings", Record::object(), "no headings", true},
      {"nested values, escapes, control characters",
       {{"blob_filename", "S\"7\\.x.docx"},
        {"document_number", {{"a", {1, 2.5, nullptr}}, {"b", Record::object()}}},
        {"url_document_name", Record::array()}},
       "Intro\n# 1 Zweck \u00abU\u00bb\n\"q\" \\ tab\t\x01\x1f\x7f\b\fend\n## 1.1 Scope\r\nx", true},
      {"ill-formed UTF-8 in the name, a title and a body",
       {{"blob_filename", "bad\xC3.docx"}, {"document_number", "QD-1"}},
       "# t\xE2\x82\n\xFF\xC0\xAF ok \xF0\x9F\x98\x80\n## \xED\xA0\x80", true},
      {"repeated titles keep the first place and the last text",
       {{"blob_filename", "R.docx"}}, "# A\none\n# B\n#   A  \ntwo\n## A\nthree", true},
      {"metadata excluded and kept",
       {{"blob_filename", "X.docx"}}, "<!-- METADATA_START -->\n## Metadata\n<!-- METADATA_END -->\n# T", false},
      {"metadata kept", {{"blob_filename", "X.docx"}},
       "<!-- METADATA_START -->\n## Metadata\n<!-- METADATA_END -->\n# T", true},
      {"many sections over many pieces", {{"blob_filename", "L.docx"}, {"document_number", 5}}, large, true},
  };
  for (const Case& c : cases) {
    const std::string expected =
        sectioner::sections_json_text(sectioner::build_sections_document(c.md, c.doc, c.include_metadata));
    // Told nothing, and (for well-formed text) told it was checked already.
    for (const bool checked : {false, true}) {
      if (checked && !shared::text::is_valid(c.md)) continue;
      std::string written;
      std::size_t pieces = 0;
      sectioner::write_sections_json(
          c.md, c.doc, c.include_metadata,
          [&](std::string_view piece) {
            EXPECT_FALSE(piece.empty()) << c.what;
            written += piece;
            ++pieces;
          },
          checked);
      EXPECT_EQ(written, expected) << c.what << (checked ? " (checked)" : "");
      if (written.size() > (std::size_t{1} << 17)) {
        EXPECT_GT(pieces, 1u) << c.what;
      }
    }
  }

  bool called = false;
  EXPECT_THROW(sectioner::write_sections_json("# T", {{"blob_filename", 7}}, true,
                                              [&](std::string_view) { called = true; }),
               shared::TypeError);
  EXPECT_FALSE(called);
}
