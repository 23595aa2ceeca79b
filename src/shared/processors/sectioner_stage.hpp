// shared.processors.sectioner, the part that reaches blob storage: the
// sectioning stage. The pure functions are in sectioner.hpp.
#pragma once

#include "shared/processors/base.hpp"
#include "shared/processors/sectioner.hpp"

namespace shared::processors::sectioner {

// Stage "SECTIONING": split Markdown into sections → save JSON to blob. Reads
// context "markdown_text" when it is non-empty, else the blob at
// "markdown_blob_path" (or "{BLOB_FOLDER_MARKDOWN}/{doc_name}.md"); writes
// the sections document as "{BLOB_FOLDER_JSON}/{doc_name}.sections.json"
// ("application/json") and then context "sections_json" (the document
// object) and "sections_blob_path". Every error propagates with the context
// untouched.
class SectioningStage : public base::PipelineStageBase {
 public:
  SectioningStage();
  base::StageResult execute(const Record& doc, Record& context) override;
};

}  // namespace shared::processors::sectioner
