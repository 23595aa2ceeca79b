// The enrichment stage: the part of shared.processors.enricher that reaches
// blob storage.
#include "shared/config.hpp"
#include "shared/connectors/blobhub.hpp"
#include "shared/processors/artifact_names.hpp"
#include "shared/processors/enricher_stage.hpp"

#include "shared/processors/sectioner.hpp"
#include "shared/processors/stage_context.hpp"
#include "shared/text/json_load.hpp"

namespace shared::processors::enricher {

namespace blobhub = connectors::blobhub;

EnrichmentStage::EnrichmentStage() : PipelineStageBase("ENRICHMENT", "shared.processors.enricher") {}

base::StageResult EnrichmentStage::execute(const Record& doc, Record& context) {
  const Record* given = record::find(context, "sections_json");
  Record downloaded;
  const Record* sections_json = given;
  if (record::is_empty(given)) {
    const std::string* given_path = stage_context::text_value(context, "sections_blob_path");
    const std::string json_blob_path =
        given_path != nullptr
            ? *given_path
            : blobhub::build_blob_path(config::get().BLOB_FOLDER_JSON,
                                       artifact_names::sections(sectioner::document_name(doc)));
    downloaded = text::loads(blobhub::download_blob_text(json_blob_path));
    sections_json = &downloaded;
  }

  Record enriched_payload;
  {
    auto timer = log.timed("enrich sections");
    enriched_payload = enrich_sections(*sections_json);
  }

  const std::string enriched_blob_path = blobhub::build_blob_path(
      config::get().BLOB_FOLDER_ENRICHED_JSON, artifact_names::enriched(sectioner::document_name(doc)));
  {
    auto timer = log.timed("enriched json upload");
    blobhub::upload_blob(enriched_blob_path, sectioner::sections_json_text(enriched_payload),
                         {.content_type = "application/json", .document = stage_context::document_number(doc)});
  }

  const Record* entries = record::find(enriched_payload, "enriched");
  const std::size_t section_count = entries != nullptr ? entries->size() : 0;
  context["enriched_json"] = std::move(enriched_payload);
  context["enriched_blob_path"] = enriched_blob_path;

  log.info("Enriched " + std::to_string(section_count) + " section(s) \u2192 " + enriched_blob_path,
           {{"output_path", enriched_blob_path}});
  return base::StageResult{.stage = stage_name, .success = true, .output_path = enriched_blob_path};
}

}  // namespace shared::processors::enricher
