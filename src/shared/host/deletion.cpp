#include "shared/host/deletion.hpp"

#include <optional>

#include "shared/config.hpp"
#include "shared/connectors/audit.hpp"
#include "shared/connectors/mainstore.hpp"
#include "shared/connectors/pg.hpp"
#include "shared/host/audit_trail.hpp"
#include "shared/host/document_lock.hpp"
#include "shared/host/metadata_row.hpp"
#include "shared/host/session.hpp"
#include "shared/processors/deleter.hpp"
#include "shared/text/qd_number.hpp"
#include "shared/text/utf8.hpp"

namespace shared::host::deletion {

namespace mainstore = connectors::mainstore;
namespace pg = connectors::pg;

std::vector<std::string> Deletion::problems() const {
  std::vector<std::string> out;
  if (const Record* left = record::find(context, "left_behind"); left && left->is_array()) {
    for (const auto& item : *left) out.push_back("left behind: " + item.get<std::string>());
  }
  if (verification) {
    for (const std::string& p : verification->problems) out.push_back("still there: " + p);
  }
  if (!audit_error.empty()) out.push_back("audit trail not written: " + audit_error);
  if (lock_lost) out.push_back("the document's lock was lost with the database connection during the deletion");
  return out;
}

Deletion delete_document(const Record& doc, processors::deleter::BlobSearch search) {
  Deletion d;
  const std::string given = processors::deleter::qd_number_of(doc);
  const auto qd = text::normalize_qd_number(given);
  processors::deleter::DeletionStage stage;
  d.context = Record::object();
  if (!qd) {
    // The stage refuses it before anything is read or removed.
    d.result = stage.run(doc, d.context);
    return d;
  }
  // Without the document's lock a run of the same document could write its
  // artefacts and record them as done while they go: nothing is removed.
  if (!session::database_configured()) {
    d.lock_error = "the document's lock could not be taken: no metadata database is configured (PGHOST)";
    return d;
  }
  document_lock::DocumentLock lock;
  try {
    if (!lock.take(*qd)) {
      d.busy = true;
      return d;
    }
  } catch (const std::exception& e) {
    d.lock_error = "the document's lock could not be taken: " + text::one_line(e.what());
    return d;
  }
  // What the trail knows of the document before it goes: the receipt names
  // each removed blob with the digest recorded when it was written, and the
  // verification asks for every path the trail holds.
  std::vector<Record> history;
  try {
    history = audit_trail::history(*qd);
  } catch (const std::exception& e) {
    d.audit_error = text::one_line(e.what());
  }
  // The row as it was: the file the verification looks for, and what a
  // pending deletion's row keeps.
  std::optional<Record> recorded;
  try {
    const std::string& table = config::get().PGTABLE;
    recorded = mainstore::get_by_document_number(*qd, table);
    if (!recorded && given != *qd) recorded = mainstore::get_by_document_number(given, table);
  } catch (const std::exception& e) {
    session::log().warning("Could not read the metadata row of '" + given + "': " + text::one_line(e.what()));
  }
  d.context["keep_row_when_incomplete"] = true;
  if (search == processors::deleter::BlobSearch::sweep) d.context["sweep"] = true;
  d.result = stage.run(doc, d.context);
  if (!d.result.data) return d;

  std::vector<std::string> known;
  for (const Record& e : connectors::audit::live_artefacts(history)) {
    known.push_back(record::get_text_or(e, "blob_path", ""));
  }
  // The file names that count are the recorded ones, not what a message
  // says the file is.
  Record check{{"document_number", given}};
  if (recorded) check["blob_filename"] = record::get_text_or(*recorded, "blob_filename", "");
  try {
    d.verification = processors::deleter::verify_document_deleted(check, known, search);
  } catch (const std::exception& e) {
    d.verification = processors::deleter::Verification{.problems = {text::one_line(e.what())}, .looked = false};
  }
  d.receipt = audit_trail::deletion_receipt(given, *d.result.data, d.context, history,
                                            processors::deleter::to_record(*d.verification));
  // One round trip on the lock's connection first: a connection the server
  // cut off is only noticed by a statement, and opened again by it.
  try {
    session::get().with_conn([](PGconn* c) {
      pg::execute(c, "SELECT 1");
      return 0;
    });
    d.lock_lost = !lock.intact();
  } catch (const std::exception&) {
    d.lock_lost = true;
  }
  if (d.audit_error.empty()) {
    try {
      audit_trail::append(audit_trail::deletion_events(*qd, d.receipt));
    } catch (const std::exception& e) {
      d.audit_error = text::one_line(e.what());
    }
  }
  // A deletion that did not complete after the stage removed the row would
  // be skipped by every later run ("no metadata row"), leaving the rest.
  const std::vector<std::string> problems = d.problems();
  const bool row_gone = d.verification && d.verification->metadata_row == false;
  if ((!d.result.success || !problems.empty()) && row_gone) {
    std::string why = d.result.error.value_or("");
    for (const auto& p : problems) why += (why.empty() ? "" : "; ") + p;
    try {
      metadata_row::record_pending_deletion(*qd, recorded, text::one_line(why));
    } catch (const std::exception& e) {
      session::log().error("Could not record the pending deletion of '" + given + "': " + text::one_line(e.what()));
    }
  }
  return d;
}

}  // namespace shared::host::deletion
