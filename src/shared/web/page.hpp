// shared.web.page: the web page on `kesto serve`: "/" and its files (built
// into the program) need no key, since the page asks for one; every answer
// it shows comes from the API routes, which do. GET /api/whoami tells the
// page the name and role of the key it holds, so that operators alone see
// the operator's buttons (the server refuses a reader's request anyway).
#pragma once

#include <vector>

#include "shared/serve/http.hpp"
#include "shared/serve/keys.hpp"

namespace shared::web::page {

// Mounts the page, its files and /api/whoami on `server` (before it
// listens); `keys` are the server's keys.
void mount(serve::http::Server& server, std::vector<serve::keys::Entry> keys);

}  // namespace shared::web::page
