#include "shared/web/static_files.hpp"

#include <algorithm>
#include <array>

namespace shared::web::static_files {

std::string_view content_type(std::string_view path) {
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 8> types{{
      {".html", "text/html; charset=utf-8"},
      {".css", "text/css; charset=utf-8"},
      {".js", "text/javascript; charset=utf-8"},
      {".svg", "image/svg+xml"},
      {".png", "image/png"},
      {".ico", "image/x-icon"},
      {".json", "application/json"},
      {".txt", "text/plain; charset=utf-8"},
  }};
  for (const auto& [ending, type] : types) {
    if (path.ends_with(ending)) return type;
  }
  return "application/octet-stream";
}

std::vector<std::pair<std::string, std::string>> security_headers() {
  return {
      {"Content-Security-Policy", std::string(content_security_policy)},
      {"X-Content-Type-Options", "nosniff"},
      {"Referrer-Policy", "no-referrer"},
      {"X-Frame-Options", "DENY"},
      {"Cross-Origin-Opener-Policy", "same-origin"},
      {"Cross-Origin-Resource-Policy", "same-origin"},
      {"Cache-Control", "no-cache"},
  };
}

namespace {

const Embedded* find(std::string_view name) {
  const auto& files = embedded();
  const auto it = std::lower_bound(files.begin(), files.end(), name,
                                   [](const Embedded& f, std::string_view n) { return f.path < n; });
  return it != files.end() && it->path == name ? &*it : nullptr;
}

}  // namespace

Reply reply(std::string_view path) {
  Reply r;
  r.headers = security_headers();
  // The built-in names are exact: no dot segments, encodings or case
  // folding to undo, so a lookup can only ever find a built-in file.
  const Embedded* file = nullptr;
  if (path == "/" || path == "/index.html") {
    file = find("/index.html");
  } else if (path.starts_with(prefix)) {
    file = find(path.substr(prefix.size() - 1));
  }
  if (!file) {
    r.status = 404;
    r.content_type = "text/plain; charset=utf-8";
    r.body = "not found\n";
    return r;
  }
  r.content_type = content_type(file->path);
  r.body = file->body;
  return r;
}

}  // namespace shared::web::static_files
