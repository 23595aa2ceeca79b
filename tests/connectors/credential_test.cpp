#include "shared/connectors/credential.hpp"

#include <gtest/gtest.h>

#include <atomic>

#include "shared/connectors/blob_client.hpp"
#include "shared/errors.hpp"
#include "shared/net/azure_openai.hpp"
#include "shared/text/percent.hpp"
#include "support/fake_model_server.hpp"
#include "support/fake_token_issuer.hpp"
#include "support/recording_transport.hpp"
#include "support/testing.hpp"

namespace credential = shared::connectors::credential;
using credential::Kind;
using shared::config::Settings;
using testing_support::FakeTokenIssuer;

namespace {

using SysClock = std::chrono::system_clock;

// A clock the test moves by hand.
struct ManualClock {
  std::shared_ptr<std::atomic<long long>> seconds = std::make_shared<std::atomic<long long>>(
      std::chrono::duration_cast<std::chrono::seconds>(SysClock::now().time_since_epoch()).count());
  credential::Clock fn() const {
    return [s = seconds] { return SysClock::time_point(std::chrono::seconds(s->load())); };
  }
  void advance(long long by) { *seconds += by; }
};

Settings secret_settings(const FakeTokenIssuer& issuer) {
  Settings s;
  s.AZURE_TENANT_ID = "tenant-1";
  s.AZURE_CLIENT_ID = "client-1";
  s.AZURE_CLIENT_SECRET = "s3cr3t+/=value";
  s.AZURE_AUTHORITY_HOST = issuer.endpoint() + "/";
  return s;
}

credential::Options options(const ManualClock& clock) {
  credential::Options o;
  o.clock = clock.fn();
  o.instance_metadata_endpoint = "http://127.0.0.1:1";
  return o;
}

std::string form_value(const std::string& body, const std::string& name) {
  for (std::size_t start = 0; start <= body.size();) {
    std::size_t end = body.find('&', start);
    if (end == std::string::npos) end = body.size();
    const std::string pair = body.substr(start, end - start);
    if (pair.rfind(name + "=", 0) == 0) return shared::text::percent_decode(pair.substr(name.size() + 1));
    start = end + 1;
  }
  return "\x01missing";
}

}  // namespace

TEST(CredentialChain, PicksTheFirstCompleteSetInOrder) {
  struct Case {
    std::vector<std::pair<std::string Settings::*, std::string>> set;
    Kind kind;
  };
  const std::vector<Case> cases = {
      {{}, Kind::none},
      {{{&Settings::AZURE_CLIENT_ID, "c"}}, Kind::none},
      {{{&Settings::AZURE_TENANT_ID, "t"}, {&Settings::AZURE_CLIENT_ID, "c"}}, Kind::none},
      {{{&Settings::AZURE_TENANT_ID, "t"}, {&Settings::AZURE_CLIENT_ID, "c"}, {&Settings::AZURE_CLIENT_SECRET, "x"},
        {&Settings::AZURE_FEDERATED_TOKEN_FILE, "/f"}, {&Settings::IDENTITY_ENDPOINT, "http://127.0.0.1/"},
        {&Settings::IDENTITY_HEADER, "h"}},
       Kind::client_secret},
      {{{&Settings::AZURE_TENANT_ID, "t"}, {&Settings::AZURE_CLIENT_ID, "c"}, {&Settings::AZURE_FEDERATED_TOKEN_FILE, "/f"},
        {&Settings::IDENTITY_ENDPOINT, "http://127.0.0.1/"}, {&Settings::IDENTITY_HEADER, "h"}},
       Kind::workload_identity},
      {{{&Settings::AZURE_CLIENT_ID, "c"}, {&Settings::IDENTITY_ENDPOINT, "http://127.0.0.1/"},
        {&Settings::IDENTITY_HEADER, "h"}},
       Kind::app_service_identity},
      {{{&Settings::IDENTITY_ENDPOINT, "http://127.0.0.1/"}}, Kind::none},
      {{{&Settings::AZURE_TOKEN_CREDENTIALS, "ManagedIdentityCredential"}}, Kind::vm_identity},
      {{{&Settings::AZURE_TOKEN_CREDENTIALS, "prod"}}, Kind::vm_identity},
      {{{&Settings::AZURE_TOKEN_CREDENTIALS, "managedidentitycredential"}, {&Settings::AZURE_TENANT_ID, "t"},
        {&Settings::AZURE_CLIENT_ID, "c"}, {&Settings::AZURE_CLIENT_SECRET, "x"}},
       Kind::vm_identity},
      {{{&Settings::AZURE_TOKEN_CREDENTIALS, "WorkloadIdentityCredential"}, {&Settings::AZURE_TENANT_ID, "t"},
        {&Settings::AZURE_CLIENT_ID, "c"}, {&Settings::AZURE_CLIENT_SECRET, "x"}},
       Kind::none},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    Settings s;
    for (const auto& [field, value] : cases[i].set) s.*field = value;
    EXPECT_EQ(credential::chosen(s), cases[i].kind) << "case " << i;
    EXPECT_EQ(credential::configured(s), cases[i].kind != Kind::none) << "case " << i;
  }
  Settings none;
  try {
    credential::make_chain(none);
    ADD_FAILURE() << "a chain without settings was made";
  } catch (const shared::ValueError& e) {
    EXPECT_EQ(std::string(e.what()), credential::none_found_message());
    for (const char* name : {"AZURE_TENANT_ID", "AZURE_CLIENT_ID", "AZURE_CLIENT_SECRET", "AZURE_FEDERATED_TOKEN_FILE",
                             "IDENTITY_ENDPOINT", "IDENTITY_HEADER", "AZURE_TOKEN_CREDENTIALS"}) {
      EXPECT_NE(std::string(e.what()).find(name), std::string::npos) << name;
    }
  }
  Settings odd;
  odd.AZURE_TOKEN_CREDENTIALS = "dev";
  EXPECT_THROW(credential::chosen(odd), shared::ValueError);
}

TEST(CredentialChain, PlainHttpOnlyOnLoopback) {
  for (const char* ok : {"https://login.microsoftonline.com", "http://127.0.0.1:4000/x", "http://localhost:1",
                         "http://[::1]:8080/msi/token", "http://127.1.2.3", "HTTPS://Login.Example"}) {
    EXPECT_NO_THROW(credential::require_secure_url(ok, "X")) << ok;
  }
  for (const char* bad : {"http://login.example", "http://127.0.0.1.evil.example/", "http://user@example/x",
                          "http://10.0.0.1", "ftp://127.0.0.1", "https://", "login.microsoftonline.com"}) {
    EXPECT_THROW(credential::require_secure_url(bad, "X"), shared::ValueError) << bad;
  }
  Settings s;
  s.AZURE_TENANT_ID = "t";
  s.AZURE_CLIENT_ID = "c";
  s.AZURE_CLIENT_SECRET = "x";
  s.AZURE_AUTHORITY_HOST = "http://login.example";
  EXPECT_THROW(credential::make_chain(s), shared::ValueError);
  s.AZURE_AUTHORITY_HOST = "https://login.example";
  s.AZURE_TENANT_ID = "../other";
  EXPECT_THROW(credential::make_chain(s), shared::ValueError);
}

TEST(CredentialChain, ClientSecretTokenIsCachedPerScopeAndRefreshedAheadOfExpiry) {
  FakeTokenIssuer issuer;
  issuer.expect_client("client-1", "s3cr3t+/=value");
  ManualClock clock;
  auto chain = credential::make_chain(secret_settings(issuer), options(clock));
  EXPECT_EQ(chain->describe(), "client secret (tenant tenant-1, client client-1)");

  const auto first = chain->get_token(credential::STORAGE_SCOPE);
  ASSERT_EQ(issuer.requests().size(), 1u);
  const auto req = issuer.requests()[0];
  EXPECT_EQ(req.path, "/tenant-1/oauth2/v2.0/token");
  EXPECT_EQ(form_value(req.body, "grant_type"), "client_credentials");
  EXPECT_EQ(form_value(req.body, "client_id"), "client-1");
  EXPECT_EQ(form_value(req.body, "client_secret"), "s3cr3t+/=value");
  EXPECT_EQ(form_value(req.body, "scope"), credential::STORAGE_SCOPE);
  EXPECT_EQ(first.token, issuer.tokens()[0]);
  EXPECT_EQ(first.expires_on, clock.fn()() + std::chrono::seconds(3600));

  // Within the hour but more than five minutes before expiry: the cache.
  clock.advance(3600 - 301);
  EXPECT_EQ(chain->get_token(credential::STORAGE_SCOPE).token, first.token);
  EXPECT_EQ(issuer.requests().size(), 1u);
  // Another scope is another token.
  EXPECT_NE(chain->get_token(credential::COGNITIVE_SERVICES_SCOPE).token, first.token);
  EXPECT_EQ(issuer.requests().size(), 2u);
  // Less than five minutes left: fetched again before use.
  clock.advance(2);
  const auto refreshed = chain->get_token(credential::STORAGE_SCOPE);
  EXPECT_NE(refreshed.token, first.token);
  EXPECT_EQ(issuer.requests().size(), 3u);

  // A short-lived token is refreshed at half its life.
  issuer.set_lifetime(120);
  clock.advance(3600);
  const auto brief = chain->get_token(credential::POSTGRES_SCOPE);
  clock.advance(59);
  EXPECT_EQ(chain->get_token(credential::POSTGRES_SCOPE).token, brief.token);
  clock.advance(2);
  EXPECT_NE(chain->get_token(credential::POSTGRES_SCOPE).token, brief.token);
}

TEST(CredentialChain, WorkloadIdentityReadsTheRotatedFileForEachToken) {
  FakeTokenIssuer issuer;
  testing_support::TempDir dir;
  const auto file = dir / "token";
  testing_support::write_bytes(file, "assertion-one\n");
  issuer.expect_assertion("assertion-one");
  Settings s;
  s.AZURE_TENANT_ID = "tenant-2";
  s.AZURE_CLIENT_ID = "client-2";
  s.AZURE_FEDERATED_TOKEN_FILE = file.string();
  s.AZURE_AUTHORITY_HOST = issuer.endpoint();
  ManualClock clock;
  auto chain = credential::make_chain(s, options(clock));
  EXPECT_EQ(credential::chosen(s), Kind::workload_identity);
  const auto first = chain->get_token(credential::STORAGE_SCOPE);

  testing_support::write_bytes(file, "assertion-two");
  issuer.expect_assertion("assertion-two");
  clock.advance(3600);
  const auto second = chain->get_token(credential::STORAGE_SCOPE);
  EXPECT_NE(second.token, first.token);
  const auto reqs = issuer.requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_EQ(form_value(reqs[1].body, "client_assertion"), "assertion-two");
  EXPECT_EQ(form_value(reqs[1].body, "client_assertion_type"),
            "urn:ietf:params:oauth:client-assertion-type:jwt-bearer");
  EXPECT_EQ(form_value(reqs[1].body, "client_secret"), "\x01missing");

  // A file that went missing is a clear, lasting error.
  std::filesystem::remove(file);
  clock.advance(3600);
  try {
    chain->get_token(credential::STORAGE_SCOPE);
    ADD_FAILURE() << "no error without the token file";
  } catch (const shared::ValueError& e) {
    EXPECT_NE(std::string(e.what()).find("AZURE_FEDERATED_TOKEN_FILE"), std::string::npos) << e.what();
  }
}

TEST(CredentialChain, ManagedIdentityThroughIdentityEndpointAndInstanceMetadata) {
  FakeTokenIssuer issuer;
  issuer.expect_identity_header("header-secret");
  ManualClock clock;
  struct Case {
    Settings settings;
    std::string path, client_id, description;
  };
  Settings app;
  app.IDENTITY_ENDPOINT = issuer.endpoint() + "/msi/token";
  app.IDENTITY_HEADER = "header-secret";
  Settings user_assigned = app;
  user_assigned.AZURE_CLIENT_ID = "user-assigned-1";
  Settings vm;
  vm.AZURE_TOKEN_CREDENTIALS = "ManagedIdentityCredential";
  const std::vector<Case> cases = {
      {app, "/msi/token", "", "managed identity (IDENTITY_ENDPOINT, system-assigned)"},
      {user_assigned, "/msi/token", "user-assigned-1",
       "managed identity (IDENTITY_ENDPOINT, user-assigned, client user-assigned-1)"},
      {vm, "/metadata/identity/oauth2/token", "", "managed identity (instance metadata endpoint, system-assigned)"},
  };
  for (const Case& c : cases) {
    credential::Options o = options(clock);
    o.instance_metadata_endpoint = issuer.endpoint();
    auto chain = credential::make_chain(c.settings, o);
    EXPECT_EQ(chain->describe(), c.description);
    const auto t = chain->get_token(credential::STORAGE_SCOPE);
    const auto req = issuer.requests().back();
    EXPECT_EQ(req.path, c.path);
    EXPECT_NE(req.query.find("resource=https://storage.azure.com"), std::string::npos) << req.query;
    EXPECT_EQ(req.query.find("client_id=") != std::string::npos, !c.client_id.empty()) << req.query;
    EXPECT_EQ(t.token, issuer.tokens().back());
    // expires_on (text, seconds since 1970) is read when expires_in is absent.
    EXPECT_GT(t.expires_on, SysClock::now() + std::chrono::minutes(59));
  }
  // A wrong identity header is refused, without quoting it.
  Settings wrong = app;
  wrong.IDENTITY_HEADER = "not-the-header";
  try {
    credential::make_chain(wrong, options(clock))->get_token(credential::STORAGE_SCOPE);
    ADD_FAILURE() << "a wrong identity header passed";
  } catch (const shared::ServiceError& e) {
    EXPECT_EQ(e.status, 401);
    EXPECT_FALSE(e.transient());
    EXPECT_EQ(std::string(e.what()).find("not-the-header"), std::string::npos) << e.what();
  }
}

TEST(CredentialChain, IssuerFailuresAreRetriedThenReportedClearlyWithoutSecrets) {
  testing_support::RecordedSleeps sleeps;
  ManualClock clock;
  {
    // Down: every try finds nobody.
    FakeTokenIssuer issuer;
    auto chain = credential::make_chain(secret_settings(issuer), options(clock));
    issuer.stop();
    try {
      chain->get_token(credential::STORAGE_SCOPE);
      ADD_FAILURE() << "a token from a stopped issuer";
    } catch (const shared::TransportError& e) {
      const std::string m = e.what();
      EXPECT_NE(m.find("Microsoft Entra sign-in (client secret) for https://storage.azure.com/.default failed: the "
                       "token endpoint " + issuer.endpoint() + "/tenant-1/oauth2/v2.0/token did not answer"),
                std::string::npos)
          << m;
      EXPECT_EQ(m.find("s3cr3t"), std::string::npos) << m;
    }
    EXPECT_EQ(sleeps.waits().size(), 2u);
  }
  {
    // Busy twice, then a token.
    FakeTokenIssuer issuer;
    issuer.fail(2, 503);
    auto chain = credential::make_chain(secret_settings(issuer), options(clock));
    const std::string token = chain->get_token(credential::STORAGE_SCOPE).token;
    EXPECT_EQ(token, issuer.tokens().at(0));
    EXPECT_EQ(issuer.requests().size(), 3u);
  }
  {
    // A wrong secret is refused once, not retried, and not quoted.
    FakeTokenIssuer issuer;
    issuer.expect_client("client-1", "the-right-one");
    auto chain = credential::make_chain(secret_settings(issuer), options(clock));
    try {
      chain->get_token(credential::STORAGE_SCOPE);
      ADD_FAILURE() << "a wrong secret passed";
    } catch (const shared::ServiceError& e) {
      EXPECT_EQ(e.status, 401);
      EXPECT_NE(std::string(e.what()).find("401 invalid_client: AADSTS7000215: Invalid client secret provided."),
                std::string::npos)
          << e.what();
      EXPECT_EQ(std::string(e.what()).find("s3cr3t"), std::string::npos) << e.what();
    }
    EXPECT_EQ(issuer.requests().size(), 1u);
  }
  {
    // A refresh that fails while the cached token is still valid keeps it.
    FakeTokenIssuer issuer;
    auto chain = credential::make_chain(secret_settings(issuer), options(clock));
    const auto t = chain->get_token(credential::STORAGE_SCOPE);
    issuer.stop();
    clock.advance(3600 - 60);
    EXPECT_EQ(chain->get_token(credential::STORAGE_SCOPE).token, t.token);
    clock.advance(61);
    EXPECT_THROW(chain->get_token(credential::STORAGE_SCOPE), shared::TransportError);
  }
}

TEST(CredentialChain, StorageRequestsWithoutKeyCarryBearerTokens) {
  FakeTokenIssuer issuer;
  ManualClock clock;
  auto chain = credential::make_chain(secret_settings(issuer), options(clock));
  auto transport = std::make_shared<testing_support::RecordingTransport>();
  shared::connectors::BlobClientOptions o;
  o.transport = transport;
  o.credential = chain;
  const auto client = shared::connectors::BlobServiceClient::from_connection_string(
      "BlobEndpoint=https://acct.blob.core.windows.net;QueueEndpoint=https://acct.queue.core.windows.net", o);
  (void)client.get_blob_client("c", "b.txt").exists();
  const auto req = transport->requests().back();
  EXPECT_EQ(shared::net::header_value(req.headers, "Authorization"), "Bearer " + issuer.tokens().at(0));
  EXPECT_EQ(req.url.find('?'), std::string::npos);

  // Tokens never travel over plain HTTP to another machine.
  EXPECT_THROW(shared::connectors::BlobServiceClient::from_connection_string("BlobEndpoint=http://acct.example/", o),
               shared::ValueError);
}

TEST(CredentialChain, ModelRequestsWithoutKeyCarryBearerTokens) {
  testing_support::FakeModelServer model;
  model.set_chat_content("ok");
  shared::net::azure_openai::ClientConfig c{.endpoint = model.endpoint(), .deployment = "d", .api_version = "v"};
  c.bearer_token = [] { return std::string("token-for-model"); };
  c.transport = shared::net::make_curl_transport();
  shared::net::azure_openai::ChatClient chat(c);
  (void)chat.complete({{.role = "user", .content = "hi"}});
  const auto req = model.requests().back();
  EXPECT_EQ(req.header("Authorization"), "Bearer token-for-model");
  EXPECT_EQ(req.header("api-key"), "");
  c.bearer_token = nullptr;
  EXPECT_THROW(shared::net::azure_openai::ChatClient{c}, shared::ValueError);
}

TEST(CaBundle, UnreadableOrEmptyBundleIsRefused) {
  testing_support::TempDir dir;
  testing_support::write_bytes(dir / "empty.pem", "not a certificate\n");
  for (const auto& path : {dir / "missing.pem", dir / "empty.pem"}) {
    shared::net::HttpOptions o;
    o.ca_bundle = path.string();
    try {
      shared::net::make_curl_transport(o);
      ADD_FAILURE() << path;
    } catch (const shared::ValueError& e) {
      EXPECT_NE(std::string(e.what()).find("KESTO_CA_BUNDLE '" + path.string() + "'"), std::string::npos) << e.what();
    }
  }
}
