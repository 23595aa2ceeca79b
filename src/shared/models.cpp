#include "shared/models.hpp"

namespace shared::models {

Record to_record(const StageResult& r) {
  Record out = Record::object();
  out["stage"] = r.stage;
  out["success"] = r.success;
  if (r.error) out["error"] = *r.error;
  if (r.output_path) out["output_path"] = *r.output_path;
  if (r.data) out["data"] = *r.data;
  return out;
}

Record to_record(const PipelineResult& r) {
  Record out = Record::object();
  out["doc_id"] = r.doc_id;
  out["file_name"] = r.file_name;
  out["status"] = r.status;
  out["stage"] = r.stage;
  if (r.error) out["error"] = *r.error;
  if (r.summary) out["summary"] = *r.summary;
  if (r.indexing) out["indexing"] = *r.indexing;
  if (r.loss_report) out["loss_report"] = *r.loss_report;
  return out;
}

}  // namespace shared::models
