#include "shared/serve/http.hpp"

#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <regex>
#include <thread>

#include "shared/config.hpp"
#include "shared/errors.hpp"
#include "shared/logsetup.hpp"
#include "shared/serve/api.hpp"
#include "shared/serve/metrics.hpp"
#include "shared/text/pyjson.hpp"
#include "shared/text/qd_number.hpp"
#include "shared/text/utf8.hpp"

namespace shared::serve::http {

namespace {

using Clock = std::chrono::steady_clock;
using httplib::Request;
using httplib::Response;

logsetup::Logger& log() { return logsetup::get_logger("shared.serve"); }

// --- the request threads and their deadlines ---------------------------------

// The server's sockets by inode (an fd number is used again once closed; an
// inode is not, while the socket lives).
ino_t inode_of(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode)) return 0;
  return st.st_ino;
}

// Whether `fd` is a connection accepted on `port` (not the listening socket).
bool accepted_on(int fd, int port) {
  int listening = 0;
  socklen_t len = sizeof listening;
  if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) != 0 || listening) return false;
  sockaddr_storage addr{};
  socklen_t alen = sizeof addr;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &alen) != 0) return false;
  if (addr.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port) == port;
  if (addr.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port) == port;
  return false;
}

// The request threads: a fixed number of them take accepted connections in
// turn. cpp-httplib hands each connection over as an opaque task right after
// accepting it; the connection's socket is found then (the one connection
// on the server's port not seen before) and given a deadline. A watch
// thread shuts down the socket of a connection past its deadline, which
// ends any read on it at once: a client sending a byte at a time holds a
// thread no longer than the deadline. While a route's handler runs, the
// deadline is held; it starts again for the answer and the next request.
class GuardedPool : public httplib::TaskQueue {
 public:
  GuardedPool(std::size_t threads, std::function<int()> port, std::chrono::milliseconds deadline)
      : port_(std::move(port)), deadline_(deadline) {
    for (std::size_t i = 0; i < threads; ++i) threads_.emplace_back([this] { work(); });
    watch_ = std::thread([this] { watch(); });
  }
  ~GuardedPool() override { shutdown(); }

  void enqueue(std::function<void()> fn) override {
    const ino_t inode = discover();
    {
      std::lock_guard lock(mu_);
      jobs_.push_back(Job{std::move(fn), inode});
    }
    cv_.notify_one();
  }

  void shutdown() override {
    {
      std::lock_guard lock(mu_);
      if (stopping_) return;
      stopping_ = true;
    }
    cv_.notify_all();
    watch_cv_.notify_all();
    for (auto& t : threads_) t.join();
    watch_.join();
  }

  // The connection the calling request thread works on: its deadline held
  // (a route runs) or started again (its answer and the next request).
  static void hold() { if (current_pool_) current_pool_->set_held(current_inode_, true); }
  static void release() { if (current_pool_) current_pool_->set_held(current_inode_, false); }

 private:
  struct Job {
    std::function<void()> fn;
    ino_t inode = 0;
  };
  struct Guarded {
    int fd = -1;
    Clock::time_point deadline;
    bool held = false;
  };

  // Under no lock but the registry's: the new connections on the port.
  ino_t discover() {
    const int port = port_();
    std::lock_guard lock(guard_mu_);
    std::map<ino_t, Guarded> still;
    ino_t found = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return 0;
    while (const dirent* e = readdir(dir)) {
      if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
      const int fd = std::atoi(e->d_name);
      if (fd == dirfd(dir)) continue;
      const ino_t ino = inode_of(fd);
      if (ino == 0) continue;
      if (const auto it = guarded_.find(ino); it != guarded_.end()) {
        still.emplace(ino, it->second);
        continue;
      }
      if (!accepted_on(fd, port)) continue;
      still.emplace(ino, Guarded{.fd = fd, .deadline = Clock::now() + deadline_});
      found = ino;
    }
    closedir(dir);
    guarded_ = std::move(still);
    return found;
  }

  void set_held(ino_t inode, bool held) {
    std::lock_guard lock(guard_mu_);
    const auto it = guarded_.find(inode);
    if (it == guarded_.end()) return;
    it->second.held = held;
    if (!held) it->second.deadline = Clock::now() + deadline_;
  }

  void forget(ino_t inode) {
    std::lock_guard lock(guard_mu_);
    guarded_.erase(inode);
  }

  void work() {
    for (;;) {
      Job job;
      {
        std::unique_lock lock(mu_);
        cv_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty()) return;
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      current_pool_ = this;
      current_inode_ = job.inode;
      try {
        job.fn();
      } catch (...) {
        // The connection is gone with whatever it threw; the thread stays.
      }
      current_pool_ = nullptr;
      forget(job.inode);
    }
  }

  void watch() {
    const auto step = std::min<std::chrono::milliseconds>(std::chrono::milliseconds(100), deadline_ / 4 + std::chrono::milliseconds(1));
    for (;;) {
      {
        // A condition of its own: a wake-up meant for a request thread must
        // never be taken by the watch.
        std::unique_lock lock(mu_);
        if (watch_cv_.wait_for(lock, step, [&] { return stopping_; })) return;
      }
      std::lock_guard lock(guard_mu_);
      const auto now = Clock::now();
      for (auto it = guarded_.begin(); it != guarded_.end();) {
        if (!it->second.held && it->second.deadline <= now) {
          // Only the very socket: its number may have gone to another by now.
          if (inode_of(it->second.fd) == it->first) ::shutdown(it->second.fd, SHUT_RDWR);
          it = guarded_.erase(it);
        } else {
          ++it;
        }
      }
    }
  }

  std::function<int()> port_;
  std::chrono::milliseconds deadline_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::condition_variable watch_cv_;
  std::deque<Job> jobs_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
  std::thread watch_;
  std::mutex guard_mu_;
  std::map<ino_t, Guarded> guarded_;
  static thread_local GuardedPool* current_pool_;
  static thread_local ino_t current_inode_;
};

thread_local GuardedPool* GuardedPool::current_pool_ = nullptr;
thread_local ino_t GuardedPool::current_inode_ = 0;

// --- routes ------------------------------------------------------------------

enum class Access { anyone, reader, operator_ };

struct Route {
  std::string method;
  std::string label;  // the route as the metrics name it
  std::regex pattern;
  Access access;
};

const std::vector<Route>& routes() {
  static const std::vector<Route> r = {
      {"GET", "/healthz", std::regex("/healthz"), Access::anyone},
      {"GET", "/readyz", std::regex("/readyz"), Access::anyone},
      {"GET", "/metrics", std::regex("/metrics"), Access::reader},
      {"GET", "/api/search", std::regex("/api/search"), Access::reader},
      {"GET", "/api/documents", std::regex("/api/documents"), Access::reader},
      {"GET", "/api/documents/{qd}", std::regex("/api/documents/([^/]*)"), Access::reader},
      {"GET", "/api/documents/{qd}/sections", std::regex("/api/documents/([^/]*)/sections"), Access::reader},
      {"GET", "/api/documents/{qd}/audit", std::regex("/api/documents/([^/]*)/audit"), Access::reader},
      {"GET", "/api/queue", std::regex("/api/queue"), Access::reader},
      {"GET", "/api/overview", std::regex("/api/overview"), Access::reader},
      {"POST", "/api/documents/{qd}/reprocess", std::regex("/api/documents/([^/]*)/reprocess"), Access::operator_},
      {"DELETE", "/api/documents/{qd}", std::regex("/api/documents/([^/]*)"), Access::operator_},
  };
  return r;
}

// The route of a request: the one of its method, else any of its path
// (then the method is not allowed); null for an unknown path.
const Route* route_of(const Request& req, bool* method_matches = nullptr) {
  const Route* any = nullptr;
  for (const Route& r : routes()) {
    if (!std::regex_match(req.path, r.pattern)) continue;
    if (r.method == req.method || (req.method == "HEAD" && r.method == "GET")) {
      if (method_matches) *method_matches = true;
      return &r;
    }
    if (!any) any = &r;
  }
  if (method_matches) *method_matches = false;
  return any;
}

void send_json(Response& res, int status, const Record& body) {
  res.status = status;
  res.set_content(text::dumps_compact(body), "application/json");
}

void send_error(Response& res, int status, const std::string& code, const std::string& message) {
  send_json(res, status, Record{{"error", Record{{"code", code}, {"message", message}}}});
  if (status == 503) res.set_header("Retry-After", "5");
  if (status == 401) res.set_header("WWW-Authenticate", "Bearer");
}

std::string error_code_of(int status) {
  switch (status) {
    case 400: return "bad_request";
    case 401: return "unauthorized";
    case 403: return "forbidden";
    case 404: return "not_found";
    case 405: return "method_not_allowed";
    case 408: return "request_timeout";
    case 409: return "busy";
    case 413: return "payload_too_large";
    case 414: return "uri_too_long";
    case 431: return "headers_too_large";
    case 503: return "unavailable";
    default: return status >= 500 ? "internal" : "bad_request";
  }
}

std::string error_message_of(int status) {
  switch (status) {
    case 400: return "the request is malformed";
    case 401: return "a valid API key is needed (Authorization: Bearer KEY)";
    case 404: return "no such route";
    case 405: return "the route does not take this method";
    case 413: return "the request body is too large";
    case 414: return "the request line is too long";
    default: return status >= 500 ? "the request failed; the server's log says why" : "the request is refused";
  }
}

// Query parameter names under which a secret is commonly sent.
bool names_a_secret(const std::string& name) {
  const std::string n = text::ascii_lower(name);
  return n == "key" || n == "api_key" || n == "apikey" || n == "token" || n == "access_token";
}

thread_local Clock::time_point t_request_start;

}  // namespace

Options options_from_settings(const std::string& listen) {
  Options o;
  const auto& s = config::get();
  o.threads = s.SERVE_THREADS;
  o.read_timeout_s = s.SERVE_READ_TIMEOUT_S;
  o.write_timeout_s = s.SERVE_WRITE_TIMEOUT_S;
  o.request_timeout_s = s.SERVE_REQUEST_TIMEOUT_S;
  o.max_body = static_cast<std::size_t>(s.SERVE_MAX_BODY);
  const auto colon = listen.rfind(':');
  if (colon == std::string::npos || colon == 0) throw ValueError("'" + listen + "' is not HOST:PORT");
  std::string host = listen.substr(0, colon);
  const std::string port = listen.substr(colon + 1);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  bool digits = !port.empty() && port.size() <= 5;
  for (const char c : port) digits = digits && c >= '0' && c <= '9';
  if (!digits || std::stol(port) > 65535) throw ValueError("'" + listen + "' is not HOST:PORT (port 0 to 65535)");
  o.host = host;
  o.port = static_cast<int>(std::stol(port));
  return o;
}

struct Server::Impl {
  Options options;
  std::vector<keys::Entry> keys;
  std::unique_ptr<httplib::Server> server;
  api::Service service;
  metrics::ServerMetrics metrics;
  std::vector<std::string> public_prefixes;
  std::atomic<int> port{0};
  int listen_fd = -1;

  // The health watch: whether the database and storage answer, asked
  // every health_interval_ms off the request threads.
  std::mutex health_mu;
  std::condition_variable health_cv;
  bool stopping = false;
  Record readiness{{"ok", false},
                   {"database", Record{{"ok", false}, {"reason", "not checked yet"}}},
                   {"storage", Record{{"ok", false}, {"reason", "not checked yet"}}}};
  std::optional<std::pair<long, long>> queue_depth;
  std::thread health;

  std::optional<keys::Entry> caller(const Request& req) const {
    const std::string header = req.get_header_value("Authorization");
    const std::string scheme = "bearer ";
    if (header.size() <= scheme.size() || text::ascii_lower(header.substr(0, scheme.size())) != scheme) {
      return std::nullopt;
    }
    return keys::find(keys, text::strip(std::string_view(header).substr(scheme.size())));
  }

  bool is_public(const std::string& path) const {
    for (const std::string& p : public_prefixes) {
      if (path.rfind(p, 0) == 0) return true;
    }
    return false;
  }

  void watch_health() {
    for (;;) {
      Record r = service.check_readiness();
      std::optional<std::pair<long, long>> depth;
      if (r["storage"]["ok"].get<bool>()) depth = service.queue_depth();
      {
        std::unique_lock lock(health_mu);
        readiness = std::move(r);
        queue_depth = depth;
        if (health_cv.wait_for(lock, std::chrono::milliseconds(options.health_interval_ms), [&] { return stopping; })) {
          return;
        }
      }
    }
  }

  void record_refusal(const Request& req, const Route& route, const keys::Entry& key) {
    std::smatch m;
    std::string segment;
    if (std::regex_match(req.path, m, route.pattern) && m.size() > 1) segment = m[1];
    const auto number = text::normalize_qd_number(segment);
    if (!number) return;
    try {
      service.record_operator_request(*number, key.name,
                                      Record{{"method", req.method}, {"route", route.label},
                                             {"role", std::string(keys::role_name(key.role))}, {"allowed", false}});
    } catch (const std::exception& e) {
      log().error(std::string("refused operator request not written to the audit trail: ") + e.what());
    }
  }

  // Counts the request before its answer is written, so that a scrape
  // that follows an answer sees it.
  void count(const Request& req, const Response& res) {
    const Route* route = route_of(req);
    const double seconds =
        t_request_start == Clock::time_point{} ? 0.0 : std::chrono::duration<double>(Clock::now() - t_request_start).count();
    t_request_start = Clock::time_point{};
    metrics.request(route ? route->label : "other", req.method, res.status, seconds);
  }

  httplib::Server::HandlerResponse handled(const Request& req, Response& res) {
    count(req, res);
    return httplib::Server::HandlerResponse::Handled;
  }

  httplib::Server::HandlerResponse pre_route(const Request& req, Response& res) {
    t_request_start = Clock::now();
    // A key in a query string ends up in logs and histories: refused
    // whatever it is, before any key is looked at.
    for (const auto& [name, value] : req.params) {
      if (names_a_secret(name) || value.rfind(keys::kKeyPrefix, 0) == 0) {
        send_error(res, 400, "bad_request", "API keys go in the Authorization header, never in the query string");
        return handled(req, res);
      }
    }
    bool method_matches = false;
    const Route* route = route_of(req, &method_matches);
    if (route && route->access == Access::anyone) return httplib::Server::HandlerResponse::Unhandled;
    if (!route && is_public(req.path)) return httplib::Server::HandlerResponse::Unhandled;
    const auto key = caller(req);
    if (!key) {
      send_error(res, 401, "unauthorized", error_message_of(401));
      return handled(req, res);
    }
    if (route && method_matches && route->access == Access::operator_ && key->role != keys::Role::operator_) {
      send_error(res, 403, "forbidden", "this route needs the operator role");
      record_refusal(req, *route, *key);
      return handled(req, res);
    }
    return httplib::Server::HandlerResponse::Unhandled;
  }

  // Runs a route's work: its answer, or its error in the one shape.
  void handle(const Request& req, Response& res, const std::function<void(Response&)>& work) {
    GuardedPool::hold();
    try {
      work(res);
    } catch (const std::exception& e) {
      const api::ApiError err = api::classify(e);
      send_error(res, err.status, err.code, err.what());
    } catch (...) {
      send_error(res, 500, "internal", error_message_of(500));
    }
    count(req, res);
    GuardedPool::release();
  }

  std::string segment(const Request& req) const { return req.matches.size() > 1 ? std::string(req.matches[1]) : ""; }

  void operator_request(const Request& req, const std::string& qd, const std::string& route) {
    const auto key = caller(req);
    try {
      service.record_operator_request(qd, key ? key->name : "", Record{{"method", req.method}, {"route", route},
                                                                       {"role", "operator"}, {"allowed", true}});
    } catch (const std::exception& e) {
      log().error(std::string("operator request not written to the audit trail: ") + e.what());
      throw api::ApiError(503, "unavailable", "the request could not be written to the audit trail; nothing was done");
    }
  }

  void install() {
    httplib::Server& s = *server;
    s.new_task_queue = [this] {
      return new GuardedPool(static_cast<std::size_t>(options.threads), [this] { return port.load(); },
                             std::chrono::milliseconds(options.request_timeout_s * 1000));
    };
    s.set_read_timeout(options.read_timeout_s, 0);
    s.set_write_timeout(options.write_timeout_s, 0);
    s.set_keep_alive_timeout(options.read_timeout_s);
    s.set_keep_alive_max_count(100);
    s.set_payload_max_length(options.max_body);
    s.set_socket_options([this](int fd) {
      int yes = 1;
      setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
      listen_fd = fd;
    });
    s.set_pre_routing_handler([this](const Request& req, Response& res) { return pre_route(req, res); });
    s.set_exception_handler([](const Request&, Response& res, std::exception_ptr) {
      res.headers.clear();
      send_error(res, 500, "internal", error_message_of(500));
    });
    s.set_error_handler([this](const Request& req, Response& res) {
      // The answers of cpp-httplib itself (no route, too large, malformed)
      // in the one shape; a route's own errors are written (and counted) already.
      if (!res.body.empty()) return;
      bool method_matches = false;
      if (res.status == 404 && route_of(req, &method_matches) && !method_matches) {
        res.status = 405;
        std::string allow;
        for (const Route& r : routes()) {
          if (std::regex_match(req.path, r.pattern)) allow += (allow.empty() ? "" : ", ") + r.method;
        }
        res.set_header("Allow", allow);
      }
      send_error(res, res.status, error_code_of(res.status), error_message_of(res.status));
      count(req, res);
    });

    s.Get("/healthz", [this](const Request& req, Response& res) {
      handle(req, res, [&](Response& r) { send_json(r, 200, Record{{"status", "ok"}}); });
    });
    s.Get("/readyz", [this](const Request& req, Response& res) {
      handle(req, res, [&](Response& r) {
        Record state;
        {
          std::lock_guard lock(health_mu);
          state = readiness;
        }
        const bool ok = state["ok"].get<bool>();
        Record body{{"status", ok ? "ready" : "not ready"}};
        // Why is told only to a signed-in caller: it says what stands behind the door.
        if (caller(req)) body["checks"] = Record{{"database", state["database"]}, {"storage", state["storage"]}};
        send_json(r, ok ? 200 : 503, body);
        if (!ok) r.set_header("Retry-After", "5");
      });
    });
    s.Get("/metrics", [this](const Request& req, Response& res) {
      handle(req, res, [&](Response& r) {
        try {
          const api::Service::Counts c = service.counts();
          metrics.documents(c.by_status);
          metrics.index(c.index_sections, c.index_generation);
        } catch (const std::exception& e) {
          log().warning(std::string("metrics: the database's counts not read: ") + e.what());
        }
        {
          std::lock_guard lock(health_mu);
          if (queue_depth) metrics.queue(queue_depth->first, queue_depth->second);
        }
        r.status = 200;
        r.set_content(metrics.text(), metrics::kContentType);
      });
    });
    s.Get("/api/search", [this](const Request& req, Response& res) {
      handle(req, res, [&](Response& r) {
        api::SearchTiming timing;
        const Record body = service.search(req.params, &timing);
        metrics.search(timing.mode, timing.seconds);
        send_json(r, 200, body);
      });
    });
    s.Get("/api/documents", [this](const Request& req, Response& res) {
      handle(req, res, [&](Response& r) { send_json(r, 200, service.documents(req.params)); });
    });
    s.Get(R"(/api/documents/([^/]*))", [this](const Request& req, Response& res) {
      handle(req, res, [&](Response& r) { send_json(r, 200, service.document(api::qd_of(segment(req)))); });
    });
    s.Get(R"(/api/documents/([^/]*)/sections)", [this](const Request& req, Response& res) {
      handle(req, res, [&](Response& r) { send_json(r, 200, service.sections(api::qd_of(segment(req)))); });
    });
    s.Get(R"(/api/documents/([^/]*)/audit)", [this](const Request& req, Response& res) {
      handle(req, res, [&](Response& r) {
        const std::string qd = api::qd_of(segment(req));
        bool verify = false;
        for (const auto& [name, value] : req.params) {
          if (name != "verify") throw api::ApiError(400, "bad_request", "unknown parameter '" + text::printable(name) + "'");
          if (value != "1" && value != "0") throw api::ApiError(400, "bad_request", "'verify' is 1 or 0");
          verify = value == "1";
        }
        send_json(r, 200, service.audit(qd, verify));
      });
    });
    s.Get("/api/queue", [this](const Request& req, Response& res) {
      handle(req, res, [&](Response& r) { send_json(r, 200, service.queue()); });
    });
    s.Get("/api/overview", [this](const Request& req, Response& res) {
      handle(req, res, [&](Response& r) { send_json(r, 200, service.overview()); });
    });
    s.Post(R"(/api/documents/([^/]*)/reprocess)", [this](const Request& req, Response& res) {
      handle(req, res, [&](Response& r) {
        const std::string qd = api::qd_of(segment(req));
        operator_request(req, qd, "/api/documents/{qd}/reprocess");
        send_json(r, 202, service.reprocess(qd));
      });
    });
    s.Delete(R"(/api/documents/([^/]*))", [this](const Request& req, Response& res) {
      handle(req, res, [&](Response& r) {
        const std::string qd = api::qd_of(segment(req));
        operator_request(req, qd, "/api/documents/{qd}");
        send_json(r, 200, service.remove(qd));
      });
    });
  }
};

Server::Server(Options options, std::vector<keys::Entry> keys) : impl_(std::make_unique<Impl>()) {
  impl_->options = std::move(options);
  impl_->keys = std::move(keys);
  const Options& o = impl_->options;
  if (o.tls_cert.empty() != o.tls_key.empty()) throw ValueError("give both --tls-cert and --tls-key, or neither");
  if (!o.tls_cert.empty()) {
    auto tls = std::make_unique<httplib::SSLServer>(o.tls_cert.c_str(), o.tls_key.c_str());
    if (!tls->is_valid()) throw ValueError("the TLS certificate or key cannot be loaded");
    impl_->server = std::move(tls);
  } else {
    impl_->server = std::make_unique<httplib::Server>();
  }
  impl_->install();
}

Server::~Server() {
  stop();
  {
    std::lock_guard lock(impl_->health_mu);
    impl_->stopping = true;
  }
  impl_->health_cv.notify_all();
  if (impl_->health.joinable()) impl_->health.join();
}

void Server::mount(const std::function<void(httplib::Server&)>& fn) { fn(*impl_->server); }

void Server::public_prefix(std::string prefix) { impl_->public_prefixes.push_back(std::move(prefix)); }

int Server::bind() {
  int port = impl_->options.port;
  if (port == 0) {
    port = impl_->server->bind_to_any_port(impl_->options.host);
    if (port <= 0) throw Error("cannot listen on " + impl_->options.host + " (any port)");
  } else if (!impl_->server->bind_to_port(impl_->options.host, port)) {
    throw Error("cannot listen on " + impl_->options.host + ":" + std::to_string(port));
  }
  impl_->port = port;
  // cpp-httplib listens with a backlog of 5: a burst of clients would wait
  // on their retransmissions. The kernel takes a larger one again.
  if (impl_->listen_fd >= 0) ::listen(impl_->listen_fd, 1024);
  if (!impl_->health.joinable()) impl_->health = std::thread([this] { impl_->watch_health(); });
  return port;
}

void Server::run() {
  if (impl_->port == 0) bind();
  impl_->server->listen_after_bind();
}

bool Server::running() const { return impl_->server->is_running(); }

void Server::stop() {
  if (impl_->server) impl_->server->stop();
}

MetricsServer::MetricsServer(const std::string& listen, std::function<std::string()> text)
    : server_(std::make_unique<httplib::Server>()) {
  const Options o = options_from_settings(listen);
  server_->new_task_queue = [] { return new httplib::ThreadPool(2); };
  server_->set_read_timeout(5, 0);
  server_->set_write_timeout(5, 0);
  server_->set_keep_alive_max_count(10);
  server_->set_payload_max_length(0);
  server_->Get("/metrics", [text = std::move(text)](const Request&, Response& res) {
    res.set_content(text(), metrics::kContentType);
  });
  server_->set_error_handler([](const Request&, Response& res) {
    if (res.body.empty()) send_error(res, res.status, error_code_of(res.status), error_message_of(res.status));
  });
  port_ = o.port == 0 ? server_->bind_to_any_port(o.host) : (server_->bind_to_port(o.host, o.port) ? o.port : -1);
  if (port_ <= 0) throw Error("cannot listen on " + listen);
  thread_ = std::thread([this] { server_->listen_after_bind(); });
}

MetricsServer::~MetricsServer() {
  // stop() before the listening loop began would be lost: wait for it.
  for (int i = 0; i < 500 && !server_->is_running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  server_->stop();
  thread_.join();
}

}  // namespace shared::serve::http
