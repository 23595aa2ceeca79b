// shared.host.session: the host's own connection to the metadata database,
// kept for the life of the process: it holds the per-document locks,
// answers the host's checks, writes the rows and the audit trail without a
// TLS handshake per document.
#pragma once

#include "shared/connectors/kept_connection.hpp"
#include "shared/logsetup.hpp"

namespace shared::host::session {

// The process's kept connection (opened on first use).
connectors::mainstore::KeptConnection& get();

// Whether a metadata database is configured (PGHOST): without one the host
// runs documents without locks, checks or rows.
bool database_configured();

// The logger of the host's runs ("shared.host.runner"), which every part of
// a run writes to.
inline logsetup::Logger& log() { return logsetup::get_logger("shared.host.runner"); }

}  // namespace shared::host::session
