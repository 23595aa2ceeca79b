#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "processors/docx_fixture.hpp"
#include "shared/processors/extractor.hpp"
#include "support/testing.hpp"

namespace {

namespace fs = std::filesystem;
using testing_support::read_bytes;
using testing_support::write_bytes;

struct ProgramRun {
  int status;
  std::string out, err;
};

// Runs `kesto convert ARGS` in `cwd`.
ProgramRun kesto_convert(const fs::path& cwd, const std::string& args) {
  const fs::path err_file = cwd / ".stderr";
  ProgramRun r;
  r.status = testing_support::run_command("cd '" + cwd.string() + "' && '" +
                                              (testing_support::binary_dir() / "kesto").string() + "' convert " +
                                              args + " 2>'" + err_file.string() + "'",
                                          &r.out);
  r.err = read_bytes(err_file);
  fs::remove(err_file);
  return r;
}

std::string sample() {
  using namespace docx_fixture;
  return docx(h1("Purpose") + p("Text with ä, → and a line") + tbl(tr(tc("a") + tc("b"))));
}

TEST(KestoConvert, WritesExactlyTheConvertedText) {
  testing_support::TempDir tmp;
  write_bytes(tmp / "in.docx", sample());
  const std::string expected = shared::processors::extractor::docx_bytes_to_markdown(sample());
  ASSERT_EQ(expected, "# 1 Purpose\nText with \xC3\xA4, \xE2\x86\x92 and a line\n\n| a | b |\n| --- | --- |\n");

  const ProgramRun to_stdout = kesto_convert(tmp.path(), "in.docx");
  EXPECT_EQ(to_stdout.status, 0);
  EXPECT_EQ(to_stdout.out, expected);
  EXPECT_EQ(to_stdout.err, "");

  const ProgramRun from_stdin = kesto_convert(tmp.path(), "- < in.docx");
  EXPECT_EQ(from_stdin.status, 0);
  EXPECT_EQ(from_stdin.out, expected);

  write_bytes(tmp / "out.md", "an older text that is longer than the new one");
  const ProgramRun to_file = kesto_convert(tmp.path(), "in.docx -o out.md");
  EXPECT_EQ(to_file.status, 0);
  EXPECT_EQ(to_file.out, "");
  EXPECT_EQ(read_bytes(tmp / "out.md"), expected);
  EXPECT_FALSE(fs::exists(tmp / "out.md.part"));
}

TEST(KestoConvert, AFailureWritesNoOutputFile) {
  testing_support::TempDir tmp;
  write_bytes(tmp / "bad.docx", "not a zip archive at all");
  write_bytes(tmp / "in.docx", sample());
  write_bytes(tmp / "kept.md", "kept");
  struct FailureCase {
    std::string args;
    int status;
    std::string err;
  };
  const std::vector<FailureCase> cases = {
      {"bad.docx -o new.md", 1, "kesto convert: error: not a Word document: not a zip archive\n"},
      {"bad.docx -o kept.md", 1, "kesto convert: error: not a Word document: not a zip archive\n"},
      {"missing.docx -o new.md", 1, "kesto convert: error: cannot read 'missing.docx'\n"},
      {". -o new.md", 1, "kesto convert: error: cannot read '.': is a folder\n"},
      {"in.docx -o no/such/folder.md", 1, "kesto convert: error: cannot write 'no/such/folder.md'\n"},
      {"", 2, "kesto convert: error: missing argument FILE (see --help)\n"},
      {"in.docx other.docx", 2, "kesto convert: error: unexpected argument 'other.docx' (see --help)\n"},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.args);
    const ProgramRun r = kesto_convert(tmp.path(), c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
  }
  EXPECT_EQ(read_bytes(tmp / "kept.md"), "kept");
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(tmp.path())) left.push_back(e.path().filename().string());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"bad.docx", "in.docx", "kept.md"}));
}

TEST(KestoConvert, TheLossReportGoesToStandardErrorOrAFile) {
  using namespace docx_fixture;
  testing_support::TempDir tmp;
  const std::string body = h1("Purpose") + p("Three", "Heading3") + p("") +
                           "<w:p><w:r><w:footnoteReference w:id=\"1\"/></w:r></w:p>";
  write_bytes(tmp / "in.docx", docx(body));
  const std::string expected = shared::processors::extractor::docx_bytes_to_markdown(docx(body));
  const std::string report =
      "{\"drawings\":0,\"text_boxes\":0,\"equations\":0,\"symbols\":0,\"footnotes\":1,\"endnotes\":0,"
      "\"comments\":0,\"headers\":0,\"footers\":0,\"tracked_deletions\":0,\"tracked_insertions\":0,"
      "\"fields\":0,\"content_controls\":0,\"skipped_blocks\":0,\"nested_tables\":0,\"deep_headings\":1,"
      "\"demoted_headings\":0,\"merged_cells\":0,\"empty_paragraphs\":2}\n";

  const ProgramRun to_stderr = kesto_convert(tmp.path(), "in.docx --report");
  EXPECT_EQ(to_stderr.status, 0);
  EXPECT_EQ(to_stderr.out, expected);
  EXPECT_EQ(to_stderr.err, report);

  const ProgramRun to_file = kesto_convert(tmp.path(), "in.docx -o out.md --report-file loss.json");
  EXPECT_EQ(to_file.status, 0);
  EXPECT_EQ(to_file.err, "");
  EXPECT_EQ(read_bytes(tmp / "out.md"), expected);
  EXPECT_EQ(read_bytes(tmp / "loss.json"), report);

  // A conversion that fails writes an error and no report.
  write_bytes(tmp / "bad.docx", "not a zip archive at all");
  const ProgramRun bad = kesto_convert(tmp.path(), "bad.docx --report --report-file bad.json");
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.err, "kesto convert: error: not a Word document: not a zip archive\n");
  EXPECT_FALSE(fs::exists(tmp / "bad.json"));

  const ProgramRun unwritable = kesto_convert(tmp.path(), "in.docx -o out2.md --report-file no/such/loss.json");
  EXPECT_EQ(unwritable.status, 1);
  EXPECT_EQ(unwritable.err, "kesto convert: error: cannot write 'no/such/loss.json'\n");

  const ProgramRun dash = kesto_convert(tmp.path(), "in.docx --report-file -");
  EXPECT_EQ(dash.status, 2);
  EXPECT_EQ(dash.out, "");
  EXPECT_EQ(dash.err,
            "kesto convert: error: --report-file needs a file name (--report writes to standard error)\n");
}

TEST(KestoConvert, HelpAndListing) {
  testing_support::TempDir tmp;
  const ProgramRun help = kesto_convert(tmp.path(), "--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("usage: kesto convert [options] FILE\n", 0), 0u) << help.out;
  EXPECT_NE(help.out.find("-o, --output OUT.md"), std::string::npos);

  std::string listing;
  EXPECT_EQ(testing_support::run_command("'" + (testing_support::binary_dir() / "kesto").string() + "' --help", &listing),
            0);
  EXPECT_NE(listing.find("  convert       convert a Word document (.docx) to Markdown\n"), std::string::npos) << listing;
}

}  // namespace
