#include "shared/config.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <vector>

#include "shared/errors.hpp"
#include "shared/logsetup.hpp"
#include "shared/text/utf8.hpp"

namespace shared::config {

namespace {
std::mutex& mu() {
  static std::mutex m;
  return m;
}
std::unique_ptr<Settings>& slot() {
  static std::unique_ptr<Settings> s;
  return s;
}

bool is_name_char(char c, bool first) {
  return c == '_' || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (!first && c >= '0' && c <= '9') ||
         (!first && c == '.');
}

// The environment variable `var` as a whole number in [lo, hi], `def` when
// unset or empty. Anything else is a configuration error: a batch size of
// "lots" silently read as the default would hide the typo.
long long whole_number(const char* var, long long def, long long lo, long long hi) {
  const char* v = std::getenv(var);
  if (v == nullptr || *v == '\0') return def;
  errno = 0;
  char* end = nullptr;
  const long long n = std::strtoll(v, &end, 10);
  if (errno != 0 || end == v || *end != '\0' || n < lo || n > hi) {
    throw ValueError(std::string(var) + " must be a whole number from " + std::to_string(lo) + " to " +
                     std::to_string(hi) + ", not '" + v + "'");
  }
  return n;
}

std::string_view trim_ascii(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}
}  // namespace

std::string env_or(const char* name, std::string_view def) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string(def);
}

Settings from_environment() {
  Settings s;
  auto rd = [](std::string& field, const char* var) {
    if (const char* v = std::getenv(var)) field = v;
  };
  rd(s.BLOB_FOLDER_DOCUMENTS, "BLOB_FOLDER_DOCUMENTS");
  rd(s.BLOB_FOLDER_MARKDOWN, "BLOB_FOLDER_MARKDOWN");
  rd(s.BLOB_FOLDER_JSON, "BLOB_FOLDER_JSON");
  rd(s.BLOB_FOLDER_ENRICHED_JSON, "BLOB_FOLDER_ENRICHED_JSON");
  rd(s.BLOB_FOLDER_SUMMARY, "BLOB_FOLDER_SUMMARY");
  rd(s.STORAGE_CONNECTION_STRING, "STORAGE_ACCOUNT_CONNECTION_STRING");
  rd(s.STORAGE_CONTAINER_NAME, "STORAGE_CONTAINER_NAME");
  rd(s.TOLVAN_STORAGE_CONNECTION_STRING, "TOLVAN_STORAGE_ACCOUNT_CONNECTION_STRING");
  rd(s.TOLVAN_STORAGE_CONTAINER_NAME, "TOLVAN_STORAGE_CONTAINER_NAME");
  rd(s.STORAGE_ACCOUNT_NAME, "STORAGE_ACCOUNT_NAME");
  rd(s.TOLVAN_STORAGE_ACCOUNT_NAME, "TOLVAN_STORAGE_ACCOUNT_NAME");
  rd(s.PGHOST, "PGHOST");
  rd(s.PGPORT, "PGPORT");
  rd(s.PGDATABASE, "PGDATABASE");
  rd(s.PGUSER, "PGUSER");
  rd(s.PGPASSWORD, "PGPASSWORD");
  rd(s.PGSCHEMA, "PGSCHEMA");
  rd(s.PGTABLE, "PGTABLE");
  rd(s.TOLVANSTORE_HOST, "TOLVANSTORE_HOST");
  rd(s.TOLVANSTORE_PORT, "TOLVANSTORE_PORT");
  rd(s.TOLVANSTORE_NAME, "TOLVANSTORE_NAME");
  rd(s.TOLVANSTORE_USER, "TOLVANSTORE_USER");
  rd(s.TOLVANSTORE_PASSWORD, "TOLVANSTORE_PASSWORD");
  rd(s.TOLVANSTORE_SCHEMA, "TOLVANSTORE_SCHEMA");
  rd(s.TOLVANSTORE_TABLE, "TOLVANSTORE_TABLE");
  rd(s.AZURE_OPENAI_KEY, "AZURE_OPENAI_KEY");
  rd(s.AZURE_OPENAI_ENDPOINT, "AZURE_OPENAI_ENDPOINT");
  rd(s.AZURE_OPENAI_API_VERSION, "AZURE_OPENAI_API_VERSION");
  rd(s.OPENAI_SUMMARY_MODEL, "OPENAI_SUMMARY_MODEL");
  rd(s.OPENAI_EMBEDDING_MODEL, "OPENAI_EMBEDDING_MODEL");
  rd(s.SUMMARY_ENGINE, "SUMMARY_ENGINE");
  rd(s.VECTOR_TABLE, "VECTOR_TABLE");
  rd(s.SEARCH_TEXT_CONFIG, "SEARCH_TEXT_CONFIG");
  rd(s.AUDIT_TABLE, "KESTO_AUDIT_TABLE");
  rd(s.QUEUE_NAME, "KESTO_QUEUE");
  rd(s.AZURE_TENANT_ID, "AZURE_TENANT_ID");
  rd(s.AZURE_CLIENT_ID, "AZURE_CLIENT_ID");
  rd(s.AZURE_CLIENT_SECRET, "AZURE_CLIENT_SECRET");
  rd(s.AZURE_AUTHORITY_HOST, "AZURE_AUTHORITY_HOST");
  rd(s.AZURE_FEDERATED_TOKEN_FILE, "AZURE_FEDERATED_TOKEN_FILE");
  rd(s.IDENTITY_ENDPOINT, "IDENTITY_ENDPOINT");
  rd(s.IDENTITY_HEADER, "IDENTITY_HEADER");
  rd(s.AZURE_TOKEN_CREDENTIALS, "AZURE_TOKEN_CREDENTIALS");
  rd(s.PGAUTH, "PGAUTH");
  rd(s.CA_BUNDLE, "KESTO_CA_BUNDLE");
  if (const char* v = std::getenv("KESTO_BLOB_TAGS"); v && *v) {
    const std::string word = text::ascii_lower(text::strip(v));
    if (word == "on") {
      s.BLOB_TAGS = true;
    } else if (word == "off") {
      s.BLOB_TAGS = false;
    } else {
      throw ValueError("KESTO_BLOB_TAGS must be 'on' or 'off', not '" + std::string(v) + "'");
    }
  }
  s.MAX_BATCH_SIZE = whole_number("MAX_BATCH_SIZE", s.MAX_BATCH_SIZE, 1, 1'000'000'000);
  s.MAX_INPUT_BYTES = static_cast<std::size_t>(
      whole_number("KESTO_MAX_INPUT_BYTES", static_cast<long long>(s.MAX_INPUT_BYTES), 1, 1LL << 50));
  s.RUNNING_TIMEOUT_S = whole_number("KESTO_RUNNING_TIMEOUT", s.RUNNING_TIMEOUT_S, 1, 1'000'000'000);
  s.SEARCH_TIMEOUT_S = whole_number("KESTO_SEARCH_TIMEOUT", s.SEARCH_TIMEOUT_S, 1, 24 * 3600);
  s.ANN_MIN_SECTIONS = whole_number("KESTO_ANN_MIN_SECTIONS", s.ANN_MIN_SECTIONS, 1, 1'000'000'000);
  s.ANN_EF = whole_number("KESTO_ANN_EF", s.ANN_EF, 10, 100000);
  if (const char* v = std::getenv("KESTO_VECTOR_SEARCH"); v && *v) {
    const std::string word = text::ascii_lower(text::strip(v));
    if (word != "exact" && word != "approximate") {
      throw ValueError("KESTO_VECTOR_SEARCH must be 'exact' or 'approximate', not '" + std::string(v) + "'");
    }
    s.VECTOR_SEARCH = word;
  }
  rd(s.VECTOR_CACHE_DIR, "KESTO_VECTOR_CACHE_DIR");
  s.MAX_DEQUEUE = whole_number("KESTO_MAX_DEQUEUE", s.MAX_DEQUEUE, 1, 1000);
  // The service takes visibility timeouts of up to 7 days.
  s.VISIBILITY_TIMEOUT_S = whole_number("KESTO_VISIBILITY_TIMEOUT", s.VISIBILITY_TIMEOUT_S, 3, 7 * 24 * 3600);
  s.CONNECT_TIMEOUT_S = whole_number("KESTO_CONNECT_TIMEOUT", s.CONNECT_TIMEOUT_S, 1, 3600);
  s.STORAGE_TIMEOUT_S = whole_number("KESTO_STORAGE_TIMEOUT", s.STORAGE_TIMEOUT_S, 1, 24 * 3600);
  s.MODEL_TIMEOUT_S = whole_number("KESTO_MODEL_TIMEOUT", s.MODEL_TIMEOUT_S, 1, 24 * 3600);
  rd(s.API_KEYS_FILE, "KESTO_API_KEYS_FILE");
  s.SERVE_THREADS = whole_number("KESTO_SERVE_THREADS", s.SERVE_THREADS, 1, 256);
  s.SERVE_READ_TIMEOUT_S = whole_number("KESTO_SERVE_READ_TIMEOUT", s.SERVE_READ_TIMEOUT_S, 1, 3600);
  s.SERVE_WRITE_TIMEOUT_S = whole_number("KESTO_SERVE_WRITE_TIMEOUT", s.SERVE_WRITE_TIMEOUT_S, 1, 3600);
  s.SERVE_REQUEST_TIMEOUT_S = whole_number("KESTO_SERVE_REQUEST_TIMEOUT", s.SERVE_REQUEST_TIMEOUT_S, 1, 3600);
  s.SERVE_MAX_BODY = whole_number("KESTO_SERVE_MAX_BODY", s.SERVE_MAX_BODY, 0, 1LL << 30);
  // Ports stay text for the connection parameters; only their form is checked.
  if (!s.PGPORT.empty()) whole_number("PGPORT", 0, 1, 65535);
  if (!s.TOLVANSTORE_PORT.empty()) whole_number("TOLVANSTORE_PORT", 0, 1, 65535);
  if (s.AZURE_AUTHORITY_HOST.empty()) s.AZURE_AUTHORITY_HOST = Settings{}.AZURE_AUTHORITY_HOST;
  if (!s.PGAUTH.empty() && s.PGAUTH != "entra" && s.PGAUTH != "password") {
    throw ValueError("PGAUTH must be \"entra\" or \"password\", not '" + s.PGAUTH + "'");
  }
  return s;
}

const Settings& get() {
  std::lock_guard lock(mu());
  if (!slot()) {
    load_dotenv_once();
    slot() = std::make_unique<Settings>(from_environment());
  }
  return *slot();
}

void set(const Settings& s) {
  std::lock_guard lock(mu());
  // The old object is kept alive: callers may still hold references into it.
  static std::vector<std::unique_ptr<Settings>> retired;
  if (slot()) retired.push_back(std::move(slot()));
  slot() = std::make_unique<Settings>(s);
}

std::map<std::string, std::string> parse_dotenv(std::string_view text) {
  // A file saved by an editor that writes a byte-order mark is still read
  // from its first line.
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  std::map<std::string, std::string> out;
  std::size_t pos = 0;
  std::size_t line_no = 0;
  auto refuse = [&](std::size_t line, const std::string& why) {
    return ValueError("line " + std::to_string(line) + ": " + why);
  };
  // A file whose lines end in a bare carriage return (old Mac line ends)
  // reads as one line: the first setting would swallow all the others.
  for (std::size_t cr = text.find('\r'); cr != std::string_view::npos; cr = text.find('\r', cr + 1)) {
    if (cr + 1 == text.size() || text[cr + 1] != '\n') {
      const auto line = static_cast<std::size_t>(std::count(text.begin(), text.begin() + cr, '\n')) + 1;
      throw refuse(line, "a carriage return that does not end a line (save the file with LF or CRLF line ends)");
    }
  }
  while (pos < text.size()) {
    std::size_t eol = text.find('\n', pos);
    if (eol == std::string_view::npos) eol = text.size();
    const std::size_t start_line = ++line_no;
    std::string_view line = trim_ascii(text.substr(pos, eol - pos));
    pos = eol + 1;
    if (line.empty() || line.front() == '#') continue;
    if (line.substr(0, 7) == "export ") line = trim_ascii(line.substr(7));
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) throw refuse(start_line, "not a NAME=value line");
    const std::string_view name = trim_ascii(line.substr(0, eq));
    bool ok = !name.empty() && is_name_char(name.front(), true);
    for (char c : name) ok = ok && is_name_char(c, false);
    if (!ok) throw refuse(start_line, "'" + std::string(name) + "' is not a variable name");
    std::string_view raw = trim_ascii(line.substr(eq + 1));
    std::string value;
    if (!raw.empty() && (raw.front() == '"' || raw.front() == '\'')) {
      const char q = raw.front();
      // A quoted value may run over several lines.
      std::string_view rest = text.substr(static_cast<std::size_t>(raw.data() - text.data()) + 1);
      std::size_t i = 0;
      bool closed = false;
      for (; i < rest.size(); ++i) {
        const char c = rest[i];
        if (c == q) { closed = true; break; }
        if (q == '"' && c == '\\' && i + 1 < rest.size()) {
          const char n = rest[++i];
          switch (n) {
            case 'n': value += '\n'; break;
            case 't': value += '\t'; break;
            case 'r': value += '\r'; break;
            default: value += n;
          }
          continue;
        }
        value += c;
      }
      // Taking the rest of the file as the value would silently drop every
      // setting after it.
      if (!closed) throw refuse(start_line, "the quoted value of " + std::string(name) + " is never closed");
      const std::size_t consumed = static_cast<std::size_t>(rest.data() - text.data()) + i + 1;
      // Only a comment may follow the closing quote: text after it would
      // otherwise be dropped without a word.
      std::size_t line_end = text.find('\n', consumed);
      if (line_end == std::string_view::npos) line_end = text.size();
      const std::string_view after = trim_ascii(text.substr(consumed, line_end - consumed));
      if (!after.empty() && after.front() != '#') {
        const auto line = static_cast<std::size_t>(std::count(text.begin(), text.begin() + consumed, '\n')) + 1;
        throw refuse(line, "text after the closing quote of " + std::string(name) + ": '" + std::string(after) + "'");
      }
      if (consumed > pos) {
        const std::size_t next_line = pos;
        eol = text.find('\n', consumed);
        pos = eol == std::string_view::npos ? text.size() : eol + 1;
        line_no += static_cast<std::size_t>(std::count(text.begin() + next_line, text.begin() + pos, '\n'));
      }
    } else {
      const std::size_t hash = raw.find(" #");
      value = std::string(trim_ascii(raw.substr(0, hash)));
    }
    out[std::string(name)] = value;
  }
  return out;
}

bool load_dotenv(const std::string& path, bool override_existing) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    // A folder of that name (a Python virtual environment is often called
    // .env) is no reason to stop, but settings expected from it are missing.
    logsetup::get_logger("shared.config")
        .warning("'" + path + "' is a folder, not a settings file: no settings were read from it");
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (std::filesystem::exists(path, ec)) {
      logsetup::get_logger("shared.config").warning("'" + path + "' cannot be read: no settings were read from it");
    }
    return false;
  }
  std::ostringstream ss;
  ss << in.rdbuf();
  std::map<std::string, std::string> vars;
  try {
    vars = parse_dotenv(ss.str());
  } catch (const ValueError& e) {
    throw ValueError("'" + path + "' " + e.what());
  }
  for (const auto& [k, v] : vars) {
    ::setenv(k.c_str(), v.c_str(), override_existing ? 1 : 0);
  }
  return true;
}

void load_dotenv_once() {
  static std::once_flag once;
  std::call_once(once, [] { load_dotenv(".env", false); });
}

}  // namespace shared::config
