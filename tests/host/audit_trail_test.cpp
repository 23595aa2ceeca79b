// The events and receipts the host builds for the audit trail, without
// any service: which uploads count, what a failure records, when a
// deletion counts as complete.
#include <gtest/gtest.h>

#include "shared/config.hpp"
#include "shared/connectors/audit.hpp"
#include "shared/errors.hpp"
#include "shared/host/audit_trail.hpp"
#include "support/testing.hpp"

using shared::Record;
namespace audit = shared::connectors::audit;
namespace audit_trail = shared::host::audit_trail;
namespace blobhub = shared::connectors::blobhub;

namespace {

blobhub::UploadRecord upload(const std::string& path, const std::string& sha, const std::string& container = "out") {
  return {.container = container, .blob_path = path, .size = 10, .sha256 = sha, .etag = "\"e-" + sha + "\""};
}

struct OutputContainer {
  testing_support::ScopedSettings scoped;
  static shared::config::Settings settings() {
    shared::config::Settings s;
    s.STORAGE_CONTAINER_NAME = "out";
    return s;
  }
  OutputContainer() : scoped(settings()) {}
};

}  // namespace

TEST(AuditEvents, OnlyTheDocumentsOwnLastWritesCount) {
  OutputContainer c;
  const std::vector<blobhub::UploadRecord> uploads = {
      upload("kesto-ml-dev-documents/SOP QD-1 A.docx", "src"),
      upload("kesto-ml-dev-markdown-files/SOP QD-1 A.md", "raw"),
      upload("kesto-ml-dev-markdown-files/Other QD-2.md", "theirs"),       // another document's run
      upload("kesto-ml-dev-json/SOP QD-1 A.sections.json", "x", "elsewhere"),  // another container
      upload("kesto-ml-dev-markdown-files/SOP QD-1 A.md", "stamped"),      // the stamp rewrote it
  };
  const auto events = audit_trail::run_events("QD-1", "SOP QD-1 A.docx", uploads, "\"src-1\"", "PROCESSED", "", "",
                                              Record{{"sections", 7}, {"kept", 0}});
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].action, "ingested");
  EXPECT_EQ(events[1].action, "artefact_written");
  EXPECT_EQ(events[1].sha256, "stamped");
  EXPECT_EQ(events[1].etag, "\"e-stamped\"");
  EXPECT_EQ(events[2].action, "indexed");
  EXPECT_EQ(events[2].index_rows, 7);
  for (const auto& e : events) EXPECT_EQ(e.source_etag, "\"src-1\"");
}

TEST(AuditEvents, AFailedRunRecordsWhatItWroteAndWhy) {
  OutputContainer c;
  const auto events =
      audit_trail::run_events("QD-1", "A.docx", {upload("kesto-ml-dev-documents/A.docx", "s")}, "", "ERROR",
                              "SUMMARIZATION", "model down", Record());
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].action, "ingested");
  EXPECT_EQ(events[1].action, "failed");
  EXPECT_EQ(events[1].detail.at("stage"), "SUMMARIZATION");
  EXPECT_EQ(events[1].detail.at("error"), "model down");
  // Nothing written at all (refused before the upload): only the failure.
  EXPECT_EQ(audit_trail::run_events("QD-1", "A.docx", {}, "", "FAILED", "VALIDATION", "bad", Record()).size(), 1u);
}

TEST(AuditEvents, LiveArtefactsFollowWritesAndDeletions) {
  auto ev = [](const char* action, const char* path, const char* sha) {
    return Record{{"action", action}, {"blob_path", path ? Record(path) : Record()}, {"sha256", sha}};
  };
  const std::vector<Record> history = {ev("ingested", "d/A.docx", "1"), ev("artefact_written", "m/A.md", "2"),
                                       ev("indexed", nullptr, ""),      ev("deleted", "d/A.docx", "1"),
                                       ev("artefact_written", "m/A.md", "3"), ev("deleted", "x/never.md", "")};
  const auto live = audit::live_artefacts(history);
  ASSERT_EQ(live.size(), 1u);
  EXPECT_EQ(live[0].at("blob_path"), "m/A.md");
  EXPECT_EQ(live[0].at("sha256"), "3");
}

TEST(AuditEvents, TheReceiptIsCompleteOnlyWhenNothingRemainsOrWasLeftBehind) {
  const std::vector<Record> history = {Record{{"action", "artefact_written"},
                                              {"blob_path", "m/A.md"},
                                              {"size_bytes", 10},
                                              {"sha256", "abc"},
                                              {"etag", "\"e\""}}};
  const Record data{{"qd_number", "qd-1"},
                    {"deleted_artifacts", {"m/A.md", "s/A.summary.md"}},
                    {"warnings", Record::array()},
                    {"errors", Record::array()}};
  const Record context{{"left_behind", Record::array()}, {"index_sections_removed", 4}, {"metadata_row_removed", true}};
  const Record verified{{"verified", true}, {"problems", Record::array()}, {"index_sections", 0}};
  const Record receipt = audit_trail::deletion_receipt("qd-1", data, context, history, verified);
  EXPECT_EQ(receipt.at("complete"), true);
  EXPECT_EQ(receipt.at("removed")[0].at("sha256"), "abc");
  EXPECT_TRUE(receipt.at("removed")[1].at("sha256").is_null());  // not in the trail: said so, not invented
  const auto events = audit_trail::deletion_events("QD-1", receipt);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].action, "deleted");
  EXPECT_EQ(events[0].size, 10);
  EXPECT_EQ(events[2].action, "deletion_verified");
  EXPECT_EQ(events[2].index_rows, 0);

  Record left = context;
  left["left_behind"] = Record::array({"the metadata row of 'qd-1' (down)"});
  EXPECT_EQ(audit_trail::deletion_receipt("qd-1", data, left, history, verified).at("complete"), false);
  const Record unverified{{"verified", false}, {"problems", {"blob 'm/A.md' is still there"}}};
  const Record r2 = audit_trail::deletion_receipt("qd-1", data, context, history, unverified);
  EXPECT_EQ(r2.at("complete"), false);
  EXPECT_EQ(audit_trail::deletion_events("QD-1", r2).back().action, "failed");
}

TEST(AuditEvents, AppendRefusesUnknownActionsAndEventsWithoutANumber) {
  // Checked before any statement: no connection is needed to refuse them.
  EXPECT_THROW(audit::append(nullptr, "kesto_audit", {audit::Event{.document_number = "QD-1", .action = "edited"}}),
               shared::ValueError);
  EXPECT_THROW(audit::append(nullptr, "kesto_audit", {audit::Event{.document_number = "", .action = "deleted"}}),
               shared::ValueError);
  EXPECT_THROW(audit::append(nullptr, "kesto_audit; DROP TABLE x", {}), shared::ValueError);
}
