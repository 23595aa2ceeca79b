// shared.host.deletion: one document's deletion as the host runs it: under
// the document's lock, followed by a look in every store, a receipt, the
// audit trail's events, and a row that brings an incomplete deletion back.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "shared/models.hpp"
#include "shared/processors/deleter.hpp"
#include "shared/record.hpp"

namespace shared::host::deletion {

// One deletion and what is known of it afterwards.
struct Deletion {
  bool busy = false;             // another process runs the document now: nothing was done
  // Why the document's lock could not be taken (no metadata database, or it
  // could not be reached): nothing was done. "" otherwise.
  std::string lock_error;
  bool lock_lost = false;        // the lock went with the database connection during the deletion
  models::StageResult result;    // the deletion stage's result
  Record context;                // the stage's context (left_behind, index_sections_removed, ...)
  // The stores looked at again; nullopt when the deletion did not get that far.
  std::optional<processors::deleter::Verification> verification;
  Record receipt;                // what was removed, with its recorded digests, and the verification
  std::string audit_error;       // why the trail could not be read or written; "" when it was
  // What keeps the deletion from being complete, as texts: rows left
  // behind, anything still there, an unwritten trail, a lost lock.
  std::vector<std::string> problems() const;
};

// Deletes every artefact of the document (as the deletion stage does),
// under its per-document lock, then looks in every store again, builds the
// receipt and writes the deletion's events to the audit trail. Without the
// lock (no metadata database, or one that cannot be reached: lock_error;
// held elsewhere: busy) nothing is removed. A deletion that did not
// complete leaves the document's row marked "DELETION_PENDING" (kept by
// the stage, or written again when the row went but something is still
// there), so that the next run finishes it. `search` says how the
// document's blobs are found (BlobSearch::sweep lists every artefact
// folder, the deletion and its verification alike).
Deletion delete_document(const Record& doc,
                         processors::deleter::BlobSearch search = processors::deleter::BlobSearch::automatic);

}  // namespace shared::host::deletion
