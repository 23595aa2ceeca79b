// The stamping stage: the part of shared.processors.stamper that reaches
// blob storage.
#include "shared/config.hpp"
#include "shared/connectors/blobhub.hpp"
#include "shared/errors.hpp"
#include "shared/processors/stage_context.hpp"
#include "shared/processors/stamper_stage.hpp"

namespace shared::processors::stamper {

namespace blobhub = connectors::blobhub;

StampingStage::StampingStage() : PipelineStageBase("STAMPING", "shared.processors.stamper") {}

base::StageResult StampingStage::execute(const Record& doc, Record& context) {
  const std::string* given_path = stage_context::text_value(context, "markdown_blob_path");
  const std::string* given_text = stage_context::text_value(context, "markdown_text");

  std::string md_blob_path = given_path != nullptr ? *given_path : std::string();
  std::string downloaded;
  std::string_view markdown_text;
  if (given_text != nullptr) {
    // Without a path the stamped text would be uploaded nowhere and the
    // following stages would read an unstamped blob.
    if (given_path == nullptr) {
      throw ValueError(
          "context holds 'markdown_text' but no 'markdown_blob_path': there is no Markdown blob to write the "
          "stamped text to");
    }
    markdown_text = *given_text;
  } else {
    if (given_path == nullptr) {
      md_blob_path = blobhub::build_blob_path(config::get().BLOB_FOLDER_MARKDOWN,
                                              markdown_blob_name(record::get_text(doc, "blob_filename")));
    }
    downloaded = blobhub::download_blob_text(md_blob_path);
    markdown_text = downloaded;
  }

  std::string stamped;
  {
    auto timer = log.timed("stamp markdown");
    stamped = stamp_markdown(markdown_text, doc);
  }
  {
    auto timer = log.timed("upload stamped markdown");
    blobhub::upload_blob(md_blob_path, stamped,
                        {.content_type = "text/markdown", .document = stage_context::document_number(doc)});
  }

  context["markdown_text"] = std::move(stamped);
  context["markdown_blob_path"] = md_blob_path;

  log.info("Stamped metadata on '" + md_blob_path + "'");
  return base::StageResult{.stage = stage_name, .success = true, .output_path = md_blob_path};
}

}  // namespace shared::processors::stamper
