#include "shared/processors/batchconvert.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "processors/docx_fixture.hpp"
#include "support/testing.hpp"

namespace {

namespace bc = shared::processors::batchconvert;
namespace ex = shared::processors::extractor;
namespace fs = std::filesystem;
using testing_support::read_bytes;
using testing_support::write_bytes;

const std::string BAD = "this is not a zip archive";

std::string document(const std::string& title) {
  using namespace docx_fixture;
  return docx(h1(title) + p("Body of " + title) + tbl(tr(tc("k") + tc("v"))));
}

std::vector<std::string> names_in(const fs::path& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::string> file_names(const std::vector<std::string>& paths) {
  std::vector<std::string> out;
  for (const auto& p : paths) out.push_back(fs::path(p).filename().string());
  return out;
}

// The "Converted: NAME" records of a capture, in order.
std::vector<std::string> records(const testing_support::LogCapture& log) {
  std::vector<std::string> out;
  for (const auto& line : log.matching("Converted:")) out.push_back(line);
  return out;
}

std::vector<std::string> expected_records(const std::vector<std::string>& names) {
  std::vector<std::string> out;
  for (const auto& n : names) out.push_back("{\"message\": \"Converted: " + n + "\"}");
  return out;
}

// A folder of inputs and an output folder inside a temporary folder.
struct Batch {
  testing_support::TempDir tmp;
  fs::path src = tmp / "in";
  fs::path dst = tmp / "out" / "md";

  explicit Batch(const std::vector<std::string>& names) {
    fs::create_directories(src);
    for (const auto& n : names) write_bytes(src / n, document(n));
  }
  bc::Options options(int workers) const {
    bc::Options o;
    o.src = src.string();
    o.dst = dst.string();
    o.workers = workers;
    return o;
  }
  // The inputs in the order the tool takes them.
  std::vector<std::string> listed() const { return bc::list_inputs(src.string()); }
};

// Worker-side helpers that order two conversions without sleeping: the
// waiting one reads a FIFO until every process that opened it for writing has
// ended. A stuck test is ended by the alarm instead of hanging.
void wait_until_writers_end(const fs::path& fifo) {
  ::alarm(120);
  const int fd = ::open(fifo.c_str(), O_RDONLY);
  char c;
  while (fd >= 0 && ::read(fd, &c, 1) > 0) {
  }
}
void hold_open_until_exit(const fs::path& fifo) {
  ::alarm(120);
  // Left open on purpose: it closes when this worker process ends.
  (void)::open(fifo.c_str(), O_WRONLY);
}

TEST(BatchConvert, FoldersAreDocsAndMarkdownInsideV2Files) {
  EXPECT_EQ(fs::path(bc::SRC), fs::path("v2_files") / "docs");
  EXPECT_EQ(fs::path(bc::DST), fs::path("v2_files") / "markdown");
  EXPECT_EQ(bc::max_workers, 4);
  EXPECT_EQ(bc::Options{}.workers, 4);
}

TEST(BatchConvert, InputsAreTheFilesMatchingTheWordPattern) {
  testing_support::TempDir tmp;
  for (const char* n : {"Report.docx", "Legacy.doc", "Macro.docm", "OLD.DOCX", "~$Report.docx", "x.doc.bak",
                        "Template.dotx", ".hidden.docx", "notes.txt", "docx", "README"}) {
    write_bytes(tmp / n, "x");
  }
  fs::create_directory(tmp / "folder.docx");
  std::vector<std::string> found = file_names(bc::list_inputs(tmp.path().string()));
  std::sort(found.begin(), found.end());
  EXPECT_EQ(found, (std::vector<std::string>{"Legacy.doc", "Macro.docm", "OLD.DOCX", "Report.docx", "x.doc.bak",
                                             "~$Report.docx"}));
  EXPECT_TRUE(bc::list_inputs((tmp / "missing").string()).empty());
}

TEST(BatchConvert, EachInputBecomesItsMarkdownFileAndTheRecordsFollowTheList) {
  Batch batch({"Report.docx", "Plan.final.docx", "A.docx", "B.docm", "C.docx"});
  fs::create_directories(batch.dst);
  write_bytes(batch.dst / "Report.md", "old text");
  write_bytes(batch.dst / "Unrelated.md", "left alone");

  testing_support::LogCapture log(shared::logsetup::Level::info);
  const std::vector<std::string> names = bc::run(batch.options(4));

  const std::vector<std::string> listed = file_names(batch.listed());
  EXPECT_EQ(names, listed);
  EXPECT_EQ(records(log), expected_records(listed));
  EXPECT_EQ(names_in(batch.dst),
            (std::vector<std::string>{"A.md", "B.md", "C.md", "Plan.final.md", "Report.md", "Unrelated.md"}));
  for (const auto& n : listed) {
    const std::string md = (batch.dst / (fs::path(n).stem().string() + ".md")).string();
    EXPECT_EQ(read_bytes(md), ex::docx_bytes_to_markdown(document(n))) << n;
  }
  EXPECT_EQ(read_bytes(batch.dst / "Report.md"), "# 1 Report.docx\nBody of Report.docx\n\n| k | v |\n| --- | --- |\n");
  EXPECT_EQ(read_bytes(batch.dst / "Unrelated.md"), "left alone");
}

TEST(BatchConvert, AnEmptyOrMissingInputFolderConvertsNothing) {
  for (bool exists : {true, false}) {
    testing_support::TempDir tmp;
    if (exists) fs::create_directory(tmp / "in");
    testing_support::LogCapture log(shared::logsetup::Level::info);
    bc::Options o;
    o.src = (tmp / "in").string();
    o.dst = (tmp / "a" / "b").string();
    EXPECT_TRUE(bc::run(o).empty());
    EXPECT_TRUE(log.lines().empty());
    EXPECT_TRUE(fs::is_directory(tmp / "a" / "b"));
  }
}

TEST(BatchConvert, RecordsKeepListOrderWhenALaterFileFinishesFirst) {
  Batch batch({"first.docx", "second.docx", "third.docx"});
  const std::vector<std::string> listed = batch.listed();
  const fs::path fifo = batch.tmp / "order";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  bc::Options o = batch.options(2);
  o.convert = [&](const std::string& path, const std::string& dst) {
    if (path == listed[0]) wait_until_writers_end(fifo);
    if (path == listed[1]) hold_open_until_exit(fifo);
    return bc::convert_one(path, dst);
  };
  testing_support::LogCapture log(shared::logsetup::Level::info);
  bc::run(o);
  EXPECT_EQ(records(log), expected_records(file_names(listed)));
}

TEST(BatchConvert, AFailureStopsTheBatchInListOrder) {
  Batch batch({"a.docx", "b.docx", "c.docx", "d.docx"});
  const std::vector<std::string> listed = batch.listed();
  const std::vector<std::string> names = file_names(listed);
  // The second file in list order is broken, and had an output before.
  write_bytes(listed[1], BAD);
  fs::create_directories(batch.dst);
  const fs::path old_output = batch.dst / (fs::path(names[1]).stem().string() + ".md");
  write_bytes(old_output, "previous run");

  testing_support::LogCapture log(shared::logsetup::Level::info);
  try {
    bc::run(batch.options(1));
    FAIL() << "no error";
  } catch (const bc::BatchError& e) {
    EXPECT_EQ(std::string(e.what()), names[1] + ": not a Word document: not a zip archive");
  }
  // One worker: the first file was done, the failing one kept its old output,
  // the rest never started.
  EXPECT_EQ(records(log), expected_records({names[0]}));
  EXPECT_EQ(read_bytes(old_output), "previous run");
  std::vector<std::string> expected = {fs::path(names[0]).stem().string() + ".md", old_output.filename().string()};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(names_in(batch.dst), expected);
}

TEST(BatchConvert, RunningConversionsFinishAfterAFailureAndKeepTheirOutput) {
  Batch batch({"a.docx", "b.docx", "c.docx"});
  const std::vector<std::string> listed = batch.listed();
  const std::vector<std::string> names = file_names(listed);
  write_bytes(listed[0], BAD);
  const fs::path fifo = batch.tmp / "order";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  bc::Options o = batch.options(2);
  o.convert = [&](const std::string& path, const std::string& dst) {
    // The first file fails only once the second has been converted.
    if (path == listed[0]) wait_until_writers_end(fifo);
    if (path == listed[1]) hold_open_until_exit(fifo);
    return bc::convert_one(path, dst);
  };
  testing_support::LogCapture log(shared::logsetup::Level::info);
  EXPECT_THROW(bc::run(o), bc::BatchError);
  EXPECT_TRUE(records(log).empty());
  const fs::path second = batch.dst / (fs::path(names[1]).stem().string() + ".md");
  EXPECT_EQ(read_bytes(second), ex::docx_bytes_to_markdown(document(names[1])));
  EXPECT_FALSE(fs::exists(batch.dst / (fs::path(names[0]).stem().string() + ".md")));
  // Whatever ran of the batch left whole files only.
  for (const auto& n : names_in(batch.dst)) EXPECT_EQ(fs::path(n).extension(), ".md") << n;
}

TEST(BatchConvert, WorkerFailuresOfEveryKindNameTheFile) {
  struct FailureCase {
    const char* what;
    std::function<std::string(const std::string&, const std::string&)> convert;
    std::string message;
  };
  const std::vector<FailureCase> cases = {
      {"an exception", [](const std::string&, const std::string&) -> std::string { throw std::runtime_error("boom"); },
       "only.docx: boom"},
      {"a killed worker",
       [](const std::string&, const std::string&) -> std::string {
         ::kill(::getpid(), SIGKILL);
         return "unreachable";
       },
       "only.docx: the conversion process was killed by signal 9"},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.what);
    Batch batch({"only.docx"});
    bc::Options o = batch.options(4);
    o.convert = c.convert;
    try {
      bc::run(o);
      ADD_FAILURE() << "no error";
    } catch (const bc::BatchError& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
  }
}

TEST(BatchConvert, AnOutputThatCannotBeWrittenFailsItsFile) {
  Batch batch({"Report.docx"});
  fs::create_directories(batch.dst / "Report.md");
  try {
    bc::run(batch.options(4));
    FAIL() << "no error";
  } catch (const bc::BatchError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Report.docx: cannot write '" + (batch.dst / "Report.md").string() + "': Is a directory");
  }
  EXPECT_EQ(names_in(batch.dst), (std::vector<std::string>{"Report.md"}));
}

TEST(BatchConvert, SingleFileFunctions) {
  testing_support::TempDir tmp;
  write_bytes(tmp / "Plan.final.docx", document("P"));
  EXPECT_EQ(bc::convert_one((tmp / "Plan.final.docx").string(), tmp.path().string()), "Plan.final.docx");
  EXPECT_EQ(read_bytes(tmp / "Plan.final.md"), ex::docx_bytes_to_markdown(document("P")));

  try {
    bc::docx_to_markdown((tmp / "missing.docx").string(), (tmp / "missing.md").string());
    FAIL() << "no error";
  } catch (const shared::Error& e) {
    EXPECT_EQ(std::string(e.what()), "cannot read '" + (tmp / "missing.docx").string() + "': No such file or directory");
  }
  EXPECT_FALSE(fs::exists(tmp / "missing.md"));
  EXPECT_THROW(bc::run(bc::Options{.src = tmp.path().string(), .dst = tmp.path().string(), .workers = 0}),
               shared::ValueError);
}

// ---------------------------------------------------------------------------
// The program.

struct ProgramRun {
  int status;
  std::string out, err;
};

ProgramRun run_program(const fs::path& cwd, const std::string& args) {
  const fs::path err_file = cwd / ".stderr";
  ProgramRun r;
  r.status = testing_support::run_command("cd '" + cwd.string() + "' && '" +
                                              (testing_support::binary_dir() / "batchconvert").string() + "' " + args +
                                              " 2>'" + err_file.string() + "'",
                                          &r.out);
  r.err = read_bytes(err_file);
  fs::remove(err_file);
  return r;
}

TEST(BatchConvertProgram, DefaultFoldersAreInsideV2Files) {
  testing_support::TempDir tmp;
  fs::create_directories(tmp / "v2_files" / "docs");
  write_bytes(tmp / "v2_files" / "docs" / "Report.docx", document("Report"));

  const ProgramRun quiet = run_program(tmp.path(), "");
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.out, "");
  EXPECT_EQ(quiet.err, "");
  EXPECT_EQ(read_bytes(tmp / "v2_files" / "markdown" / "Report.md"), ex::docx_bytes_to_markdown(document("Report")));
  EXPECT_EQ(names_in(tmp.path()), (std::vector<std::string>{"v2_files"}));

  const ProgramRun verbose = run_program(tmp.path(), "--verbose");
  EXPECT_EQ(verbose.status, 0);
  EXPECT_EQ(verbose.err, "{\"message\": \"Converted: Report.docx\"}\n");
}

TEST(BatchConvertProgram, OptionsFailuresAndHelp) {
  testing_support::TempDir tmp;
  fs::create_directories(tmp / "in");
  write_bytes(tmp / "in" / "bad.docx", BAD);

  const ProgramRun failed = run_program(tmp.path(), "--src in --dst out --workers 2");
  EXPECT_EQ(failed.status, 1);
  EXPECT_EQ(failed.err, "batchconvert: error: bad.docx: not a Word document: not a zip archive\n");
  EXPECT_TRUE(fs::is_directory(tmp / "out"));
  EXPECT_TRUE(fs::is_empty(tmp / "out"));

  const ProgramRun missing = run_program(tmp.path(), "--src nowhere --dst out");
  EXPECT_EQ(missing.status, 0);
  EXPECT_EQ(missing.err, "batchconvert: warning: no input folder 'nowhere': nothing to convert\n");

  for (const char* bad_args : {"--workers 0", "--workers x", "--bogus", "extra"}) {
    const ProgramRun usage = run_program(tmp.path(), bad_args);
    EXPECT_EQ(usage.status, 2) << bad_args;
    EXPECT_EQ(usage.err.rfind("batchconvert: error: ", 0), 0u) << usage.err;
  }

  const ProgramRun help = run_program(tmp.path(), "--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--workers N"), std::string::npos);
  EXPECT_NE(help.out.find("default v2_files/docs"), std::string::npos);
}

}  // namespace
