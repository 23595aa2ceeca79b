// shared.host.document_lock: a document is run or deleted by one process at
// a time, whichever run or machine started it: session-level advisory
// locks on the host's kept connection, on the document's number within its
// metadata table and on its artefact names within the output container.
// Pipelines that keep their own tables and containers in one database do
// not hold each other up.
#pragma once

#include <string>

#include "shared/connectors/kept_connection.hpp"
#include "shared/connectors/pg.hpp"

namespace shared::host::document_lock {

class DocumentLock : public connectors::pg::AdvisoryLock<connectors::mainstore::KeptConnection> {
 public:
  DocumentLock();
  // Takes the lock of the document `qd` and, given its file name, of the
  // artefact names the file gives; false (holding none) when another
  // process holds one. Throws DatabaseError when the database cannot be
  // reached.
  bool take(const std::string& qd, const std::string& blob_filename = "");
};

}  // namespace shared::host::document_lock
