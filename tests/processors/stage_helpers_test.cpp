// The pure pieces the document stages are built from: artefact names, the
// plain text and table cells of a Word document, and reading context values.
#include <gtest/gtest.h>

#include "processors/docx_fixture.hpp"
#include "shared/errors.hpp"
#include "shared/processors/extractor.hpp"
#include "shared/processors/stage_context.hpp"
#include "shared/processors/stamper.hpp"

namespace {

namespace ex = shared::processors::extractor;
namespace pkg = shared::processors::docx_package;
using shared::Record;
using namespace docx_fixture;

TEST(ArtefactNames, ExtractionTakesTheLastComponentStampingKeepsFolders) {
  struct Case {
    std::string blob_filename, extraction, stamping;
  };
  const std::vector<Case> cases = {
      {"SOP-001.docx", "SOP-001.md", "SOP-001.md"},
      {"a/b/SOP-001.docx", "SOP-001.md", "a/b/SOP-001.md"},
      {"folder/Name.docx", "Name.md", "folder/Name.md"},
      {"Plan.final.docx", "Plan.final.md", "Plan.final.md"},
      {"README", "README.md", "README.md"},
      {"", ".md", ".md"},
      // A leading dot starts no suffix, nor does a trailing one.
      {".docx", ".docx.md", ".md"},
      {"notes.", "notes..md", "notes.md"},
      {"..docx", "..md", "..md"},
      // A dot in a folder is no suffix of the file.
      {"v1.2/SOP", "SOP.md", "v1.md"},
      {"a/", "a.md", "a/.md"},
      {"Résumé → 1.docx", "Résumé → 1.md", "Résumé → 1.md"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.blob_filename);
    EXPECT_EQ(ex::markdown_file_name(c.blob_filename), c.extraction);
    EXPECT_EQ(shared::processors::stamper::markdown_blob_name(c.blob_filename), c.stamping);
  }
}

TEST(DocxPlainText, BodyParagraphsStrippedNonEmptyJoinedByLineFeeds) {
  struct Case {
    const char* name;
    std::string body;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"headings keep their plain text, no numbers or marks",
       h1("Purpose") + p("Body \xE2\x86\x92 text") + h2("Scope"), "Purpose\nBody \xE2\x86\x92 text\nScope"},
      {"Unicode whitespace is stripped, empty paragraphs dropped",
       p("\xC2\xA0 padded \xE3\x80\x80") + p("") + p(" \t ") + p("next"), "padded\nnext"},
      {"paragraphs inside tables are not body paragraphs",
       p("before") + tbl(tr(tc("cell") + tc("other"))) + p("after"), "before\nafter"},
      {"inner line breaks and tabs stay",
       "<w:p><w:r><w:t>a</w:t><w:br/><w:t>b</w:t><w:tab/><w:t>c</w:t></w:r></w:p>", "a\nb\tc"},
      {"no paragraphs at all", tbl(tr(tc("only"))), ""},
      {"an empty body", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ex::docx_bytes_to_text(docx(c.body)), c.text);
  }
}

TEST(DocxTables, CellsExpandedToTheGridStrippedWithLineFeedsKept) {
  using Tables = std::vector<ex::TableCells>;
  struct Case {
    const char* name;
    std::string body;
    Tables tables;
  };
  const std::vector<Case> cases = {
      {"two tables in order, paragraphs between them ignored",
       tbl(tr(tc("Name") + tc("Value")) + tr(tc(" a ") + tc("b\xC2\xA0"))) + p("between") + tbl(tr(tc("x"))),
       {{{"Name", "Value"}, {"a", "b"}}, {{"x"}}}},
      {"a cell of two paragraphs keeps its line feed",
       tbl(tr(tc_paragraphs({" first", "second "}) + tc("z"))), {{{"first\nsecond", "z"}}}},
      {"a cell spanning two grid columns appears twice",
       tbl(tr(tc("wide", "<w:gridSpan w:val=\"2\"/>") + tc("c")) + tr(tc("1") + tc("2") + tc("3"))),
       {{{"wide", "wide", "c"}, {"1", "2", "3"}}}},
      {"a vertical merge shows the text where it starts",
       tbl(tr(tc("top", "<w:vMerge w:val=\"restart\"/>") + tc("r1")) + tr(tc("", "<w:vMerge/>") + tc("r2"))),
       {{{"top", "r1"}, {"top", "r2"}}}},
      {"rows keep their own widths", tbl(tr(tc("a") + tc("b")) + tr(tc("c"))), {{{"a", "b"}, {"c"}}}},
      {"empty cells stay as empty strings", tbl(tr(tc("") + tc("  "))), {{{"", ""}}}},
      {"no tables", p("text"), {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ex::docx_bytes_to_tables(docx(c.body)), c.tables);
  }
}

TEST(DocxPlainText, BrokenPackagesAreRefusedLikeTheConversion) {
  for (const std::string& bytes : {std::string("plain text, no zip"), std::string()}) {
    EXPECT_THROW(ex::docx_bytes_to_text(bytes), pkg::PackageError);
    EXPECT_THROW(ex::docx_bytes_to_tables(bytes), pkg::PackageError);
  }
}

TEST(StageContext, TextValueFallsBackOnEmptyAndRefusesOtherKinds) {
  const Record context = {{"text", "abc"},      {"empty", ""},   {"null", nullptr}, {"zero", 0},
                          {"obj", Record::object()}, {"number", 5}, {"list", {1, 2}}, {"flag", true}};
  namespace sc = shared::processors::stage_context;
  ASSERT_NE(sc::text_value(context, "text"), nullptr);
  EXPECT_EQ(*sc::text_value(context, "text"), "abc");
  for (const char* key : {"missing", "empty", "null", "zero", "obj"}) {
    SCOPED_TRACE(key);
    EXPECT_EQ(sc::text_value(context, key), nullptr);
  }
  const std::vector<std::pair<const char*, std::string>> refused = {
      {"number", "context 'number' must be text, got number"},
      {"list", "context 'list' must be text, got array"},
      {"flag", "context 'flag' must be text, got boolean"},
  };
  for (const auto& [key, message] : refused) {
    SCOPED_TRACE(key);
    try {
      sc::text_value(context, key);
      ADD_FAILURE() << "no error";
    } catch (const shared::TypeError& e) {
      EXPECT_EQ(std::string(e.what()), message);
    }
  }
}

}  // namespace
