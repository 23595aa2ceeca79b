#include "shared/processors/summarizer.hpp"

#include "shared/config.hpp"
#include "shared/connectors/blobhub.hpp"
#include "shared/processors/stage_context.hpp"
#include "shared/processors/aigate.hpp"
#include "shared/processors/artifact_names.hpp"
#include "shared/processors/outline.hpp"
#include "shared/text/utf8.hpp"

namespace shared::processors::summarizer {

namespace blobhub = connectors::blobhub;

std::string document_name(const Record& doc) {
  return artifact_names::doc_name(record::get_text(doc, "blob_filename", ""));
}

SummarizationStage::SummarizationStage() : PipelineStageBase("SUMMARIZATION", "shared.processors.summarizer") {}

StageResult SummarizationStage::execute(const Record& doc, Record& context) {
  const config::Settings& cfg = config::get();

  std::string markdown_text;
  if (const Record* md = record::find(context, "markdown_text"); !record::is_empty(md)) {
    markdown_text = record::text_of(*md);
  } else {
    std::string md_blob_path;
    if (const Record* p = record::find(context, "markdown_blob_path"); !record::is_empty(p)) {
      md_blob_path = record::text_of(*p);
    } else {
      md_blob_path = blobhub::build_blob_path(cfg.BLOB_FOLDER_MARKDOWN, artifact_names::markdown(document_name(doc)));
    }
    markdown_text = blobhub::download_blob_text(md_blob_path);
  }

  std::string summary;
  aigate::SummaryEngine engine{};
  {
    auto timer = log.timed("AI summarization");
    engine = aigate::summary_engine();
    summary = aigate::generate_summary(markdown_text, engine);
  }

  // The summary only helps to pick documents, so a model that dropped
  // headings is worth a warning, not a failed document.
  if (engine == aigate::SummaryEngine::azure_openai) {
    const std::vector<std::string> dropped = outline::dropped_headings(markdown_text, summary);
    if (!dropped.empty()) {
      Record names = Record::array();
      for (const std::string& h : dropped) names.push_back(h);
      log.warning(outline::dropped_headings_message(dropped, outline::count_outline_headings(markdown_text)),
                  {{"dropped_headings", names}});
    }
  }

  const std::string doc_name = document_name(doc);
  const std::string summary_blob_path = blobhub::build_blob_path(cfg.BLOB_FOLDER_SUMMARY, artifact_names::summary(doc_name));
  {
    auto timer = log.timed("summary upload");
    blobhub::upload_blob(summary_blob_path, summary,
                        blobhub::UploadOptions{.content_type = "text/markdown",
                                               .document = stage_context::document_number(doc)});
  }

  context["summary_text"] = summary;
  context["summary_blob_path"] = summary_blob_path;
  log.info("Summary (" + std::to_string(text::count_code_points(summary)) + " chars) \u2192 " + summary_blob_path,
           {{"output_path", summary_blob_path}});
  return StageResult{.stage = stage_name, .success = true, .output_path = summary_blob_path};
}

}  // namespace shared::processors::summarizer
