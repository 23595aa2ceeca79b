// shared.web.static_files: the web page of `kesto serve` (the files under
// web/, built into the program) and the answer to a request for one of them.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace shared::web::static_files {

// One file as built in: its path below web/ with a leading "/", its bytes.
struct Embedded {
  std::string_view path;
  std::string_view body;
};

// Every built-in file, sorted by path (generated at build time).
const std::vector<Embedded>& embedded();

// The URL prefix of every file but the page itself, which is served at "/".
inline constexpr std::string_view prefix = "/static/";

// The content type of a file by its name's ending; "application/octet-stream"
// for an ending not known.
std::string_view content_type(std::string_view path);

// What a request for `path` (the URL's path, no query) gets.
struct Reply {
  int status = 200;
  std::string_view content_type;
  std::string_view body;
  std::vector<std::pair<std::string, std::string>> headers;
};

// "/" and "/index.html" are the page, prefix + NAME the built-in file NAME;
// anything else is 404. Every reply, a 404 too, carries the headers of
// `security_headers()`.
Reply reply(std::string_view path);

// The page's Content-Security-Policy: scripts, styles, images and requests
// from the server itself only, no inline script or style, no framing, no
// form posts, no plugins.
inline constexpr std::string_view content_security_policy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
    "font-src 'self'; manifest-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

// The headers of every reply: the policy above, no type sniffing, no
// referrer, no framing, revalidate before using a cached copy.
std::vector<std::pair<std::string, std::string>> security_headers();

}  // namespace shared::web::static_files
