#include "shared/host/admission.hpp"

#include "shared/config.hpp"
#include "shared/connectors/blobhub.hpp"
#include "shared/errors.hpp"
#include "shared/fs/files.hpp"
#include "shared/host/decision.hpp"
#include "shared/host/document_lock.hpp"
#include "shared/host/metadata_row.hpp"
#include "shared/host/session.hpp"

namespace shared::host::admission {

namespace blobhub = connectors::blobhub;
using task::Status;

Admission admit(const task::Task& task, const task::Options& options,
                std::optional<double> queued_without_message_after_s) {
  using decision::Need;
  const decision::Options rules{.purpose = decision::Purpose::queue,
                                .database = session::database_configured(),
                                .force = options.force,
                                .queued_without_message_after_s = queued_without_message_after_s};
  decision::Document facts = decision::document_of(task);
  decision::RowState row;
  decision::SourceState source;
  decision::Decision d;
  while ((d = decision::decide(row, source, facts, rules)).need != Need::nothing) {
    switch (d.need) {
      case Need::collision:
        facts.collision = metadata_row::colliding_document(*facts.number.qd, facts.blob_filename);
        break;
      case Need::row:
        row.row = metadata_row::read(*facts.number.qd);
        row.read = true;
        break;
      case Need::row_as_given:
        row.exists_as_given = metadata_row::read(facts.number.given).has_value();
        break;
      case Need::lock: {
        // A probe: taken and given back at once.
        document_lock::DocumentLock probe;
        row.lock = probe.take(*facts.number.qd) ? decision::Lock::free : decision::Lock::held_elsewhere;
        break;
      }
      case Need::source:
        source.etag = task::source_properties(task).etag;
        break;
      default:
        throw Error("admission needs no other fact");
    }
  }
  return {d.status, d.reason, d.go && row.row ? row.row->mark : ""};
}

Admission upload_local(task::Task& task) {
  if (const task::FileCheck check = task::check_file(task); !check.passed) return {Status::Failed, check.error};
  const std::string name = record::get_text_or(task.doc, "blob_filename", "");
  blobhub::upload_blob(blobhub::build_blob_path(config::get().BLOB_FOLDER_DOCUMENTS, name),
                       shared::fs::read_file(task.local_file),
                       {.content_type = "application/vnd.openxmlformats-officedocument.wordprocessingml.document",
                        .document = task::number_of(task).qd.value_or("")});
  task.local_file.clear();
  task.uploaded = true;
  return {Status::Queued, ""};
}

}  // namespace shared::host::admission
