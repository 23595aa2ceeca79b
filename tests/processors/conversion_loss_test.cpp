#include "shared/processors/conversion_loss.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "processors/docx_fixture.hpp"
#include "shared/processors/extractor.hpp"
#include "shared/record.hpp"
#include "support/testing.hpp"

namespace {

namespace ex = shared::processors::extractor;
namespace loss = shared::processors::conversion_loss;
namespace pkg = shared::processors::docx_package;
namespace fs = std::filesystem;
using namespace docx_fixture;
using shared::Record;

const std::string MC = " xmlns:mc=\"http://schemas.openxmlformats.org/markup-compatibility/2006\"";
const std::string WP = " xmlns:wp=\"http://schemas.openxmlformats.org/drawingml/2006/wordprocessingDrawing\"";
const std::string VML = " xmlns:v=\"urn:schemas-microsoft-com:vml\"";
const std::string MATH = " xmlns:m=\"http://schemas.openxmlformats.org/officeDocument/2006/math\"";

std::string drawing() { return "<w:drawing><wp:inline" + WP + "><wp:extent cx=\"1\" cy=\"1\"/></wp:inline></w:drawing>"; }
std::string picture() { return "<w:r>" + drawing() + "</w:r>"; }
std::string text_box(const std::string& text) {
  // Word's own form: a DrawingML shape, and the same text box in VML for
  // readers that do not know it.
  return "<w:r><mc:AlternateContent" + MC + "><mc:Choice Requires=\"wps\"><w:drawing><wp:anchor" + WP +
         "><w:txbxContent>" + p(text) + "</w:txbxContent></wp:anchor></w:drawing></mc:Choice><mc:Fallback><w:pict><v:shape" +
         VML + "><v:textbox><w:txbxContent>" + p(text) + "</w:txbxContent></v:textbox></v:shape></w:pict>" +
         "</mc:Fallback></mc:AlternateContent></w:r>";
}
std::string para(const std::string& inner) { return "<w:p>" + inner + "</w:p>"; }

Record report_of(const std::string& bytes, std::string* markdown = nullptr) {
  loss::LossReport r;
  std::string md = ex::docx_bytes_to_markdown(bytes, r);
  if (markdown != nullptr) *markdown = md;
  return loss::to_record(r);
}

// A report with every count zero but the ones given.
Record expected(std::initializer_list<std::pair<const char*, int>> counts) {
  Record r = loss::to_record(loss::LossReport{});
  for (const auto& [key, n] : counts) {
    EXPECT_TRUE(r.contains(key)) << key;
    r[key] = n;
  }
  return r;
}

std::string corpus_bytes(const std::string& relative) {
  return testing_support::read_bytes(testing_support::corpus_dir() / relative);
}

// ---------------------------------------------------------------------------

TEST(ConversionLoss, TheReportHasEveryKeyInAFixedOrderZerosIncluded) {
  EXPECT_EQ(loss::to_record(loss::LossReport{}).dump(),
            "{\"drawings\":0,\"text_boxes\":0,\"equations\":0,\"symbols\":0,\"footnotes\":0,\"endnotes\":0,"
            "\"comments\":0,\"headers\":0,\"footers\":0,\"tracked_deletions\":0,\"tracked_insertions\":0,"
            "\"fields\":0,\"content_controls\":0,\"skipped_blocks\":0,\"nested_tables\":0,\"deep_headings\":0,"
            "\"demoted_headings\":0,\"merged_cells\":0,\"empty_paragraphs\":0}");
  // Each member lands under its own key.
  loss::LossReport r;
  r.drawings = 1, r.text_boxes = 2, r.equations = 3, r.symbols = 4, r.footnotes = 5, r.endnotes = 6, r.comments = 7;
  r.headers = 8, r.footers = 9, r.tracked_deletions = 10, r.tracked_insertions = 11, r.fields = 12;
  r.content_controls = 13, r.skipped_blocks = 14, r.nested_tables = 15, r.deep_headings = 16;
  r.demoted_headings = 17, r.merged_cells = 18, r.empty_paragraphs = 19;
  const Record rec = loss::to_record(r);
  int n = 0;
  for (const auto& [key, value] : rec.items()) {
    EXPECT_EQ(key, loss::KEYS[static_cast<std::size_t>(n)]);
    EXPECT_EQ(value, ++n) << key;
  }
  EXPECT_EQ(n, 19);
  EXPECT_TRUE(loss::anything_lost(r));
  EXPECT_FALSE(loss::anything_lost(loss::LossReport{}));
}

TEST(ConversionLoss, TheNoteNamesTheNonZeroCountsInOrder) {
  EXPECT_EQ(loss::loss_note(expected({{"drawings", 2}, {"merged_cells", 1}})), "drawings=2 merged_cells=1");
  EXPECT_EQ(loss::loss_note(expected({})), "");
  // A record from elsewhere (a database row, another version): only whole
  // positive numbers count, in the record's own order.
  EXPECT_EQ(loss::loss_note(Record::parse(R"({"footers":1,"drawings":"3","x":-1,"headers":2.5,"fields":4})")),
            "footers=1 fields=4");
  EXPECT_EQ(loss::loss_note(Record()), "");
  EXPECT_EQ(loss::loss_note(Record::array({1, 2})), "");
}

struct LossCase {
  const char* what;
  std::string body;
  std::string markdown;
  Record report;
};

TEST(ConversionLoss, EachKindIsCountedOnceAndTheMarkdownIsWhatTheRulesGive) {
  const std::string nested = tbl(tr(tc("inner")));
  const std::vector<LossCase> cases = {
      {"picture", para(run("a") + picture() + run("b")), "ab", expected({{"drawings", 1}})},
      {"VML picture and embedded object",
       para("<w:r><w:pict><v:shape" + VML + "/></w:pict></w:r><w:r><w:object><w:pict><v:shape" + VML +
            "/></w:pict></w:object></w:r>"),
       "", expected({{"drawings", 2}, {"empty_paragraphs", 1}})},
      {"picture in both forms", para(run("x") + "<w:r><mc:AlternateContent" + MC + "><mc:Choice Requires=\"wps\">" +
                                     drawing() + "</mc:Choice><mc:Fallback><w:pict/></mc:Fallback></mc:AlternateContent></w:r>"),
       "x", expected({{"drawings", 1}})},
      {"text box", para(run("before") + text_box("boxed")), "before", expected({{"text_boxes", 1}})},
      {"text box in a cell", tbl(tr("<w:tc>" + para(run("c") + text_box("boxed")) + "</w:tc>")),
       "\n| c |\n| --- |\n", expected({{"text_boxes", 1}})},
      {"equation", para(run("x = ") + "<m:oMathPara" + MATH + "><m:oMath><m:r><m:t>y</m:t></m:r></m:oMath>" +
                        "<m:oMath><m:r><m:t>z</m:t></m:r></m:oMath></m:oMathPara>") +
                       para("<m:oMath" + MATH + "><m:r><m:t>w</m:t></m:r></m:oMath>"),
       "x =\n", expected({{"equations", 2}, {"empty_paragraphs", 1}})},
      {"symbol", para(run("Yes ") + "<w:r><w:sym w:font=\"Wingdings\" w:char=\"F0A8\"/></w:r>"), "Yes",
       expected({{"symbols", 1}})},
      {"notes and comments",
       para(run("a") + "<w:r><w:footnoteReference w:id=\"1\"/></w:r><w:r><w:endnoteReference w:id=\"2\"/></w:r>" +
            "<w:commentRangeStart w:id=\"0\"/>" + run("b") + "<w:commentRangeEnd w:id=\"0\"/>" +
            "<w:r><w:commentReference w:id=\"0\"/></w:r>"),
       "ab", expected({{"footnotes", 1}, {"endnotes", 1}, {"comments", 1}})},
      {"tracked changes",
       para(run("kept ") + "<w:del w:id=\"1\"><w:r><w:delText>gone</w:delText></w:r></w:del>" +
            "<w:ins w:id=\"2\">" + run("new") + "</w:ins>" +
            "<w:moveFrom w:id=\"3\"><w:r><w:t>moved</w:t></w:r></w:moveFrom><w:moveTo w:id=\"4\">" + run(" here") +
            "</w:moveTo>"),
       "kept new here", expected({{"tracked_deletions", 2}, {"tracked_insertions", 2}})},
      {"tracked rows", tbl(tr(tc("h")) + "<w:tr><w:trPr><w:del w:id=\"1\"/></w:trPr>" + tc("old") + "</w:tr>" +
                           "<w:tr><w:trPr><w:ins w:id=\"2\"/></w:trPr>" + tc("new") + "</w:tr>"),
       "\n| h |\n| --- |\n| old |\n| new |\n", expected({{"tracked_deletions", 1}, {"tracked_insertions", 1}})},
      {"fields",
       para("<w:fldSimple w:instr=\"PAGE\">" + run("1") + "</w:fldSimple>") +
           para("<w:r><w:fldChar w:fldCharType=\"begin\"/></w:r><w:r><w:instrText>DATE</w:instrText></w:r>"
                "<w:r><w:fldChar w:fldCharType=\"separate\"/></w:r>" +
                run("today") + "<w:r><w:fldChar w:fldCharType=\"end\"/></w:r>"),
       "1\ntoday", expected({{"fields", 2}})},
      {"content controls", p("a") + "<w:sdt><w:sdtContent>" + p("hidden") + "</w:sdtContent></w:sdt>" +
                               tbl(tr("<w:tc><w:sdt><w:sdtContent>" + p("in cell") + "</w:sdtContent></w:sdt></w:tc>")) +
                               para("<w:sdt><w:sdtContent>" + run("inline is read") + "</w:sdtContent></w:sdt>"),
       "a\n\n|  |\n| --- |\n\ninline is read", expected({{"content_controls", 2}})},
      {"other skipped blocks", "<w:customXml w:element=\"x\">" + p("hidden") + "</w:customXml><w:altChunk r:id=\"rId9\" "
                               "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\"/>" +
                               p("b"),
       "b", expected({{"skipped_blocks", 2}})},
      {"nested table", tbl(tr("<w:tc>" + p("outer") + nested + p("") + "</w:tc>")), "\n| outer |\n| --- |\n",
       expected({{"nested_tables", 1}})},
      {"headings", h1("One") + p("Three", "Heading3") + p("Listed", "Heading1", true) + p("Listed 2", "Heading2", true) +
                       h2("Two"),
       "# 1 One\nThree\nListed\nListed 2\n## 1.1 Two", expected({{"deep_headings", 1}, {"demoted_headings", 2}})},
      {"numbered deep heading", p("Item", "Heading3", true), "Item", expected({{"deep_headings", 1}})},
      {"merged cells",
       tbl(tr(tc("a", "<w:gridSpan w:val=\"2\"/>") + tc("b", "<w:vMerge w:val=\"restart\"/>")) +
           tr(tc("c") + tc("d") + tc("", "<w:vMerge/>"))),
       "\n| a | a | b |\n| --- | --- | --- |\n| c | d | b |\n", expected({{"merged_cells", 2}})},
      // A continuation with nothing above it shows its own text: nothing was
      // filled in.
      {"merge without a start", tbl(tr(tc("x", "<w:vMerge/>"))), "\n| x |\n| --- |\n", expected({})},
      {"empty paragraphs", p("") + p(" \t") + p("\xC2\xA0") + p("", "Heading1") + p("x"), "\n\n\n\nx",
       expected({{"empty_paragraphs", 4}})},
      {"nothing left out", h1("Purpose") + p("Text") + tbl(tr(tc("a") + tc("b"))), "# 1 Purpose\nText\n\n| a | b |\n| --- | --- |\n",
       expected({})},
  };
  for (const LossCase& c : cases) {
    SCOPED_TRACE(c.what);
    std::string markdown;
    Record report;
    try {
      report = report_of(docx(c.body), &markdown);
    } catch (const std::exception& e) {
      ADD_FAILURE() << e.what();
      continue;
    }
    EXPECT_EQ(markdown, c.markdown);
    EXPECT_EQ(report.dump(), c.report.dump());
  }
}

TEST(ConversionLoss, HeadersAndFootersComeFromTheMainPartsRelationships) {
  const std::string rel_ns = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/";
  auto rel = [&](int id, const std::string& type, const std::string& target, bool external = false) {
    return "<Relationship Id=\"rId" + std::to_string(id) + "\" Type=\"" + rel_ns + type + "\" Target=\"" + target +
           "\"" + (external ? " TargetMode=\"External\"" : "") + "/>";
  };
  const std::string rels = "<?xml version=\"1.0\"?><Relationships "
                           "xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">" +
                           rel(1, "styles", "styles.xml") + rel(2, "header", "header1.xml") +
                           rel(3, "header", "header2.xml") + rel(4, "footer", "footer1.xml") +
                           rel(5, "header", "http://example.com/h.xml", true) + "</Relationships>";
  const std::string bytes = make_zip({{"_rels/.rels", relationships(OFFICE_DOCUMENT, "word/document.xml")},
                                      {"word/document.xml", document_xml(h1("Body"))},
                                      {"word/_rels/document.xml.rels", rels},
                                      {"word/styles.xml", WORD_STYLES},
                                      {"word/header1.xml", "<w:hdr xmlns:w=\"" + W_NS + "\">" + p("Page header") + "</w:hdr>"},
                                      {"word/header2.xml", "<w:hdr xmlns:w=\"" + W_NS + "\"/>"},
                                      {"word/footer1.xml", "<w:ftr xmlns:w=\"" + W_NS + "\">" + p("Footer") + "</w:ftr>"}});
  std::string markdown;
  EXPECT_EQ(report_of(bytes, &markdown).dump(), expected({{"headers", 2}, {"footers", 1}}).dump());
  EXPECT_EQ(markdown, "# 1 Body");
}

struct CorpusCase {
  const char* file;
  Record report;
};

TEST(ConversionLoss, CorpusDocuments) {
  // Counts read off each document's XML by hand.
  const std::vector<CorpusCase> cases = {
      // Heading 1, Heading 2, Heading 3: the third is plain text.
      {"docx/pandoc/enumerated_headings.docx", expected({{"deep_headings", 1}})},
      {"docx/pandoc/numbered_header.docx", expected({{"demoted_headings", 1}})},
      // One text box, in DrawingML and again in VML, alone in its paragraph.
      {"docx/mammoth.js/text-box.docx", expected({{"text_boxes", 1}, {"empty_paragraphs", 1}})},
      {"docx/pandoc/notes.docx", expected({{"footnotes", 1}, {"endnotes", 1}, {"empty_paragraphs", 1}})},
      {"docx/pandoc/track_changes_move.docx",
       expected({{"tracked_deletions", 1}, {"tracked_insertions", 1}, {"empty_paragraphs", 6}})},
      {"docx/tika/testAltChunkHTML.docx", expected({{"skipped_blocks", 1}})},
      {"docx/pandoc/nested_sdt.docx", expected({{"content_controls", 1}})},
      // A span in table 2, a continuation in table 3, a span and a spanning
      // continuation in table 4; an empty paragraph after each table but the first.
      {"docx/python-docx/tbl-cell-access.docx", expected({{"merged_cells", 4}, {"empty_paragraphs", 4}})},
  };
  for (const CorpusCase& c : cases) {
    SCOPED_TRACE(c.file);
    EXPECT_EQ(report_of(corpus_bytes(c.file)).dump(), c.report.dump());
  }
}

TEST(ConversionLoss, CountingChangesNoByteOfAnyCorpusDocument) {
  // The plain conversion and the counting one must agree on every real
  // document, and a document with something of every kind must show it.
  const fs::path root = testing_support::corpus_dir() / "docx";
  ASSERT_TRUE(fs::is_directory(root)) << root;
  Record total = loss::to_record(loss::LossReport{});
  int files = 0;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) continue;
    const std::string bytes = testing_support::read_bytes(entry.path());
    std::string plain;
    try {
      plain = ex::docx_bytes_to_markdown(bytes);
    } catch (const std::exception&) {
      continue;
    }
    ++files;
    loss::LossReport r;
    EXPECT_EQ(ex::docx_bytes_to_markdown(bytes, r), plain) << entry.path();
    const Record counts = loss::to_record(r);
    for (const auto& [key, value] : counts.items()) total[key] = total[key].get<long>() + value.get<long>();
  }
  EXPECT_GE(files, 150);
  // Every kind occurs somewhere in the corpus and is seen there.
  for (const auto& [key, value] : total.items()) EXPECT_GT(value.get<long>(), 0) << key;
}

// ---------------------------------------------------------------------------
// Packages that name one part twice.

// The parts as a zip archive in which every entry named `placeholder` is
// renamed `name`: libzip itself refuses to write two entries of one name.
std::string zip_with_renamed(const std::vector<Part>& parts, const std::string& placeholder, const std::string& name) {
  std::string bytes = make_zip(parts);
  EXPECT_EQ(placeholder.size(), name.size());
  int renamed = 0;
  for (std::size_t at = bytes.find(placeholder); at != std::string::npos; at = bytes.find(placeholder, at + 1)) {
    bytes.replace(at, placeholder.size(), name);
    ++renamed;
  }
  EXPECT_EQ(renamed, 2);  // its local header and its central directory entry
  return bytes;
}

TEST(ConversionLoss, APackageThatNamesAPartTwiceIsRefused) {
  const std::vector<Part> base = {{"_rels/.rels", relationships(OFFICE_DOCUMENT, "word/document.xml")},
                                  {"word/document.xml", document_xml(p("first"))}};
  struct DuplicateCase {
    const char* what;
    std::string bytes;
    std::string error;
  };
  auto with = [&](std::vector<Part> extra) {
    std::vector<Part> parts = base;
    parts.insert(parts.end(), extra.begin(), extra.end());
    return parts;
  };
  const std::vector<DuplicateCase> cases = {
      {"main part twice", zip_with_renamed(with({{"word/documenX.xml", document_xml(p("second"))}}), "word/documenX.xml",
                                           "word/document.xml"),
       "ambiguous package: zip entries 2 and 3 both name the part 'word/document.xml', which readers resolve "
       "differently"},
      {"relationships twice",
       zip_with_renamed(with({{"_rels/.relX", relationships(OFFICE_DOCUMENT, "word/other.xml")}}), "_rels/.relX",
                        "_rels/.rels"),
       "ambiguous package: zip entries 1 and 3 both name the part '_rels/.rels', which readers resolve differently"},
      // Part names ignore case: these two are one part as well.
      {"main part in another case", make_zip(with({{"Word/Document.xml", document_xml(p("second"))}})),
       "ambiguous package: zip entries 2 and 3 both name the part 'word/document.xml' (as 'word/document.xml' and "
       "'Word/Document.xml'; part names ignore case), which readers resolve differently"},
      // Refused even where the converter would never read the part.
      {"unread part twice",
       zip_with_renamed(with({{"docProps/a.xml", "<a/>"}, {"docProps/b.xml", "<b/>"}}), "docProps/b.xml",
                        "docProps/a.xml"),
       "ambiguous package: zip entries 3 and 4 both name the part 'docProps/a.xml', which readers resolve "
       "differently"},
  };
  for (const DuplicateCase& c : cases) {
    SCOPED_TRACE(c.what);
    try {
      ex::docx_bytes_to_markdown(c.bytes);
      ADD_FAILURE() << "converted";
    } catch (const pkg::PackageError& e) {
      EXPECT_EQ(std::string(e.what()), c.error);
    }
  }
  // Folder entries are no parts, and distinct names stay distinct.
  EXPECT_EQ(ex::docx_bytes_to_markdown(make_zip(with({{"word/", ""}, {"WORD/", ""}}))), "first");
  EXPECT_EQ(ex::docx_bytes_to_markdown(make_zip(with({{"word/document.xml.bak", "x"}}))), "first");
}

}  // namespace
