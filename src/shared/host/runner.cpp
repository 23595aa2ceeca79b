#include "shared/host/runner.hpp"

#include <algorithm>
#include <chrono>
#include <iostream>
#include <utility>

#include "shared/config.hpp"
#include "shared/connectors/blobhub.hpp"
#include "shared/errors.hpp"
#include "shared/fs/files.hpp"
#include "shared/host/audit_trail.hpp"
#include "shared/host/decision.hpp"
#include "shared/host/deletion.hpp"
#include "shared/host/document_lock.hpp"
#include "shared/host/metadata_row.hpp"
#include "shared/host/session.hpp"
#include "shared/logsetup.hpp"
#include "shared/models.hpp"
#include "shared/proc/pool.hpp"
#include "shared/processors/aigate.hpp"
#include "shared/processors/orchestrator.hpp"
#include "shared/required_settings.hpp"
#include "shared/text/pyjson.hpp"
#include "shared/text/utf8.hpp"

namespace shared::host::runner {

namespace blobhub = connectors::blobhub;
using session::log;
using task::Action;
using task::Options;
using task::Outcome;
using task::Status;
using task::Task;
using task::outcome_from_record;
using task::task_from_record;

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A document that ended before the pipeline ran still has its output line
// and its trail's "failed" event; its row is written as
// metadata_row::record_early_outcome says. Failing to write is logged; the
// outcome stands.
void record_early_outcome(const Task& task, const Outcome& o) {
  try {
    metadata_row::record_early_outcome(task, o);
  } catch (const std::exception& e) {
    log().error("Could not record the outcome of '" + o.name + "': " + text::one_line(e.what()));
  }
  // Nothing of the document was written, so a trail that cannot be reached
  // loses no artefact: the failure is logged and the outcome stands.
  try {
    audit_trail::append(
        audit_trail::run_events(o.qd_number, o.name, {}, "", std::string(task::word(o.status)), o.stage, o.error, Record()));
  } catch (const std::exception& e) {
    log().error("Could not write the audit trail of '" + o.name + "': " + text::one_line(e.what()));
  }
}

// The run's view of the options.
decision::Options rules_for(const Options& options) {
  return decision::Options{.purpose = decision::Purpose::run,
                           .database = session::database_configured(),
                           .force = options.force,
                           .queued_row_mark = options.queued_row_mark};
}

// The outcome of a task that a decision stopped.
Outcome stopped(Outcome out, const decision::Decision& d) {
  out.status = d.status;
  out.stage = d.stage;
  out.error = d.reason;
  out.retryable = d.retryable;
  return out;
}

Outcome process_task(const Task& task, const Options& options, Outcome out,
                     std::chrono::steady_clock::time_point start) {
  using decision::Need;
  const auto& s = config::get();
  const std::string blob_filename = out.name;
  const decision::Options rules = rules_for(options);
  const bool with_db = rules.database;
  decision::Document facts = decision::document_of(task);
  decision::RowState row;
  decision::SourceState source;
  document_lock::DocumentLock lock;
  std::string content_type, note;
  // Storage unreachable, or the source gone: the document is an error of
  // this run, and its row says so.
  auto error_of_run = [&](const std::exception& e) {
    out.status = Status::Error;
    out.error = text::one_line(e.what());
    out.retryable = transient(e);
    out.seconds = seconds_since(start);
    if (with_db) record_early_outcome(task, out);
    return out;
  };
  decision::Decision d;
  for (;;) {
    d = decision::decide(row, source, facts, rules);
    // Said as soon as it is known, whatever is found next.
    if (!d.note.empty() && note.empty()) {
      note = d.note;
      log().warning("'" + blob_filename + "' (" + out.qd_number + "): " + note);
    }
    if (d.need == Need::nothing) break;
    if (d.need == Need::file_check) {
      facts.file = task::check_file(task);
    } else if (d.need == Need::lock) {
      row.lock = lock.take(out.qd_number, blob_filename) ? decision::Lock::free : decision::Lock::held_elsewhere;
    } else {
      try {
        if (d.need == Need::row) {
          row.row = metadata_row::read(out.qd_number);
          row.read = true;
        } else if (d.need == Need::source) {
          const auto props = task::source_properties(task);
          source.etag = props.etag;
          content_type = props.content_type;
        } else {
          facts.collision = metadata_row::colliding_document(out.qd_number, blob_filename);
        }
      } catch (const std::exception& e) {
        return error_of_run(e);
      }
    }
  }
  if (!d.go) {
    out = stopped(out, d);
    if (d.recorded) {
      out.seconds = seconds_since(start);
      if (with_db) record_early_outcome(task, out);
    }
    return out;
  }
  const std::string etag = source.etag.value_or("");

  // Every artefact the run writes, as the storage acknowledged it, for the
  // audit trail.
  blobhub::UploadJournal journal;
  try {
    if (task.uploaded) {
      // Already in the documents folder (queued from another machine's files).
    } else if (task.local_file.empty()) {
      const std::string bytes = blobhub::download_from_tolvan(blob_filename);
      blobhub::upload_blob(
          blobhub::build_blob_path(s.BLOB_FOLDER_DOCUMENTS, blob_filename), bytes,
          {.content_type = content_type.empty() ? std::nullopt : std::optional<std::string>(content_type),
           .document = out.qd_number});
    } else {
      const std::string bytes = shared::fs::read_file(task.local_file);
      blobhub::upload_blob(blobhub::build_blob_path(s.BLOB_FOLDER_DOCUMENTS, blob_filename), bytes,
                           {.content_type = "application/vnd.openxmlformats-officedocument.wordprocessingml.document",
                            .document = out.qd_number});
    }
  } catch (const std::exception& e) {
    return error_of_run(e);
  }

  Record doc = task.doc;
  if (with_db) {
    auto stored = metadata_row::mark_running(task.doc, out.qd_number);
    if (stored) doc = *stored;
  }
  doc["file_name"] = blob_filename;

  models::PipelineResult result;
  try {
    result = processors::orchestrator::process_document(doc, task.batch_size);
    // The pipeline ends in PROCESSED, FAILED or ERROR.
    out.status = task::status_named(result.status).value_or(Status::Error);
    out.stage = out.status == Status::Processed ? "" : result.stage;
    out.error = result.error.value_or("");
  } catch (const std::exception& e) {
    out.status = Status::Error;
    out.error = e.what();
    out.retryable = transient(e);
    result = models::PipelineResult{.doc_id = record::get_text(doc, "id"),
                                    .file_name = blob_filename,
                                    .status = "ERROR",
                                    .stage = "",
                                    .error = std::string(e.what())};
  }
  if (with_db && !lock.intact()) {
    // Another process may have taken the document up meanwhile: this run's
    // outcome is not to be trusted, and the document is run again.
    out.status = Status::Error;
    out.error = (out.error.empty() ? "" : out.error + "; ") +
                "the document's lock was lost with the database connection during the run";
    out.retryable = true;
  }
  if (with_db) {
    // An artefact the trail does not know of is not acceptable: a run whose
    // events cannot be written is an error, and is run again next time.
    try {
      audit_trail::append(audit_trail::run_events(out.qd_number, blob_filename, journal.records(), etag,
                                                  std::string(task::word(out.status)), out.stage, out.error,
                                                  result.indexing.value_or(Record())));
    } catch (const std::exception& e) {
      log().error("Could not write the audit trail of '" + blob_filename + "': " + text::one_line(e.what()));
      out.status = Status::Error;
      out.error = (out.error.empty() ? "" : out.error + "; ") + "audit trail not written: " + text::one_line(e.what());
      out.retryable = transient(e);
    }
    out.seconds = seconds_since(start);
    try {
      metadata_row::record_outcome(out.qd_number, out, etag, result);
    } catch (const std::exception& e) {
      log().error("Could not record the outcome of '" + blob_filename + "': " + text::one_line(e.what()));
      if (out.status == Status::Processed) {
        out.status = Status::Error;
        out.error = std::string("outcome not recorded: ") + e.what();
        out.retryable = transient(e);
      }
    }
  }
  if (!note.empty() && out.error.empty()) out.error = note;
  // The result leaves the run as a record: the outcome's line and the pipe.
  out.result = models::to_record(result);
  out.stage_seconds = std::move(result.stage_seconds);
  return out;
}

Outcome delete_task(const Task& task, const Options& options, Outcome out) {
  using decision::Need;
  const decision::Options rules = rules_for(options);
  const decision::Document facts = decision::document_of(task);
  decision::RowState row;
  decision::Decision d;
  while ((d = decision::decide(row, {}, facts, rules)).need != Need::nothing) {
    if (d.need == Need::row) {
      row.row = metadata_row::read(*facts.number.qd);
      row.read = true;
    } else if (d.need == Need::row_as_given) {
      row.exists_as_given = metadata_row::read(facts.number.given).has_value();
    } else {
      throw Error("a deletion needs no other fact");
    }
  }
  if (!d.go) return stopped(out, d);
  Record doc = task.doc;
  doc["file_name"] = out.name;
  const deletion::Deletion done = deletion::delete_document(doc);
  if (done.busy) {
    row.lock = decision::Lock::held_elsewhere;
    return stopped(out, decision::decide(row, {}, facts, rules));
  }
  if (!done.lock_error.empty()) {
    out.status = Status::Error;
    out.stage = "DELETION";
    out.error = done.lock_error;
    out.retryable = true;
    return out;
  }
  out.status = done.result.success ? Status::Deleted : Status::Error;
  out.stage = done.result.success ? "" : done.result.stage;
  out.error = done.result.error.value_or("");
  out.result = done.result.data.value_or(Record());
  // A deletion that left part of the document behind, or that the trail
  // does not record, is not a success.
  const std::vector<std::string> problems = done.problems();
  if (!problems.empty()) {
    std::string what;
    for (const auto& p : problems) what += (what.empty() ? "" : "; ") + p;
    out.status = Status::Error;
    out.stage = "DELETION";
    out.error = (out.error.empty() ? "" : out.error + "; ") + what;
  }
  return out;
}

}  // namespace

Outcome run_task(const Task& task, const Options& options) {
  Outcome out;
  out.action = task.action;
  out.name = record::get_text_or(task.doc, "blob_filename", "");
  const auto [given, qd] = task::number_of(task);
  out.qd_number = qd.value_or(given);
  const auto start = std::chrono::steady_clock::now();
  Task checked = task;
  // The deletion stage reads the number itself (it also finds rows written
  // before numbers were upper-cased); everything else stores it upper-cased.
  if (qd && task.action != Action::Delete) checked.doc["document_number"] = *qd;
  try {
    out = task.action == Action::Delete ? delete_task(checked, options, out) : process_task(checked, options, out, start);
  } catch (const std::exception& e) {
    out.status = Status::Error;
    if (out.stage.empty()) out.stage = task.action == Action::Delete ? "DELETION" : "";
    out.error = text::one_line(e.what());
    out.retryable = transient(e);
  }
  out.seconds = seconds_since(start);
  return out;
}

std::vector<std::string> missing_settings(bool pending, bool uses_database) {
  using required_settings::Reach;
  std::vector<Reach> reaches = {Reach::storage};
  if (pending) reaches.insert(reaches.end(), {Reach::source_storage, Reach::registry});
  if (uses_database) reaches.push_back(Reach::database);
  // A misspelt engine is reported as such, not as the model settings that
  // only the hosted engine needs.
  if (processors::aigate::summary_engine() == processors::aigate::SummaryEngine::azure_openai) {
    reaches.push_back(Reach::summary_model);
  }
  // A configured embedding deployment is used by every indexing: without
  // its endpoint, key or API version each document would fail only after
  // its tries.
  if (!config::get().OPENAI_EMBEDDING_MODEL.empty()) reaches.push_back(Reach::embedding_model);
  return required_settings::missing(reaches);
}

void run_all(const std::vector<Task>& tasks, const Options& options, int jobs,
             const std::vector<std::string>& worker_argv, const std::function<void(const Outcome&)>& on_done) {
  if (jobs <= 1 || tasks.size() <= 1) {
    for (const Task& t : tasks) on_done(run_task(t, options));
    return;
  }
  // The pool closes the workers' input and reaps them however this ends.
  const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(jobs), tasks.size());
  proc::Pool pool(n, proc::Program{worker_argv, {}});
  pool.start_all();
  std::vector<const Task*> running(n, nullptr);  // the document of each slot's worker
  std::size_t next = 0;
  auto hand_out = [&](std::size_t slot) {
    if (next == tasks.size()) return;
    running[slot] = &tasks[next++];
    pool.send(slot, text::dumps_compact(to_record(*running[slot])));
  };
  for (std::size_t i = 0; i < n; ++i) hand_out(i);
  while (std::any_of(running.begin(), running.end(), [](const Task* t) { return t != nullptr; })) {
    const proc::Event e = pool.wait();
    if (e.kind == proc::Event::Kind::none || !running[e.slot]) continue;
    const Task& task = *std::exchange(running[e.slot], nullptr);
    // A worker that died in the middle of a document: that document is an
    // error, and a fresh worker takes the rest.
    on_done(e.kind == proc::Event::Kind::died ? task::outcome_of(&task, Status::Error, "worker process ended unexpectedly")
                                              : outcome_from_record(Record::parse(e.line)));
    hand_out(e.slot);
  }
}

int run_worker(const Options& options, std::istream& in, std::ostream& out) {
  proc::serve_lines(
      in, out,
      [&](const std::string& line) {
        return text::dumps_compact(to_record(run_task(task_from_record(Record::parse(line)), options)));
      },
      [](const std::exception& e) {
        return text::dumps_compact(to_record(task::outcome_of(nullptr, Status::Error, std::string("bad task: ") + e.what())));
      });
  return 0;
}

}  // namespace shared::host::runner
