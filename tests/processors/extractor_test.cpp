#include "shared/processors/extractor.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "processors/docx_fixture.hpp"
#include "shared/text/utf8.hpp"
#include "support/testing.hpp"

namespace {

namespace ex = shared::processors::extractor;
namespace pkg = shared::processors::docx_package;
namespace fs = std::filesystem;
using namespace docx_fixture;

std::string convert(const std::string& body, const std::string& styles = WORD_STYLES) {
  return ex::docx_bytes_to_markdown(docx(body, styles));
}

std::string corpus_bytes(const std::string& relative) {
  const fs::path path = testing_support::corpus_dir() / relative;
  if (!fs::is_regular_file(path)) throw std::runtime_error("corpus file missing: " + path.string());
  return testing_support::read_bytes(path);
}

// The message of the PackageError that converting `bytes` raises, or
// "converted: <text>" when it converts.
std::string outcome(const std::string& bytes) {
  try {
    return "converted: " + ex::docx_bytes_to_markdown(bytes);
  } catch (const pkg::PackageError& e) {
    return e.what();
  }
}

std::string repeat_lines(const std::string& line, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += (i ? "\n" : "") + line;
  return out;
}

// ---------------------------------------------------------------------------
// Real documents, expected Markdown worked out from their XML.

struct Golden {
  const char* file;
  std::string markdown;
};

TEST(ExtractorGolden, CorpusDocumentsGiveTheMarkdownReadFromTheirXml) {
  const std::string tbl_cell_access_1 = "| 1 | 2 | 3 |\n| --- | --- | --- |\n| 4 | 5 | 6 |\n| 7 | 8 | 9 |";
  const std::string tbl_cell_access_2 = "| 1 | 2 | 3 |\n| --- | --- | --- |\n| 4 | 4 | 6 |\n| 7 | 8 | 9 |";
  const std::string tbl_cell_access_3 = "| 1 | 2 | 3 |\n| --- | --- | --- |\n| 4 | 5 | 6 |\n| 7 | 5 | 9 |";
  const std::string tbl_cell_access_4 = "| 1 | 2 | 3 |\n| --- | --- | --- |\n| 4 | 4 | 6 |\n| 4 | 4 | 9 |";
  const std::vector<Golden> cases = {
      // Heading 1, Heading 2, Heading 3 (plain), body text.
      {"docx/pandoc/enumerated_headings.docx", "# 1 H1\n## 1.1 H2\nH3\nAnd some text"},
      // A Heading 1 paragraph with its own w:numPr is a list item.
      {"docx/pandoc/numbered_header.docx", "A Numbered Header."},
      // Styles named "Heading 2" under the id "2"; list items, one with numId 0.
      {"docx/pandoc/lists.docx",
       "## 1 Some nested lists\none\ntwo\na\nb\none\ntwo\nthree\nfour\nSub paragraph\nSame list\n"
       "Different list adjacent to the one above."},
      // A table of contents in a body-level content control is left out;
      // hyperlink text counts; the last empty paragraph gives an empty line.
      {"docx/pandoc/nested_anchors_in_header.docx",
       "# 1 Short instructions\nOpen remote folder\nDo staff\nClose remote folder\n# 2 Some instructions\nLines\n"
       "## 2.1 Remote folder or longlonglonglonglong file with manymanymanymany letters inside opening\n"
       "Open folder\n"
       "## 2.2 Remote folder or longlonglonglonglong file with manymanymanymany letters inside closing\n"
       "Close folder\n"},
      // Nothing but a body-level content control.
      {"docx/pandoc/nested_sdt.docx", ""},
      // Vertical merges in the header row, a cell spanning three columns.
      {"docx/pandoc/table_header_rowspan.docx",
       "\n\n| A | B | C | D | E | E | E | F |\n| --- | --- | --- | --- | --- | --- | --- | --- |\n"
       "| A | B | C | D | G | H | I | F |\n" +
           repeat_lines("| 1 | 2 | 3 | 4 | 5 | 6 | 7 | 8 |", 9) + "\n\n\n"},
      // Four tables: plain, gridSpan, vMerge, both.
      {"docx/python-docx/tbl-cell-access.docx", "\n" + tbl_cell_access_1 + "\n\n\n\n" + tbl_cell_access_2 +
                                                    "\n\n\n\n" + tbl_cell_access_3 + "\n\n\n\n" +
                                                    tbl_cell_access_4 + "\n\n"},
      // Empty cells merged both ways.
      {"docx/docx-rs/table_merged.docx", "\n|  |  |  |\n| --- | --- | --- |\n|  |  |  |\n|  |  |  |\n\n"},
      // A row inside nested content controls and a cell inside one.
      {"docx/poi/tika-3816.docx",
       "Sample 1:\n\n\n| Note | Details |\n| --- | --- |\n| Choose an item. | Here is just a sample |\n|  |  |\n"
       "|  |  |\n|  |  |\n\n"},
      // Style names spelled "Heading 1" under other ids; a leading tab stripped.
      {"docx/docx-rs/issue554.docx",
       "# 1 Arbitration Duplicate of Content 1\nIn the event of any dispute or controversy arising out of, relating "
       "to, or resulting from an employee's employment with Employer name, all such disputes must be settled by "
       "binding arbitration as set forth in the 3 YEAR (the \"Agreement\").The Agreement specifically provides "
       "for arbitration of all claims against Company name\n## 1.1 Personal Information\n"
       "My name is First name Last name.\nMy birthday is Tue Mar 29 2022 00:00:00 GMT-0500 (Central Daylight "
       "Time)."},
      // Text-wrapping breaks inside one paragraph.
      {"docx/pandoc/codeblock.docx",
       "This is some code:\nreadDocx :: ReaderOptions\n         -> B.ByteString\n         -> Pandoc\n"
       "from the beginning of the docx reader."},
      // The prefix ns0: instead of w:.
      {"docx/pandoc/ns0-reference.docx", "ref"},
      // ISO strict namespaces and relationship types.
      {"docx/pandoc/7691.docx", "Some text"},
      // Main part word/document2.xml, with a byte-order mark.
      {"docx/docx-rs/bom.docx", "Hello"},
      // A declared external entity is never fetched and adds nothing.
      {"docx/poi/ExternalEntityInText.docx", "Here should not be the POI web site: \"\""},
      // Three w:body elements: all three are read.
      {"docx/poi/MultipleBodyBug.docx",
       "START BODY 1 The quick, brown fox jumps over a lazy dog. END BODY 1.\n"
       "START BODY 2 The quick, brown fox jumps over a lazy dog. END BODY 2.\n"
       "START BODY 3 The quick, brown fox jumps over a lazy dog. END BODY 3."},
      // No styles part.
      {"docx/python-docx/sty-having-no-styles-part.docx", ""},
  };
  for (const Golden& g : cases) {
    SCOPED_TRACE(g.file);
    EXPECT_EQ(ex::docx_bytes_to_markdown(corpus_bytes(g.file)), g.markdown);
  }
}

TEST(ExtractorCorpus, EveryRealDocumentConvertsToValidUtf8) {
  const fs::path root = testing_support::corpus_dir() / "docx";
  ASSERT_TRUE(fs::is_directory(root)) << root;
  int files = 0;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) continue;
    ++files;
    SCOPED_TRACE(entry.path().string());
    std::string markdown;
    try {
      markdown = ex::docx_bytes_to_markdown(testing_support::read_bytes(entry.path()));
    } catch (const std::exception& e) {
      ADD_FAILURE() << e.what();
      continue;
    }
    EXPECT_TRUE(shared::text::is_valid(markdown));
  }
  EXPECT_GE(files, 150);
}

// ---------------------------------------------------------------------------
// Broken and hostile inputs.

TEST(ExtractorBadInput, EveryBrokenPackageGetsAnErrorSayingWhatIsWrong) {
  const std::vector<std::pair<const char*, const char*>> cases = {
      {"not_a_zip_text.docx", "not a Word document: not a zip archive"},
      {"empty_file.docx", "not a Word document: the input is empty"},
      {"bug53475-password-is-pass.docx",
       "not a Word document: an OLE2 compound file (a legacy binary .doc or a password-protected document), not a "
       ".docx package"},
      {"truncated62886.docx", "not a Word document: truncated or damaged zip archive (no central directory found)"},
      {"testWORD_truncated.docx",
       "not a Word document: truncated or damaged zip archive (no central directory found)"},
      {"crash-517626e815e0afa9decd0ebb6d1dee63fb9907dd.docx",
       "not a Word document: truncated or damaged zip archive (no central directory found)"},
      {"clusterfuzz-testcase-minimized-POIXWPFFuzzer-4959857092198400.docx",
       "not a Word document: damaged zip archive (Zip archive inconsistent)"},
      {"truncated_half_sample-docx.docx",
       "not a Word document: truncated or damaged zip archive (no central directory found)"},
      {"truncated_eocd_sample-docx.docx",
       "not a Word document: truncated or damaged zip archive (no central directory found)"},
      {"zip_of_random_files.docx", "not a Word document: no package relationships part '_rels/.rels'"},
      {"zip_without_document_xml.docx",
       "not a Word document: the main document part 'word/document.xml' is missing"},
      {"stress025.docx",
       "not a Word document: the main part 'theme/theme/themeManager.xml' has the root element <themeManager>"},
      // Strict packaging: the main part is found only through relationships.
      {"no_package_rels.docx", "not a Word document: no package relationships part '_rels/.rels'"},
      {"corrupt_deflate_document_xml.docx", "cannot read part 'word/document.xml': Zlib error: data error"},
      {"zip_encrypted_entries.docx", "part '_rels/.rels' is encrypted"},
      {"empty_document_xml.docx", "malformed XML in part 'word/document.xml': the part is empty"},
      {"malformed_document_xml.docx",
       "malformed XML in part 'word/document.xml' at line 2: Failed to parse QName 'w:'"},
      {"wrong_root_element.docx",
       "not a Word document: the main part 'word/document.xml' has the root element <html>"},
      // Refused before anything is expanded.
      {"billion_laughs.docx",
       "malformed XML in part 'word/document.xml' at line 1: Detected an entity reference loop"},
      // Converts, without the entity and without reading the file.
      {"xxe_file_entity.docx", "converted: before  after"},
  };
  for (const auto& [file, expected] : cases) {
    SCOPED_TRACE(file);
    EXPECT_EQ(outcome(corpus_bytes(std::string("bad/") + file)), expected);
  }
}

TEST(ExtractorBadInput, ErrorsAreSharedErrorsOfThePackageKind) {
  EXPECT_THROW(ex::docx_bytes_to_markdown("PK\x03\x04 garbage"), pkg::PackageError);
  try {
    ex::docx_bytes_to_markdown("plain text");
    FAIL() << "converted plain text";
  } catch (const shared::Error& e) {
    EXPECT_STREQ(e.what(), "not a Word document: not a zip archive");
  }
}

TEST(ExtractorBadInput, MalformedXmlAndEntitiesInTheMainPart) {
  auto package = [](const std::string& xml) {
    return make_zip({{"_rels/.rels", relationships(OFFICE_DOCUMENT, "word/document.xml")}, {"word/document.xml", xml}});
  };
  const std::string open = "<?xml version=\"1.0\"?>\n";
  const std::string doc = "<w:document xmlns:w=\"" + W_NS + "\"><w:body>";
  const std::string end = "</w:body></w:document>";
  const testing_support::TempDir tmp;
  const fs::path secret = tmp / "secret.txt";
  testing_support::write_bytes(secret, "SECRET-MARKER");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {open + doc + "<w:p><w:r><w:t>a\xC3\x28z</w:t></w:r></w:p>" + end,
       "malformed XML in part 'word/document.xml' at line 2: Input is not proper UTF-8, indicate encoding !"},
      {open + doc + "<w:p><w:r><w:t>a&nope;b</w:t></w:r></w:p>" + end,
       "malformed XML in part 'word/document.xml' at line 2: Entity 'nope' not defined"},
      {open + doc + "<w:p><x:r><w:t>a</w:t></x:r></w:p>" + end,
       "malformed XML in part 'word/document.xml' at line 2: Namespace prefix x on r is not defined"},
      {open + doc + "<w:p><w:r><w:t>a</w:r></w:p>" + end,
       "malformed XML in part 'word/document.xml' at line 2: Opening and ending tag mismatch: t line 2 and r"},
      {open + doc + "<w:p>", "malformed XML in part 'word/document.xml': the part ends inside an element"},
      {open + doc + end + "<w:document/>",
       "malformed XML in part 'word/document.xml' at line 2: Extra content at the end of the document"},
      // Nesting costs no stack: a hundred thousand hyperlinks deep.
      {open + doc + [] {
         std::string deep = "<w:p>";
         for (int i = 0; i < 100000; ++i) deep += "<w:hyperlink>";
         deep += run("deep");
         for (int i = 0; i < 100000; ++i) deep += "</w:hyperlink>";
         return deep + "</w:p>";
       }() + end,
       "converted: deep"},
      // Declared entities stay unexpanded; a missing external subset is not fetched.
      {open + "<!DOCTYPE w:document [<!ENTITY x \"EXPANDED\">]>\n" + doc + "<w:p><w:r><w:t>a&x;b</w:t></w:r></w:p>" +
           end,
       "converted: ab"},
      {open + "<!DOCTYPE w:document SYSTEM \"http://127.0.0.1:9/x.dtd\">\n" + doc +
           "<w:p><w:r><w:t>a&undeclared;b</w:t></w:r></w:p>" + end,
       "converted: ab"},
      {open + "<!DOCTYPE w:document [<!ENTITY s SYSTEM \"file://" + secret.string() + "\">]>\n" + doc +
           "<w:p><w:r><w:t>a&s;b</w:t></w:r></w:p>" + end,
       "converted: ab"},
      // Another declared encoding is converted to UTF-8.
      {"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n" + doc + "<w:p><w:r><w:t>caf\xE9</w:t></w:r></w:p>" + end,
       "converted: caf\xC3\xA9"},
      // A document without w:body has no text.
      {open + "<w:document xmlns:w=\"" + W_NS + "\"><w:background/></w:document>", "converted: "},
  };
  for (const auto& [xml, expected] : cases) {
    SCOPED_TRACE(xml.substr(0, 160));
    EXPECT_EQ(outcome(package(xml)), expected);
  }
}

// Patches the uncompressed size that the central directory records for `name`.
std::string with_declared_size(std::string zip_bytes, const std::string& name, std::uint32_t size) {
  for (std::size_t at = zip_bytes.find("PK\x01\x02"); at != std::string::npos; at = zip_bytes.find("PK\x01\x02", at + 4)) {
    const auto u16 = [&](std::size_t off) {
      return static_cast<std::size_t>(static_cast<unsigned char>(zip_bytes[at + off])) |
             static_cast<std::size_t>(static_cast<unsigned char>(zip_bytes[at + off + 1])) << 8;
    };
    if (zip_bytes.compare(at + 46, u16(28), name) == 0 && u16(28) == name.size()) {
      for (int i = 0; i < 4; ++i) zip_bytes[at + 24 + i] = static_cast<char>((size >> (8 * i)) & 0xFF);
      return zip_bytes;
    }
  }
  throw std::runtime_error("no central directory entry " + name);
}

TEST(ExtractorBadInput, SizeCapsStopZipAndTableBombs) {
  // A part whose declared size is beyond the cap is refused before inflating.
  EXPECT_EQ(outcome(with_declared_size(docx(p("x")), "word/document.xml", 300u << 20)),
            "part 'word/document.xml' inflates to more than 256 MiB");

  // A part that inflates beyond the cap is stopped while it streams, whatever
  // size was declared.
  const std::string big = docx(p(std::string(2 << 20, 'a')));
  try {
    pkg::Document doc(big, 1 << 20);
    pkg::Block block;
    while (doc.next_block(block)) {
    }
    ADD_FAILURE() << "no error";
  } catch (const pkg::PackageError& e) {
    EXPECT_STREQ(e.what(), "part 'word/document.xml' inflates to more than 1 MiB");
  }

  // Merges copy a cell's text into every cell they cover: a few hundred bytes
  // of markup must not become megabytes of text.
  std::string rows = tr(tc(std::string(1000, 'x'), "<w:vMerge w:val=\"restart\"/><w:gridSpan w:val=\"50\"/>"));
  for (int i = 0; i < 100; ++i) rows += tr(tc("", "<w:vMerge/><w:gridSpan w:val=\"50\"/>"));
  try {
    pkg::Document doc(docx(tbl(rows)), 1 << 20);
    pkg::Block block;
    while (doc.next_block(block)) {
    }
    ADD_FAILURE() << "no error";
  } catch (const pkg::PackageError& e) {
    EXPECT_STREQ(e.what(), "a table in part 'word/document.xml' expands to more than 1 MiB of text");
  }

  // A span far beyond any real grid is cut to 1000 columns.
  const std::string wide = convert(tbl(tr(tc("w", "<w:gridSpan w:val=\"2000000000\"/>"))));
  EXPECT_EQ(std::count(wide.begin(), wide.end(), 'w'), 1000);
}

// ---------------------------------------------------------------------------
// The conversion rules.

struct Case {
  const char* what;
  std::string body;
  std::string markdown;
};

void expect_cases(const std::vector<Case>& cases, const std::string& styles = WORD_STYLES) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(convert(c.body, styles), c.markdown);
  }
}

TEST(ExtractorRules, DocumentLayout) {
  const std::string t = tbl(tr(tc("a") + tc("b")));
  const std::string t_md = "| a | b |\n| --- | --- |";
  expect_cases({
      {"empty body", "", ""},
      {"only a table", t, "\n" + t_md + "\n"},
      {"a table without rows between two paragraphs", p("A") + tbl("") + p("B"), "A\n\n\n\nB"},
      {"two tables in a row", t + t, "\n" + t_md + "\n\n\n" + t_md + "\n"},
      {"paragraphs on consecutive lines", p("a") + p("b"), "a\nb"},
      {"an empty paragraph is an empty line", p("a") + p("") + p("b"), "a\n\nb"},
      {"no trimming of the whole text", p("") + p("a") + p(""), "\na\n"},
      {"leading and trailing whitespace of a paragraph", p(" \t a  b \xC2\xA0"), "a  b"},
      {"body-level content control", p("a") + "<w:sdt><w:sdtContent>" + p("hidden") + t + "</w:sdtContent></w:sdt>" +
                                          p("b"),
       "a\nb"},
      {"other body children", "<w:customXml>" + p("hidden") + "</w:customXml><w:bookmarkStart/>" + p("a") +
                                  "<w:sectPr/>",
       "a"},
  });
}

TEST(ExtractorRules, HeadingsAreNumbered) {
  expect_cases({
      {"1, 1.1, 1.2, 2, 2.1",
       h1("Purpose") + h2("Scope") + h2("Terms") + h1("Procedure") + h2("Steps"),
       "# 1 Purpose\n## 1.1 Scope\n## 1.2 Terms\n# 2 Procedure\n## 2.1 Steps"},
      {"Heading 2 before any Heading 1", h2("Intro") + h2("More") + h1("Main") + h2("Sub"),
       "## 1 Intro\n## 2 More\n# 1 Main\n## 1.1 Sub"},
      {"whitespace-only headings do not count",
       h1("\xC2\xA0 \t") + h1("Real") + h2("\xE2\x80\x83") + h2("Sub"), "\n# 1 Real\n\n## 1.1 Sub"},
      {"a heading with its own numbering is plain text and does not count",
       h1("A") + "<w:p><w:pPr><w:pStyle w:val=\"Heading1\"/><w:numPr><w:ilvl w:val=\"0\"/><w:numId w:val=\"0\"/>"
                 "</w:numPr></w:pPr>" +
           run("Fake") + "</w:p>" + h1("B"),
       "# 1 A\nFake\n# 2 B"},
      {"numPr without numId still counts as numbering",
       "<w:p><w:pPr><w:pStyle w:val=\"Heading2\"/><w:numPr/></w:pPr>" + run("Item") + "</w:p>", "Item"},
      {"numbering nested deeper in the properties is not the paragraph's own",
       "<w:p><w:pPr><w:pStyle w:val=\"Heading1\"/><w:pPrChange><w:pPr><w:numPr/></w:pPr></w:pPrChange></w:pPr>" +
           run("Title") + "</w:p>",
       "# 1 Title"},
      {"Heading 3 and other styles are plain", p("Three", "Heading3") + p("Doc", "Title") + p("List", "ListParagraph"),
       "Three\nDoc\nList"},
      {"a list paragraph in a plain style", p("item", "", true), "item"},
      {"a heading with a line break", "<w:p><w:pPr><w:pStyle w:val=\"Heading1\"/></w:pPr>" + run("Title") +
                                          "<w:r><w:br/></w:r>" + run("more") + "</w:p>",
       "# 1 Title\nmore"},
  });
}

TEST(ExtractorRules, HeadingNumbersComeFromTheCountersInKeyOrder) {
  std::map<int, long> counters;
  ex::Paragraph heading;
  heading.text = "T";
  heading.style_name = "Heading 2";
  EXPECT_EQ(ex::_paragraph_to_markdown(heading, counters), "## 1 T");
  EXPECT_EQ(counters, (std::map<int, long>{{2, 1}}));
  heading.style_name = "Heading 1";
  EXPECT_EQ(ex::_paragraph_to_markdown(heading, counters), "# 1 T");
  EXPECT_EQ(counters, (std::map<int, long>{{1, 1}}));
  heading.style_name = "Heading 2";
  EXPECT_EQ(ex::_paragraph_to_markdown(heading, counters), "## 1.1 T");
  EXPECT_EQ(counters, (std::map<int, long>{{1, 1}, {2, 1}}));
  heading.text = " ";
  EXPECT_EQ(ex::_paragraph_to_markdown(heading, counters), "");
  heading.text = "T";
  heading.has_numbering = true;
  EXPECT_EQ(ex::_paragraph_to_markdown(heading, counters), "T");
  EXPECT_EQ(counters, (std::map<int, long>{{1, 1}, {2, 1}}));
  EXPECT_TRUE(ex::_is_list_paragraph(heading));
  EXPECT_FALSE(ex::_is_list_paragraph(ex::Paragraph{}));
}

TEST(ExtractorRules, StyleNamesResolve) {
  struct StyleCase {
    const char* what;
    std::string styles;  // the w:style elements; "-" for no styles part
    std::string body;
    std::string markdown;
  };
  const std::vector<StyleCase> cases = {
      {"default paragraph style applies without w:pStyle", style("H", "heading 1", true), p("x"), "# 1 x"},
      {"an unknown style id falls back to the default", style("N", "Normal", true) + style("H", "heading 2", true),
       p("x", "Missing"), "## 1 x"},
      {"the last default wins", style("H", "heading 1", true) + style("N", "Normal", true), p("x"), "x"},
      {"a style without w:name matches nothing", style("Heading1", ""), p("x", "Heading1"), "x"},
      {"Word's capitalised spelling", style("A", "Heading 1"), p("x", "A"), "# 1 x"},
      {"other capitalisations are plain", style("A", "HEADING 1") + style("B", "heading 1 "), p("x", "A") + p("y", "B"),
       "x\ny"},
      {"only paragraph styles are looked up",
       style("Heading1", "Heading 1 Char", false, "character") + style("Heading1", "heading 1"), p("x", "Heading1"),
       "# 1 x"},
      {"a character style id falls back to the default", style("C", "heading 1", false, "character") +
                                                             style("N", "heading 2", true),
       p("x", "C"), "## 1 x"},
      {"a style without w:type is a paragraph style", style("H", "heading 1", false, ""), p("x", "H"), "# 1 x"},
      {"the first style of an id wins", style("H", "heading 1") + style("H", "Normal"), p("x", "H"), "# 1 x"},
      {"no default and no w:pStyle", style("H", "heading 1"), p("x"), "x"},
      {"no styles part", "-", p("x", "Heading1"), "x"},
  };
  for (const StyleCase& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(convert(c.body, c.styles == "-" ? "" : styles_xml(c.styles)), c.markdown);
  }
}

TEST(ExtractorRules, BuiltInNamesAreReportedInDisplaySpelling) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"heading 1", "Heading 1"}, {"heading 9", "Heading 9"}, {"caption", "Caption"}, {"header", "Header"},
      {"footer", "Footer"},       {"heading 10", "heading 10"}, {"Heading 1", "Heading 1"}, {"normal", "normal"},
      {"toc 1", "toc 1"},         {"", ""}};
  for (const auto& [stored, shown] : cases) EXPECT_EQ(pkg::Styles::display_name(stored), shown) << stored;
}

TEST(ExtractorRules, ParagraphText) {
  auto para = [](const std::string& inner) { return "<w:p>" + inner + "</w:p>"; };
  auto r = [](const std::string& inner) { return "<w:r>" + inner + "</w:r>"; };
  expect_cases({
      {"runs concatenate", para(run("a") + run(" b")), "a b"},
      {"tab, ptab, cr, text-wrapping break",
       para(r("<w:t>a</w:t><w:tab/><w:t>b</w:t><w:ptab w:alignment=\"right\"/><w:t>c</w:t><w:cr/><w:t>d</w:t><w:br/>"
              "<w:t>e</w:t>")),
       "a\tb\tc\nd\ne"},
      {"page breaks end a line", para(r("<w:t>a</w:t><w:br w:type=\"page\"/><w:t>b</w:t>")), "a\nb"},
      {"non-breaking hyphen; soft hyphen and symbols add nothing",
       para(r("<w:t>co</w:t><w:noBreakHyphen/><w:t>op</w:t><w:softHyphen/><w:t>er</w:t><w:sym w:char=\"F0E0\"/>")),
       "co-oper"},
      {"hyperlinks, insertions, moves, smart tags, custom XML, simple fields",
       para("<w:hyperlink r:id=\"x\" xmlns:r=\"urn:r\">" + run("h") + "</w:hyperlink><w:ins>" + run("i") +
            "</w:ins><w:moveTo>" + run("m") + "</w:moveTo><w:smartTag>" + run("s") + "</w:smartTag><w:customXml>" +
            run("c") + "</w:customXml><w:fldSimple w:instr=\"PAGE\">" + run("1") + "</w:fldSimple>"),
       "himsc1"},
      {"inline content controls", para("<w:sdt><w:sdtPr><w:alias w:val=\"x\"/></w:sdtPr><w:sdtContent>" + run("v") +
                                       "</w:sdtContent></w:sdt>"),
       "v"},
      {"deleted and moved-away text, field codes",
       para(run("a") + "<w:del><w:r><w:delText>gone</w:delText></w:r></w:del><w:moveFrom>" + run("old") +
            "</w:moveFrom>" + r("<w:fldChar w:fldCharType=\"begin\"/>") + r("<w:instrText> PAGE </w:instrText>") +
            r("<w:fldChar w:fldCharType=\"separate\"/>") + run("7") + r("<w:fldChar w:fldCharType=\"end\"/>")),
       "a7"},
      {"text boxes inside drawings are not the paragraph's text",
       para(run("a") +
            "<w:r><mc:AlternateContent xmlns:mc=\"http://schemas.openxmlformats.org/markup-compatibility/2006\">"
            "<mc:Choice Requires=\"wps\"><w:drawing><w:txbxContent>" +
            p("box") + "</w:txbxContent></w:drawing></mc:Choice><mc:Fallback><w:pict><w:txbxContent>" + p("box") +
            "</w:txbxContent></w:pict></mc:Fallback></mc:AlternateContent></w:r>" + run("b")),
       "ab"},
      {"character references and CDATA", para(r("<w:t>&amp;&lt;&#x2192;<![CDATA[<x>]]></w:t>")), "&<\xE2\x86\x92<x>"},
      {"whitespace-only text nodes count", para(r("<w:t>a</w:t>") + r("<w:t> </w:t>") + r("<w:t>b</w:t>")), "a b"},
      {"elements of other namespaces are not text",
       para("<x:r xmlns:x=\"urn:x\"><w:t>no</w:t></x:r>" + r("<x:t xmlns:x=\"urn:x\">no</x:t><w:t>yes</w:t>")),
       "yes"},
  });
}

TEST(ExtractorRules, Tables) {
  const std::string restart = "<w:vMerge w:val=\"restart\"/>";
  const std::string cont = "<w:vMerge/>";
  expect_cases({
      {"header, separator, rows", tbl(tr(tc("Name") + tc("Value")) + tr(tc("a") + tc("1"))),
       "\n| Name | Value |\n| --- | --- |\n| a | 1 |\n"},
      {"cell paragraphs join with a space, inner tabs stay", tbl(tr(tc_paragraphs({"a", "b"}) + tc("x\ty"))),
       "\n| a b | x\ty |\n| --- | --- |\n"},
      {"cell text is stripped before line feeds become spaces", tbl(tr(tc_paragraphs({"", " a ", "", "b", " "}))),
       "\n| a   b |\n| --- |\n"},
      {"a horizontal span repeats the cell", tbl(tr(tc("wide", "<w:gridSpan w:val=\"2\"/>") + tc("c"))),
       "\n| wide | wide | c |\n| --- | --- | --- |\n"},
      {"a pipe is not escaped, an empty cell is empty", tbl(tr(tc("a|b")) + tr(tc(""))),
       "\n| a|b |\n| --- |\n|  |\n"},
      {"rows keep their own widths", tbl(tr(tc("a") + tc("b")) + tr(tc("c")) + tr(tc("d") + tc("e") + tc("f"))),
       "\n| a | b |\n| --- | --- |\n| c |\n| d | e | f |\n"},
      {"a continuation shows the start of the merge, also two rows down",
       tbl(tr(tc("top", restart) + tc("x")) + tr(tc("ignored", cont) + tc("y")) +
           tr(tc("", "<w:vMerge w:val=\"continue\"/>") + tc("z"))),
       "\n| top | x |\n| --- | --- |\n| top | y |\n| top | z |\n"},
      {"a continuation in the first row shows its own text", tbl(tr(tc("own", cont))), "\n| own |\n| --- |\n"},
      {"a merge is found by grid column, after spans and left-out columns",
       tbl(tr(tc("a", "<w:gridSpan w:val=\"2\"/>") + tc("m", restart)) +
           tr("<w:trPr><w:gridBefore w:val=\"2\"/></w:trPr>" + tc("", cont))),
       "\n| a | a | m |\n| --- | --- | --- |\n| m |\n"},
      {"a continuation where no cell lies above", tbl(tr(tc("a")) + tr(tc("b") + tc("own", cont))),
       "\n| a |\n| --- |\n| b | own |\n"},
      {"nested tables add nothing", tbl(tr("<w:tc>" + p("outer") + tbl(tr(tc("inner"))) + "</w:tc>")),
       "\n| outer |\n| --- |\n"},
      {"a cell without paragraphs", tbl(tr("<w:tc><w:tcPr/></w:tc>" + tc("b"))), "\n|  | b |\n| --- | --- |\n"},
      {"a row without cells", tbl(tr("") + tr(tc("a"))), "\n|  |\n|  |\n| a |\n"},
      {"rows and cells wrapped in content controls or custom XML are kept",
       tbl(tr(tc("h1") + tc("h2")) + "<w:sdt><w:sdtPr/><w:sdtContent>" +
           tr("<w:customXml>" + tc("c1") + "</w:customXml><w:sdt><w:sdtContent>" + tc("c2") +
              "</w:sdtContent></w:sdt>") +
           "</w:sdtContent></w:sdt>"),
       "\n| h1 | h2 |\n| --- | --- |\n| c1 | c2 |\n"},
      {"paragraphs in a content control inside a cell are not the cell's own",
       tbl(tr("<w:tc>" + p("own") + "<w:sdt><w:sdtContent>" + p("wrapped") + "</w:sdtContent></w:sdt></w:tc>")),
       "\n| own |\n| --- |\n"},
      {"a table without a grid", "<w:tbl>" + tr(tc("a")) + "</w:tbl>", "\n| a |\n| --- |\n"},
  });
  EXPECT_EQ(ex::_table_to_markdown(ex::Table{}), "");
  ex::Table one_empty_row;
  one_empty_row.rows.emplace_back();
  EXPECT_EQ(ex::_table_to_markdown(one_empty_row), "|  |\n|  |");
}

TEST(ExtractorRules, TheDocumentsCommentOpenersAreWrittenAsText) {
  // Word text that reads like the metadata block's markers, or opens an HTML
  // comment, must stay text: the stamp would otherwise take it for its own
  // block, and a renderer would hide what follows.
  const std::string start = "&lt;!-- METADATA_START --&gt;";
  const std::string end = "&lt;!-- METADATA_END --&gt;";
  expect_cases({
      {"marker paragraphs", p(start) + p("kept") + p(end),
       "&lt;!-- METADATA_START -->\nkept\n&lt;!-- METADATA_END -->"},
      {"in headings and list paragraphs", h1("A " + end) + p("&lt;!--&lt;!--x", "", true),
       "# 1 A &lt;!-- METADATA_END -->\n&lt;!--&lt;!--x"},
      {"in table cells, also across cell paragraphs", tbl(tr(tc(start) + tc_paragraphs({"&lt;!", "--"}))),
       "\n| &lt;!-- METADATA_START --> | <! -- |\n| --- | --- |\n"},
      {"a line break splits it: no opener", "<w:p><w:r><w:t>&lt;!</w:t><w:br/><w:t>-- x</w:t></w:r></w:p>", "<!\n-- x"},
      {"an escaped opener stays as Word holds it", p("&amp;lt;!-- &lt;! -- &lt;-- --&gt;"),
       "&lt;!-- <! -- <-- -->"},
  });
}

// ---------------------------------------------------------------------------
// Finding the parts.

TEST(ExtractorPackage, PartsAreFoundThroughRelationshipsAndNamespacesByUri) {
  const std::string body = h1("T") + p("x");
  const std::string expected = "# 1 T\nx";
  const std::string package_rels_main = relationships(OFFICE_DOCUMENT, "word/main.xml");
  const std::string bom = "\xEF\xBB\xBF";
  auto rels_to = [](const std::string& target) { return relationships(STYLES, target); };
  struct PackageCase {
    const char* what;
    std::vector<Part> parts;
  };
  const std::vector<PackageCase> cases = {
      {"main part under another name",
       {{"_rels/.rels", package_rels_main},
        {"word/main.xml", document_xml(body)},
        {"word/_rels/main.xml.rels", rels_to("styles.xml")},
        {"word/styles.xml", WORD_STYLES}}},
      {"absolute and percent-encoded targets, styles outside the main part's folder",
       {{"_rels/.rels", relationships(OFFICE_DOCUMENT, "/word/my%20doc.xml")},
        {"word/my doc.xml", document_xml(body)},
        {"word/_rels/my doc.xml.rels", rels_to("../shared/./look.xml")},
        {"shared/look.xml", WORD_STYLES}}},
      {"part names differ in case",
       {{"_rels/.rels", relationships(OFFICE_DOCUMENT, "word/document.xml")},
        {"Word/Document.xml", document_xml(body)},
        {"Word/_rels/Document.xml.rels", rels_to("Styles.xml")},
        {"word/styles.XML", WORD_STYLES}}},
      {"byte-order marks and stored parts",
       {{"_rels/.rels", bom + package_rels_main, true},
        {"word/main.xml", bom + document_xml(body), true},
        {"word/_rels/main.xml.rels", bom + rels_to("styles.xml")},
        {"word/styles.xml", bom + WORD_STYLES}}},
      {"strict namespaces and relationship types",
       {{"_rels/.rels",
         relationships("http://purl.oclc.org/ooxml/officeDocument/relationships/officeDocument", "word/main.xml")},
        {"word/main.xml", document_xml(body, W_STRICT_NS)},
        {"word/_rels/main.xml.rels",
         relationships("http://purl.oclc.org/ooxml/officeDocument/relationships/styles", "styles.xml")},
        {"word/styles.xml",
         styles_xml(style("Normal", "Normal", true) + style("Heading1", "heading 1"), W_STRICT_NS)}}},
      {"any prefix",
       {{"_rels/.rels", package_rels_main},
        {"word/main.xml", "<ns0:document xmlns:ns0=\"" + W_NS +
                              "\"><ns0:body><ns0:p><ns0:pPr><ns0:pStyle ns0:val=\"H\"/></ns0:pPr><ns0:r><ns0:t>T</ns0:t>"
                              "</ns0:r></ns0:p><ns0:p><ns0:r><ns0:t>x</ns0:t></ns0:r></ns0:p></ns0:body></ns0:document>"},
        {"word/_rels/main.xml.rels", rels_to("s.xml")},
        {"word/s.xml", "<q:styles xmlns:q=\"" + W_NS +
                           "\"><q:style q:type=\"paragraph\" q:styleId=\"H\"><q:name q:val=\"heading 1\"/></q:style>"
                           "</q:styles>"}}},
  };
  for (const PackageCase& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(outcome(make_zip(c.parts)), "converted: " + expected);
  }
}

TEST(ExtractorPackage, MissingOrUnusableParts) {
  const std::string doc = document_xml(p("x", "Heading1"));
  const std::vector<std::pair<std::vector<Part>, std::string>> cases = {
      {{{"_rels/.rels", relationships("http://example.com/other", "word/document.xml")}, {"word/document.xml", doc}},
       "not a Word document: '_rels/.rels' names no main document part"},
      {{{"_rels/.rels", "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
                        "<Relationship Id=\"r\" TargetMode=\"External\" Type=\"" +
                            OFFICE_DOCUMENT + "\" Target=\"word/document.xml\"/></Relationships>"},
        {"word/document.xml", doc}},
       "not a Word document: '_rels/.rels' names no main document part"},
      {{{"_rels/.rels", "<html/>"}, {"word/document.xml", doc}},
       "part '_rels/.rels' is not a relationships part"},
      // A dangling styles relationship leaves the document without styles.
      {{{"_rels/.rels", relationships(OFFICE_DOCUMENT, "word/document.xml")},
        {"word/document.xml", doc},
        {"word/_rels/document.xml.rels", relationships(STYLES, "nowhere.xml")}},
       "converted: x"},
      {{{"_rels/.rels", relationships(OFFICE_DOCUMENT, "word/document.xml")},
        {"word/document.xml", doc},
        {"word/_rels/document.xml.rels", relationships(STYLES, "styles.xml")},
        {"word/styles.xml", "<w:styles xmlns:w=\"" + W_NS + "\"><w:style>"}},
       "malformed XML in part 'word/styles.xml': the part ends inside an element"},
  };
  for (const auto& [parts, expected] : cases) {
    SCOPED_TRACE(expected);
    EXPECT_EQ(outcome(make_zip(parts)), expected);
  }
}

TEST(ExtractorPackage, BlocksComeOneAtATimeInBodyOrder) {
  pkg::Document doc(docx(h1(" Title ") + tbl(tr(tc("c"))) + p("item", "ListParagraph", true) + p("plain", "Nope")));
  EXPECT_EQ(doc.main_part_name(), "word/document.xml");
  std::vector<std::string> seen;
  for (ex::Block& block : ex::_iter_block_items(doc)) {
    if (const auto* par = std::get_if<ex::Paragraph>(&block)) {
      seen.push_back("p[" + par->text + "|" + par->style_name + "|" + (par->has_numbering ? "numbered" : "-") + "]");
    } else {
      const auto& rows = std::get<ex::Table>(block).rows;
      seen.push_back("table[" + std::to_string(rows.size()) + "x" + std::to_string(rows.at(0).size()) + ":" +
                     rows.at(0).at(0) + "]");
    }
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"p[ Title |Heading 1|-]", "table[1x1:c]", "p[item|List Paragraph|numbered]",
                                            "p[plain|Normal|-]"}));
  pkg::Block after;
  EXPECT_FALSE(doc.next_block(after));
}

}  // namespace
