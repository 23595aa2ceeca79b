// shared.models: the per-stage and per-document result records.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "shared/record.hpp"

namespace shared::models {

// What one stage reports. Build it with designated initialisers; fields not
// given stay absent.
struct StageResult {
  std::string stage;
  bool success = false;
  std::optional<std::string> error;
  std::optional<std::string> output_path;
  std::optional<Record> data;
  double seconds = 0;  // the stage's own time, set by PipelineStageBase::run
};

// What one document's run ends in: status "PROCESSED", "FAILED" or "ERROR".
struct PipelineResult {
  std::string doc_id;
  std::string file_name;
  std::string status;
  std::string stage;
  std::optional<std::string> error;
  std::optional<std::string> summary;
  // What the indexing stage did: {"sections", "kept", "embedded", "removed"}.
  std::optional<Record> indexing;
  // What the conversion left out of the document (the extraction's
  // "loss_report"); absent when the run did not convert it.
  std::optional<Record> loss_report;
  // Each stage that ran with its time in seconds, in the order they ended
  // (path A's before path B's); not part of the record.
  std::vector<std::pair<std::string, double>> stage_seconds;
};

// Members in field order, absent fields omitted.
Record to_record(const StageResult& r);
Record to_record(const PipelineResult& r);

}  // namespace shared::models
