// shared.processors.orchestrator: runs one document through the pipeline:
// validation, extraction and stamping one after the other, then path A
// (sectioning, enrichment, indexing) and path B (summarization) on two
// worker threads, folded into one PipelineResult.
#pragma once

#include <memory>
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
  Stages stages_;
};

// The process's orchestrator over the seven real stages, created on first
// use and kept for the life of the process.
Orchestrator& default_orchestrator();

// default_orchestrator().process_document(doc, batch_size).
PipelineResult process_document(const Record& doc, long batch_size = 1);

}  // namespace shared::processors::orchestrator
