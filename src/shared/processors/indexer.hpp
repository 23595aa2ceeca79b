// shared.processors.indexer: the last stage of path A, which hands the
// enriched sections to the vector index.
#pragma once

#include "shared/processors/base.hpp"

namespace shared::processors::indexer {

// Stage "INDEXING".
class IndexingStage : public base::PipelineStageBase {
 public:
  IndexingStage();
  base::StageResult execute(const Record& doc, Record& context) override;
};

}  // namespace shared::processors::indexer
