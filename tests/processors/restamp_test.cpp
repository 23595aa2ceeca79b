#include "shared/processors/restamp.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "shared/errors.hpp"
#include "support/testing.hpp"

using shared::Record;
using testing_support::read_bytes;
using testing_support::TempDir;
using testing_support::write_bytes;
namespace restamp = shared::processors::restamp;
namespace fs = std::filesystem;

namespace {

std::string block(const std::string& name, const std::string& number, const std::string& link) {
  return "<!-- METADATA_START -->\n## Metadata\n\n- **Document Name:** " + name + "\n- **Document Number:** " + number +
         "\n- **Veeva Link:** " + link + "\n<!-- METADATA_END -->\n\n";
}

const std::string OLD = block("Old", "QD-0", "old-link");
const std::string MISSING_NUMBER = "ERROR: missing document number";
const std::string MISSING_LINK = "ERROR: missing veeva link";

// A folder of Markdown files and the metadata rows the tests use.
struct Fixture {
  TempDir tmp;
  fs::path dir = tmp / "md";
  fs::path csv = tmp / "meta.csv";

  Fixture() {
    fs::create_directories(dir / "dir.md");
    write_bytes(dir / "SOP-001.md", "# 1 Purpose\r\nbody\r\n");
    write_bytes(dir / "SOP-002.md", OLD + "\n\n\n# Body\n");
    write_bytes(dir / "lone.md", "<!-- METADATA_START -->\nold");
    write_bytes(dir / "other.md", "<!-- METADATA_START -->x<!-- METADATA_END -->\n keep");
    write_bytes(dir / "plain.md", "a\r\nb");
    write_bytes(dir / ".hidden.md", "h");
    write_bytes(dir / "notes.txt", "n");
    write_bytes(dir / "UPPER.MD", "u");
    write_bytes(csv,
                "blob_filename,document_number,url_document_name\n"
                "SOP-001,,https://v/1\n"
                "SOP-002,QD-1,x\n"
                "lone,QD-3,https://v/3\n"
                "SOP-002,\"QD-2 \"\"ä\"\"\nsecond line\",\n"
                ".hidden,QD-4,h\n"
                "notes.txt,QD-5,n\n");
  }
};

const std::string STAMP_LINES =
    "\u2795 Added metadata: SOP-001.md\n"
    "\u267B\uFE0F Updated metadata: SOP-002.md\n"
    "\u2795 Added metadata: lone.md\n"
    "\u274C Skipping (no metadata): other.md\n"
    "\u274C Skipping (no metadata): plain.md\n";

const std::string STRIP_LINES =
    "\U0001F9F9 Cleaned: SOP-001.md\n"
    "\U0001F9F9 Cleaned: SOP-002.md\n"
    "\U0001F9F9 Cleaned: lone.md\n"
    "\U0001F9F9 Cleaned: other.md\n"
    "\u23ED Skipped: plain.md\n";

}  // namespace

TEST(Restamp, LabelsAndDefaultFolder) {
  EXPECT_EQ(restamp::LABEL_NO_METADATA, "❌ Skipping (no metadata):");
  EXPECT_EQ(restamp::LABEL_UPDATED, "♻️ Updated metadata:");
  EXPECT_EQ(restamp::LABEL_ADDED, "➕ Added metadata:");
  EXPECT_EQ(restamp::LABEL_CLEANED, "🧹 Cleaned:");
  EXPECT_EQ(restamp::LABEL_SKIPPED, "⏭ Skipped:");
  EXPECT_EQ(fs::path(std::string(restamp::MD_DIR)), fs::path("v2_files") / "markdown");
}

TEST(Restamp, MetaMapFromRows) {
  const std::vector<Record> rows = {
      {{"blob_filename", "A"}, {"document_number", 7}},
      {{"blob_filename", nullptr}, {"document_number", "lost"}},
      {{"blob_filename", "B"}, {"document_number", 0}, {"url_document_name", "l"}},
      {{"blob_filename", "A"}, {"document_number", "QD-2"}, {"url_document_name", "l2"}},
  };
  const restamp::MetaMap map = restamp::build_meta_map(rows);
  ASSERT_EQ(map.size(), 2u);
  EXPECT_EQ(map.at("A").title, "A");
  EXPECT_EQ(map.at("A").doc_number, "QD-2");
  EXPECT_EQ(map.at("A").link, "l2");
  EXPECT_EQ(map.at("B").doc_number, "");
  EXPECT_EQ(restamp::restamp_block(map.at("B")), block("B", MISSING_NUMBER, "l"));
  EXPECT_EQ(restamp::restamp_block({"T", "", ""}), block("T", MISSING_NUMBER, MISSING_LINK));
  EXPECT_EQ(restamp::build_meta_map({{{"blob_filename", "A"}, {"document_number", 7}}}).at("A").doc_number, "7");

  try {
    restamp::build_meta_map({{{"blob_filename", "A"}}, {{"document_number", "QD-1"}}});
    FAIL() << "a row without blob_filename must stop the start-up";
  } catch (const shared::ValueError& e) {
    EXPECT_STREQ(e.what(), "metadata row 2 has no blob_filename");
  }
}

TEST(Restamp, StampPassThenStripPass) {
  Fixture f;
  std::ostringstream out, err;
  restamp::run({f.csv.string(), f.dir, restamp::Mode::stamp}, out, err);
  EXPECT_EQ(out.str(), STAMP_LINES);
  EXPECT_EQ(err.str(), "");

  // The line break inside the number stays on the number's line.
  const std::string sop2 = block("SOP-002", "QD-2 \"ä\" second line", MISSING_LINK);
  EXPECT_EQ(read_bytes(f.dir / "SOP-001.md"), block("SOP-001", MISSING_NUMBER, "https://v/1") + "# 1 Purpose\nbody\n");
  EXPECT_EQ(read_bytes(f.dir / "SOP-002.md"), sop2 + "# Body\n");
  EXPECT_EQ(read_bytes(f.dir / "lone.md"), block("lone", "QD-3", "https://v/3") + "<!-- METADATA_START -->\nold");
  EXPECT_EQ(read_bytes(f.dir / "other.md"), "<!-- METADATA_START -->x<!-- METADATA_END -->\n keep");
  EXPECT_EQ(read_bytes(f.dir / "plain.md"), "a\r\nb");
  EXPECT_EQ(read_bytes(f.dir / ".hidden.md"), "h");
  EXPECT_EQ(read_bytes(f.dir / "notes.txt"), "n");
  EXPECT_EQ(read_bytes(f.dir / "UPPER.MD"), "u");

  // Stamping again only updates.
  out.str("");
  restamp::run({f.csv.string(), f.dir, restamp::Mode::stamp}, out, err);
  EXPECT_EQ(read_bytes(f.dir / "SOP-002.md"), sop2 + "# Body\n");
  EXPECT_NE(out.str().find("\u267B\uFE0F Updated metadata: SOP-001.md\n"), std::string::npos) << out.str();

  out.str("");
  restamp::run({"", f.dir, restamp::Mode::strip}, out, err);
  EXPECT_EQ(out.str(), STRIP_LINES);
  EXPECT_EQ(read_bytes(f.dir / "SOP-001.md"), "# 1 Purpose\nbody\n");
  EXPECT_EQ(read_bytes(f.dir / "SOP-002.md"), "# Body\n");
  EXPECT_EQ(read_bytes(f.dir / "lone.md"), "<!-- METADATA_START -->\nold");
  EXPECT_EQ(read_bytes(f.dir / "other.md"), "keep");
  EXPECT_EQ(read_bytes(f.dir / "plain.md"), "a\r\nb") << "a skipped file is not rewritten";
}

TEST(Restamp, AValueSpellingAMarkerLeavesReStampingStable) {
  TempDir tmp;
  const fs::path dir = tmp / "md";
  fs::create_directories(dir);
  write_bytes(dir / "SOP-9.md", "# 1 Purpose\nbody\n");
  write_bytes(tmp / "meta.csv",
              "blob_filename,document_number,url_document_name\n"
              "SOP-9,QD-9 <!-- METADATA_END --> ## 2 Forged,https://v/9\n");
  std::ostringstream out, err;
  restamp::run({(tmp / "meta.csv").string(), dir, restamp::Mode::stamp}, out, err);
  const std::string once = read_bytes(dir / "SOP-9.md");
  EXPECT_EQ(once, block("SOP-9", "QD-9 &lt;!-- METADATA_END --> ## 2 Forged", "https://v/9") + "# 1 Purpose\nbody\n");
  restamp::run({(tmp / "meta.csv").string(), dir, restamp::Mode::stamp}, out, err);
  restamp::run({(tmp / "meta.csv").string(), dir, restamp::Mode::stamp}, out, err);
  EXPECT_EQ(read_bytes(dir / "SOP-9.md"), once);
  restamp::run({"", dir, restamp::Mode::strip}, out, err);
  EXPECT_EQ(read_bytes(dir / "SOP-9.md"), "# 1 Purpose\nbody\n");
}

TEST(Restamp, FileNamesAreShownWithoutControlCharacters) {
  TempDir tmp;
  fs::create_directories(tmp / "md");
  write_bytes(tmp / "md" / "x\x1b]0;pwned\x07\nforged.md", "text");
  std::ostringstream out, err;
  restamp::run({"", tmp / "md", restamp::Mode::strip}, out, err);
  EXPECT_EQ(out.str(), "\u23ED Skipped: x\\x1b]0;pwned\\x07\\nforged.md\n");
}

TEST(Restamp, BothModeStampsThenStripsAsBefore) {
  Fixture f;
  std::ostringstream out, err;
  restamp::run({f.csv.string(), f.dir, restamp::Mode::both}, out, err);
  EXPECT_EQ(out.str(), STAMP_LINES + STRIP_LINES);
  EXPECT_EQ(read_bytes(f.dir / "SOP-001.md"), "# 1 Purpose\nbody\n");
  EXPECT_EQ(read_bytes(f.dir / "lone.md"), "<!-- METADATA_START -->\nold");
}

TEST(Restamp, StripDropsTextBeforeTheBlock) {
  TempDir tmp;
  write_bytes(tmp / "a.md", "Preface\n" + OLD + "\u00a0\n# A");
  write_bytes(tmp / "b.md", "x<!-- METADATA_END -->y<!-- METADATA_START -->z");
  std::ostringstream out;
  restamp::strip_metadata_block(tmp / "a.md", out);
  restamp::strip_metadata_block(tmp / "b.md", out);
  EXPECT_EQ(read_bytes(tmp / "a.md"), "# A");
  EXPECT_EQ(read_bytes(tmp / "b.md"), "y<!-- METADATA_START -->z");
  EXPECT_EQ(out.str(), "\U0001F9F9 Cleaned: a.md\n\U0001F9F9 Cleaned: b.md\n");
}

TEST(Restamp, FirstUnreadableFileStopsTheRun) {
  TempDir tmp;
  write_bytes(tmp / "a.md", "# A\n");
  write_bytes(tmp / "b.md", "# B\xC3\x28\n");
  write_bytes(tmp / "c.md", "# C\n");
  const restamp::MetaMap meta = restamp::build_meta_map(
      {{{"blob_filename", "a"}}, {{"blob_filename", "b"}}, {{"blob_filename", "c"}}});
  std::ostringstream out;
  try {
    restamp::stamp_pass(tmp.path(), meta, out);
    FAIL() << "invalid UTF-8 accepted";
  } catch (const shared::Error& e) {
    EXPECT_EQ(e.what(), "cannot read '" + (tmp / "b.md").string() + "': not valid UTF-8 (byte 3)");
  }
  EXPECT_EQ(out.str(), "\u2795 Added metadata: a.md\n");
  EXPECT_EQ(read_bytes(tmp / "a.md"), block("a", MISSING_NUMBER, MISSING_LINK) + "# A\n");
  EXPECT_EQ(read_bytes(tmp / "b.md"), "# B\xC3\x28\n");
  EXPECT_EQ(read_bytes(tmp / "c.md"), "# C\n");
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(tmp.path())) names.push_back(e.path().filename().string());
  EXPECT_EQ(names.size(), 3u) << "no temporary file is left behind";
}

TEST(Restamp, FolderAndOptionProblems) {
  TempDir tmp;
  write_bytes(tmp / "meta.json", "[{\"blob_filename\": \"a\"}]");
  std::ostringstream out, err;
  restamp::run({(tmp / "meta.json").string(), tmp / "absent", restamp::Mode::both}, out, err);
  EXPECT_EQ(out.str(), "");
  EXPECT_EQ(err.str(), "restamp: note: folder '" + (tmp / "absent").string() + "' does not exist; nothing to do\n");

  EXPECT_THROW(restamp::run({"", tmp.path(), restamp::Mode::stamp}, out, err), shared::ValueError);
  EXPECT_THROW(restamp::run({(tmp / "meta.json").string(), tmp / "meta.json", restamp::Mode::strip}, out, err),
               shared::ValueError);
  write_bytes(tmp / "bad.json", "[{\"document_number\": \"x\"}]");
  EXPECT_THROW(restamp::run({(tmp / "bad.json").string(), tmp.path(), restamp::Mode::stamp}, out, err),
               shared::ValueError);
  EXPECT_EQ(out.str(), "");

  EXPECT_EQ(restamp::parse_mode("both"), restamp::Mode::both);
  EXPECT_EQ(restamp::parse_mode("strip"), restamp::Mode::strip);
  EXPECT_EQ(restamp::parse_mode("stamp"), restamp::Mode::stamp);
  EXPECT_FALSE(restamp::parse_mode("Stamp").has_value());
}

TEST(Restamp, WritingThroughALinkKeepsTheLinkAndPermissions) {
  TempDir tmp;
  fs::create_directories(tmp / "md");
  write_bytes(tmp / "real.md", "# R\n");
  fs::permissions(tmp / "real.md", fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  fs::create_symlink(tmp / "real.md", tmp / "md" / "linked.md");
  std::ostringstream out;
  restamp::stamp_pass(tmp / "md", restamp::build_meta_map({{{"blob_filename", "linked"}}}), out);
  EXPECT_TRUE(fs::is_symlink(tmp / "md" / "linked.md"));
  EXPECT_EQ(read_bytes(tmp / "real.md"), block("linked", MISSING_NUMBER, MISSING_LINK) + "# R\n");
  EXPECT_EQ(fs::status(tmp / "real.md").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

TEST(RestampProgram, DefaultFolderModesAndExitStatus) {
  TempDir tmp;
  fs::create_directories(tmp / "v2_files" / "markdown");
  write_bytes(tmp / "v2_files" / "markdown" / "SOP-1.md", "# A\n");
  write_bytes(tmp / "meta.csv", "blob_filename,document_number,url_document_name\nSOP-1,QD-1,L\n");
  const std::string prog = (testing_support::binary_dir() / "restamp").string();
  const std::string cd = "cd '" + tmp.path().string() + "' && '" + prog + "' ";

  std::string out;
  EXPECT_EQ(testing_support::run_command(cd + "--metadata meta.csv 2>&1", &out), 0);
  EXPECT_EQ(out, "\u2795 Added metadata: SOP-1.md\n");
  EXPECT_EQ(read_bytes(tmp / "v2_files" / "markdown" / "SOP-1.md"), block("SOP-1", "QD-1", "L") + "# A\n");

  out.clear();
  EXPECT_EQ(testing_support::run_command(cd + "--mode strip --dir v2_files/markdown 2>&1", &out), 0);
  EXPECT_EQ(out, "\U0001F9F9 Cleaned: SOP-1.md\n");
  EXPECT_EQ(read_bytes(tmp / "v2_files" / "markdown" / "SOP-1.md"), "# A\n");

  out.clear();
  EXPECT_EQ(testing_support::run_command(cd + "--mode both --metadata meta.csv 2>/dev/null", &out), 0);
  EXPECT_EQ(out, "\u2795 Added metadata: SOP-1.md\n\U0001F9F9 Cleaned: SOP-1.md\n");

  struct Case {
    std::string args;
    int status;
    std::string output;
  };
  const std::vector<Case> cases = {
      {"--mode twice --metadata meta.csv", 2, "restamp: error: --mode must be stamp, strip or both, got 'twice'\n"},
      {"", 2, "restamp: error: --metadata PATH is required for --mode stamp\n"},
      {"--metadata nothere.csv", 2, "restamp: error: cannot read metadata file 'nothere.csv'\n"},
  };
  for (const Case& c : cases) {
    out.clear();
    EXPECT_EQ(testing_support::run_command(cd + c.args + " 2>&1", &out), c.status) << c.args;
    EXPECT_EQ(out, c.output) << c.args;
  }
  out.clear();
  EXPECT_EQ(testing_support::run_command(cd + "--help", &out), 0);
  EXPECT_EQ(out.rfind("usage: restamp [options]\n", 0), 0u) << out;
  EXPECT_FALSE(fs::exists(tmp / "v2_files\\markdown"));
}

TEST(Restamp, MetadataFolderRefusedAndByteOrderMarkDropped) {
  TempDir tmp;
  write_bytes(tmp / "SOP-2.md", "\xEF\xBB\xBF# B\n");
  fs::create_directory(tmp / "meta.csv");
  std::ostringstream out, err;
  try {
    restamp::run({(tmp / "meta.csv").string(), tmp.path(), restamp::Mode::stamp}, out, err);
    FAIL() << "a folder was read as metadata";
  } catch (const shared::ValueError& e) {
    EXPECT_EQ(e.what(), "cannot read metadata file '" + (tmp / "meta.csv").string() + "': is a folder");
  }
  EXPECT_EQ(read_bytes(tmp / "SOP-2.md"), "\xEF\xBB\xBF# B\n");
  // A byte-order mark does not end up in front of the stamped block.
  const restamp::MetaMap meta = restamp::build_meta_map({{{"blob_filename", "SOP-2"}}});
  restamp::stamp_pass(tmp.path(), meta, out);
  EXPECT_EQ(read_bytes(tmp / "SOP-2.md"), block("SOP-2", MISSING_NUMBER, MISSING_LINK) + "# B\n");
}
