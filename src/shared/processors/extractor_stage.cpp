// The extraction stage and the legacy download-and-read functions: the parts
// of shared.processors.extractor that reach blob storage.
#include "shared/config.hpp"
#include "shared/connectors/blobhub.hpp"
#include "shared/errors.hpp"
#include "shared/processors/extractor_stage.hpp"
#include "shared/processors/stage_context.hpp"
#include "shared/text/utf8.hpp"

namespace shared::processors::extractor {

namespace blobhub = connectors::blobhub;

namespace {

// The bytes of "{BLOB_FOLDER_DOCUMENTS}/{blob_filename}"; an empty blob is a ValueError.
std::string download_docx(const std::string& blob_filename, const std::optional<std::string>& container) {
  const std::string blob_path = blobhub::build_blob_path(config::get().BLOB_FOLDER_DOCUMENTS, blob_filename);
  std::string blob_bytes = blobhub::download_blob(blob_path, {.container = container});
  if (blob_bytes.empty()) throw ValueError("Downloaded blob '" + blob_path + "' is empty.");
  return blob_bytes;
}

}  // namespace

std::string extract_text_from_blob(const std::string& blob_filename, const std::optional<std::string>& container) {
  return docx_bytes_to_text(download_docx(blob_filename, container));
}

std::vector<TableCells> extract_tables_from_blob(const std::string& blob_filename,
                                                 const std::optional<std::string>& container) {
  return docx_bytes_to_tables(download_docx(blob_filename, container));
}

ExtractionStage::ExtractionStage() : PipelineStageBase("EXTRACTION", "shared.processors.extractor") {}

base::StageResult ExtractionStage::execute(const Record& doc, Record& context) {
  const std::string blob_filename = record::get_text(doc, "blob_filename");

  const std::string* given = stage_context::text_value(context, "markdown_text");
  std::string converted;
  std::optional<conversion_loss::LossReport> loss;
  if (given == nullptr) {
    std::string source_path;
    if (const Record* source = record::find(context, "source_blob_path")) {
      if (!source->is_string()) {
        throw TypeError(std::string("context 'source_blob_path' must be text, got ") + source->type_name());
      }
      source_path = source->get<std::string>();
    } else {
      source_path = blobhub::build_blob_path(config::get().BLOB_FOLDER_DOCUMENTS, blob_filename);
    }

    std::string docx_bytes;
    {
      auto timer = log.timed("blob download");
      docx_bytes = blobhub::download_blob(source_path);
    }
    if (docx_bytes.empty()) {
      return base::StageResult{
          .stage = stage_name, .success = false, .error = "Downloaded blob '" + source_path + "' is empty."};
    }
    {
      auto timer = log.timed("docx \u2192 markdown");
      converted = docx_bytes_to_markdown(docx_bytes, loss.emplace());
    }
  }
  const std::string_view markdown_text = given != nullptr ? std::string_view(*given) : std::string_view(converted);

  const std::string md_filename = markdown_file_name(blob_filename);
  const std::string md_blob_path = blobhub::build_blob_path(config::get().BLOB_FOLDER_MARKDOWN, md_filename);
  {
    auto timer = log.timed("markdown upload");
    blobhub::upload_blob(md_blob_path, markdown_text,
                        {.content_type = "text/markdown", .document = stage_context::document_number(doc)});
  }

  // Counted before the context changes: `given` points into it.
  const std::size_t chars = text::count_code_points(markdown_text);
  // Text that came from the context is already its "markdown_text".
  if (given == nullptr) context["markdown_text"] = std::move(converted);
  context["markdown_blob_path"] = md_blob_path;
  context["md_filename"] = md_filename;
  if (loss) context["loss_report"] = conversion_loss::to_record(*loss);

  log.info("Extracted " + std::to_string(chars) + " chars \u2192 " + md_blob_path, {{"output_path", md_blob_path}});
  if (loss) {
    const Record& report = context["loss_report"];
    const std::string note = conversion_loss::loss_note(report);
    log.info(note.empty() ? "Conversion left nothing out" : "Conversion left out: " + note,
             {{"loss_report", report}});
  }
  return base::StageResult{.stage = stage_name, .success = true, .output_path = md_blob_path};
}

}  // namespace shared::processors::extractor
