// shared.processors.deleter: removes every artefact of one document: its
// blobs in all five artefact folders, its sections in the vector index and
// its row in the metadata table.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "shared/processors/base.hpp"

namespace shared::processors::deleter {

// Stage "DELETION". Succeeds unless a folder listing or a blob deletion
// failed; missing artefacts and index/metadata clean-up failures are warnings.
class DeletionStage : public base::PipelineStageBase {
 public:
  DeletionStage();
  base::StageResult execute(const Record& doc, Record& context) override;

  // The five artefact folders, in the order they are scanned.
  static std::vector<std::string> _ALL_ARTIFACT_FOLDERS();
};

// The QD-number of a document record: document_number, else qd_number
// (stripped), else the first "QD-<digits>" of blob_filename as written; ""
// when there is none.
std::string qd_number_of(const Record& doc);

// The first "QD-<digits>" in `text`, ignoring case, exactly as written; "".
std::string find_qd_number(std::string_view text);

// Whether blob name `name` belongs to `qd_number`: the number occurs in it,
// ignoring case, neither preceded by a letter or digit nor followed by a
// digit. So "QD-95" matches "x QD-95.md" but not "QD-950.md".
bool names_document(std::string_view name, std::string_view qd_number);

// What a deletion of `qd_number` would remove, removing nothing:
// {"qd_number", "blobs" (full paths), "index_sections" (count or null when
// the index cannot be read), "metadata_row" (the row or null), "warnings"}.
Record plan_deletion(const std::string& qd_number);

}  // namespace shared::processors::deleter
