#include "shared/host/decision.hpp"

#include "shared/text/fixed.hpp"

namespace shared::host::decision {

using task::Status;

namespace {

const char* const kBusy = "being run by another process at this moment";

Decision need(Need what, std::string note = {}) { return Decision{.need = what, .note = std::move(note)}; }

Decision go(Status status, std::string reason = {}, std::string note = {}) {
  return Decision{.go = true, .status = status, .reason = std::move(reason), .note = std::move(note)};
}

Decision stop(Status status, std::string reason, bool retryable = false) {
  return Decision{.status = status, .reason = std::move(reason), .retryable = retryable};
}

Decision refuse(std::string stage, std::string reason, bool recorded, std::string note = {}) {
  return Decision{.status = Status::Failed,
                  .stage = std::move(stage),
                  .reason = std::move(reason),
                  .recorded = recorded,
                  .note = std::move(note)};
}

std::string qd_number_error(const std::string& given) {
  return given.empty() ? "Document has no QD-number (document_number)"
                       : "Invalid QD-number '" + given + "': a QD-number is 'QD-' followed by digits";
}

std::string collision_error(const std::string& blob_filename, const std::string& other) {
  return "'" + blob_filename + "' would overwrite the artefacts of " + other +
         ": the two documents need file names of their own";
}

std::string seconds(double s) { return text::fixed(s, 0); }

// A RUNNING row whose lock this process could take: the run that marked it
// is gone, or lost its lock with its connection (and ends in ERROR). The
// lock, not the age of the mark, says whether a run is alive.
std::string abandoned(const Row& row, const char* then) {
  return "previous run abandoned (RUNNING for " + seconds(row.age_s) + " s); " + then;
}

// Whether the row says the source with `etag` was processed successfully.
bool unchanged_since_success(const RowState& row, const SourceState& source) {
  return row.row && row.row->status == Status::Processed && source.etag && !source.etag->empty() &&
         row.row->source_etag == *source.etag;
}

// A deletion finds nothing to delete when the document has no row, under
// its number or the form it was given in.
Decision nothing_to_delete(const RowState& row, const Document& d, Status go_status) {
  if (row.row) return go(go_status);
  if (d.number.given != *d.number.qd) {
    if (!row.exists_as_given) return need(Need::row_as_given);
    if (*row.exists_as_given) return go(go_status);
  }
  return stop(Status::Skipped, "no metadata row: already deleted or never processed");
}

Decision for_process_run(const RowState& row, const SourceState& source, const Document& d, const Options& o) {
  // The file type first, so that a refused file leaves no blob behind.
  if (!d.file) return need(Need::file_check);
  if (!d.file->passed) return refuse(d.file->stage, d.file->error, true);
  if (o.database) {
    if (row.lock == Lock::unknown) return need(Need::lock);
    if (row.lock == Lock::held_elsewhere) return stop(Status::Skipped, kBusy, true);
    if (!row.read) return need(Need::row);
  }
  // The source: the registry's file, or one uploaded into the documents
  // folder when it was queued. A run is not repeated for a source that has
  // not changed since its last successful run.
  if (!d.local && !source.etag) return need(Need::source);
  if (unchanged_since_success(row, source)) {
    if (!o.force) return stop(Status::Skipped, "source unchanged since its last successful run");
    // A forced message delivered twice, or forced twice before it ran:
    // a run since the queueing did what was asked.
    if (o.queued_row_mark && row.row->mark != *o.queued_row_mark) {
      return stop(Status::Skipped, "already processed from the same source since it was queued");
    }
  }
  std::string note = row.row && row.row->status == Status::Running ? abandoned(*row.row, "run again") : "";
  if (o.database) {
    if (!d.collision) return need(Need::collision, note);
    if (!d.collision->empty()) return refuse("VALIDATION", collision_error(d.blob_filename, *d.collision), true, note);
  }
  return go(Status::Running, "", note);
}

Decision for_deletion_run(const RowState& row, const Document& d, const Options& o) {
  // The deletion takes the document's lock itself, after these checks.
  if (row.lock == Lock::held_elsewhere) return stop(Status::Skipped, kBusy, true);
  if (!o.database || !d.number.qd || o.force) return go(Status::Running);
  if (!row.read) return need(Need::row);
  return nothing_to_delete(row, d, Status::Running);
}

Decision for_queue(const RowState& row, const SourceState& source, const Document& d, const Options& o) {
  if (!o.database || !d.number.qd) return go(Status::Queued);
  const bool deletion = d.action == task::Action::Delete;
  if (!deletion) {
    if (!d.collision) return need(Need::collision);
    if (!d.collision->empty()) return refuse("VALIDATION", collision_error(d.blob_filename, *d.collision), false);
  }
  if (!row.read) return need(Need::row);
  if (o.force) return go(Status::Queued);
  if (row.row && row.row->status == Status::Queued) {
    if (!lost_its_message(*row.row, o.queued_without_message_after_s)) {
      return stop(Status::Waiting, "already queued " + seconds(row.row->age_s) + " s ago (--force queues it again)");
    }
    return go(Status::Queued,
              "marked QUEUED " + seconds(row.row->age_s) + " s ago, but no message is left in the queue: queued again");
  }
  if (row.row && row.row->status == Status::Running) {
    if (row.lock == Lock::unknown) return need(Need::lock);
    if (row.lock == Lock::held_elsewhere) return stop(Status::Waiting, kBusy);
    return go(Status::Queued, abandoned(*row.row, "queued again"));
  }
  if (deletion) return nothing_to_delete(row, d, Status::Queued);
  if (!d.local && !d.uploaded) {
    if (!source.etag) return need(Need::source);
    if (unchanged_since_success(row, source)) {
      return stop(Status::Skipped, "source unchanged since its last successful run");
    }
  }
  return go(Status::Queued);
}

}  // namespace

Document document_of(const task::Task& task) {
  return Document{.action = task.action,
                  .number = task::number_of(task),
                  .blob_filename = record::get_text_or(task.doc, "blob_filename", ""),
                  .local = !task.local_file.empty(),
                  .uploaded = task.uploaded};
}

Decision decide(const RowState& row, const SourceState& source, const Document& document, const Options& options) {
  const bool deletion = document.action == task::Action::Delete;
  // The QD-number keys the metadata row, the index and the deletion: a
  // malformed one ("QD-", "%") would match other documents' artefacts, so
  // the document is refused before anything is read or removed. A deletion
  // without one may still take it from the file name.
  if (!document.number.qd && (!deletion || !document.number.given.empty())) {
    return refuse(deletion ? "DELETION" : "VALIDATION", qd_number_error(document.number.given), false);
  }
  if (options.purpose == Purpose::queue) return for_queue(row, source, document, options);
  return deletion ? for_deletion_run(row, document, options) : for_process_run(row, source, document, options);
}

bool lost_its_message(const Row& row, std::optional<double> queued_without_message_after_s) {
  return row.status == Status::Queued && queued_without_message_after_s &&
         row.age_s >= *queued_without_message_after_s;
}

}  // namespace shared::host::decision
