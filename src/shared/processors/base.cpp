#include "shared/processors/base.hpp"

namespace shared::processors::base {

PipelineStageBase::PipelineStageBase(std::string name, std::string logger_name)
    : stage_name(std::move(name)), log(std::move(logger_name)) {}

StageResult PipelineStageBase::run(const Record& doc, Record& context) {
  log.set_stage(stage_name);
  log.set_document(record::get_text(doc, "id"), record::get_text(doc, "file_name"));
  return execute(doc, context);
}

}  // namespace shared::processors::base
