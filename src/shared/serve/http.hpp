// shared.serve.http: the HTTP door of `kesto serve` on cpp-httplib: the
// routes of shared::serve::api behind API keys and roles, errors in one
// shape, health, readiness and metrics, and the limits that keep a slow or
// hostile client from holding the server: a bounded pool of request
// threads, read and write timeouts, a deadline on reading each request
// however slowly its bytes come, header and body limits.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "shared/serve/keys.hpp"

namespace httplib {
class Server;
}

namespace shared::serve::http {

struct Options {
  std::string host = "127.0.0.1";
  int port = 8080;  // 0: any free port
  // PEM files; both set for HTTPS.
  std::string tls_cert, tls_key;
  long threads = 8;
  long read_timeout_s = 10;
  long write_timeout_s = 10;
  // Seconds a connection may take to send a request (from its opening, or
  // from the previous answer on a kept-alive connection); then it is closed.
  long request_timeout_s = 30;
  std::size_t max_body = 65536;
  // How often the database and storage are asked whether they answer (for
  // /readyz and the queue gauges).
  long health_interval_ms = 5000;
};

// Options from the settings (KESTO_SERVE_*), on host:port `listen`
// ("127.0.0.1:8080", "[::1]:8080"); throws ValueError for a malformed one.
Options options_from_settings(const std::string& listen);

class Server {
 public:
  // Throws ValueError for unusable options (a TLS file that cannot be
  // loaded, one of cert and key without the other).
  Server(Options options, std::vector<keys::Entry> keys);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Hands the underlying server to `fn` before it listens, for more routes
  // (a web front end, static files). They pass the same key check, unless
  // under a prefix given to public_prefix.
  void mount(const std::function<void(httplib::Server&)>& fn);
  // Paths starting with `prefix` need no key (e.g. "/ui/").
  void public_prefix(std::string prefix);

  // Binds the address; the port bound. Throws Error when it cannot.
  int bind();
  // Serves until stop(); requests under way finish.
  void run();
  // Whether run() is accepting connections.
  bool running() const;
  void stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// A server of one route, GET /metrics, answered with `text()` in the
// Prometheus text format and no key: a queue worker's own counters, for a
// local address. Listens from construction (on its own thread) until
// destroyed. Throws ValueError for a malformed address, Error when it
// cannot listen.
class MetricsServer {
 public:
  MetricsServer(const std::string& listen, std::function<std::string()> text);
  ~MetricsServer();
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;
  int port() const { return port_; }

 private:
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;
};

}  // namespace shared::serve::http
