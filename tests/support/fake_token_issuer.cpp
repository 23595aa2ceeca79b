#include "support/fake_token_issuer.hpp"

#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <chrono>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

namespace testing_support {

namespace {

using Json = nlohmann::json;

std::string base64url(const std::string& in) {
  std::string out(4 * ((in.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(in.data()), static_cast<int>(in.size()));
  out.resize(static_cast<std::size_t>(n));
  while (!out.empty() && out.back() == '=') out.pop_back();
  for (char& c : out) c = c == '+' ? '-' : c == '/' ? '_' : c;
  return out;
}

std::string hs256(const std::string& key, const std::string& text) {
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(text.data()),
       text.size(), mac, &len);
  return std::string(reinterpret_cast<const char*>(mac), len);
}

std::string resource_of(std::string scope) {
  const std::string suffix = "/.default";
  if (scope.size() >= suffix.size() && scope.compare(scope.size() - suffix.size(), suffix.size(), suffix) == 0) {
    scope.resize(scope.size() - suffix.size());
  }
  return scope;
}

}  // namespace

struct FakeTokenIssuer::Impl {
  httplib::Server server;
  std::thread thread;
  int port = 0;
  mutable std::mutex mu;
  std::string client_id, secret, assertion, identity_header, audience;
  long lifetime = 3600;
  int failures = 0;
  long failure_status = 500;
  std::function<void(const std::string&)> minted;
  std::vector<RecordedRequest> requests;
  std::vector<std::string> tokens;
  long serial = 0;

  void record(const httplib::Request& req) {
    RecordedRequest r;
    r.method = req.method;
    r.path = req.path;
    for (const auto& [k, v] : req.params) r.query += (r.query.empty() ? "" : "&") + k + "=" + v;
    for (const auto& [k, v] : req.headers) r.headers.emplace_back(k, v);
    r.body = req.body;
    std::lock_guard lock(mu);
    requests.push_back(std::move(r));
  }

  static void refuse(httplib::Response& res, long status, const std::string& error, const std::string& why) {
    res.status = static_cast<int>(status);
    res.set_content(Json{{"error", error}, {"error_description", why}}.dump(), "application/json");
  }

  std::string mint(const std::string& tenant, const std::string& resource) {
    const long long now =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
    std::string aud, token;
    std::function<void(const std::string&)> hook;
    {
      std::lock_guard lock(mu);
      aud = audience.empty() ? resource : audience;
      const Json header = {{"alg", "HS256"}, {"typ", "JWT"}};
      const Json claims = {{"aud", aud},
                           {"iss", "https://sts.windows.net/" + tenant + "/"},
                           {"iat", now},
                           {"nbf", now - 300},
                           {"exp", now + lifetime},
                           {"oid", "00000000-0000-0000-0000-00000000e17a"},
                           {"tid", tenant},
                           {"jti", "token-" + std::to_string(++serial)}};
      const std::string signing = base64url(header.dump()) + "." + base64url(claims.dump());
      token = signing + "." + base64url(hs256("fake-issuer-key", signing));
      tokens.push_back(token);
      hook = minted;
    }
    if (hook) hook(token);
    return token;
  }

  // True when the request is to fail; answers it.
  bool failing(httplib::Response& res) {
    std::lock_guard lock(mu);
    if (failures <= 0) return false;
    --failures;
    refuse(res, failure_status, "temporarily_unavailable", "AADSTS90033: the issuer is failing on purpose.");
    return true;
  }
};

FakeTokenIssuer::FakeTokenIssuer() : impl_(std::make_unique<Impl>()) {
  Impl* impl = impl_.get();
  impl->server.Post(R"(/([^/]+)/oauth2/v2\.0/token)", [impl](const httplib::Request& req, httplib::Response& res) {
    impl->record(req);
    if (impl->failing(res)) return;
    const std::string tenant = req.matches[1];
    std::string want_client, want_secret, want_assertion;
    {
      std::lock_guard lock(impl->mu);
      want_client = impl->client_id;
      want_secret = impl->secret;
      want_assertion = impl->assertion;
    }
    if (req.get_param_value("grant_type") != "client_credentials") {
      return Impl::refuse(res, 400, "unsupported_grant_type", "AADSTS70003: grant type not supported.");
    }
    if (!want_client.empty() && req.get_param_value("client_id") != want_client) {
      return Impl::refuse(res, 400, "unauthorized_client", "AADSTS700016: application not found.");
    }
    if (req.has_param("client_assertion")) {
      if (req.get_param_value("client_assertion_type") != "urn:ietf:params:oauth:client-assertion-type:jwt-bearer" ||
          (!want_assertion.empty() && req.get_param_value("client_assertion") != want_assertion)) {
        return Impl::refuse(res, 401, "invalid_client", "AADSTS700024: client assertion is not within its valid time range.");
      }
    } else if (!want_secret.empty() && req.get_param_value("client_secret") != want_secret) {
      return Impl::refuse(res, 401, "invalid_client", "AADSTS7000215: Invalid client secret provided.");
    }
    long lifetime = 0;
    {
      std::lock_guard lock(impl->mu);
      lifetime = impl->lifetime;
    }
    const std::string token = impl->mint(tenant, resource_of(req.get_param_value("scope")));
    res.set_content(Json{{"token_type", "Bearer"}, {"expires_in", lifetime}, {"ext_expires_in", lifetime},
                         {"access_token", token}}.dump(),
                    "application/json");
  });
  auto identity = [impl](const httplib::Request& req, httplib::Response& res, bool vm) {
    impl->record(req);
    if (impl->failing(res)) return;
    std::string want_header;
    long lifetime = 0;
    {
      std::lock_guard lock(impl->mu);
      want_header = impl->identity_header;
      lifetime = impl->lifetime;
    }
    const bool header_ok = vm ? req.get_header_value("Metadata") == "true"
                              : (!want_header.empty() && req.get_header_value("X-IDENTITY-HEADER") == want_header);
    if (!header_ok) return Impl::refuse(res, 401, "invalid_request", "the identity header is missing or wrong");
    const std::string token = impl->mint("managed-tenant", req.get_param_value("resource"));
    const long long now =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
    Json body = {{"access_token", token}, {"resource", req.get_param_value("resource")}, {"token_type", "Bearer"}};
    // The App Service form gives only the absolute expiry, as text.
    body["expires_on"] = std::to_string(now + lifetime);
    if (vm) body["expires_in"] = std::to_string(lifetime);
    res.set_content(body.dump(), "application/json");
  };
  impl->server.Get("/msi/token", [identity](const httplib::Request& q, httplib::Response& r) { identity(q, r, false); });
  impl->server.Get("/metadata/identity/oauth2/token",
                   [identity](const httplib::Request& q, httplib::Response& r) { identity(q, r, true); });
  // One request per connection: stop() then never waits for an idle
  // keep-alive connection to time out.
  impl->server.set_keep_alive_max_count(1);
  impl->port = impl->server.bind_to_any_port("127.0.0.1");
  if (impl->port <= 0) throw std::runtime_error("FakeTokenIssuer: no port to listen on");
  impl->thread = std::thread([impl] { impl->server.listen_after_bind(); });
  while (!impl->server.is_running()) std::this_thread::yield();
}

FakeTokenIssuer::~FakeTokenIssuer() { stop(); }

void FakeTokenIssuer::stop() {
  impl_->server.stop();
  if (impl_->thread.joinable()) impl_->thread.join();
}

std::string FakeTokenIssuer::endpoint() const { return "http://127.0.0.1:" + std::to_string(impl_->port); }

void FakeTokenIssuer::expect_client(std::string client_id, std::string secret) {
  std::lock_guard lock(impl_->mu);
  impl_->client_id = std::move(client_id);
  impl_->secret = std::move(secret);
}

void FakeTokenIssuer::expect_assertion(std::string assertion) {
  std::lock_guard lock(impl_->mu);
  impl_->assertion = std::move(assertion);
}

void FakeTokenIssuer::expect_identity_header(std::string header) {
  std::lock_guard lock(impl_->mu);
  impl_->identity_header = std::move(header);
}

void FakeTokenIssuer::set_lifetime(long seconds) {
  std::lock_guard lock(impl_->mu);
  impl_->lifetime = seconds;
}

void FakeTokenIssuer::set_audience(std::string audience) {
  std::lock_guard lock(impl_->mu);
  impl_->audience = std::move(audience);
}

void FakeTokenIssuer::fail(int times, long status) {
  std::lock_guard lock(impl_->mu);
  impl_->failures = times;
  impl_->failure_status = status;
}

void FakeTokenIssuer::on_mint(std::function<void(const std::string&)> f) {
  std::lock_guard lock(impl_->mu);
  impl_->minted = std::move(f);
}

std::vector<RecordedRequest> FakeTokenIssuer::requests() const {
  std::lock_guard lock(impl_->mu);
  return impl_->requests;
}

std::vector<std::string> FakeTokenIssuer::tokens() const {
  std::lock_guard lock(impl_->mu);
  return impl_->tokens;
}

}  // namespace testing_support
