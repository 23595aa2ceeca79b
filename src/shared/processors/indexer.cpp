#include "shared/processors/indexer.hpp"

namespace shared::processors::indexer {

IndexingStage::IndexingStage() : PipelineStageBase("INDEXING", "shared.processors.indexer") {}

base::StageResult IndexingStage::execute(const Record&, Record& context) {
  const Record* enriched = record::find(context, "enriched_json");
  if (enriched == nullptr) {
    return base::StageResult{.stage = stage_name, .success = false, .error = "No enriched_json in context"};
  }
  const std::size_t n = enriched->is_object() ? enriched->size() : 0;
  // No vector index is wired in yet: this stage only checks its input.
  log.info("Checked enriched_json (" + std::to_string(n) + " section(s)); no vector index is configured, nothing indexed");
  return base::StageResult{.stage = stage_name, .success = true};
}

}  // namespace shared::processors::indexer
