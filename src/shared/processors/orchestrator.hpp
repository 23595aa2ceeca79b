// shared.processors.orchestrator: runs one document through the pipeline:
// validation, extraction and stamping one after the other, then path A
// (sectioning, enrichment, indexing) and path B (summarization) on two
// worker threads, folded into one PipelineResult.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "shared/logsetup.hpp"
#include "shared/models.hpp"
#include "shared/processors/base.hpp"
#include "shared/record.hpp"

namespace shared::processors::orchestrator {

using base::PipelineStageBase;
using models::PipelineResult;
using models::StageResult;

struct Stages {
  std::shared_ptr<PipelineStageBase> validation, extraction, stamping;
  std::shared_ptr<PipelineStageBase> sectioning, enrichment, indexing;
  std::shared_ptr<PipelineStageBase> summarization;
};

class Orchestrator {
 public:
  // Throws shared::Error naming the first missing stage.
  explicit Orchestrator(Stages stages);

  // Runs the document; stage exceptions propagate unchanged (an exception
  // from a parallel path only after both paths have finished).
  PipelineResult process_document(const Record& doc, long batch_size = 1);

  std::vector<StageResult> _run_path_a(const Record& doc, Record& context);
  std::vector<StageResult> _run_path_b(const Record& doc, Record& context);

  logsetup::PipelineLogger pipeline_log{"orchestrator"};

 private:
  // What the two paths left: their results and their own copies of the
  // context.
  struct PathOutcomes {
    std::vector<StageResult> a, b;
    Record context_a, context_b;
  };

  // Validation, extraction and stamping in turn, each one's time added to
  // `timed`; the result that ends the run at the first failing stage, or
  // nullopt when all succeeded.
  std::optional<PipelineResult> run_sequential(const Record& doc, Record& context,
                                               std::vector<std::pair<std::string, double>>& timed);
  // Paths A and B on two threads, each on its own copy of `context`. An
  // exception of a path is rethrown once both have finished.
  PathOutcomes run_paths(const Record& doc, const Record& context);
  // The document's result from both paths' results, path A's first.
  PipelineResult fold(const Record& doc, const PathOutcomes& paths);

  Stages stages_;
};

// The process's orchestrator over the seven real stages, created on first
// use and kept for the life of the process.
Orchestrator& default_orchestrator();

// default_orchestrator().process_document(doc, batch_size).
PipelineResult process_document(const Record& doc, long batch_size = 1);

}  // namespace shared::processors::orchestrator
