// shared.processors.base: the contract every pipeline stage implements.
#pragma once

#include <string>

#include "shared/logsetup.hpp"
#include "shared/models.hpp"
#include "shared/record.hpp"

namespace shared::processors::base {

using models::StageResult;

class PipelineStageBase {
 public:
  // `stage_name` is the stage's upper-case name; `logger_name` the dotted
  // name of its module, under which its log records are written.
  PipelineStageBase(std::string stage_name, std::string logger_name);
  virtual ~PipelineStageBase() = default;
  PipelineStageBase(const PipelineStageBase&) = delete;
  PipelineStageBase& operator=(const PipelineStageBase&) = delete;

  // Sets the logger's stage and document (the record's "id" and
  // "file_name"), then calls execute and sets the result's seconds. Every
  // exception passes through unchanged.
  StageResult run(const Record& doc, Record& context);

  // The stage's work. `doc` is read-only; `context` carries values between
  // stages. Expected failures are a result with success false.
  virtual StageResult execute(const Record& doc, Record& context) = 0;

  const std::string stage_name;
  logsetup::PipelineLogger log;
};

}  // namespace shared::processors::base
