// The web page mounted on kesto serve: the page and its files need no key,
// /api/whoami tells a key's role, and opening the page opens no route of
// the API.
#include "shared/web/page.hpp"

#include <gtest/gtest.h>
#include <httplib.h>

#include <thread>

#include "host/host_world.hpp"
#include "shared/serve/http.hpp"
#include "shared/serve/keys.hpp"
#include "shared/web/static_files.hpp"

namespace http = shared::serve::http;
namespace keys = shared::serve::keys;
using shared::Record;

TEST(WebPage, ThePageIsOpenAndEveryRouteOfTheApiKeepsItsKey) {
  if (!pg_testing::have_cluster()) return;
  host_world::World w;
  const keys::NewKey reader = keys::make_key("reader-1", "reader");
  const keys::NewKey op = keys::make_key("operator-1", "operator");
  const std::vector<keys::Entry> entries = keys::parse(reader.line + "\n" + op.line + "\n");
  http::Options o;
  o.host = "127.0.0.1";
  o.port = 0;
  o.health_interval_ms = 100;
  http::Server server(o, entries);
  shared::web::page::mount(server, entries);
  const int port = server.bind();
  std::thread thread([&] { server.run(); });
  for (int i = 0; i < 500 && !server.running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));

  httplib::Client c("127.0.0.1", port);
  c.set_connection_timeout(5);
  c.set_read_timeout(30);
  const struct {
    std::string path;
    std::string key;
    int status;
    std::string body;  // the exact body, or "" for any
  } cases[] = {
      {"/", "", 200, std::string(shared::web::static_files::reply("/").body)},
      {"/index.html", "", 200, ""},
      {"/static/app.js", "", 200, std::string(shared::web::static_files::reply("/static/app.js").body)},
      {"/static/pages/search.js", "", 200, ""},
      {"/static/nothing.js", "", 404, "not found\n"},
      {"/static/../README.md", "", 404, ""},
      {"/api/whoami", "", 401, ""},
      {"/api/whoami", "kesto_" + std::string(64, '0'), 401, ""},
      {"/api/whoami", reader.key + "0", 401, ""},
      {"/api/whoami", reader.key, 200, R"({"name":"reader-1","role":"reader"})"},
      {"/api/whoami", op.key, 200, R"({"name":"operator-1","role":"operator"})"},
      {"/api/whoami?key=" + reader.key, reader.key, 400, ""},
      // The page's open prefix opens none of the server's own routes.
      {"/api/documents", "", 401, ""},
      {"/api/documents/QD-000958", "", 401, ""},
      {"/api/documents/QD-000958/audit?verify=1", "", 401, ""},
      {"/api/overview", "", 401, ""},
      {"/api/search?q=swab", "", 401, ""},
      {"/metrics", "", 401, ""},
  };
  for (const auto& k : cases) {
    const std::string what = k.path + " with '" + k.key + "'";
    auto r = k.key.empty() ? c.Get(k.path.c_str()) : c.Get(k.path.c_str(), {{"Authorization", "Bearer " + k.key}});
    ASSERT_TRUE(r) << what;
    EXPECT_EQ(r->status, k.status) << what << " " << r->body;
    if (!k.body.empty()) { EXPECT_EQ(r->body, k.body) << what; }
    if (k.status == 401) { EXPECT_EQ(r->get_header_value("WWW-Authenticate"), "Bearer") << what; }
    if (k.path.rfind("/api/", 0) != 0 && k.path != "/metrics") {
      EXPECT_EQ(r->get_header_value("Content-Security-Policy"), shared::web::static_files::content_security_policy)
          << what;
    }
  }
  // An operator route still refuses a reader through the page's server.
  auto refused = c.Delete("/api/documents/QD-000958", {{"Authorization", "Bearer " + reader.key}});
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 403);

  server.stop();
  thread.join();
}
