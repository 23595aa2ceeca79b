// shared.processors.validator: refuses documents the pipeline cannot take.
#pragma once

#include "shared/processors/base.hpp"

namespace shared::processors::validator {

// Stage "VALIDATION": a document needs a blob_filename ending in ".docx" or
// ".docm" (any case), and the batch must not exceed MAX_BATCH_SIZE.
class ValidationStage : public base::PipelineStageBase {
 public:
  ValidationStage();
  base::StageResult execute(const Record& doc, Record& context) override;
};

}  // namespace shared::processors::validator
