#include "shared/processors/deleter.hpp"

#include <gtest/gtest.h>

#include "shared/config.hpp"
#include "shared/errors.hpp"
#include "support/testing.hpp"

using namespace shared::processors::deleter;
using shared::Record;

TEST(Deleter, QdNumberSources) {
  const std::vector<std::pair<Record, std::string>> cases = {
      {{{"document_number", " QD-000958 "}}, "QD-000958"},
      {{{"document_number", ""}, {"qd_number", "\tQD-7\n"}}, "QD-7"},
      {{{"blob_filename", "Procedure qd-000123 rev B.docx"}}, "qd-000123"},
      {{{"document_number", "  "}, {"blob_filename", "x QD-42.docx"}}, "QD-42"},
      {{{"blob_filename", "no number here.docx"}}, ""},
      {Record::object(), ""},
  };
  for (const auto& [doc, expected] : cases) EXPECT_EQ(qd_number_of(doc), expected) << doc.dump();
}

TEST(Deleter, WholeNumberMatching) {
  struct Case {
    const char* name;
    const char* qd;
    bool match;
  };
  const std::vector<Case> cases = {
      {"kesto-ml-dev-json/QD-000958.sections.json", "QD-000958", true},
      {"kesto-ml-dev-documents/SOP QD-000958 rev B.docx", "QD-000958", true},
      {"kesto-ml-dev-documents/SOP qd-000958 rev B.docx", "QD-000958", true},
      {"kesto-ml-dev-markdown-files/QD-000123.md", "qd-000123", true},
      {"kesto-ml-dev-markdown-files/QD-950.md", "QD-95", false},
      {"kesto-ml-dev-markdown-files/QD-950 and QD-95.md", "QD-95", true},
      {"kesto-ml-dev-markdown-files/XQD-95.md", "QD-95", false},
      {"kesto-ml-dev-markdown-files/SOP_QD-95_v2.md", "QD-95", true},
      {"kesto-ml-dev-markdown-files/QD-9.md", "QD-95", false},
      {"kesto-ml-dev-markdown-files/anything.md", "", false},
  };
  for (const Case& c : cases) EXPECT_EQ(names_document(c.name, c.qd), c.match) << c.name << " / " << c.qd;
}

TEST(Deleter, NoQdNumberFailsWithoutLoggingOrDeleting) {
  testing_support::LogCapture cap;
  DeletionStage stage;
  Record context = Record::object();
  const auto r = stage.execute(Record{{"blob_filename", "Plain.docx"}}, context);
  EXPECT_EQ(r.stage, "DELETION");
  EXPECT_FALSE(r.success);
  EXPECT_EQ(r.error, "Cannot determine QD-number for deletion. Ensure 'document_number' is present in the document "
                     "metadata.");
  EXPECT_FALSE(r.data.has_value());
  EXPECT_TRUE(cap.lines().empty());
}

TEST(Deleter, FindQdNumberInText) {
  EXPECT_EQ(find_qd_number("Procedure qd-000123 rev B.docx"), "qd-000123");
  EXPECT_EQ(find_qd_number("QD-x QD-7"), "QD-7");
  EXPECT_EQ(find_qd_number("QD-"), "");
  EXPECT_EQ(find_qd_number("nothing"), "");
}

TEST(Deleter, MalformedQdNumbersAreRefusedBeforeAnyLookup) {
  // No storage or database is configured here: a refusal that reached for
  // either would fail differently.
  testing_support::LogCapture cap;
  for (const char* qd : {"QD-", "%", "_", "QD-1x", "qd 12"}) {
    DeletionStage stage;
    Record context = Record::object();
    const auto r = stage.execute(Record{{"document_number", qd}}, context);
    EXPECT_FALSE(r.success) << qd;
    EXPECT_EQ(r.error, invalid_qd_number_message(qd));
    EXPECT_FALSE(r.data.has_value());
    EXPECT_THROW(plan_deletion(std::string(qd)), shared::ValueError) << qd;
  }
  EXPECT_EQ(invalid_qd_number_message("QD-"),
            "Invalid QD-number 'QD-' for deletion: a QD-number is 'QD-' followed by digits, e.g. 'QD-000958'. "
            "Nothing was deleted.");
  EXPECT_TRUE(cap.lines().empty());
}

TEST(Deleter, ArtifactPathsOfARecordedFile) {
  const auto& s = shared::config::get();
  EXPECT_EQ(artifact_paths("Plain SOP.docx"),
            (std::vector<std::string>{s.BLOB_FOLDER_DOCUMENTS + "/Plain SOP.docx", s.BLOB_FOLDER_MARKDOWN + "/Plain SOP.md",
                                      s.BLOB_FOLDER_JSON + "/Plain SOP.sections.json",
                                      s.BLOB_FOLDER_ENRICHED_JSON + "/Plain SOP.enriched.json",
                                      s.BLOB_FOLDER_SUMMARY + "/Plain SOP.summary.md"}));
  // A folder part: the extraction names the Markdown after the last path
  // component, the later stages keep the folder.
  EXPECT_EQ(artifact_paths("a/b.v2.docx"),
            (std::vector<std::string>{s.BLOB_FOLDER_DOCUMENTS + "/a/b.v2.docx", s.BLOB_FOLDER_MARKDOWN + "/b.v2.md",
                                      s.BLOB_FOLDER_MARKDOWN + "/a/b.v2.md", s.BLOB_FOLDER_JSON + "/a/b.v2.sections.json",
                                      s.BLOB_FOLDER_ENRICHED_JSON + "/a/b.v2.enriched.json",
                                      s.BLOB_FOLDER_SUMMARY + "/a/b.v2.summary.md"}));
  EXPECT_TRUE(artifact_paths("").empty());
}

TEST(Deleter, VerificationAsTheReceiptHoldsIt) {
  const Verification found{.remaining_blobs = {"a/x.md"},
                           .index_sections = 2,
                           .metadata_row = std::nullopt,
                           .problems = {"blob 'a/x.md' is still there", "Metadata table not readable: down"},
                           .notes = {"'b/y.md' left alone: claimed"}};
  EXPECT_EQ(to_record(found).dump(),
            R"({"remaining_blobs":["a/x.md"],"index_sections":2,"metadata_row":null,)"
            R"("problems":["blob 'a/x.md' is still there","Metadata table not readable: down"],)"
            R"("notes":["'b/y.md' left alone: claimed"],"verified":false})");
  EXPECT_EQ(to_record(Verification{.metadata_row = false}).dump(),
            R"({"remaining_blobs":[],"index_sections":null,"metadata_row":false,"problems":[],"notes":[],"verified":true})");
  EXPECT_EQ(to_record(Verification{.problems = {"cannot list"}, .looked = false}).dump(),
            R"({"verified":false,"problems":["cannot list"]})");
}
