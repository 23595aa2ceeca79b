#include "shared/connectors/credential.hpp"

#include <algorithm>
#include <fstream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <utility>

#include "shared/errors.hpp"
#include "shared/logsetup.hpp"
#include "shared/retry.hpp"
#include "shared/text/percent.hpp"
#include "shared/text/utf8.hpp"

namespace shared::connectors::credential {

namespace {

using SysClock = std::chrono::system_clock;
using Json = nlohmann::json;

logsetup::Logger& logger() { return logsetup::get_logger("shared.connectors.credential"); }

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return out;
}

std::string enc(std::string_view s) { return text::percent_encode(s, false); }

std::string without_trailing_slashes(std::string s) {
  while (!s.empty() && s.back() == '/') s.pop_back();
  return s;
}

// The host of an absolute URL, brackets of an IPv6 address removed.
std::string host_of(std::string_view url) {
  const std::size_t scheme = url.find("://");
  if (scheme == std::string_view::npos) return {};
  std::string_view rest = url.substr(scheme + 3);
  rest = rest.substr(0, rest.find_first_of("/?#"));
  const std::size_t at = rest.rfind('@');
  if (at != std::string_view::npos) rest.remove_prefix(at + 1);
  if (!rest.empty() && rest.front() == '[') {
    const std::size_t close = rest.find(']');
    return std::string(rest.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
  }
  return std::string(rest.substr(0, rest.find(':')));
}

bool loopback(const std::string& host) {
  if (host == "localhost" || host == "::1") return true;
  // 127.0.0.0/8 written as four decimal parts.
  if (host.rfind("127.", 0) != 0) return false;
  int parts = 1;
  for (char c : host) {
    if (c == '.') {
      ++parts;
    } else if (c < '0' || c > '9') {
      return false;
    }
  }
  return parts == 4;
}

// The first line of a text from the issuer, shortened and without the
// secrets the request carried.
std::string tidy(std::string text, const std::vector<std::string>& secrets) {
  const std::size_t eol = text.find_first_of("\r\n");
  if (eol != std::string::npos) text.resize(eol);
  if (text.size() > 300) text = text.substr(0, 300) + "\u2026";
  for (const std::string& s : secrets) {
    if (!s.empty()) text = text::redact(std::move(text), s);
  }
  return std::string(text::strip(text));
}

double number_in(const Json& j) {
  if (j.is_number()) return j.get<double>();
  if (j.is_string()) {
    const std::string& s = j.get_ref<const std::string&>();
    if (s.empty() || s.size() > 15 || !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      return -1;
    }
    return std::stod(s);
  }
  return -1;
}

// One token endpoint: a request built per scope, the answer read the same
// way for every kind (expires_in, or else expires_on in seconds since 1970).
class EndpointCredential : public TokenCredential {
 public:
  EndpointCredential(std::string label, std::shared_ptr<net::Transport> transport, Clock clock, int max_attempts)
      : label_(std::move(label)), transport_(std::move(transport)), clock_(std::move(clock)),
        max_attempts_(std::max(1, max_attempts)) {}

  AccessToken get_token(const std::string& scope) override {
    auto once = retry::retry(
        retry::Options{.max_attempts = max_attempts_, .initial_delay = 0.5, .max_delay = 4.0,
                       .exceptions = [](const std::exception& e) { return shared::transient(e); }},
        "Microsoft Entra sign-in (" + label_ + ")", [this](const std::string& sc) { return fetch(sc); });
    return once(scope);
  }

 protected:
  // The request for `scope`, and the secrets it carries (kept out of messages).
  virtual net::Request request_for(const std::string& scope, std::vector<std::string>& secrets) const = 0;

  std::string label_;

 private:
  AccessToken fetch(const std::string& scope) {
    std::vector<std::string> secrets;
    const net::Request req = request_for(scope, secrets);
    const std::string where = req.url.substr(0, req.url.find('?'));
    const std::string what = "Microsoft Entra sign-in (" + label_ + ") for " + scope;
    net::Response r;
    try {
      r = transport_->send(req);
    } catch (const TransportError& e) {
      throw TransportError(what + " failed: the token endpoint " + where + " did not answer (" +
                           tidy(e.what(), secrets) + ")");
    }
    const Json body = Json::parse(r.body, nullptr, false);
    if (r.status < 200 || r.status >= 300) {
      std::string code, message;
      if (body.is_object()) {
        const Json* err = body.contains("error") ? &body["error"] : nullptr;
        if (err && err->is_string()) code = err->get<std::string>();
        if (err && err->is_object()) {
          if (err->contains("code") && (*err)["code"].is_string()) code = (*err)["code"].get<std::string>();
          if (err->contains("message") && (*err)["message"].is_string()) message = (*err)["message"].get<std::string>();
        }
        for (const char* field : {"error_description", "message", "Message"}) {
          if (message.empty() && body.contains(field) && body[field].is_string()) message = body[field].get<std::string>();
        }
      }
      if (message.empty()) message = "no reason given";
      throw ServiceError(what + " refused by " + where + ": " + std::to_string(r.status) +
                             (code.empty() ? "" : " " + tidy(code, secrets)) + ": " + tidy(message, secrets),
                         r.status, tidy(code, secrets));
    }
    const auto unreadable = [&](const std::string& why) {
      // A 5xx-like fault of the issuer: another try may get a proper answer.
      return ServiceError(what + " failed: " + where + " answered " + std::to_string(r.status) + " " + why, 502, "");
    };
    if (!body.is_object() || !body.contains("access_token") || !body["access_token"].is_string() ||
        body["access_token"].get_ref<const std::string&>().empty()) {
      throw unreadable("without an access token");
    }
    const SysClock::time_point now = clock_ ? clock_() : SysClock::now();
    AccessToken t;
    t.token = body["access_token"].get<std::string>();
    const double in = body.contains("expires_in") ? number_in(body["expires_in"]) : -1;
    const double on = body.contains("expires_on") ? number_in(body["expires_on"]) : -1;
    if (in >= 0) {
      t.expires_on = now + std::chrono::seconds(static_cast<long long>(in));
    } else if (on >= 0) {
      t.expires_on = SysClock::time_point(std::chrono::seconds(static_cast<long long>(on)));
    } else {
      throw unreadable("without a readable expiry (expires_in or expires_on)");
    }
    const auto left = std::chrono::duration_cast<std::chrono::seconds>(t.expires_on - now).count();
    logger().debug(what + ": token obtained, valid for " + std::to_string(left) + " s");
    return t;
  }

  std::shared_ptr<net::Transport> transport_;
  Clock clock_;
  int max_attempts_;
};

std::string form(const std::vector<std::pair<std::string, std::string>>& fields) {
  std::string out;
  for (const auto& [k, v] : fields) out += (out.empty() ? "" : "&") + enc(k) + "=" + enc(v);
  return out;
}

std::string token_url(const config::Settings& s) {
  const std::string host = without_trailing_slashes(s.AZURE_AUTHORITY_HOST);
  require_secure_url(host, "AZURE_AUTHORITY_HOST");
  const bool tenant_ok =
      !s.AZURE_TENANT_ID.empty() && std::all_of(s.AZURE_TENANT_ID.begin(), s.AZURE_TENANT_ID.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
      });
  if (!tenant_ok) throw ValueError("AZURE_TENANT_ID must be a tenant id or domain (letters, digits, '-' and '.')");
  return host + "/" + s.AZURE_TENANT_ID + "/oauth2/v2.0/token";
}

net::Request form_post(const std::string& url, std::string body) {
  return net::Request{.method = "POST",
                      .url = url,
                      .headers = {{"Content-Type", "application/x-www-form-urlencoded"}, {"Accept", "application/json"}},
                      .body = std::move(body)};
}

class ClientSecretCredential final : public EndpointCredential {
 public:
  ClientSecretCredential(const config::Settings& s, std::shared_ptr<net::Transport> t, Clock c, int attempts)
      : EndpointCredential("client secret", std::move(t), std::move(c), attempts), url_(token_url(s)),
        tenant_(s.AZURE_TENANT_ID), client_(s.AZURE_CLIENT_ID), secret_(s.AZURE_CLIENT_SECRET) {}
  std::string describe() const override { return "client secret (tenant " + tenant_ + ", client " + client_ + ")"; }

 protected:
  net::Request request_for(const std::string& scope, std::vector<std::string>& secrets) const override {
    secrets = {secret_, enc(secret_)};
    return form_post(url_, form({{"grant_type", "client_credentials"},
                                 {"client_id", client_},
                                 {"client_secret", secret_},
                                 {"scope", scope}}));
  }

 private:
  std::string url_, tenant_, client_, secret_;
};

class WorkloadIdentityCredential final : public EndpointCredential {
 public:
  WorkloadIdentityCredential(const config::Settings& s, std::shared_ptr<net::Transport> t, Clock c, int attempts)
      : EndpointCredential("workload identity", std::move(t), std::move(c), attempts), url_(token_url(s)),
        tenant_(s.AZURE_TENANT_ID), client_(s.AZURE_CLIENT_ID), file_(s.AZURE_FEDERATED_TOKEN_FILE) {}
  std::string describe() const override {
    return "workload identity (tenant " + tenant_ + ", client " + client_ + ", token file " + file_ + ")";
  }

 protected:
  net::Request request_for(const std::string& scope, std::vector<std::string>& secrets) const override {
    // Read on every request: the cluster replaces the file before the
    // token in it expires.
    std::ifstream in(file_, std::ios::binary);
    std::ostringstream buf;
    if (in) buf << in.rdbuf();
    const std::string assertion(text::strip(buf.str()));
    if (!in || assertion.empty()) {
      throw ValueError("AZURE_FEDERATED_TOKEN_FILE '" + file_ + "' cannot be read or is empty");
    }
    secrets = {assertion, enc(assertion)};
    return form_post(url_, form({{"grant_type", "client_credentials"},
                                 {"client_id", client_},
                                 {"client_assertion_type", "urn:ietf:params:oauth:client-assertion-type:jwt-bearer"},
                                 {"client_assertion", assertion},
                                 {"scope", scope}}));
  }

 private:
  std::string url_, tenant_, client_, file_;
};

class ManagedIdentityCredential final : public EndpointCredential {
 public:
  // App Service and Container Apps: IDENTITY_ENDPOINT with IDENTITY_HEADER.
  ManagedIdentityCredential(const config::Settings& s, std::shared_ptr<net::Transport> t, Clock c, int attempts)
      : EndpointCredential("managed identity", std::move(t), std::move(c), attempts), url_(s.IDENTITY_ENDPOINT),
        header_name_("X-IDENTITY-HEADER"), header_(s.IDENTITY_HEADER), client_(s.AZURE_CLIENT_ID),
        api_version_("2019-08-01") {
    require_secure_url(url_, "IDENTITY_ENDPOINT");
  }
  // A virtual machine: the instance metadata endpoint.
  ManagedIdentityCredential(const config::Settings& s, const std::string& imds, std::shared_ptr<net::Transport> t,
                            Clock c, int attempts)
      : EndpointCredential("managed identity", std::move(t), std::move(c), attempts),
        url_(without_trailing_slashes(imds) + "/metadata/identity/oauth2/token"), header_name_("Metadata"),
        header_("true"), client_(s.AZURE_CLIENT_ID), api_version_("2018-02-01"), vm_(true) {}

  std::string describe() const override {
    return std::string("managed identity (") + (vm_ ? "instance metadata endpoint" : "IDENTITY_ENDPOINT") + ", " +
           (client_.empty() ? "system-assigned" : "user-assigned, client " + client_) + ")";
  }

 protected:
  net::Request request_for(const std::string& scope, std::vector<std::string>& secrets) const override {
    if (!vm_) secrets = {header_};
    std::string url = url_ + (url_.find('?') == std::string::npos ? "?" : "&") + "api-version=" + api_version_ +
                      "&resource=" + enc(resource_of(scope));
    if (!client_.empty()) url += "&client_id=" + enc(client_);
    return net::Request{.method = "GET", .url = url, .headers = {{header_name_, header_}, {"Accept", "application/json"}}};
  }

 private:
  std::string url_, header_name_, header_, client_, api_version_;
  bool vm_ = false;
};

class CachedCredential final : public TokenCredential {
 public:
  CachedCredential(std::shared_ptr<TokenCredential> inner, Clock clock)
      : inner_(std::move(inner)), clock_(std::move(clock)) {}

  AccessToken get_token(const std::string& scope) override {
    std::lock_guard lock(mu_);
    const SysClock::time_point now = clock_ ? clock_() : SysClock::now();
    auto it = entries_.find(scope);
    if (it != entries_.end() && now < it->second.refresh_at) return it->second.token;
    try {
      AccessToken t = inner_->get_token(scope);
      const auto lifetime = t.expires_on - now;
      const auto margin = std::min<SysClock::duration>(std::chrono::minutes(5), lifetime / 2);
      entries_[scope] = Entry{t, t.expires_on - margin};
      return t;
    } catch (const std::exception& e) {
      // Refreshing early leaves time to wait out an issuer's outage.
      if (it != entries_.end() && now < it->second.token.expires_on) {
        logger().warning(std::string("Refreshing the token for ") + scope +
                         " failed; the current one is used until it expires: " + e.what());
        return it->second.token;
      }
      throw;
    }
  }
  std::string describe() const override { return inner_->describe(); }

 private:
  struct Entry {
    AccessToken token;
    SysClock::time_point refresh_at;
  };
  std::shared_ptr<TokenCredential> inner_;
  Clock clock_;
  std::mutex mu_;
  std::map<std::string, Entry> entries_;
};

struct Process {
  std::mutex mu;
  std::shared_ptr<TokenCredential> installed;
  std::shared_ptr<TokenCredential> made;
  std::string made_for;
};

Process& process() {
  static Process p;
  return p;
}

}  // namespace

std::string resource_of(std::string_view scope) {
  constexpr std::string_view suffix = "/.default";
  if (scope.size() >= suffix.size() && scope.substr(scope.size() - suffix.size()) == suffix) {
    scope.remove_suffix(suffix.size());
  }
  return std::string(scope);
}

void require_secure_url(std::string_view url, std::string_view setting) {
  const std::string l = lower(url);
  if (l.rfind("https://", 0) == 0 && !host_of(url).empty()) return;
  if (l.rfind("http://", 0) == 0 && loopback(lower(host_of(url)))) return;
  throw ValueError(std::string(setting) + " must be an https:// URL (http:// only on a loopback address)");
}

Kind chosen(const config::Settings& s) {
  const bool secret = !s.AZURE_TENANT_ID.empty() && !s.AZURE_CLIENT_ID.empty() && !s.AZURE_CLIENT_SECRET.empty();
  const bool workload =
      !s.AZURE_FEDERATED_TOKEN_FILE.empty() && !s.AZURE_TENANT_ID.empty() && !s.AZURE_CLIENT_ID.empty();
  const bool app = !s.IDENTITY_ENDPOINT.empty() && !s.IDENTITY_HEADER.empty();
  const std::string only = lower(s.AZURE_TOKEN_CREDENTIALS);
  if (only.empty() || only == "prod") {
    if (secret) return Kind::client_secret;
    if (workload) return Kind::workload_identity;
    if (app) return Kind::app_service_identity;
    return only == "prod" ? Kind::vm_identity : Kind::none;
  }
  if (only == "environmentcredential") return secret ? Kind::client_secret : Kind::none;
  if (only == "workloadidentitycredential") return workload ? Kind::workload_identity : Kind::none;
  if (only == "managedidentitycredential") return app ? Kind::app_service_identity : Kind::vm_identity;
  throw ValueError(
      "AZURE_TOKEN_CREDENTIALS must be prod, EnvironmentCredential, WorkloadIdentityCredential or "
      "ManagedIdentityCredential");
}

bool configured(const config::Settings& s) { return chosen(s) != Kind::none; }

std::string none_found_message() {
  return "No Microsoft Entra credential found: set AZURE_TENANT_ID, AZURE_CLIENT_ID and AZURE_CLIENT_SECRET "
         "(client secret); AZURE_FEDERATED_TOKEN_FILE, AZURE_TENANT_ID and AZURE_CLIENT_ID (workload identity); "
         "IDENTITY_ENDPOINT and IDENTITY_HEADER (managed identity of App Service or Container Apps); or "
         "AZURE_TOKEN_CREDENTIALS=ManagedIdentityCredential (managed identity of a virtual machine)";
}

std::shared_ptr<TokenCredential> make_chain(const config::Settings& s, Options options) {
  const Kind kind = chosen(s);
  if (kind == Kind::none) throw ValueError(none_found_message());
  std::shared_ptr<net::Transport> t = options.transport;
  if (!t) t = net::make_curl_transport({.connect_timeout_ms = s.CONNECT_TIMEOUT_S * 1000, .timeout_ms = 30000});
  std::shared_ptr<TokenCredential> inner;
  switch (kind) {
    case Kind::client_secret:
      inner = std::make_shared<ClientSecretCredential>(s, t, options.clock, options.max_attempts);
      break;
    case Kind::workload_identity:
      inner = std::make_shared<WorkloadIdentityCredential>(s, t, options.clock, options.max_attempts);
      break;
    case Kind::app_service_identity:
      inner = std::make_shared<ManagedIdentityCredential>(s, t, options.clock, options.max_attempts);
      break;
    case Kind::vm_identity:
      inner = std::make_shared<ManagedIdentityCredential>(s, options.instance_metadata_endpoint, t, options.clock,
                                                          options.max_attempts);
      break;
    case Kind::none:
      break;
  }
  return cached(std::move(inner), std::move(options.clock));
}

std::shared_ptr<TokenCredential> cached(std::shared_ptr<TokenCredential> inner, Clock clock) {
  return std::make_shared<CachedCredential>(std::move(inner), std::move(clock));
}

std::shared_ptr<TokenCredential> process_credential() {
  Process& p = process();
  std::lock_guard lock(p.mu);
  if (p.installed) return p.installed;
  const config::Settings& s = config::get();
  // Settings replaced in the process (tests, tools) may choose another credential.
  const std::string key = s.AZURE_TENANT_ID + '\n' + s.AZURE_CLIENT_ID + '\n' + s.AZURE_CLIENT_SECRET + '\n' +
                          s.AZURE_AUTHORITY_HOST + '\n' + s.AZURE_FEDERATED_TOKEN_FILE + '\n' + s.IDENTITY_ENDPOINT +
                          '\n' + s.IDENTITY_HEADER + '\n' + s.AZURE_TOKEN_CREDENTIALS + '\n' + s.CA_BUNDLE + '\n' +
                          std::to_string(s.CONNECT_TIMEOUT_S);
  if (!p.made || p.made_for != key) {
    p.made = make_chain(s);
    p.made_for = key;
    logger().info("Microsoft Entra ID sign-in: " + p.made->describe());
  }
  return p.made;
}

std::function<std::string()> process_token_source(std::string scope) {
  return [scope = std::move(scope)] { return process_credential()->get_token(scope).token; };
}

void set_process_credential(std::shared_ptr<TokenCredential> credential) {
  std::lock_guard lock(process().mu);
  process().installed = std::move(credential);
}

}  // namespace shared::connectors::credential
