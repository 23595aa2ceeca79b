#include "shared/processors/validator.hpp"

#include "shared/config.hpp"
#include "shared/text/utf8.hpp"

namespace shared::processors::validator {

ValidationStage::ValidationStage() : PipelineStageBase("VALIDATION", "shared.processors.validator") {}

base::StageResult ValidationStage::execute(const Record& doc, Record& context) {
  auto fail = [&](std::string error) {
    log.warning("Validation failed: " + error);
    return base::StageResult{.stage = stage_name, .success = false, .error = std::move(error)};
  };
  const std::string blob_filename = record::get_text_or(doc, "blob_filename", "");
  if (blob_filename.empty()) return fail("Document has no blob_filename");
  const std::string lower = text::ascii_lower(blob_filename);
  const bool is_word = lower.size() > 5 && (lower.ends_with(".docx") || lower.ends_with(".docm"));
  if (!is_word) return fail("Unsupported file type '" + blob_filename + "': only .docx and .docm are processed");

  const long max_batch = config::get().MAX_BATCH_SIZE;
  if (const Record* b = record::find(context, "batch_size"); b && b->is_number_integer()) {
    const long batch_size = b->get<long>();
    if (batch_size > max_batch) {
      return fail("Batch size " + std::to_string(batch_size) + " exceeds MAX_BATCH_SIZE " + std::to_string(max_batch));
    }
  }
  log.info("Validation passed for '" + blob_filename + "'");
  return base::StageResult{.stage = stage_name, .success = true};
}

}  // namespace shared::processors::validator
