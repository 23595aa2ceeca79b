#include "shared/processors/orchestrator.hpp"

#include <pthread.h>

#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "shared/errors.hpp"
#include "shared/processors/enricher_stage.hpp"
#include "shared/processors/extractor_stage.hpp"
#include "shared/processors/indexer.hpp"
#include "shared/processors/sectioner_stage.hpp"
#include "shared/processors/stamper_stage.hpp"
#include "shared/processors/summarizer.hpp"
#include "shared/processors/validator.hpp"

namespace shared::processors::orchestrator {

namespace {

// The extraction's report of what the conversion left out, when it made one.
std::optional<Record> loss_report(const Record& context) {
  if (const Record* report = record::find(context, "loss_report")) return *report;
  return std::nullopt;
}

}  // namespace

Orchestrator::Orchestrator(Stages stages) : stages_(std::move(stages)) {
  const std::pair<const char*, const std::shared_ptr<PipelineStageBase>*> slots[] = {
      {"VALIDATION", &stages_.validation}, {"EXTRACTION", &stages_.extraction},
      {"STAMPING", &stages_.stamping},     {"SECTIONING", &stages_.sectioning},
      {"ENRICHMENT", &stages_.enrichment}, {"INDEXING", &stages_.indexing},
      {"SUMMARIZATION", &stages_.summarization}};
  for (const auto& [name, slot] : slots) {
    if (!*slot) throw Error(std::string("pipeline is incomplete: no ") + name + " stage is available in this build");
  }
}

std::vector<StageResult> Orchestrator::_run_path_a(const Record& doc, Record& context) {
  std::vector<StageResult> results;
  for (PipelineStageBase* stage : {stages_.sectioning.get(), stages_.enrichment.get(), stages_.indexing.get()}) {
    results.push_back(stage->run(doc, context));
    if (!results.back().success) break;
  }
  return results;
}

std::vector<StageResult> Orchestrator::_run_path_b(const Record& doc, Record& context) {
  return {stages_.summarization->run(doc, context)};
}

std::optional<PipelineResult> Orchestrator::run_sequential(const Record& doc, Record& context,
                                                           std::vector<std::pair<std::string, double>>& timed) {
  for (PipelineStageBase* stage : {stages_.validation.get(), stages_.extraction.get(), stages_.stamping.get()}) {
    StageResult result = stage->run(doc, context);
    timed.emplace_back(result.stage, result.seconds);
    if (!result.success) {
      const std::string error = result.error.value_or("None");
      pipeline_log.error("Pipeline stopped at [" + result.stage + "]: " + error);
      return PipelineResult{.doc_id = record::get_text(doc, "id"),
                            .file_name = record::get_text(doc, "file_name"),
                            .status = result.stage == "VALIDATION" ? "FAILED" : "ERROR",
                            .stage = result.stage,
                            .error = result.error,
                            .loss_report = loss_report(context)};
    }
  }
  return std::nullopt;
}

Orchestrator::PathOutcomes Orchestrator::run_paths(const Record& doc, const Record& context) {
  PathOutcomes paths{.context_a = context, .context_b = context};

  // Two workers; outcomes are collected in the order the paths finish, and
  // the first failing path's exception is re-raised only after both ended.
  struct Outcome {
    std::vector<StageResult> results;
    std::exception_ptr error;
  };
  Outcome outcomes[2];
  std::mutex mu;
  std::condition_variable cv;
  std::vector<int> finished;

  auto work = [&](int index, std::function<std::vector<StageResult>()> path) {
    pthread_setname_np(pthread_self(), index == 0 ? "pipeline_0" : "pipeline_1");
    try {
      outcomes[index].results = path();
    } catch (...) {
      outcomes[index].error = std::current_exception();
    }
    {
      std::lock_guard lock(mu);
      finished.push_back(index);
    }
    cv.notify_one();
  };

  std::thread worker_a(work, 0, [&] { return _run_path_a(doc, paths.context_a); });
  std::thread worker_b;
  try {
    worker_b = std::thread(work, 1, [&] { return _run_path_b(doc, paths.context_b); });
  } catch (...) {
    worker_a.join();
    throw;
  }

  std::exception_ptr raised;
  for (std::size_t k = 0; k < 2 && !raised; ++k) {
    int index;
    {
      std::unique_lock lock(mu);
      cv.wait(lock, [&] { return finished.size() > k; });
      index = finished[k];
    }
    if (outcomes[index].error) {
      raised = outcomes[index].error;
    } else if (index == 0) {
      paths.a = std::move(outcomes[0].results);
    } else {
      paths.b = std::move(outcomes[1].results);
    }
  }
  worker_a.join();
  worker_b.join();
  if (raised) std::rethrow_exception(raised);
  return paths;
}

PipelineResult Orchestrator::fold(const Record& doc, const PathOutcomes& paths) {
  const std::string doc_id = record::get_text(doc, "id");
  const std::string file_name = record::get_text(doc, "file_name");
  // Path A's results come first, whichever path finished first.
  std::vector<const StageResult*> all_results;
  for (const StageResult& r : paths.a) all_results.push_back(&r);
  for (const StageResult& r : paths.b) all_results.push_back(&r);
  std::string error_msgs;
  const StageResult* first_failure = nullptr;
  for (const StageResult* r : all_results) {
    if (r->success) continue;
    if (first_failure == nullptr) first_failure = r;
    else error_msgs += "; ";
    error_msgs += "[" + r->stage + "] " + r->error.value_or("None");
  }
  if (first_failure != nullptr) {
    pipeline_log.error("Pipeline completed with errors: " + error_msgs);
    return PipelineResult{.doc_id = doc_id,
                          .file_name = file_name,
                          .status = "ERROR",
                          .stage = first_failure->stage,
                          .error = error_msgs,
                          .loss_report = loss_report(paths.context_a)};
  }

  pipeline_log.info("Pipeline completed successfully for all paths");
  PipelineResult done{.doc_id = doc_id, .file_name = file_name, .status = "PROCESSED", .stage = "PROCESSED"};
  if (const Record* s = record::find(paths.context_b, "summary_text")) done.summary = record::text_of(*s);
  for (const StageResult* r : all_results) {
    if (r->stage == "INDEXING" && r->data) done.indexing = *r->data;
  }
  done.loss_report = loss_report(paths.context_a);
  return done;
}

PipelineResult Orchestrator::process_document(const Record& doc, long batch_size) {
  pipeline_log.set_document(record::get_text(doc, "id"), record::get_text(doc, "file_name"));

  Record context = Record::object();
  context["batch_size"] = batch_size;
  std::vector<std::pair<std::string, double>> timed;
  if (std::optional<PipelineResult> stopped = run_sequential(doc, context, timed)) {
    stopped->stage_seconds = std::move(timed);
    return std::move(*stopped);
  }

  pipeline_log.info("Starting parallel paths (A: indexing, B: summarization)");
  const PathOutcomes paths = run_paths(doc, context);
  PipelineResult result = fold(doc, paths);
  for (const auto* list : {&paths.a, &paths.b}) {
    for (const StageResult& r : *list) timed.emplace_back(r.stage, r.seconds);
  }
  result.stage_seconds = std::move(timed);
  return result;
}

namespace {
Stages default_stages() {
  Stages s;
  s.validation = std::make_shared<validator::ValidationStage>();
  s.extraction = std::make_shared<extractor::ExtractionStage>();
  s.stamping = std::make_shared<stamper::StampingStage>();
  s.sectioning = std::make_shared<sectioner::SectioningStage>();
  s.enrichment = std::make_shared<enricher::EnrichmentStage>();
  s.indexing = std::make_shared<indexer::IndexingStage>();
  s.summarization = std::make_shared<summarizer::SummarizationStage>();
  return s;
}
}  // namespace

Orchestrator& default_orchestrator() {
  // A failed construction leaves the slot empty; the next call tries again.
  static Orchestrator orchestrator(default_stages());
  return orchestrator;
}

PipelineResult process_document(const Record& doc, long batch_size) {
  return default_orchestrator().process_document(doc, batch_size);
}

}  // namespace shared::processors::orchestrator
