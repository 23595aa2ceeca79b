// shared.connectors.credential: Microsoft Entra ID sign-in without shared
// keys. A credential gets access tokens for a scope from a token endpoint
// (a client secret, a workload identity's federated token or a managed
// identity), following the Azure SDK's environment variables; the process
// keeps one chain, picked from the settings, whose tokens are cached per
// scope and fetched again ahead of expiry. No message or log line ever
// carries a secret, a federated token or an access token.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "shared/config.hpp"
#include "shared/net/http.hpp"

namespace shared::connectors::credential {

inline constexpr const char* STORAGE_SCOPE = "https://storage.azure.com/.default";
inline constexpr const char* COGNITIVE_SERVICES_SCOPE = "https://cognitiveservices.azure.com/.default";
inline constexpr const char* POSTGRES_SCOPE = "https://ossrdbms-aad.database.windows.net/.default";

using Clock = std::function<std::chrono::system_clock::time_point()>;

struct AccessToken {
  std::string token;
  std::chrono::system_clock::time_point expires_on;
};

class TokenCredential {
 public:
  virtual ~TokenCredential() = default;
  // A token for `scope` (e.g. "https://storage.azure.com/.default").
  // Throws TransportError when the token endpoint cannot be reached,
  // ServiceError when it refuses or answers something unreadable (transient
  // for 408, 429 and 5xx), ValueError for settings it cannot use.
  virtual AccessToken get_token(const std::string& scope) = 0;
  // What signs in, for log lines: "client secret (tenant …, client …)";
  // never a secret.
  virtual std::string describe() const = 0;
};

// The kinds of credential the chain knows, in the order it tries them.
enum class Kind { none, client_secret, workload_identity, app_service_identity, vm_identity };

// Which credential the settings choose: client secret (AZURE_TENANT_ID,
// AZURE_CLIENT_ID, AZURE_CLIENT_SECRET), then workload identity
// (AZURE_FEDERATED_TOKEN_FILE, AZURE_TENANT_ID, AZURE_CLIENT_ID), then a
// managed identity through IDENTITY_ENDPOINT and IDENTITY_HEADER, then the
// virtual machine's managed identity (instance metadata endpoint), which is
// only used when AZURE_TOKEN_CREDENTIALS is "ManagedIdentityCredential" or
// "prod". AZURE_TOKEN_CREDENTIALS "EnvironmentCredential",
// "WorkloadIdentityCredential" or "ManagedIdentityCredential" keeps to that
// one kind. Throws ValueError for another value of AZURE_TOKEN_CREDENTIALS.
Kind chosen(const config::Settings& s);

// Whether the settings choose any credential (a missing key is then no
// missing setting).
bool configured(const config::Settings& s);

// The one message of a chain that finds no credential.
std::string none_found_message();

struct Options {
  // null: a libcurl transport with the settings' connect timeout, 30 s in all.
  std::shared_ptr<net::Transport> transport;
  Clock clock;  // null: the system clock
  // The instance metadata endpoint; only tests point it elsewhere.
  std::string instance_metadata_endpoint = "http://169.254.169.254";
  // Tries of one token request that failed transiently (through the retry
  // sleeper).
  int max_attempts = 3;
};

// The credential the settings choose, its tokens cached per scope. Throws
// ValueError with none_found_message() when they choose none, or naming the
// setting that cannot be used (an http:// authority host or identity
// endpoint that is not on a loopback address, among others).
std::shared_ptr<TokenCredential> make_chain(const config::Settings& s, Options options = {});

// Wraps `inner` in a per-scope cache: a token is used until it is within
// five minutes (or half its lifetime, when shorter) of expiry; a failed
// refresh falls back to the cached token while it is still valid.
std::shared_ptr<TokenCredential> cached(std::shared_ptr<TokenCredential> inner, Clock clock = {});

// The process's credential, made from config::get() on first use (and again
// when the settings it depends on change), the choice logged once at info
// level. Throws as make_chain does.
std::shared_ptr<TokenCredential> process_credential();

// A source of tokens for `scope` from the process's credential, asked at
// each call (the model clients' bearer_token).
std::function<std::string()> process_token_source(std::string scope);

// Replaces the process's credential (tests); null goes back to the settings.
void set_process_credential(std::shared_ptr<TokenCredential> credential);

// Throws ValueError unless `url` is https://, or http:// on a loopback
// address (127.0.0.0/8, ::1, localhost); `setting` names it in the message.
void require_secure_url(std::string_view url, std::string_view setting);

// "https://storage.azure.com" for "https://storage.azure.com/.default".
std::string resource_of(std::string_view scope);

}  // namespace shared::connectors::credential
