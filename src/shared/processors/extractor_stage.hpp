// shared.processors.extractor, the parts that reach blob storage: the
// extraction stage and the legacy download-and-read functions. The
// conversion itself is in extractor.hpp.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "shared/processors/base.hpp"
#include "shared/processors/extractor.hpp"

namespace shared::processors::extractor {

// Download a .docx and return plain text (legacy interface).
// The blob is "{BLOB_FOLDER_DOCUMENTS}/{blob_filename}" in `container`
// (absent: the output account's default container). An empty blob is a
// shared::ValueError; storage and package errors propagate.
std::string extract_text_from_blob(const std::string& blob_filename,
                                   const std::optional<std::string>& container = std::nullopt);

// Download a .docx and return table data (legacy interface).
// The same blob and errors as extract_text_from_blob.
std::vector<TableCells> extract_tables_from_blob(const std::string& blob_filename,
                                                 const std::optional<std::string>& container = std::nullopt);

// Stage "EXTRACTION": download DOCX → convert to Markdown → upload to the
// Markdown folder. Uses context "markdown_text" instead of converting when it
// is non-empty, and "source_blob_path" instead of the document's own path
// when present; writes "markdown_text", "markdown_blob_path" and
// "md_filename" after a successful upload, and "loss_report" (what the
// conversion left out, see conversion_loss.hpp) when it converted. An empty
// source blob is a failed result; every other error propagates with the
// context untouched.
class ExtractionStage : public base::PipelineStageBase {
 public:
  ExtractionStage();
  base::StageResult execute(const Record& doc, Record& context) override;
};

}  // namespace shared::processors::extractor
