#include "shared/processors/base.hpp"

#include <chrono>

namespace shared::processors::base {

PipelineStageBase::PipelineStageBase(std::string name, std::string logger_name)
    : stage_name(std::move(name)), log(std::move(logger_name)) {}

StageResult PipelineStageBase::run(const Record& doc, Record& context) {
  log.set_stage(stage_name);
  log.set_document(record::get_text(doc, "id"), record::get_text(doc, "file_name"));
  const auto start = std::chrono::steady_clock::now();
  StageResult result = execute(doc, context);
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return result;
}

}  // namespace shared::processors::base
