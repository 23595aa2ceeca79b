#include "shared/net/http.hpp"

#include <curl/curl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <array>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

#include "shared/config.hpp"
#include "shared/errors.hpp"
#include "shared/handles.hpp"
#include "shared/text/utf8.hpp"

namespace shared::net {

namespace {

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::string_view trim(std::string_view s) { return text::strip(s); }

bool has_header(const Headers& headers, std::string_view name) {
  for (const auto& [n, v] : headers) {
    if (iequals(n, name)) return true;
  }
  return false;
}

// The URL without its query: query strings may carry SAS tokens, which must
// never reach an error message.
std::string url_for_messages(const std::string& url) {
  const std::size_t q = url.find_first_of("?#");
  return q == std::string::npos ? url : url.substr(0, q);
}

using handles::CFree;
using X509Ptr = std::unique_ptr<X509, CFree<X509_free>>;
using BioPtr = std::unique_ptr<BIO, CFree<BIO_free_all>>;

// Every certificate of a PEM file; ValueError when there is none.
std::vector<X509Ptr> read_roots(const std::string& path) {
  BioPtr bio(BIO_new_file(path.c_str(), "r"));
  if (!bio) {
    ERR_clear_error();
    throw ValueError("KESTO_CA_BUNDLE '" + path + "' cannot be read");
  }
  std::vector<X509Ptr> roots;
  while (X509* cert = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) roots.emplace_back(cert);
  // The read past the last certificate leaves an "no start line" error behind.
  ERR_clear_error();
  if (roots.empty()) throw ValueError("KESTO_CA_BUNDLE '" + path + "' holds no PEM certificate");
  return roots;
}

using CurlEasy = std::unique_ptr<CURL, CFree<curl_easy_cleanup>>;
using CurlSlist = std::unique_ptr<curl_slist, CFree<curl_slist_free_all>>;

void global_init_once() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
      throw TransportError("HTTP: libcurl could not be initialised");
    }
  });
}

struct Collector {
  Response* response;
};

size_t write_body(char* data, size_t size, size_t count, void* user) {
  auto* c = static_cast<Collector*>(user);
  c->response->body.append(data, size * count);
  return size * count;
}

size_t write_header(char* data, size_t size, size_t count, void* user) {
  auto* c = static_cast<Collector*>(user);
  const std::string_view line(data, size * count);
  // A new status line starts a new response (after an interim 1xx answer);
  // only the final response's fields are kept.
  if (line.size() >= 5 && line.substr(0, 5) == "HTTP/") {
    c->response->headers.clear();
    return size * count;
  }
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) return size * count;
  c->response->headers.emplace_back(std::string(trim(line.substr(0, colon))),
                                    std::string(trim(line.substr(colon + 1))));
  return size * count;
}

class CurlTransport final : public Transport {
 public:
  explicit CurlTransport(const HttpOptions& options) : options_(options) {
    if (!options_.ca_bundle.empty()) roots_ = read_roots(options_.ca_bundle);
    share_ = curl_share_init();
    if (!share_) throw TransportError("HTTP: libcurl share handle could not be created");
    curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, &CurlTransport::lock);
    curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, &CurlTransport::unlock);
    curl_share_setopt(share_, CURLSHOPT_USERDATA, this);
    // Connections are not shared: libcurl does not support one connection
    // cache used by concurrent threads. Each pooled easy handle keeps its own
    // live connections instead, and the most recently returned handle is
    // handed out first, so sequential calls reuse one connection.
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  }

  ~CurlTransport() override {
    // Every easy handle must be closed before the share it uses.
    idle_.clear();
    curl_share_cleanup(share_);
  }

  CurlTransport(const CurlTransport&) = delete;
  CurlTransport& operator=(const CurlTransport&) = delete;

  Response send(const Request& request) override {
    CurlEasy easy = take_handle();
    CURL* h = easy.get();
    Response response;
    Collector collector{&response};

    CurlSlist headers;
    auto add_header = [&headers](const std::string& line) {
      curl_slist* next = curl_slist_append(headers.get(), line.c_str());
      if (!next) throw TransportError("HTTP: out of memory building request headers");
      (void)headers.release();
      headers.reset(next);
    };
    for (const auto& [name, value] : request.headers) {
      // "Name;" is libcurl's way of sending a header with an empty value.
      add_header(value.empty() ? name + ";" : name + ": " + value);
    }
    // libcurl would otherwise add headers of its own that signed requests
    // do not expect: a form Content-Type for bodies and "Expect: 100-continue".
    if (!has_header(request.headers, "Content-Type")) add_header("Content-Type:");
    if (!has_header(request.headers, "Expect")) add_header("Expect:");

    char errbuf[CURL_ERROR_SIZE] = {0};
    curl_easy_setopt(h, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(h, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errbuf);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, options_.connect_timeout_ms);
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, options_.timeout_ms);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, options_.verify_tls ? 1L : 0L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, options_.verify_tls ? 2L : 0L);
    curl_easy_setopt(h, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &write_body);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &collector);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &write_header);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &collector);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
    if (!roots_.empty()) {
      curl_easy_setopt(h, CURLOPT_SSL_CTX_FUNCTION, &CurlTransport::add_roots);
      curl_easy_setopt(h, CURLOPT_SSL_CTX_DATA, this);
    }

    const std::string& m = request.method;
    if (m == "GET" && request.body.empty()) {
      curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    } else if (m == "HEAD") {
      curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
    } else {
      curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, m.c_str());
      // PUT and POST always carry a body (possibly empty, so Content-Length: 0
      // is sent); other verbs only when the caller gave one.
      if (!request.body.empty() || m == "PUT" || m == "POST" || m == "PATCH") {
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, request.body.data());
      }
    }

    const CURLcode rc = curl_easy_perform(h);
    long status = 0;
    if (rc == CURLE_OK) curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    // The handle must not keep pointers into this call's header list or buffers.
    curl_easy_reset(h);
    give_back(std::move(easy));

    if (rc != CURLE_OK) {
      std::string detail = errbuf[0] ? std::string(errbuf) : std::string(curl_easy_strerror(rc));
      // libcurl's own text may quote the URL; keep its query out of the message.
      const std::size_t q = detail.find('?');
      if (q != std::string::npos) detail = detail.substr(0, q);
      throw TransportError("HTTP " + m + " " + url_for_messages(request.url) + " failed: " + detail);
    }
    response.status = status;
    return response;
  }

 private:
  static void lock(CURL*, curl_lock_data data, curl_lock_access, void* user) {
    static_cast<CurlTransport*>(user)->locks_[slot(data)].lock();
  }
  static void unlock(CURL*, curl_lock_data data, void* user) {
    static_cast<CurlTransport*>(user)->locks_[slot(data)].unlock();
  }
  static std::size_t slot(curl_lock_data data) {
    const auto i = static_cast<std::size_t>(data);
    return i < kLocks ? i : 0;
  }

  // Called by libcurl once the TLS context holds the system's roots: the
  // bundle's are added beside them.
  static CURLcode add_roots(CURL*, void* ssl_ctx, void* user) {
    auto* self = static_cast<CurlTransport*>(user);
    X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(ssl_ctx));
    for (const X509Ptr& cert : self->roots_) X509_STORE_add_cert(store, cert.get());
    // A certificate already in the store is no failure.
    ERR_clear_error();
    return CURLE_OK;
  }

  CurlEasy take_handle() {
    {
      std::lock_guard lock(pool_mu_);
      if (!idle_.empty()) {
        CurlEasy h = std::move(idle_.back());
        idle_.pop_back();
        return h;
      }
    }
    return make_attached();
  }

  void give_back(CurlEasy h) {
    // curl_easy_reset keeps the share, so a pooled handle stays attached.
    std::lock_guard lock(pool_mu_);
    if (idle_.size() < kMaxIdle) idle_.push_back(std::move(h));
  }

  CurlEasy make_attached() {
    CurlEasy h(curl_easy_init());
    if (!h) throw TransportError("HTTP: libcurl handle could not be created");
    curl_easy_setopt(h.get(), CURLOPT_SHARE, share_);
    return h;
  }

  static constexpr std::size_t kLocks = CURL_LOCK_DATA_LAST;
  static constexpr std::size_t kMaxIdle = 16;

  HttpOptions options_;
  std::vector<X509Ptr> roots_;
  CURLSH* share_ = nullptr;
  std::array<std::mutex, kLocks> locks_;
  std::mutex pool_mu_;
  std::vector<CurlEasy> idle_;
};

}  // namespace

std::string header_value(const Headers& headers, std::string_view name) {
  for (const auto& [n, v] : headers) {
    if (iequals(n, name)) return v;
  }
  return {};
}

std::shared_ptr<Transport> make_curl_transport(const HttpOptions& options) {
  global_init_once();
  HttpOptions o = options;
  if (o.ca_bundle.empty()) o.ca_bundle = config::get().CA_BUNDLE;
  return std::make_shared<CurlTransport>(o);
}

}  // namespace shared::net
