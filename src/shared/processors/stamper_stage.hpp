// shared.processors.stamper, the part that reaches blob storage: the
// stamping stage. The pure functions are in stamper.hpp.
#pragma once

#include "shared/processors/base.hpp"
#include "shared/processors/stamper.hpp"

namespace shared::processors::stamper {

// Stage "STAMPING": add / update the metadata stamp on the Markdown file in
// blob storage. Stamps context "markdown_text" when it is non-empty, else the
// text of the blob at "markdown_blob_path" (or "{BLOB_FOLDER_MARKDOWN}/"
// markdown_blob_name(blob_filename)), overwrites that blob and then writes
// both keys. Throws shared::ValueError when the context holds text but no
// path to write it to; every error leaves the context untouched.
class StampingStage : public base::PipelineStageBase {
 public:
  StampingStage();
  base::StageResult execute(const Record& doc, Record& context) override;
};

}  // namespace shared::processors::stamper
