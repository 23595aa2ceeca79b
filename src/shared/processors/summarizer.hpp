// shared.processors.summarizer: stage 4B, the only stage of path B.
//   input:  kesto-ml-dev-markdown-files/{doc}.md      (BLOB_FOLDER_MARKDOWN)
//   output: kesto-ml-dev-summary-files/{doc}.summary.md (BLOB_FOLDER_SUMMARY)
#pragma once

#include <string>
#include <string_view>

#include "shared/processors/base.hpp"

namespace shared::processors::summarizer {

using base::StageResult;

// The document name: `blob_filename` without its last "." and what follows
// ("" when the key is absent; a name without "." is used whole).
std::string document_name(const Record& doc);

// Summarize the Markdown document → save summary to blob.
class SummarizationStage : public base::PipelineStageBase {
 public:
  SummarizationStage();

  // Reads "markdown_text" (or downloads "markdown_blob_path", or the
  // document's Markdown blob), has generate_summary write the summary,
  // uploads it as "{doc_name}.summary.md" (text/markdown) and only then sets
  // "summary_text" and "summary_blob_path". Nothing is caught: a failed
  // download, summary or upload leaves the context unchanged and propagates.
  StageResult execute(const Record& doc, Record& context) override;
};

}  // namespace shared::processors::summarizer
