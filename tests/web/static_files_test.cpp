// The web page as built into the program: every file of web/ byte for byte,
// nothing else, and the headers that keep hostile data from running.
#include "shared/web/static_files.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "support/testing.hpp"

namespace sf = shared::web::static_files;
namespace fs = std::filesystem;

namespace {

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

fs::path web_dir() { return testing_support::source_dir() / "web"; }

std::string header(const sf::Reply& r, std::string_view name) {
  for (const auto& [k, v] : r.headers) {
    if (k == name) return v;
  }
  return "<absent>";
}

}  // namespace

TEST(StaticFiles, EveryFileOfTheWebFolderIsServedAsItIsOnDisk) {
  std::set<std::string> on_disk;
  for (const auto& entry : fs::recursive_directory_iterator(web_dir())) {
    if (!entry.is_regular_file()) continue;
    const std::string rel = "/" + fs::relative(entry.path(), web_dir()).generic_string();
    on_disk.insert(rel);
    const sf::Reply r = sf::reply("/static" + rel);
    EXPECT_EQ(r.status, 200) << rel;
    const std::string disk = read_file(entry.path());
    // Compared whole, reported short: a stale or mangled copy says where.
    EXPECT_TRUE(r.body == disk) << rel << ": " << r.body.size() << " bytes built in, " << disk.size() << " on disk";
  }
  std::set<std::string> built_in;
  for (const auto& f : sf::embedded()) built_in.insert(std::string(f.path));
  EXPECT_EQ(built_in, on_disk);
  EXPECT_TRUE(on_disk.contains("/index.html"));
  EXPECT_TRUE(on_disk.contains("/app.js"));
}

TEST(StaticFiles, ThePageIsAtTheRootAndEachFileHasItsType) {
  const struct {
    std::string path;
    int status;
    std::string type;
  } cases[] = {
      {"/", 200, "text/html; charset=utf-8"},
      {"/index.html", 200, "text/html; charset=utf-8"},
      {"/static/app.js", 200, "text/javascript; charset=utf-8"},
      {"/static/pages/document.js", 200, "text/javascript; charset=utf-8"},
      {"/static/app.css", 200, "text/css; charset=utf-8"},
      {"/static/favicon.svg", 200, "image/svg+xml"},
      // Only exact names: nothing is decoded, folded or resolved.
      {"/app.js", 404, "text/plain; charset=utf-8"},
      {"/static/", 404, "text/plain; charset=utf-8"},
      {"/static/APP.JS", 404, "text/plain; charset=utf-8"},
      {"/static/app.js/", 404, "text/plain; charset=utf-8"},
      {"/static/%61pp.js", 404, "text/plain; charset=utf-8"},
      {"/static/../CMakeLists.txt", 404, "text/plain; charset=utf-8"},
      {"/static/pages/../app.js", 404, "text/plain; charset=utf-8"},
      {"/static//app.js", 404, "text/plain; charset=utf-8"},
      {"//", 404, "text/plain; charset=utf-8"},
      {"", 404, "text/plain; charset=utf-8"},
  };
  for (const auto& c : cases) {
    const sf::Reply r = sf::reply(c.path);
    EXPECT_EQ(r.status, c.status) << c.path;
    EXPECT_EQ(r.content_type, c.type) << c.path;
    // A 404 carries the same guard as the page.
    EXPECT_EQ(header(r, "Content-Security-Policy"), sf::content_security_policy) << c.path;
    EXPECT_EQ(header(r, "X-Content-Type-Options"), "nosniff") << c.path;
    EXPECT_EQ(header(r, "X-Frame-Options"), "DENY") << c.path;
  }
  EXPECT_EQ(sf::reply("/").body, sf::reply("/static/index.html").body);
}

TEST(StaticFiles, ThePolicyAllowsNoInlineScriptNorAnyOtherOrigin) {
  const std::string policy(sf::content_security_policy);
  for (const char* forbidden : {"unsafe-inline", "unsafe-eval", "*", "http:", "https:", "data:", "blob:"}) {
    EXPECT_EQ(policy.find(forbidden), std::string::npos) << forbidden;
  }
  for (const char* needed : {"default-src 'none'", "script-src 'self'", "connect-src 'self'", "frame-ancestors 'none'",
                             "base-uri 'none'", "form-action 'none'"}) {
    EXPECT_NE(policy.find(needed), std::string::npos) << needed;
  }
}

// The data shown (document names, snippets, errors) is hostile: the page's
// files never turn text into markup, nor run text as code, nor carry inline
// script or style that the policy would have to allow.
TEST(StaticFiles, NoFileOfThePageParsesDataAsMarkupOrCode) {
  const struct {
    std::string ending;
    std::regex pattern;
    std::string what;
  } rules[] = {
      {".js", std::regex(R"(innerHTML|outerHTML|insertAdjacentHTML|document\.write|\beval\s*\(|new\s+Function|createContextualFragment|DOMParser)"),
       "markup or code made from text"},
      {".js", std::regex(R"(setAttribute\(\s*['"](style|on\w+)['"])"), "inline style or handler"},
      {".js", std::regex(R"(localStorage\s*[.\[]|document\.cookie)"), "the key kept beyond the tab"},
      {".html", std::regex(R"(<script(?![^>]*\ssrc=)[^>]*>)", std::regex::icase), "inline script"},
      {".html", std::regex(R"(\s(on[a-z]+|style)\s*=)", std::regex::icase), "inline handler or style"},
      {".html", std::regex(R"(https?://)", std::regex::icase), "an outside address"},
      {".css", std::regex(R"(@import|url\(\s*['"]?(https?:|//))", std::regex::icase), "an outside resource"},
  };
  int checked = 0;
  for (const auto& f : sf::embedded()) {
    const std::string body(f.body);
    for (const auto& rule : rules) {
      if (!f.path.ends_with(rule.ending)) continue;
      ++checked;
      std::smatch m;
      EXPECT_FALSE(std::regex_search(body, m, rule.pattern)) << f.path << ": " << rule.what << ": " << m.str();
    }
  }
  EXPECT_GT(checked, 10);
}
