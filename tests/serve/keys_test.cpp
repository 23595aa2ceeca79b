// The API keys file, the key comparison, new keys, the listen address and
// the citation of a section.
#include "shared/serve/keys.hpp"

#include <gtest/gtest.h>

#include "shared/digest.hpp"
#include "shared/errors.hpp"
#include "shared/serve/api.hpp"
#include "shared/serve/http.hpp"

namespace keys = shared::serve::keys;

namespace {

const std::string kHash(64, 'a');

TEST(ApiKeys, FileLinesAreTakenOrRefusedNamingTheLine) {
  struct Case {
    std::string text;
    std::string error;  // "" when taken
    std::size_t entries = 0;
  };
  const std::vector<Case> cases = {
      {"", "", 0},
      {"# keys\n\n   \nalice reader " + kHash + "\n", "", 1},
      {"alice reader " + kHash + "\r\nbob operator " + std::string(64, '0') + "\n", "", 2},
      {"alice\treader\t" + kHash, "", 1},
      {"alice reader", "line 1: expected NAME ROLE SHA256-HEX", 0},
      {"\nalice admin " + kHash, "line 2: unknown role (reader or operator)", 0},
      {"alice reader " + std::string(63, 'a'), "line 1: expected the key's SHA-256 as 64 lower-case hex digits", 0},
      {"alice reader " + std::string(64, 'A'), "line 1: expected the key's SHA-256 as 64 lower-case hex digits", 0},
      // A key pasted instead of its hash is no hash.
      {"alice reader kesto_" + std::string(64, 'a'), "line 1: expected the key's SHA-256 as 64 lower-case hex digits", 0},
      {"al/ice reader " + kHash, "line 1: a key's name is 1 to 64 letters, digits, '.', '_' or '-'", 0},
      {std::string(65, 'n') + " reader " + kHash, "line 1: a key's name is 1 to 64 letters, digits, '.', '_' or '-'", 0},
      {"alice reader " + kHash + " extra", "line 1: expected NAME ROLE SHA256-HEX", 0},
      {"alice reader " + kHash + "\nalice operator " + kHash, "line 2: the name 'alice' is given twice", 0},
  };
  for (const Case& c : cases) {
    if (c.error.empty()) {
      EXPECT_EQ(keys::parse(c.text).size(), c.entries) << c.text;
    } else {
      try {
        keys::parse(c.text);
        ADD_FAILURE() << "taken: " << c.text;
      } catch (const shared::ValueError& e) {
        EXPECT_EQ(std::string(e.what()), c.error) << c.text;
      }
    }
  }
}

TEST(ApiKeys, ANewKeyIsFoundByItsLineAndNothingElseIs) {
  const keys::NewKey a = keys::make_key("alice", "reader");
  const keys::NewKey b = keys::make_key("bob", "operator");
  EXPECT_NE(a.key, b.key);
  EXPECT_EQ(a.key.rfind("kesto_", 0), 0u);
  EXPECT_EQ(a.key.size(), 6u + 64u);
  // The line holds the hash, never the key.
  EXPECT_EQ(a.line.find(a.key), std::string::npos);
  const auto entries = keys::parse(a.line + "\n" + b.line + "\n");
  const auto found = keys::find(entries, b.key);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->name, "bob");
  EXPECT_EQ(found->role, keys::Role::operator_);
  for (const std::string& wrong : {std::string(), a.key + "x", a.key.substr(1), shared::digest::sha256_hex(a.key)}) {
    EXPECT_FALSE(keys::find(entries, wrong)) << wrong;
  }
  EXPECT_THROW(keys::make_key("alice", "admin"), shared::ValueError);
  EXPECT_THROW(keys::make_key("a b", "reader"), shared::ValueError);
}

TEST(ApiKeys, ComparisonExaminesEveryByteWhereverTheTextsDiffer) {
  const std::string hash = shared::digest::sha256_hex("key");
  std::vector<std::string> others = {hash};
  for (const std::size_t at : {std::size_t{0}, std::size_t{1}, std::size_t{31}, std::size_t{63}}) {
    std::string o = hash;
    o[at] = o[at] == '0' ? '1' : '0';
    others.push_back(o);
  }
  for (const std::string& o : others) {
    const keys::Comparison c = keys::compare(hash, o);
    EXPECT_EQ(c.equal, o == hash);
    EXPECT_EQ(c.bytes_examined, 64u) << o;
  }
  // Every entry is compared, also after a match.
  const auto entries = keys::parse("a reader " + hash + "\nb reader " + std::string(64, '0') + "\nc reader " +
                                   std::string(64, '1'));
  std::size_t compared = 0;
  EXPECT_TRUE(keys::find(entries, "key", &compared));
  EXPECT_EQ(compared, 3u);
  EXPECT_FALSE(keys::find(entries, "other", &compared));
  EXPECT_EQ(compared, 3u);
}

TEST(ServeListen, AddressesAreHostAndPort) {
  EXPECT_EQ(shared::serve::http::options_from_settings("127.0.0.1:8080").port, 8080);
  EXPECT_EQ(shared::serve::http::options_from_settings("127.0.0.1:0").port, 0);
  const auto v6 = shared::serve::http::options_from_settings("[::1]:9000");
  EXPECT_EQ(v6.host, "::1");
  EXPECT_EQ(v6.port, 9000);
  for (const std::string bad : {"8080", ":8080", "localhost:", "localhost:65536", "localhost:80a", "localhost:-1"}) {
    EXPECT_THROW(shared::serve::http::options_from_settings(bad), shared::ValueError) << bad;
  }
}

TEST(ServeCitation, SectionKeysGiveNumberHeadingAndCitation) {
  struct Case {
    std::string document, key, number, heading, citation;
  };
  const std::vector<Case> cases = {
      {"SOP QD-000958 Cleaning", "SOP QD-000958 Cleaning::3.2 Execution", "3.2", "Execution", "QD-000958 \u00a73.2 Execution"},
      {"SOP QD-000958 Cleaning", "SOP QD-000958 Cleaning::3 Procedure", "3", "Procedure", "QD-000958 \u00a73 Procedure"},
      {"SOP QD-000958 Cleaning", "SOP QD-000958 Cleaning::4. Records", "4", "Records", "QD-000958 \u00a74 Records"},
      {"SOP QD-000958 Cleaning", "SOP QD-000958 Cleaning::Metadata", "", "Metadata", "QD-000958 \u00a7Metadata"},
      // A document name holding "::" is taken off whole.
      {"A::B", "A::B::1 Purpose", "1", "Purpose", "QD-000958 \u00a71 Purpose"},
      {"", "Other::2.1 Agents", "2.1", "Agents", "QD-000958 \u00a72.1 Agents"},
      {"Doc", "Doc::2024", "", "2024", "QD-000958 \u00a72024"},
  };
  for (const Case& c : cases) {
    const auto n = shared::serve::api::section_name("QD-000958", c.document, c.key);
    EXPECT_EQ(n.number, c.number) << c.key;
    EXPECT_EQ(n.heading, c.heading) << c.key;
    EXPECT_EQ(n.citation, c.citation) << c.key;
  }
}

}  // namespace
