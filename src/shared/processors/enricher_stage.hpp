// shared.processors.enricher, the part that reaches blob storage: the
// enrichment stage. The pure functions are in enricher.hpp.
#pragma once

#include "shared/processors/base.hpp"
#include "shared/processors/enricher.hpp"

namespace shared::processors::enricher {

// Stage "ENRICHMENT": enrich section text with document context → save
// enriched JSON to blob. Reads context "sections_json" when it is non-empty,
// else parses the blob at "sections_blob_path" (or
// "{BLOB_FOLDER_JSON}/{doc_name}.sections.json"); writes the enriched
// document as "{BLOB_FOLDER_ENRICHED_JSON}/{doc_name}.enriched.json"
// ("application/json"), {doc_name} from the record's blob_filename, and then
// context "enriched_json" (the object) and "enriched_blob_path". Every error
// propagates with the context untouched.
class EnrichmentStage : public base::PipelineStageBase {
 public:
  EnrichmentStage();
  base::StageResult execute(const Record& doc, Record& context) override;
};

}  // namespace shared::processors::enricher
