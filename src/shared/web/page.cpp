#include "shared/web/page.hpp"

#include <httplib.h>

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "shared/text/utf8.hpp"
#include "shared/web/static_files.hpp"

namespace shared::web::page {

namespace {

void send(httplib::Response& res, const static_files::Reply& r) {
  for (const auto& [name, value] : r.headers) res.set_header(name, value);
  res.status = r.status;
  res.set_content(std::string(r.body), std::string(r.content_type));
}

void send_json(httplib::Response& res, int status, const nlohmann::ordered_json& body) {
  for (const auto& [name, value] : static_files::security_headers()) res.set_header(name, value);
  res.status = status;
  res.set_content(body.dump(), "application/json");
}

nlohmann::ordered_json error(const char* code, const char* message) {
  return {{"error", {{"code", code}, {"message", message}}}};
}

}  // namespace

void mount(serve::http::Server& server, std::vector<serve::keys::Entry> keys) {
  server.mount([keys = std::move(keys)](httplib::Server& s) {
    const auto file = [](const httplib::Request& req, httplib::Response& res) {
      send(res, static_files::reply(req.path));
    };
    s.Get("/", file);
    s.Get("/index.html", file);
    s.Get(std::string(static_files::prefix) + ".+", file);
    // Open to the server (see below), so the key is checked here.
    s.Get("/api/whoami", [keys](const httplib::Request& req, httplib::Response& res) {
      const std::string header = req.get_header_value("Authorization");
      constexpr std::string_view scheme = "bearer ";
      std::optional<serve::keys::Entry> key;
      if (header.size() > scheme.size() && text::ascii_lower(header.substr(0, scheme.size())) == scheme) {
        key = serve::keys::find(keys, text::strip(std::string_view(header).substr(scheme.size())));
      }
      if (!key) {
        res.set_header("WWW-Authenticate", "Bearer");
        send_json(res, 401, error("unauthorized", "a valid API key is needed (Authorization: Bearer KEY)"));
        return;
      }
      send_json(res, 200, {{"name", key->name}, {"role", std::string(serve::keys::role_name(key->role))}});
    });
  });
  // The page must load before it has a key to send, and "/" can only be
  // opened as a prefix: a path that is no route of the server's own needs
  // no key from the server (the page and its files, /api/whoami, which
  // checks the key itself; any other such path is 404). Every route of the
  // server's own keeps its key check.
  server.public_prefix("/");
}

}  // namespace shared::web::page
