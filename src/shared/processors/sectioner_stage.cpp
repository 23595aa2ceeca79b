// The sectioning stage: the part of shared.processors.sectioner that reaches
// blob storage.
#include "shared/config.hpp"
#include "shared/connectors/blobhub.hpp"
#include "shared/processors/artifact_names.hpp"
#include "shared/processors/sectioner_stage.hpp"

#include "shared/processors/stage_context.hpp"

namespace shared::processors::sectioner {

namespace blobhub = connectors::blobhub;

SectioningStage::SectioningStage() : PipelineStageBase("SECTIONING", "shared.processors.sectioner") {}

base::StageResult SectioningStage::execute(const Record& doc, Record& context) {
  const std::string* given_text = stage_context::text_value(context, "markdown_text");
  const std::string* given_path = stage_context::text_value(context, "markdown_blob_path");
  const std::string doc_name = document_name(doc);

  std::string downloaded;
  std::string_view markdown_text;
  if (given_text != nullptr) {
    markdown_text = *given_text;
  } else {
    const std::string md_blob_path =
        given_path != nullptr ? *given_path
                              : blobhub::build_blob_path(config::get().BLOB_FOLDER_MARKDOWN, doc_name + ".md");
    downloaded = blobhub::download_blob_text(md_blob_path);
    markdown_text = downloaded;
  }

  Record document;
  {
    auto timer = log.timed("markdown sectioning");
    document = build_sections_document(markdown_text, doc, true);
  }
  const std::size_t count = document["sections"].size();

  const std::string json_blob_path =
      blobhub::build_blob_path(config::get().BLOB_FOLDER_JSON, artifact_names::sections(doc_name));
  {
    auto timer = log.timed("json upload");
    blobhub::upload_blob(json_blob_path, sections_json_text(document),
                        {.content_type = "application/json", .document = stage_context::document_number(doc)});
  }

  context["sections_json"] = std::move(document);
  context["sections_blob_path"] = json_blob_path;

  log.info("Sectioned into " + std::to_string(count) + " section(s) \u2192 " + json_blob_path,
           {{"output_path", json_blob_path}});
  return base::StageResult{.stage = stage_name, .success = true, .output_path = json_blob_path};
}

}  // namespace shared::processors::sectioner
