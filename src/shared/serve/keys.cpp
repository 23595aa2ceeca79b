#include "shared/serve/keys.hpp"

#include <openssl/rand.h>

#include <fstream>
#include <set>
#include <sstream>

#include "shared/digest.hpp"
#include "shared/errors.hpp"

namespace shared::serve::keys {

namespace {

constexpr std::size_t kMaxName = 64;

bool valid_name(std::string_view name) {
  if (name.empty() || name.size() > kMaxName) return false;
  for (const char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                    c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

bool valid_hash(std::string_view hex) {
  if (hex.size() != 64) return false;
  for (const char c : hex) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

std::vector<std::string> words(std::string_view line) {
  std::vector<std::string> out;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    std::size_t j = i;
    while (j < line.size() && line[j] != ' ' && line[j] != '\t') ++j;
    if (j > i) out.emplace_back(line.substr(i, j - i));
    i = j;
  }
  return out;
}

std::string hex_of(const unsigned char* bytes, std::size_t n) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < n; ++i) {
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 15];
  }
  return out;
}

}  // namespace

std::string_view role_name(Role role) { return role == Role::operator_ ? "operator" : "reader"; }

std::optional<Role> role_named(std::string_view word) {
  if (word == "reader") return Role::reader;
  if (word == "operator") return Role::operator_;
  return std::nullopt;
}

std::vector<Entry> parse(std::string_view text) {
  std::vector<Entry> out;
  std::set<std::string> names;
  std::size_t line_no = 0, start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    ++line_no;
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const auto w = words(line);
    if (w.empty() || w[0][0] == '#') {
      if (end == text.size()) break;
      continue;
    }
    const std::string where = "line " + std::to_string(line_no) + ": ";
    if (w.size() != 3) throw ValueError(where + "expected NAME ROLE SHA256-HEX");
    if (!valid_name(w[0])) {
      throw ValueError(where + "a key's name is 1 to 64 letters, digits, '.', '_' or '-'");
    }
    const auto role = role_named(w[1]);
    if (!role) throw ValueError(where + "unknown role (reader or operator)");
    // The line holds a hash, never a key: a key pasted here by mistake is
    // refused rather than taken for a hash.
    if (!valid_hash(w[2])) throw ValueError(where + "expected the key's SHA-256 as 64 lower-case hex digits");
    if (!names.insert(w[0]).second) throw ValueError(where + "the name '" + w[0] + "' is given twice");
    out.push_back(Entry{.name = w[0], .role = *role, .sha256_hex = w[2]});
    if (end == text.size()) break;
  }
  return out;
}

std::vector<Entry> load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ValueError("the API keys file '" + path + "' cannot be read");
  std::ostringstream text;
  text << in.rdbuf();
  try {
    return parse(text.str());
  } catch (const ValueError& e) {
    throw ValueError("the API keys file '" + path + "' " + e.what());
  }
}

Comparison compare(std::string_view a, std::string_view b) {
  // Hashes of one length are compared here; the length itself is no secret.
  if (a.size() != b.size()) return {};
  // No early exit: the differences are gathered over every byte pair.
  unsigned char diff = 0;
  std::size_t examined = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    diff |= static_cast<unsigned char>(static_cast<unsigned char>(a[i]) ^ static_cast<unsigned char>(b[i]));
    ++examined;
  }
  return {.equal = diff == 0, .bytes_examined = examined};
}

std::optional<Entry> find(const std::vector<Entry>& entries, std::string_view presented_key,
                          std::size_t* compared) {
  const std::string hash = digest::sha256_hex(presented_key);
  std::optional<Entry> found;
  std::size_t n = 0;
  for (const Entry& e : entries) {
    const bool equal = compare(hash, e.sha256_hex).equal;
    ++n;
    if (equal && !found) found = e;
  }
  if (compared) *compared = n;
  return found;
}

NewKey make_key(std::string_view name, std::string_view role) {
  if (!valid_name(name)) throw ValueError("a key's name is 1 to 64 letters, digits, '.', '_' or '-'");
  if (!role_named(role)) throw ValueError("unknown role '" + std::string(role) + "' (reader or operator)");
  unsigned char bytes[32];
  if (RAND_bytes(bytes, sizeof bytes) != 1) throw Error("the system's random source failed");
  NewKey k;
  k.key = std::string(kKeyPrefix) + hex_of(bytes, sizeof bytes);
  k.line = std::string(name) + " " + std::string(role) + " " + digest::sha256_hex(k.key);
  return k;
}

}  // namespace shared::serve::keys
