#include "shared/processors/orchestrator.hpp"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>

#include "shared/errors.hpp"
#include "support/testing.hpp"

using namespace shared::processors;
using shared::Record;
using shared::models::StageResult;
using testing_support::LogCapture;

namespace {

// A one-shot latch for ordering the two paths without sleeping.
struct Latch {
  std::mutex mu;
  std::condition_variable cv;
  bool open = false;
  void release() {
    { std::lock_guard l(mu); open = true; }
    cv.notify_all();
  }
  void wait() {
    std::unique_lock l(mu);
    cv.wait(l, [&] { return open; });
  }
};

struct Journal {
  std::mutex mu;
  std::vector<std::string> calls;
  void add(std::string s) {
    std::lock_guard l(mu);
    calls.push_back(std::move(s));
  }
};

class FakeStage : public base::PipelineStageBase {
 public:
  using Body = std::function<StageResult(FakeStage&, const Record&, Record&)>;
  FakeStage(std::string name, Journal& j, Body body = {})
      : PipelineStageBase(std::move(name), "tests.fake"), journal(j), body_(std::move(body)) {}
  StageResult execute(const Record& doc, Record& context) override {
    char tname[32] = {};
    pthread_getname_np(pthread_self(), tname, sizeof tname);
    thread_name = tname;
    journal.add(stage_name);
    if (body_) return body_(*this, doc, context);
    return StageResult{.stage = stage_name, .success = true};
  }
  Journal& journal;
  std::string thread_name;

 private:
  Body body_;
};

FakeStage::Body fail_with(std::string error) {
  return [error](FakeStage& s, const Record&, Record&) {
    return StageResult{.stage = s.stage_name, .success = false, .error = error};
  };
}

struct Rig {
  Journal journal;
  std::shared_ptr<FakeStage> validation, extraction, stamping, sectioning, enrichment, indexing, summarization;
  explicit Rig(std::map<std::string, FakeStage::Body> bodies = {}) {
    auto mk = [&](const char* n) { return std::make_shared<FakeStage>(n, journal, bodies[n]); };
    validation = mk("VALIDATION");
    extraction = mk("EXTRACTION");
    stamping = mk("STAMPING");
    sectioning = mk("SECTIONING");
    enrichment = mk("ENRICHMENT");
    indexing = mk("INDEXING");
    summarization = mk("SUMMARIZATION");
  }
  orchestrator::Orchestrator make() {
    return orchestrator::Orchestrator(
        {validation, extraction, stamping, sectioning, enrichment, indexing, summarization});
  }
};

}  // namespace

TEST(Orchestrator, SuccessRunsEveryStageAndReturnsTheSummary) {
  std::atomic<long> seen_batch{0};
  Rig rig({{"VALIDATION",
            [&](FakeStage& s, const Record&, Record& ctx) {
              seen_batch = ctx.at("batch_size").get<long>();
              return StageResult{.stage = s.stage_name, .success = true};
            }},
           {"STAMPING",
            [](FakeStage& s, const Record&, Record& ctx) {
              ctx["markdown_text"] = "# 1 Purpose";
              ctx["nested"] = Record{{"k", "v"}};
              return StageResult{.stage = s.stage_name, .success = true};
            }},
           {"ENRICHMENT",
            [](FakeStage& s, const Record&, Record& ctx) {
              ctx["enriched_json"] = Record::object();
              ctx["nested"]["k"] = "changed by A";
              return StageResult{.stage = s.stage_name, .success = true};
            }},
           {"SUMMARIZATION", [](FakeStage& s, const Record&, Record& ctx) {
              // Path A's writes are never visible here.
              EXPECT_FALSE(ctx.contains("enriched_json"));
              EXPECT_EQ(ctx.at("markdown_text"), "# 1 Purpose");
              ctx["summary_text"] = "# Summary";
              return StageResult{.stage = s.stage_name, .success = true};
            }}});
  auto orch = rig.make();
  LogCapture cap(shared::logsetup::Level::info);
  const Record doc = {{"id", "7"}, {"file_name", "SOP-1.docx"}};
  const auto result = orch.process_document(doc);
  EXPECT_EQ(seen_batch, 1);
  EXPECT_EQ(result.doc_id, "7");
  EXPECT_EQ(result.file_name, "SOP-1.docx");
  EXPECT_EQ(result.status, "PROCESSED");
  EXPECT_EQ(result.stage, "PROCESSED");
  EXPECT_FALSE(result.error.has_value());
  EXPECT_EQ(result.summary, "# Summary");
  EXPECT_EQ(rig.journal.calls.size(), 7u);
  EXPECT_EQ(rig.sectioning->thread_name.rfind("pipeline", 0), 0u);
  EXPECT_EQ(rig.summarization->thread_name.rfind("pipeline", 0), 0u);
  EXPECT_NE(rig.sectioning->thread_name, rig.summarization->thread_name);
  const auto orch_lines = cap.matching("\"document_id\": \"7\", \"document_name\": \"SOP-1.docx\"}");
  EXPECT_EQ(orch_lines, (std::vector<std::string>{
                            R"j({"message": "Starting parallel paths (A: indexing, B: summarization)", "document_id": "7", "document_name": "SOP-1.docx"})j",
                            R"({"message": "Pipeline completed successfully for all paths", "document_id": "7", "document_name": "SOP-1.docx"})"}));
}

TEST(Orchestrator, OutcomesTable) {
  struct Case {
    const char* label;
    std::map<std::string, FakeStage::Body> bodies;
    std::string status, stage;
    std::optional<std::string> error;
    std::vector<std::string> calls_absent;
    std::string error_line;
  };
  const std::vector<Case> cases = {
      {"validation refuses",
       {{"VALIDATION", fail_with("bad file")}},
       "FAILED",
       "VALIDATION",
       "bad file",
       {"EXTRACTION", "STAMPING", "SECTIONING", "SUMMARIZATION"},
       R"({"message": "Pipeline stopped at [VALIDATION]: bad file"})"},
      {"stamping fails",
       {{"STAMPING", fail_with("no blob")}},
       "ERROR",
       "STAMPING",
       "no blob",
       {"SECTIONING", "SUMMARIZATION"},
       R"({"message": "Pipeline stopped at [STAMPING]: no blob"})"},
      {"sectioning fails",
       {{"SECTIONING", fail_with("cut")}},
       "ERROR",
       "SECTIONING",
       "[SECTIONING] cut",
       {"ENRICHMENT", "INDEXING"},
       R"({"message": "Pipeline completed with errors: [SECTIONING] cut"})"},
      {"failure without error text",
       {{"INDEXING", [](FakeStage& s, const Record&, Record&) { return StageResult{.stage = s.stage_name}; }}},
       "ERROR",
       "INDEXING",
       "[INDEXING] None",
       {},
       R"({"message": "Pipeline completed with errors: [INDEXING] None"})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Rig rig(c.bodies);
    auto orch = rig.make();
    LogCapture cap(shared::logsetup::Level::info);
    const auto result = orch.process_document(Record::object());
    EXPECT_EQ(result.doc_id, "");
    EXPECT_EQ(result.file_name, "");
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.stage, c.stage);
    EXPECT_EQ(result.error, c.error);
    EXPECT_FALSE(result.summary.has_value());
    for (const auto& absent : c.calls_absent) {
      EXPECT_EQ(std::count(rig.journal.calls.begin(), rig.journal.calls.end(), absent), 0) << absent;
    }
    EXPECT_EQ(cap.matching("Pipeline ").back(), c.error_line);
    if (c.status == "FAILED" || c.stage == "STAMPING") {
      EXPECT_TRUE(cap.matching("Starting parallel paths").empty());
    }
  }
}

TEST(Orchestrator, PathAResultsComeFirstWhateverFinishesFirst) {
  Latch b_done;
  Rig rig({{"ENRICHMENT",
            [&](FakeStage& s, const Record&, Record&) {
              b_done.wait();  // path B finishes first
              return StageResult{.stage = s.stage_name, .success = false, .error = "enrich"};
            }},
           {"SUMMARIZATION", [&](FakeStage& s, const Record&, Record&) {
              b_done.release();
              return StageResult{.stage = s.stage_name, .success = false, .error = "model"};
            }}});
  auto orch = rig.make();
  LogCapture cap;
  const auto result = orch.process_document(Record{{"id", "1"}}, 3);
  EXPECT_EQ(result.status, "ERROR");
  EXPECT_EQ(result.stage, "ENRICHMENT");
  EXPECT_EQ(result.error, "[ENRICHMENT] enrich; [SUMMARIZATION] model");
  EXPECT_EQ(std::count(rig.journal.calls.begin(), rig.journal.calls.end(), "INDEXING"), 0);
}

TEST(Orchestrator, PathExceptionRaisedAfterBothPathsFinished) {
  Latch a_threw;
  std::atomic<bool> b_finished{false};
  Rig rig({{"SECTIONING",
            [&](FakeStage&, const Record&, Record&) -> StageResult {
              a_threw.release();
              throw std::runtime_error("sectioning exploded");
            }},
           {"SUMMARIZATION", [&](FakeStage& s, const Record&, Record&) {
              a_threw.wait();
              b_finished = true;
              return StageResult{.stage = s.stage_name, .success = true};
            }}});
  auto orch = rig.make();
  LogCapture cap;
  try {
    orch.process_document(Record::object());
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "sectioning exploded");
    EXPECT_TRUE(b_finished.load());
  }
  EXPECT_TRUE(cap.matching("Pipeline completed").empty());

  // A sequential stage's exception passes through unchanged, unlogged.
  Rig rig2({{"EXTRACTION", [](FakeStage&, const Record&, Record&) -> StageResult { throw shared::ValueError("x"); }}});
  auto orch2 = rig2.make();
  cap.clear();
  EXPECT_THROW(orch2.process_document(Record::object()), shared::ValueError);
  EXPECT_TRUE(cap.matching("Pipeline").empty());
}

TEST(Orchestrator, TheExtractionsLossReportReachesTheResultHoweverTheRunEnds) {
  const Record report = {{"drawings", 2}, {"empty_paragraphs", 0}};
  auto extraction = [&](FakeStage& s, const Record&, Record& ctx) {
    ctx["loss_report"] = report;
    return StageResult{.stage = s.stage_name, .success = true};
  };
  struct Case {
    const char* label;
    std::map<std::string, FakeStage::Body> bodies;
    std::string status;
    bool has_report;
  };
  const std::vector<Case> cases = {
      {"processed", {{"EXTRACTION", extraction}}, "PROCESSED", true},
      {"stamping fails after the conversion", {{"EXTRACTION", extraction}, {"STAMPING", fail_with("no")}}, "ERROR",
       true},
      {"a path fails", {{"EXTRACTION", extraction}, {"SUMMARIZATION", fail_with("model")}}, "ERROR", true},
      {"validation refuses before any conversion", {{"VALIDATION", fail_with("bad")}}, "FAILED", false},
      {"no conversion made", {}, "PROCESSED", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Rig rig(c.bodies);
    auto orch = rig.make();
    LogCapture cap;
    const auto result = orch.process_document(Record::object());
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.loss_report.has_value(), c.has_report);
    if (result.loss_report) {
      EXPECT_EQ(result.loss_report->dump(), report.dump());
    }
    const Record rec = shared::models::to_record(result);
    EXPECT_EQ(rec.contains("loss_report"), c.has_report);
    if (c.has_report) {
      EXPECT_EQ(std::prev(rec.end()).key(), "loss_report");
    }
  }
}

TEST(Orchestrator, SuccessWithoutSummaryLeavesItAbsent) {
  Rig rig;
  auto orch = rig.make();
  LogCapture cap;
  const auto result = orch.process_document(Record{{"file_name", "a.docx"}});
  EXPECT_EQ(result.status, "PROCESSED");
  EXPECT_FALSE(result.summary.has_value());
}

TEST(Orchestrator, IncompleteStageSetIsAClearError) {
  Rig rig;
  try {
    orchestrator::Orchestrator o({rig.validation, rig.extraction, nullptr, rig.sectioning, rig.enrichment,
                                  rig.indexing, rig.summarization});
    FAIL();
  } catch (const shared::Error& e) {
    EXPECT_NE(std::string(e.what()).find("STAMPING"), std::string::npos);
  }
}

TEST(StageBase, RunSetsStageAndDocumentOnTheLogger) {
  Journal j;
  FakeStage stage("EXTRACTION", j, [](FakeStage& s, const Record&, Record&) {
    s.log.info("inside", {{"output_path", "a/b.md"}});
    return StageResult{.stage = s.stage_name, .success = true};
  });
  LogCapture cap;
  Record ctx = Record::object();
  stage.run(Record{{"id", "9"}, {"file_name", "F.docx"}}, ctx);
  EXPECT_EQ(cap.lines().back(),
            R"({"message": "inside", "stage": "EXTRACTION", "document_id": "9", "document_name": "F.docx", "output_path": "a/b.md"})");
}
