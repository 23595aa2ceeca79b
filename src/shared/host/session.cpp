#include "shared/host/session.hpp"

#include "shared/config.hpp"

namespace shared::host::session {

connectors::mainstore::KeptConnection& get() {
  static connectors::mainstore::KeptConnection session;
  return session;
}

bool database_configured() { return !config::get().PGHOST.empty(); }

}  // namespace shared::host::session
