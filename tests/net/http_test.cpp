#include "shared/net/http.hpp"

#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>

#include "shared/errors.hpp"

using shared::net::Headers;
using shared::net::Request;
using shared::net::Response;

namespace {

// What the server saw of one request.
struct Seen {
  std::string method, target, body;
  httplib::Headers headers;
  int remote_port = 0;
  bool has(const std::string& name) const { return headers.count(name) > 0; }
  std::string get(const std::string& name) const {
    auto it = headers.find(name);
    return it == headers.end() ? std::string("<absent>") : it->second;
  }
};

// A local HTTP server on 127.0.0.1 and a free port that records every request
// and answers with the status, headers and body the test chose.
class EchoServer {
 public:
  EchoServer() {
    auto handler = [this](const httplib::Request& req, httplib::Response& res) {
      {
        std::lock_guard lock(mu_);
        seen_.push_back(Seen{req.method, req.target, req.body, req.headers, req.remote_port});
      }
      if (req.target.rfind("/echo/", 0) == 0) {
        res.status = 200;
        res.set_header("X-Target", req.target);
        res.set_content(req.body.empty() ? req.target : req.body, "application/octet-stream");
        return;
      }
      res.status = 404;
      res.set_header("x-ms-error-code", "BlobNotFound");
      res.set_header("X-Twice", "first");
      res.set_header("x-twice", "second");
      if (req.method != "HEAD") res.set_content("<Error><Code>BlobNotFound</Code></Error>", "application/xml");
    };
    server_.Get(".*", handler);
    server_.Put(".*", handler);
    server_.Post(".*", handler);
    server_.Delete(".*", handler);
    server_.set_keep_alive_max_count(1000);
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::yield();
  }
  ~EchoServer() {
    server_.stop();
    thread_.join();
  }
  std::string url(const std::string& target) const { return "http://127.0.0.1:" + std::to_string(port_) + target; }
  std::vector<Seen> seen() const {
    std::lock_guard lock(mu_);
    return seen_;
  }
  Seen last() const { return seen().back(); }

 private:
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
  mutable std::mutex mu_;
  std::vector<Seen> seen_;
};

// Accepts one connection on 127.0.0.1 and a free port, keeps the raw request
// bytes and answers with a fixed response.
class RawOnceServer {
 public:
  RawOnceServer() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd_, 1) != 0) {
      throw std::runtime_error("RawOnceServer: cannot listen");
    }
    socklen_t len = sizeof addr;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~RawOnceServer() {
    thread_.join();
    ::close(fd_);
  }
  std::string url(const std::string& target) const { return "http://127.0.0.1:" + std::to_string(port_) + target; }
  std::string request() {
    thread_.join();
    thread_ = std::thread([] {});
    return got_;
  }

 private:
  void serve() {
    const int c = ::accept(fd_, nullptr, nullptr);
    if (c < 0) return;
    char buf[4096];
    for (;;) {
      const std::size_t end = got_.find("\r\n\r\n");
      if (end != std::string::npos) {
        const std::size_t cl = got_.find("Content-Length: ");
        const std::size_t want = cl == std::string::npos ? 0 : std::stoul(got_.substr(cl + 16));
        if (got_.size() >= end + 4 + want) break;
      }
      const ssize_t n = ::recv(c, buf, sizeof buf, 0);
      if (n <= 0) break;
      got_.append(buf, static_cast<std::size_t>(n));
    }
    const std::string answer = "HTTP/1.1 201 Created\r\nx-ms-request-id: r-1\r\nContent-Length: 4\r\n\r\ndone";
    ::send(c, answer.data(), answer.size(), MSG_NOSIGNAL);
    ::close(c);
  }

  int fd_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::string got_;
};

// A port on 127.0.0.1 on which nothing listens.
int closed_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

}  // namespace

TEST(CurlTransport, SendsRequestsAsGivenAndReturnsWholeResponses) {
  EchoServer server;
  auto transport = shared::net::make_curl_transport();

  struct Case {
    std::string method, target, body;
    Headers headers;
    long status;
    std::string expected_body;
    std::string content_type;    // as the server saw it
    std::string content_length;  // as the server saw it
  };
  const std::string big(3 * 1024 * 1024 + 7, 'x');
  const std::vector<Case> cases = {
      {"GET", "/echo/a%20b?x=1&y=%2F", "", {{"x-ms-version", "2021-12-02"}}, 200, "/echo/a%20b?x=1&y=%2F",
       "<absent>", "<absent>"},
      {"PUT", "/echo/put", std::string("bin\0ary\r\n", 9), {{"x-ms-blob-type", "BlockBlob"}}, 200,
       std::string("bin\0ary\r\n", 9), "<absent>", "9"},
      {"PUT", "/echo/typed", "text", {{"Content-Type", "text/markdown"}}, 200, "text", "text/markdown", "4"},
      {"PUT", "/echo/empty", "", {}, 200, "/echo/empty", "<absent>", "0"},
      {"POST", "/echo/post", "{}", {{"Content-Type", "application/json"}}, 200, "{}", "application/json", "2"},
      {"PUT", "/echo/big", big, {}, 200, big, "<absent>", std::to_string(big.size())},
      {"DELETE", "/missing", "", {}, 404, "<Error><Code>BlobNotFound</Code></Error>", "<absent>", "<absent>"},
      {"GET", "/echo/a/./b/../c", "", {}, 200, "/echo/a/./b/../c", "<absent>", "<absent>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method + " " + c.target);
    const Response r = transport->send(Request{c.method, server.url(c.target), c.headers, c.body});
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.body, c.expected_body);
    const Seen s = server.last();
    EXPECT_EQ(s.method, c.method);
    EXPECT_EQ(s.target, c.target);
    EXPECT_EQ(s.body, c.body);
    EXPECT_EQ(s.get("Content-Type"), c.content_type);
    EXPECT_EQ(s.get("Content-Length"), c.content_length);
    EXPECT_FALSE(s.has("Expect"));
    for (const auto& [name, value] : c.headers) EXPECT_EQ(s.get(name), value);
    if (c.status == 200) {
      EXPECT_EQ(r.header("x-target"), c.target);
    }
  }
}

TEST(CurlTransport, HeadHasNoBodyAndErrorHeadersArrive) {
  EchoServer server;
  auto transport = shared::net::make_curl_transport();
  const Response r = transport->send(Request{"HEAD", server.url("/missing"), {}, ""});
  EXPECT_EQ(r.status, 404);
  EXPECT_EQ(r.body, "");
  EXPECT_EQ(r.header("X-MS-ERROR-CODE"), "BlobNotFound");
  EXPECT_EQ(server.last().method, "HEAD");
}

TEST(CurlTransport, RequestHeadBytesCarryNoAddedContentTypeOrExpect) {
  // The request head exactly as it leaves the process (a parsing server
  // would hide empty header values).
  RawOnceServer raw;
  auto transport = shared::net::make_curl_transport();
  const Response r = transport->send(
      Request{"PUT", raw.url("/c/b%20x/./y"), {{"x-ms-empty", ""}, {"x-ms-date", "Tue, 01 Aug 2023 10:00:00 GMT"}}, "abc"});
  EXPECT_EQ(r.status, 201);
  EXPECT_EQ(r.header("x-ms-request-id"), "r-1");
  EXPECT_EQ(r.body, "done");
  const std::string head = raw.request();
  EXPECT_EQ(head.rfind("PUT /c/b%20x/./y HTTP/1.1\r\n", 0), 0u) << head;
  EXPECT_NE(head.find("\r\nx-ms-empty:\r\n"), std::string::npos) << head;
  EXPECT_NE(head.find("\r\nx-ms-date: Tue, 01 Aug 2023 10:00:00 GMT\r\n"), std::string::npos) << head;
  EXPECT_NE(head.find("\r\nContent-Length: 3\r\n"), std::string::npos) << head;
  EXPECT_EQ(head.find("Content-Type"), std::string::npos) << head;
  EXPECT_EQ(head.find("Expect"), std::string::npos) << head;
  EXPECT_EQ(head.substr(head.size() - 7), "\r\n\r\nabc") << head;
}

TEST(CurlTransport, KeepsTheConnectionAcrossCalls) {
  EchoServer server;
  auto transport = shared::net::make_curl_transport();
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(transport->send(Request{i % 2 ? "PUT" : "GET", server.url("/echo/k"), {}, i % 2 ? "b" : ""}).status, 200);
  }
  std::set<int> ports;
  for (const Seen& s : server.seen()) ports.insert(s.remote_port);
  EXPECT_EQ(ports.size(), 1u);
}

TEST(CurlTransport, ManyThreadsAtOnce) {
  EchoServer server;
  auto transport = shared::net::make_curl_transport();
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) {
        const std::string body = "t" + std::to_string(t) + "-" + std::to_string(i);
        const Response r = transport->send(Request{"PUT", server.url("/echo/" + body), {}, body});
        if (r.status != 200 || r.body != body || r.header("X-Target") != "/echo/" + body) ++wrong;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(server.seen().size(), 150u);
}

TEST(CurlTransport, NoAnswerIsTransportErrorWithoutQuery) {
  const int port = closed_port();
  auto transport = shared::net::make_curl_transport(shared::net::HttpOptions{.connect_timeout_ms = 2000});
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/c/b?sv=2021&sig=SECRETSIG";
  try {
    transport->send(Request{"GET", url, {}, ""});
    FAIL() << "no error";
  } catch (const shared::TransportError& e) {
    const std::string what = e.what();
    EXPECT_EQ(what.rfind("HTTP GET http://127.0.0.1:" + std::to_string(port) + "/c/b failed: ", 0), 0u) << what;
    EXPECT_EQ(what.find("SECRETSIG"), std::string::npos) << what;
  }
}

TEST(HeaderValue, CaseInsensitiveFirstMatch) {
  const Headers h = {{"Content-Type", "a"}, {"x-ms-error-code", "B"}, {"content-type", "c"}};
  EXPECT_EQ(shared::net::header_value(h, "content-type"), "a");
  EXPECT_EQ(shared::net::header_value(h, "X-MS-Error-Code"), "B");
  EXPECT_EQ(shared::net::header_value(h, "missing"), "");
  EXPECT_EQ(shared::net::header_value(h, "content-typ"), "");
}
