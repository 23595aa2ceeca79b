#include "shared/host/admission.hpp"

#include "shared/config.hpp"
#include "shared/connectors/blobhub.hpp"
#include "shared/fs/files.hpp"
#include "shared/host/document_lock.hpp"
#include "shared/host/metadata_row.hpp"
#include "shared/host/session.hpp"
#include "shared/processors/validator.hpp"
#include "shared/text/fixed.hpp"

namespace shared::host::admission {

namespace blobhub = connectors::blobhub;
using task::Action;
using task::Status;

namespace {

std::string qd_number_error(const std::string& given) {
  return given.empty() ? "Document has no QD-number (document_number)"
                       : "Invalid QD-number '" + given + "': a QD-number is 'QD-' followed by digits";
}

std::string collision_error(const std::string& blob_filename, const std::string& other) {
  return "'" + blob_filename + "' would overwrite the artefacts of " + other +
         ": the two documents need file names of their own";
}

bool unchanged_since_success(const metadata_row::RowState& row, const std::string& etag) {
  return row.exists && row.status == "PROCESSED" && row.source_etag == etag && !etag.empty();
}

}  // namespace

Admission admit(const task::Task& task, const task::Options& options,
                std::optional<double> queued_without_message_after_s) {
  const auto [given, qd] = task::number_of(task);
  if (!qd && (task.action != Action::Delete || !given.empty())) return {Status::Failed, qd_number_error(given), ""};
  if (!session::database_configured() || !qd) return {Status::Queued, "", ""};
  if (task.action != Action::Delete) {
    const std::string name = record::get_text_or(task.doc, "blob_filename", "");
    if (const std::string other = metadata_row::colliding_document(*qd, name); !other.empty()) {
      return {Status::Failed, collision_error(name, other), ""};
    }
  }
  const auto& s = config::get();
  const metadata_row::RowState row = metadata_row::read(*qd);
  const Admission queued{Status::Queued, "", row.mark};
  if (options.force) return queued;
  if (row.exists && row.status == "QUEUED") {
    if (!queued_without_message_after_s || row.age_s < *queued_without_message_after_s) {
      return {Status::Waiting, "already queued " + text::fixed(row.age_s, 0) + " s ago (--force queues it again)", ""};
    }
    return {Status::Queued,
            "marked QUEUED " + text::fixed(row.age_s, 0) + " s ago, but no message is left in the queue: queued again",
            row.mark};
  }
  if (row.exists && row.status == "RUNNING") {
    // The lock, not the age of the mark, says whether a run is alive.
    document_lock::DocumentLock probe;
    if (!probe.take(*qd)) return {Status::Waiting, "being run by another process at this moment", ""};
    return {Status::Queued, "previous run abandoned (RUNNING for " + text::fixed(row.age_s, 0) + " s); queued again",
            row.mark};
  }
  if (task.action == Action::Delete) {
    if (!row.exists && (given == *qd || !metadata_row::read(given).exists)) {
      return {Status::Skipped, "no metadata row: already deleted or never processed", ""};
    }
    return queued;
  }
  if (task.local_file.empty() && !task.uploaded) {
    const auto props = blobhub::get_blob_properties(
        record::get_text_or(task.doc, "blob_filename", ""),
        blobhub::Where{.container = s.TOLVAN_STORAGE_CONTAINER_NAME, .use_tolvan_storage = true});
    if (unchanged_since_success(row, props.etag)) {
      return {Status::Skipped, "source unchanged since its last successful run", ""};
    }
  }
  return queued;
}

Admission upload_local(task::Task& task) {
  processors::validator::ValidationStage validation;
  Record context{{"batch_size", task.batch_size}};
  const auto verdict = validation.run(task.doc, context);
  if (!verdict.success) return {Status::Failed, verdict.error.value_or("")};
  const std::string name = record::get_text_or(task.doc, "blob_filename", "");
  blobhub::upload_blob(blobhub::build_blob_path(config::get().BLOB_FOLDER_DOCUMENTS, name),
                       shared::fs::read_file(task.local_file),
                       {.content_type = "application/vnd.openxmlformats-officedocument.wordprocessingml.document"});
  task.local_file.clear();
  task.uploaded = true;
  return {Status::Queued, ""};
}

}  // namespace shared::host::admission
