// shared.config: every deployment setting of the pipeline, read from the
// process environment once (after the `.env` file of the working directory
// has been loaded into it) and constant from then on.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>

namespace shared::config {

struct Settings {
  // Folders inside the pipeline's own container.
  std::string BLOB_FOLDER_DOCUMENTS = "kesto-ml-dev-documents";
  std::string BLOB_FOLDER_MARKDOWN = "kesto-ml-dev-markdown-files";
  std::string BLOB_FOLDER_JSON = "kesto-ml-dev-json";
  std::string BLOB_FOLDER_ENRICHED_JSON = "kesto-ml-dev-enriched-json";
  std::string BLOB_FOLDER_SUMMARY = "kesto-ml-dev-summary-files";

  // Storage accounts.
  std::string STORAGE_CONNECTION_STRING;         // STORAGE_ACCOUNT_CONNECTION_STRING
  std::string STORAGE_CONTAINER_NAME;
  std::string TOLVAN_STORAGE_CONNECTION_STRING;  // TOLVAN_STORAGE_ACCOUNT_CONNECTION_STRING
  std::string TOLVAN_STORAGE_CONTAINER_NAME;
  std::string STORAGE_ACCOUNT_NAME;
  std::string TOLVAN_STORAGE_ACCOUNT_NAME;

  // Pipeline metadata database.
  std::string PGHOST, PGPORT, PGDATABASE, PGUSER, PGPASSWORD, PGSCHEMA;
  std::string PGTABLE = "sop_metadata";

  // Source document registry.
  std::string TOLVANSTORE_HOST, TOLVANSTORE_PORT, TOLVANSTORE_NAME, TOLVANSTORE_USER, TOLVANSTORE_PASSWORD;
  std::string TOLVANSTORE_SCHEMA, TOLVANSTORE_TABLE;

  // Language-model gateway.
  std::string AZURE_OPENAI_KEY, AZURE_OPENAI_ENDPOINT, AZURE_OPENAI_API_VERSION;
  std::string OPENAI_SUMMARY_MODEL, OPENAI_EMBEDDING_MODEL;
  std::string SUMMARY_ENGINE = "azure-openai";  // or "outline"

  // Host program and vector index.
  long MAX_BATCH_SIZE = 500;
  std::string VECTOR_TABLE = "document_sections";
  // Largest file or standard input a program reads whole (KESTO_MAX_INPUT_BYTES).
  std::size_t MAX_INPUT_BYTES = std::size_t{1} << 30;
  // KESTO_RUNNING_TIMEOUT: still read and checked, so that scripts that set
  // it keep working; unused, since the document lock says whether a run
  // that marked a row RUNNING is alive.
  long RUNNING_TIMEOUT_S = 3600;
  // The PostgreSQL text-search configuration of the index's full-text column.
  std::string SEARCH_TEXT_CONFIG = "english";
  // Seconds a statement of a search may run before the server cancels it
  // (KESTO_SEARCH_TIMEOUT).
  long SEARCH_TIMEOUT_S = 30;
  // From this many embedded sections on, searches of the whole index use an
  // approximate nearest-neighbour graph instead of scoring every vector
  // (KESTO_ANN_MIN_SECTIONS).
  long ANN_MIN_SECTIONS = 20000;
  // Candidates an approximate search weighs (KESTO_ANN_EF): more finds the
  // true nearest more often and costs more time.
  long ANN_EF = 200;
  // How that index answers a whole-index question (KESTO_VECTOR_SEARCH):
  // "exact" scores every vector it holds, "approximate" walks its graph.
  std::string VECTOR_SEARCH = "exact";
  // Where that graph is kept between processes (KESTO_VECTOR_CACHE_DIR):
  // empty for $XDG_CACHE_HOME/kesto or $HOME/.cache/kesto, "off" for nowhere.
  std::string VECTOR_CACHE_DIR;
  // The append-only audit trail in the metadata database (KESTO_AUDIT_TABLE).
  std::string AUDIT_TABLE = "kesto_audit";
  // Whether the output account has blob index tags (KESTO_BLOB_TAGS "on",
  // the default, or "off" for accounts without them, such as those with a
  // hierarchical namespace): artefacts are tagged with their document's
  // number, and a deletion finds them by tag instead of listing folders.
  bool BLOB_TAGS = true;

  // Work queue of the queue workers (KESTO_QUEUE), how often a message may be
  // taken before it goes to the poison queue (KESTO_MAX_DEQUEUE), and how
  // long a taken message stays hidden between renewals
  // (KESTO_VISIBILITY_TIMEOUT, seconds).
  std::string QUEUE_NAME = "kesto-documents";
  long MAX_DEQUEUE = 5;
  long VISIBILITY_TIMEOUT_S = 60;

  // Seconds a network request may take: to connect to any service
  // (KESTO_CONNECT_TIMEOUT, also PostgreSQL), a whole blob or queue request
  // (KESTO_STORAGE_TIMEOUT), a whole model request (KESTO_MODEL_TIMEOUT).
  // The retry wrapper's tries follow a request that timed out.
  long CONNECT_TIMEOUT_S = 10;
  long STORAGE_TIMEOUT_S = 60;
  long MODEL_TIMEOUT_S = 300;

  // Microsoft Entra ID sign-in (the Azure SDK's variables): a client secret,
  // a workload identity's federated token file or a managed identity; see
  // shared::connectors::credential for the order they are tried in.
  std::string AZURE_TENANT_ID, AZURE_CLIENT_ID, AZURE_CLIENT_SECRET;
  std::string AZURE_AUTHORITY_HOST = "https://login.microsoftonline.com";
  std::string AZURE_FEDERATED_TOKEN_FILE;
  std::string IDENTITY_ENDPOINT, IDENTITY_HEADER;
  std::string AZURE_TOKEN_CREDENTIALS;
  // "entra": PostgreSQL connections sign in with a token as the password
  // (PGAUTH); "" or "password": with PGPASSWORD / TOLVANSTORE_PASSWORD.
  std::string PGAUTH;
  // A PEM file of further trusted root certificates for every HTTPS request
  // (KESTO_CA_BUNDLE).
  std::string CA_BUNDLE;
  // The HTTP door (kesto serve): the API keys file (KESTO_API_KEYS_FILE),
  // requests worked on at once (KESTO_SERVE_THREADS), seconds to wait for
  // the next bytes of a request or to write more of an answer
  // (KESTO_SERVE_READ_TIMEOUT, KESTO_SERVE_WRITE_TIMEOUT), seconds after
  // which a connection is read no more (KESTO_SERVE_REQUEST_TIMEOUT), and
  // the largest request body in bytes (KESTO_SERVE_MAX_BODY).
  std::string API_KEYS_FILE;
  long SERVE_THREADS = 8;
  long SERVE_READ_TIMEOUT_S = 10;
  long SERVE_WRITE_TIMEOUT_S = 10;
  long SERVE_REQUEST_TIMEOUT_S = 30;
  long SERVE_MAX_BODY = 65536;
};

// The process's settings, read on first use (the `.env` file first).
const Settings& get();

// Replaces the process's settings (tests and programs that take settings from
// elsewhere); later get() calls return the new values.
void set(const Settings& s);

// Reads every setting from the environment (no `.env` loading). Throws
// ValueError naming the variable for a number that is not a whole number in
// its range (MAX_BATCH_SIZE, KESTO_MAX_INPUT_BYTES, KESTO_RUNNING_TIMEOUT at
// least 1; KESTO_SEARCH_TIMEOUT 1 to 86400; PGPORT, TOLVANSTORE_PORT 1 to
// 65535 when set).
Settings from_environment();

// Parses dotenv text: NAME=value lines, "#" comments, optional "export ",
// single- or double-quoted values (double quotes understand \n, \t, \" and
// \\), an unquoted value ending at " #", a leading byte-order mark ignored.
// Throws ValueError "line N: …" for a line that is not NAME=value, a quoted
// value that is never closed or followed by more than a comment, or a
// carriage return that does not end a line: a file read only in part would
// silently drop settings.
std::map<std::string, std::string> parse_dotenv(std::string_view text);

// Loads `path` into the environment, keeping variables already set unless
// `override_existing`. Returns false when there is no such file, or (with a
// warning logged) when it is a folder or cannot be read; throws
// ValueError "'{path}' line N: …" when it is malformed (nothing is loaded).
bool load_dotenv(const std::string& path = ".env", bool override_existing = false);

// Loads ".env" once per process; later calls do nothing.
void load_dotenv_once();

// The environment variable `name`, or `def` when unset.
std::string env_or(const char* name, std::string_view def = "");

}  // namespace shared::config
