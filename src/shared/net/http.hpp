// shared.net.http: the HTTP seam between the service modules (blob storage,
// the model gateway) and the network. Modules build a Request and read a
// Response; tests replace the transport or point it at local servers.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace shared::net {

// Header fields in order, names as written.
using Headers = std::vector<std::pair<std::string, std::string>>;

// The value of the first header called `name` (case-insensitive), or "".
std::string header_value(const Headers& headers, std::string_view name);

struct Request {
  std::string method;  // "GET", "PUT", "HEAD", "DELETE", "POST"
  std::string url;     // absolute, already percent-encoded
  Headers headers;
  std::string body;
};

struct Response {
  long status = 0;
  Headers headers;
  std::string body;
  std::string header(std::string_view name) const { return header_value(headers, name); }
};

// No request waits for ever: a peer that accepts the connection and then
// never answers (a frozen server) ends in a TransportError after timeout_ms.
struct HttpOptions {
  long connect_timeout_ms = 10000;
  long timeout_ms = 300000;  // the whole request, from connecting to the last byte
  bool verify_tls = true;
  // A PEM file of root certificates trusted besides the system's; "" takes
  // the settings' KESTO_CA_BUNDLE (which may be "" too: the system's alone).
  std::string ca_bundle;
};

class Transport {
 public:
  virtual ~Transport() = default;
  // Sends the request and returns the whole response, whatever its status.
  // Throws shared::TransportError when no response arrives.
  virtual Response send(const Request& request) = 0;
};

// A libcurl transport that keeps connections alive across calls and may be
// used from several threads at once. Throws ValueError when the CA bundle
// cannot be read or holds no certificate.
std::shared_ptr<Transport> make_curl_transport(const HttpOptions& options = {});

}  // namespace shared::net
