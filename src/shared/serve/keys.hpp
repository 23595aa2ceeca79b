// shared.serve.keys: the API keys of the HTTP door. A key is a random
// secret given to its holder once; the server keeps only its SHA-256, with
// the key's name and role, in the file named by KESTO_API_KEYS_FILE (one
// "NAME ROLE SHA256-HEX" a line, "#" comments). A presented key is hashed
// and compared with every stored hash in constant time.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace shared::serve::keys {

// What a key may do: a reader reads, an operator also reprocesses and deletes.
enum class Role { reader, operator_ };

// "reader" or "operator".
std::string_view role_name(Role role);
// The role a word names; nullopt for any other word.
std::optional<Role> role_named(std::string_view word);

// The prefix of every key this system makes ("kesto_"), so that a key
// pasted where it does not belong (a query string) can be recognised.
inline constexpr std::string_view kKeyPrefix = "kesto_";

struct Entry {
  std::string name;
  Role role = Role::reader;
  std::string sha256_hex;  // 64 lower-case hex digits
};

// Parses the keys file's text. Throws ValueError "line N: …" for a line
// that is not blank, a comment or "NAME ROLE SHA256-HEX" (a name of letters,
// digits, '.', '_', '-', at most 64; a known role; 64 hex digits), and for a
// name given twice.
std::vector<Entry> parse(std::string_view text);

// Reads and parses the file; throws ValueError naming the file when it
// cannot be read or is malformed.
std::vector<Entry> load(const std::string& path);

// Whether two texts are equal, in time that depends only on their lengths:
// every byte pair is examined, whatever differed first; `bytes_examined`
// says how many were.
struct Comparison {
  bool equal = false;
  std::size_t bytes_examined = 0;
};
Comparison compare(std::string_view a, std::string_view b);
inline bool constant_time_equal(std::string_view a, std::string_view b) { return compare(a, b).equal; }

// The entry whose hash is the presented key's SHA-256, or nullopt. Every
// entry is compared, each in constant time, whatever matched before;
// `compared` (when given) receives how many were.
std::optional<Entry> find(const std::vector<Entry>& entries, std::string_view presented_key,
                          std::size_t* compared = nullptr);

// A fresh key ("kesto_" and 64 hex digits of 32 random bytes) and its line
// for the keys file. Throws ValueError for a name or role the file would
// refuse, Error when the system's random source fails.
struct NewKey {
  std::string key;
  std::string line;
};
NewKey make_key(std::string_view name, std::string_view role);

}  // namespace shared::serve::keys
