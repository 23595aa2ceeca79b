// Microsoft Entra ID sign-in against the storage emulator in its OAuth mode
// (HTTPS, bearer tokens checked for audience, issuer and times) and the
// test cluster, with a local token issuer: storage, queues and a whole
// pipeline run with no account key anywhere, and PostgreSQL with tokens as
// passwords.
#include <gtest/gtest.h>

#include <atomic>

#include "connectors/pg_testing.hpp"
#include "host/host_world.hpp"
#include "shared/connectors/blob_client.hpp"
#include "shared/connectors/credential.hpp"
#include "shared/connectors/kept_connection.hpp"
#include "shared/connectors/mainstore.hpp"
#include "shared/connectors/queue_client.hpp"
#include "shared/errors.hpp"
#include "support/fake_token_issuer.hpp"
#include "support/testing.hpp"

namespace credential = shared::connectors::credential;
namespace pg = shared::connectors::pg;
using shared::config::Settings;
using shared::connectors::BlobServiceClient;
using shared::connectors::QueueServiceClient;
using testing_support::FakeTokenIssuer;
using testing_support::env;

namespace {

constexpr const char* kSecret = "entra-test-secret-9f3b";

// The OAuth emulator's keyless connection strings and certificate; fails
// the test when scripts/test.sh did not start it.
struct OAuthEmulator {
  std::string output = env("KESTO_OAUTH_STORAGE_CONNECTION_STRING");
  std::string source = env("KESTO_OAUTH_TOLVAN_STORAGE_CONNECTION_STRING");
  std::string ca = env("KESTO_OAUTH_CA_BUNDLE");
  bool ok() const {
    if (!output.empty() && !source.empty() && !ca.empty()) return true;
    ADD_FAILURE() << "KESTO_OAUTH_* not set: run the integration tests through scripts/test.sh, or eval \"$(bash "
                     "scripts/services/azurite-oauth.sh start DIR)\" first";
    return false;
  }
};

// Settings signed in with a client secret at the issuer, trusting the emulator.
void sign_in(Settings& s, const FakeTokenIssuer& issuer, const OAuthEmulator& em) {
  s.AZURE_TENANT_ID = "72f988bf-0000-0000-0000-000000000001";
  s.AZURE_CLIENT_ID = "kesto-pipeline";
  s.AZURE_CLIENT_SECRET = kSecret;
  s.AZURE_AUTHORITY_HOST = issuer.endpoint();
  s.CA_BUNDLE = em.ca;
  s.STORAGE_CONNECTION_STRING = em.output;
  s.TOLVAN_STORAGE_CONNECTION_STRING = em.source;
}

// The process's credential goes back to the settings at the end.
struct ProcessCredentialReset {
  ~ProcessCredentialReset() { credential::set_process_credential(nullptr); }
};

std::string unique(const std::string& tag) { return emulator::unique_container(tag); }

}  // namespace

TEST(EntraStorage, BlobAndQueueRoundTripsWithBearerTokensOnly) {
  OAuthEmulator em;
  if (!em.ok()) return;
  FakeTokenIssuer issuer;
  issuer.expect_client("kesto-pipeline", kSecret);
  Settings s = shared::config::get();
  sign_in(s, issuer, em);
  testing_support::ScopedSettings scoped(s);
  ProcessCredentialReset reset;

  for (const std::string& cs : {em.output, em.source}) {
    const auto blobs = BlobServiceClient::from_connection_string(cs);
    const auto container = blobs.get_container_client(unique("entra"));
    EXPECT_TRUE(container.create());
    const auto blob = blobs.get_blob_client(container.container_name(), "docs/SOP QD-000958.docx");
    blob.upload("bytes of a document");
    EXPECT_EQ(blob.download(), "bytes of a document");
    EXPECT_EQ(container.list_blob_names("docs/"), std::vector<std::string>{"docs/SOP QD-000958.docx"});
    blob.delete_blob();
    EXPECT_FALSE(blob.exists());
    container.delete_container();

    const auto queues = QueueServiceClient::from_connection_string(cs);
    const auto queue = queues.get_queue_client(unique("q"));
    EXPECT_TRUE(queue.create());
    queue.put_message("{\"doc\":\"QD-000958\"}");
    const auto taken = queue.get_messages(1, 30);
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0].text, "{\"doc\":\"QD-000958\"}");
    EXPECT_TRUE(queue.delete_message(taken[0].id, taken[0].pop_receipt));
    queue.delete_queue();
  }
  // One token served every request of the process.
  EXPECT_EQ(issuer.tokens().size(), 1u);
}

TEST(EntraStorage, TokenForAnotherAudienceIsRefusedAndTheErrorSaysWhy) {
  OAuthEmulator em;
  if (!em.ok()) return;
  FakeTokenIssuer issuer;
  issuer.set_audience("https://cognitiveservices.azure.com");
  Settings s = shared::config::get();
  sign_in(s, issuer, em);
  testing_support::ScopedSettings scoped(s);
  ProcessCredentialReset reset;

  try {
    BlobServiceClient::from_connection_string(em.output).get_container_client(unique("aud")).create();
    ADD_FAILURE() << "a token for another audience was taken";
  } catch (const shared::ServiceError& e) {
    const std::string m = e.what();
    EXPECT_EQ(e.status, 403);
    EXPECT_NE(m.find("Invalid token audience."), std::string::npos) << m;
    EXPECT_NE(m.find("the identity needs the role Storage Blob Data Contributor"), std::string::npos) << m;
    EXPECT_EQ(m.find(issuer.tokens().at(0)), std::string::npos) << m;
  }
  try {
    QueueServiceClient::from_connection_string(em.output).get_queue_client(unique("aud")).create();
    ADD_FAILURE() << "a token for another audience was taken";
  } catch (const shared::ServiceError& e) {
    EXPECT_NE(std::string(e.what()).find("Storage Queue Data Message Processor"), std::string::npos) << e.what();
  }

  // Without the bundle the emulator's certificate is not trusted.
  s.CA_BUNDLE = "";
  issuer.set_audience("");
  testing_support::ScopedSettings untrusted(s);
  EXPECT_THROW(BlobServiceClient::from_connection_string(em.output).get_container_client(unique("ca")).exists(),
               shared::TransportError);
}

TEST(EntraPipeline, OneDocumentThroughTheWholeRunWithTokensOnlyAndNoSecretInAnyOutput) {
  OAuthEmulator em;
  if (!em.ok() || !pg_testing::have_cluster()) return;
  FakeTokenIssuer issuer;
  issuer.expect_client("kesto-pipeline", kSecret);
  host_world::World w;
  sign_in(w.settings, issuer, em);
  testing_support::ScopedSettings scoped(w.settings);
  ProcessCredentialReset reset;

  const std::string name = host_world::kExamples[0].first, qd = host_world::kExamples[0].second;
  const auto output = BlobServiceClient::from_connection_string(em.output);
  const auto source = BlobServiceClient::from_connection_string(em.source);
  output.get_container_client(w.settings.STORAGE_CONTAINER_NAME).create();
  source.get_container_client(w.settings.TOLVAN_STORAGE_CONTAINER_NAME).create();
  source.get_blob_client(w.settings.TOLVAN_STORAGE_CONTAINER_NAME, name)
      .upload(testing_support::read_bytes(testing_support::source_dir() / "examples" / name));
  w.registry.add(name, "NEW", qd, "Title of " + qd, "https://dms.example/" + qd);

  // Only what the run needs: no account key, no storage connection string
  // with a key, the database settings of the cluster.
  std::string vars = w.program_env();
  for (const char* v : {"PGHOST", "PGPORT", "PGDATABASE", "PGUSER", "PGPASSWORD", "TOLVANSTORE_HOST",
                        "TOLVANSTORE_PORT", "TOLVANSTORE_NAME", "TOLVANSTORE_USER", "TOLVANSTORE_PASSWORD"}) {
    vars += std::string(v) + "='" + env(v) + "' ";
  }
  vars += "AZURE_TENANT_ID='" + w.settings.AZURE_TENANT_ID + "' AZURE_CLIENT_ID='" + w.settings.AZURE_CLIENT_ID +
          "' AZURE_CLIENT_SECRET='" + kSecret + "' AZURE_AUTHORITY_HOST='" + issuer.endpoint() +
          "' KESTO_CA_BUNDLE='" + em.ca + "' ";
  ASSERT_EQ(vars.find("AccountKey"), std::string::npos);

  testing_support::TempDir cwd;
  const auto run = testing_support::kesto(cwd.path(), vars, "process --pending --log-level debug");
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_NE(run.out.find(name + "  " + qd + "  PROCESSED"), std::string::npos) << run.out << run.err;
  EXPECT_NE(run.err.find("Microsoft Entra ID sign-in: client secret (tenant " + w.settings.AZURE_TENANT_ID +
                         ", client kesto-pipeline)"),
            std::string::npos)
      << run.err;

  // The artefacts are in the output account, read back with a token.
  const auto names = output.get_container_client(w.settings.STORAGE_CONTAINER_NAME).list_blob_names();
  for (const std::string& artefact : w.artefacts(name)) {
    EXPECT_NE(std::find(names.begin(), names.end(), artefact), names.end()) << artefact;
  }

  const auto help = testing_support::kesto(cwd.path(), vars, "--help");
  const auto failing = testing_support::kesto(cwd.path(), vars + "AZURE_AUTHORITY_HOST='http://login.example' ",
                                              "blob exists any.docx --log-level debug");
  EXPECT_NE(failing.status, 0);
  EXPECT_NE(failing.err.find("AZURE_AUTHORITY_HOST must be an https:// URL"), std::string::npos) << failing.err;
  const std::string all = run.out + run.err + help.out + help.err + failing.out + failing.err;
  ASSERT_FALSE(issuer.tokens().empty());
  EXPECT_EQ(all.find(kSecret), std::string::npos);
  for (const std::string& token : issuer.tokens()) {
    EXPECT_EQ(all.find(token), std::string::npos);
    // Nor the signature or claims part alone.
    EXPECT_EQ(all.find(token.substr(token.rfind('.'))), std::string::npos);
  }
  EXPECT_EQ(all.find(env("PGPASSWORD")), std::string::npos);
}

TEST(EntraPostgres, EachNewConnectionSignsInWithATokenThatRotates) {
  if (!pg_testing::have_cluster()) return;
  FakeTokenIssuer issuer;
  const std::string role = pg_testing::unique_name("entra_role");
  const std::string db = env("PGDATABASE");
  pg_testing::exec(db, "CREATE ROLE " + role + " LOGIN PASSWORD 'not-yet-a-token'");
  // The issuer makes each token the role's password, as Entra ID does for
  // the server.
  issuer.on_mint([&](const std::string& token) {
    ASSERT_EQ(token.find('\''), std::string::npos);
    pg_testing::exec(db, "ALTER ROLE " + role + " PASSWORD '" + token + "'");
  });
  Settings s = shared::config::get();
  s.PGUSER = role;
  s.PGPASSWORD = "";
  s.PGAUTH = "entra";
  s.AZURE_TENANT_ID = "t";
  s.AZURE_CLIENT_ID = "c";
  s.AZURE_CLIENT_SECRET = kSecret;
  s.AZURE_AUTHORITY_HOST = issuer.endpoint();
  testing_support::ScopedSettings scoped(s);
  auto now = std::make_shared<std::atomic<long long>>(
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count());
  credential::Options o;
  o.clock = [now] { return std::chrono::system_clock::time_point(std::chrono::seconds(now->load())); };
  credential::set_process_credential(credential::make_chain(s, o));
  ProcessCredentialReset reset;

  auto user_of = [](PGconn* c) {
    return pg::first_row(pg::execute(c, "SELECT current_user AS u").get())->at("u").get<std::string>();
  };
  {
    auto first = shared::connectors::mainstore::get_conn();
    EXPECT_EQ(user_of(first.get()), role);
  }
  auto kept = std::make_unique<shared::connectors::mainstore::KeptConnection>();
  EXPECT_EQ(kept->generation(), 1u);
  ASSERT_EQ(issuer.tokens().size(), 1u);
  const std::string old_token = issuer.tokens()[0];

  // An hour on the token has expired: the next connection gets a new one.
  *now += 3600;
  {
    auto second = shared::connectors::mainstore::get_conn();
    EXPECT_EQ(user_of(second.get()), role);
  }
  ASSERT_EQ(issuer.tokens().size(), 2u);
  EXPECT_THROW(pg::connect(pg::ConnectParams{.host = s.PGHOST, .port = s.PGPORT, .dbname = db, .user = role,
                                             .password = old_token, .sslmode = "require"}),
               shared::DatabaseError);

  // The kept connection breaks and opens again with the new token.
  {
    auto lease = kept->lease();
    EXPECT_THROW(pg::execute(lease.get(), "SELECT pg_terminate_backend(pg_backend_pid())"), shared::DatabaseError);
  }
  EXPECT_EQ(kept->generation(), 2u);
  EXPECT_EQ(kept->with_conn(user_of), role);
  EXPECT_EQ(issuer.tokens().size(), 2u);

  kept.reset();
  issuer.on_mint(nullptr);
  pg_testing::exec(db, "DROP ROLE " + role);
}
