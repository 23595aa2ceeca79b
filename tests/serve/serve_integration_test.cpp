// kesto serve's HTTP door against the local services: every route, status
// and error shape through real requests, the keys and roles, hostile
// requests, and the metrics in the Prometheus text format.
#include "shared/serve/http.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <httplib.h>

#include <cmath>
#include <filesystem>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

#include "host/host_world.hpp"
#include "shared/connectors/blobhub.hpp"
#include "shared/connectors/pg.hpp"
#include "shared/connectors/queuehub.hpp"
#include "shared/host/audit_trail.hpp"
#include "shared/host/task.hpp"
#include "shared/host/worker.hpp"
#include "shared/serve/keys.hpp"
#include "shared/text/pyjson.hpp"

namespace http = shared::serve::http;
namespace keys = shared::serve::keys;
using host_world::World;
using shared::Record;

namespace {

std::string unique_queue() {
  std::random_device rd;
  return "ks-" + std::to_string(rd() % 1000000000u);
}

// A server of the test's own on a free port, with one reader and one
// operator key, and short limits.
struct Door {
  keys::NewKey reader = keys::make_key("reader-1", "reader");
  keys::NewKey op = keys::make_key("operator-1", "operator");
  std::unique_ptr<http::Server> server;
  std::thread thread;
  int port = 0;

  explicit Door(http::Options o = {}) {
    o.host = "127.0.0.1";
    o.port = 0;
    o.health_interval_ms = 100;
    server = std::make_unique<http::Server>(o, keys::parse(reader.line + "\n" + op.line + "\n"));
    port = server->bind();
    thread = std::thread([this] { server->run(); });
    for (int i = 0; i < 500 && !server->running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ~Door() {
    server->stop();
    thread.join();
  }
  httplib::Client client() const {
    httplib::Client c("127.0.0.1", port);
    c.set_connection_timeout(5);
    c.set_read_timeout(60);
    return c;
  }
  static httplib::Headers bearer(const std::string& key) { return {{"Authorization", "Bearer " + key}}; }
  httplib::Result get(const std::string& path, const std::string& key) const {
    auto c = client();
    return key.empty() ? c.Get(path.c_str()) : c.Get(path.c_str(), bearer(key));
  }
  Record get_json(const std::string& path, int status = 200) const {
    auto r = get(path, reader.key);
    EXPECT_TRUE(r) << path;
    if (!r) return Record();
    EXPECT_EQ(r->status, status) << path << " " << r->body;
    EXPECT_EQ(r->get_header_value("Content-Type"), "application/json") << path;
    return Record::parse(r->body);
  }
};

// The one error shape: {"error": {"code": text, "message": text}} and nothing else.
void expect_error(const httplib::Result& r, int status, const std::string& code, const std::string& what) {
  ASSERT_TRUE(r) << what;
  EXPECT_EQ(r->status, status) << what << " " << r->body;
  const Record body = Record::parse(r->body, nullptr, false);
  ASSERT_TRUE(body.is_object()) << what << " " << r->body;
  EXPECT_EQ(body.size(), 1u) << what;
  ASSERT_TRUE(body.contains("error")) << what;
  const Record& e = body["error"];
  EXPECT_EQ(e.size(), 2u) << what;
  EXPECT_EQ(e.value("code", ""), code) << what << " " << r->body;
  EXPECT_TRUE(e.contains("message") && e["message"].is_string() && !e["message"].get<std::string>().empty()) << what;
  // Nothing of the server's insides.
  for (const char* leak : {"SELECT", "sop_", "kesto_audit", "Traceback", "DatabaseError", "password", "AccountKey"}) {
    EXPECT_EQ(r->body.find(leak), std::string::npos) << what << " " << r->body;
  }
}

// A world with the three examples processed and a queue of its own.
struct Processed {
  World w;
  std::unique_ptr<testing_support::ScopedSettings> queue;
  Processed() {
    shared::config::Settings s = w.settings;
    s.QUEUE_NAME = unique_queue();
    queue = std::make_unique<testing_support::ScopedSettings>(s);
    w.settings = s;
    w.add_examples();
    for (const auto& [qd, o] : w.run()) EXPECT_EQ(o.status, shared::host::task::Status::Processed) << qd << o.error;
  }
};

// --- a strict reader of the Prometheus text format ---------------------------

struct Sample {
  std::string name;
  std::map<std::string, std::string> labels;
  double value = 0;
};

// Every sample of `text`; fails the test on any line that is not of the
// format: comments other than HELP and TYPE, a sample of no declared family,
// malformed names, labels or values, histograms whose buckets are not
// cumulative or whose +Inf bucket differs from their count.
std::vector<Sample> parse_prometheus(const std::string& text) {
  static const std::regex help(R"(# HELP ([a-zA-Z_:][a-zA-Z0-9_:]*) .*)");
  static const std::regex type(R"(# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge|histogram|summary|untyped))");
  static const std::regex sample(R"(([a-zA-Z_:][a-zA-Z0-9_:]*)(\{(.*)\})? (\S+)( -?[0-9]+)?)");
  static const std::regex label(R"(([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\\n]|\\[\\"n])*)\"(,|$))");
  std::map<std::string, std::string> types;
  std::vector<Sample> out;
  EXPECT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::smatch m;
    if (line.empty()) continue;
    if (line[0] == '#') {
      if (std::regex_match(line, m, type)) {
        EXPECT_FALSE(types.count(m[1])) << "TYPE twice: " << line;
        types[m[1]] = m[2];
      } else {
        EXPECT_TRUE(std::regex_match(line, m, help)) << "not HELP or TYPE: " << line;
      }
      continue;
    }
    if (!std::regex_match(line, m, sample)) {
      ADD_FAILURE() << "not a sample: " << line;
      continue;
    }
    Sample s;
    s.name = m[1];
    std::string labels = m[3];
    while (!labels.empty()) {
      std::smatch l;
      if (!std::regex_search(labels, l, label) || l.position(0) != 0) {
        ADD_FAILURE() << "malformed labels: " << line;
        break;
      }
      EXPECT_FALSE(s.labels.count(l[1])) << line;
      s.labels[l[1]] = l[2];
      labels = l.suffix();
    }
    const std::string v = m[4];
    if (v == "+Inf") {
      s.value = INFINITY;
    } else if (v == "-Inf") {
      s.value = -INFINITY;
    } else if (v == "NaN") {
      s.value = NAN;
    } else {
      std::size_t used = 0;
      s.value = std::stod(v, &used);
      EXPECT_EQ(used, v.size()) << line;
    }
    std::string family = s.name;
    for (const char* suffix : {"_bucket", "_sum", "_count"}) {
      const std::string sf = suffix;
      if (!types.count(family) && family.size() > sf.size() && family.ends_with(sf)) {
        family = family.substr(0, family.size() - sf.size());
      }
    }
    EXPECT_TRUE(types.count(family)) << "no TYPE for " << line;
    out.push_back(s);
  }
  // Histograms: cumulative buckets in rising order, +Inf equal to the count.
  std::map<std::string, std::vector<std::pair<double, double>>> buckets;
  std::map<std::string, double> counts;
  auto series = [](const Sample& s) {
    std::string key = s.name.substr(0, s.name.rfind('_'));
    for (const auto& [k, v] : s.labels) {
      if (k != "le") key += "|" + k + "=" + v;
    }
    return key;
  };
  for (const Sample& s : out) {
    if (s.name.ends_with("_bucket")) {
      EXPECT_TRUE(s.labels.count("le")) << s.name;
      const std::string le = s.labels.count("le") ? s.labels.at("le") : "0";
      buckets[series(s)].emplace_back(le == "+Inf" ? INFINITY : std::stod(le), s.value);
    } else if (s.name.ends_with("_count") && types.count(s.name.substr(0, s.name.size() - 6)) &&
               types[s.name.substr(0, s.name.size() - 6)] == "histogram") {
      counts[series(s)] = s.value;
    }
  }
  for (const auto& [key, list] : buckets) {
    for (std::size_t i = 1; i < list.size(); ++i) {
      EXPECT_LT(list[i - 1].first, list[i].first) << key;
      EXPECT_LE(list[i - 1].second, list[i].second) << key;
    }
    EXPECT_TRUE(std::isinf(list.back().first)) << key;
    EXPECT_EQ(list.back().second, counts[key]) << key;
  }
  return out;
}

double value_of(const std::vector<Sample>& samples, const std::string& name,
                const std::map<std::string, std::string>& labels = {}) {
  double sum = 0;
  for (const Sample& s : samples) {
    if (s.name != name) continue;
    bool match = true;
    for (const auto& [k, v] : labels) match = match && s.labels.count(k) && s.labels.at(k) == v;
    if (match) sum += s.value;
  }
  return sum;
}

// --- raw connections for hostile clients -------------------------------------

int connect_to(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  return fd;
}

// Whether the server closed the connection: a read finds its end (or a reset).
bool closed_by_server(int fd) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, 0) <= 0) return false;
  char buf[256];
  const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
  return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

// --- the tests ---------------------------------------------------------------

TEST(Serve, EveryReadRouteAnswersItsShape) {
  if (!pg_testing::have_cluster()) return;
  Processed p;
  Door door;

  // Health needs no key and tells no reasons without one.
  auto health = door.get("/healthz", "");
  ASSERT_TRUE(health);
  EXPECT_EQ(health->status, 200);
  EXPECT_EQ(Record::parse(health->body), (Record{{"status", "ok"}}));
  Record ready;
  for (int i = 0; i < 200; ++i) {
    auto r = door.get("/readyz", door.reader.key);
    ready = Record::parse(r->body);
    if (r->status == 200) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(ready["status"], "ready") << ready.dump();
  EXPECT_EQ(ready["checks"]["database"]["ok"], true);
  EXPECT_EQ(ready["checks"]["storage"]["ok"], true);
  EXPECT_EQ(Record::parse(door.get("/readyz", "")->body), (Record{{"status", "ready"}}));

  // Search: the ranking of kesto search --json for the same question.
  const Record found = door.get_json("/api/search?q=swab%20sampling%20point&k=5&mode=lexical");
  EXPECT_EQ(found["mode"], "lexical");
  EXPECT_EQ(found["k"], 5);
  const auto cli = testing_support::kesto(testing_support::TempDir().path(), p.w.program_env(),
                                          "search --json --lexical --k 5 swab sampling point", false);
  ASSERT_EQ(cli.status, 0) << cli.err;
  std::vector<Record> lines;
  std::istringstream in(cli.out);
  for (std::string line; std::getline(in, line);) lines.push_back(Record::parse(line));
  ASSERT_EQ(found["hits"].size(), lines.size());
  ASSERT_FALSE(lines.empty());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const Record& h = found["hits"][i];
    for (const char* k : {"rank", "qd_number", "section_key", "document_name", "link", "snippet"}) {
      EXPECT_EQ(h[k], lines[i][k]) << i << " " << k;
    }
    EXPECT_NEAR(h["score"].get<double>(), lines[i]["score"].get<double>(), 1e-9);
    EXPECT_EQ(h["citation"].get<std::string>().rfind(h["qd_number"].get<std::string>() + " \u00a7", 0), 0u) << h;
    EXPECT_NE(h["citation"].get<std::string>().find(h["section_heading"].get<std::string>()), std::string::npos) << h;
  }
  EXPECT_EQ(found["hits"][0]["citation"], "QD-000958 \u00a73.2 Execution") << found.dump();

  // Documents: keyset pages, filters.
  const Record page1 = door.get_json("/api/documents?limit=2");
  ASSERT_EQ(page1["documents"].size(), 2u);
  EXPECT_EQ(page1["documents"][0]["document_number"], "QD-000958");
  EXPECT_EQ(page1["next_after"], "QD-001204");
  for (const char* k : {"document_number", "document_name", "blob_filename", "url_document_name", "status", "stage",
                        "error", "processed_at", "duration_s", "loss_report"}) {
    EXPECT_TRUE(page1["documents"][0].contains(k)) << k;
  }
  // Each row's loss report is the one its document's route gives, in the same key order.
  const Record all = door.get_json("/api/documents");
  ASSERT_EQ(all["documents"].size(), 3u);
  for (const Record& row : all["documents"]) {
    const std::string qd = row["document_number"].get<std::string>();
    EXPECT_TRUE(row["loss_report"].is_object()) << qd;
    EXPECT_EQ(row["loss_report"].dump(), door.get_json("/api/documents/" + qd)["loss_report"].dump()) << qd;
  }
  const Record page2 = door.get_json("/api/documents?limit=2&after=QD-001204");
  ASSERT_EQ(page2["documents"].size(), 1u);
  EXPECT_EQ(page2["documents"][0]["document_number"], "QD-002317");
  EXPECT_TRUE(page2["next_after"].is_null());
  EXPECT_EQ(door.get_json("/api/documents?status=PROCESSED")["documents"].size(), 3u);
  EXPECT_EQ(door.get_json("/api/documents?status=FAILED")["documents"].size(), 0u);
  const Record named = door.get_json("/api/documents?q=BATCH%20record");
  ASSERT_EQ(named["documents"].size(), 1u);
  EXPECT_EQ(named["documents"][0]["document_number"], "QD-001204");

  // One document: row, losses, index, artefacts with their digests, summary.
  const Record doc = door.get_json("/api/documents/qd-000958");
  EXPECT_EQ(doc["document"]["status"], "PROCESSED");
  EXPECT_TRUE(doc["loss_report"].is_object());
  EXPECT_TRUE(doc["index_counts"].is_object());
  EXPECT_GT(doc["index_sections"].get<long>(), 3);
  EXPECT_EQ(doc["artefacts"].size(), 5u) << doc["artefacts"].dump();
  for (const Record& a : doc["artefacts"]) {
    EXPECT_EQ(a["sha256"].get<std::string>().size(), 64u);
    EXPECT_GT(a["size_bytes"].get<long>(), 0);
  }
  EXPECT_TRUE(doc["summary"].is_string());

  const Record sections = door.get_json("/api/documents/QD-000958/sections");
  EXPECT_EQ(sections["sections"].size(), doc["index_sections"].get<std::size_t>());
  long last = -1;
  for (const Record& s : sections["sections"]) {
    EXPECT_GT(s["position"].get<long>(), last);
    last = s["position"].get<long>();
  }

  const Record audit = door.get_json("/api/documents/QD-000958/audit");
  EXPECT_EQ(audit["events"].size(), shared::host::audit_trail::history("QD-000958").size());
  const Record verified = door.get_json("/api/documents/QD-000958/audit?verify=1");
  EXPECT_EQ(verified["ok"], true) << verified.dump();
  EXPECT_EQ(verified["matching"], 5);

  const Record queue = door.get_json("/api/queue");
  for (const char* k : {"queue", "waiting", "poison_queue", "poison", "rows"}) EXPECT_TRUE(queue.contains(k)) << k;

  const Record overview = door.get_json("/api/overview");
  EXPECT_EQ(overview["by_status"]["PROCESSED"], 3);
  long per_hour = 0;
  for (const Record& h : overview["processed_per_hour"]) per_hour += h["count"].get<long>();
  EXPECT_EQ(per_hour, 3);
  EXPECT_TRUE(overview["queue"].is_object()) << overview.dump();
  EXPECT_TRUE(overview["latest_failures"].is_array());
}

TEST(Serve, BadParametersUnknownDocumentsAndRoutesGetTheErrorShape) {
  if (!pg_testing::have_cluster()) return;
  Processed p;
  Door door;
  struct Case {
    std::string path;
    int status;
    std::string code;
  };
  const std::vector<Case> cases = {
      {"/api/search?q=swab&k=0", 400, "bad_request"},
      {"/api/search?q=swab&k=101", 400, "bad_request"},
      {"/api/search?q=swab&k=ten", 400, "bad_request"},
      {"/api/search?q=swab&mode=fuzzy", 400, "bad_request"},
      {"/api/search?q=swab&mode=hybrid", 400, "bad_request"},
      {"/api/search?q=swab&qd=QD-", 400, "bad_request"},
      {"/api/search?q=swab&qd=%25", 400, "bad_request"},
      {"/api/search?q=", 400, "bad_request"},
      {"/api/search?q=" + std::string(1001, 'a'), 400, "bad_request"},
      {"/api/search?q=swab&q=gloves", 400, "bad_request"},
      {"/api/search?q=swab&x=1", 400, "bad_request"},
      {"/api/search?q=%FF%FE", 400, "bad_request"},
      {"/api/documents?limit=0", 400, "bad_request"},
      {"/api/documents?limit=201", 400, "bad_request"},
      {"/api/documents?status=DONE", 400, "bad_request"},
      {"/api/documents?after=QD-12a", 400, "bad_request"},
      {"/api/documents/QD-12a", 400, "bad_request"},
      {"/api/documents/%25", 400, "bad_request"},
      {"/api/documents/QD-999999", 404, "not_found"},
      {"/api/documents/QD-999999/sections", 404, "not_found"},
      {"/api/documents/QD-999999/audit", 404, "not_found"},
      {"/api/documents/QD-000958/audit?verify=yes", 400, "bad_request"},
      {"/api/nothing", 404, "not_found"},
      {"/", 404, "not_found"},
  };
  for (const Case& c : cases) expect_error(door.get(c.path, door.reader.key), c.status, c.code, c.path);
  auto c = door.client();
  auto wrong_method = c.Post("/api/search?q=swab", Door::bearer(door.reader.key), "", "text/plain");
  expect_error(wrong_method, 405, "method_not_allowed", "POST /api/search");
  if (wrong_method) { EXPECT_EQ(wrong_method->get_header_value("Allow"), "GET"); }
}

TEST(Serve, KeysAndRolesGuardEveryRoute) {
  if (!pg_testing::have_cluster()) return;
  Processed p;
  Door door;
  // Without a valid key: 401 on every route but health, with no detail of why.
  for (const std::string path : {"/metrics", "/api/search?q=swab", "/api/documents", "/api/documents/QD-000958",
                                 "/api/queue", "/api/overview", "/api/nothing"}) {
    for (const std::string& key : {std::string(), std::string("kesto_") + std::string(64, '0'), door.reader.key + "0",
                                   keys::make_key("x", "operator").line}) {
      auto r = door.get(path, key);
      expect_error(r, 401, "unauthorized", path + " with '" + key + "'");
      if (r) { EXPECT_EQ(r->get_header_value("WWW-Authenticate"), "Bearer"); }
    }
    auto basic = door.client().Get(path.c_str(), {{"Authorization", "Basic " + door.reader.key}});
    expect_error(basic, 401, "unauthorized", path + " basic");
  }
  // A key in the query string is refused whatever it is, even a valid one.
  for (const std::string& query : std::vector<std::string>{"key=" + door.reader.key, "api_key=x", "access_token=x",
                                                            "TOKEN=x", "q=" + door.reader.key}) {
    expect_error(door.get("/api/search?" + query, door.reader.key), 400, "bad_request", query);
    expect_error(door.get("/healthz?" + query, ""), 400, "bad_request", query);
  }
  // A reader may not act; the refusal is in the trail in its name.
  auto c = door.client();
  expect_error(c.Delete("/api/documents/QD-000958", Door::bearer(door.reader.key)), 403, "forbidden", "reader DELETE");
  expect_error(c.Post("/api/documents/QD-000958/reprocess", Door::bearer(door.reader.key), "", "text/plain"), 403,
               "forbidden", "reader POST");
  EXPECT_EQ(door.get_json("/api/documents/QD-000958")["document"]["status"], "PROCESSED");

  // An operator may: the document is queued, then deleted with a receipt.
  auto queued = c.Post("/api/documents/QD-000958/reprocess", Door::bearer(door.op.key), "", "text/plain");
  ASSERT_TRUE(queued);
  EXPECT_EQ(queued->status, 202) << queued->body;
  EXPECT_EQ(Record::parse(queued->body)["verdict"], "QUEUED") << queued->body;
  EXPECT_EQ(door.get_json("/api/queue")["waiting"], 1);
  expect_error(c.Post("/api/documents/QD-999999/reprocess", Door::bearer(door.op.key), "", "text/plain"), 404,
               "not_found", "reprocess unknown");

  auto deleted = c.Delete("/api/documents/QD-001204", Door::bearer(door.op.key));
  ASSERT_TRUE(deleted);
  ASSERT_EQ(deleted->status, 200) << deleted->body;
  const Record receipt = Record::parse(deleted->body);
  EXPECT_EQ(receipt["complete"], true) << deleted->body;
  EXPECT_EQ(receipt["receipt"]["verification"]["verified"], true);
  EXPECT_EQ(receipt["receipt"]["removed"].size(), 5u);
  expect_error(door.get("/api/documents/QD-001204", door.reader.key), 404, "not_found", "after deletion");
  expect_error(c.Delete("/api/documents/QD-001204", Door::bearer(door.op.key)), 404, "not_found", "deleted twice");

  // Every operator request is in the document's trail, with the key's name.
  std::vector<std::pair<std::string, bool>> seen;
  for (const std::string qd : {"QD-000958", "QD-001204"}) {
    for (const Record& e : shared::host::audit_trail::history(qd)) {
      if (e["action"] != "operator_request") continue;
      seen.emplace_back(e["host_user"].get<std::string>() + " " + e["detail"]["method"].get<std::string>() + " " + qd,
                        e["detail"]["allowed"].get<bool>());
    }
  }
  const std::vector<std::pair<std::string, bool>> expected = {{"reader-1 DELETE QD-000958", false},
                                                              {"reader-1 POST QD-000958", false},
                                                              {"operator-1 POST QD-000958", true},
                                                              {"operator-1 DELETE QD-001204", true},
                                                              {"operator-1 DELETE QD-001204", true}};
  EXPECT_EQ(seen, expected);
}

TEST(Serve, HostileRequestsLeaveTheServerAnswering) {
  if (!pg_testing::have_cluster()) return;
  Processed p;
  http::Options o;
  o.threads = 4;
  o.read_timeout_s = 1;
  o.write_timeout_s = 1;
  o.request_timeout_s = 2;
  o.max_body = 1024;
  Door door(o);
  auto still_answers = [&](const std::string& what) {
    auto r = door.get("/api/search?q=swab", door.reader.key);
    ASSERT_TRUE(r) << what;
    EXPECT_EQ(r->status, 200) << what;
  };

  // Too large a body, too long a header or request line.
  auto c = door.client();
  expect_error(c.Post("/api/documents/QD-000958/reprocess", Door::bearer(door.op.key), std::string(4096, 'x'),
                      "text/plain"),
               413, "payload_too_large", "large body");
  auto big_header = c.Get("/healthz", {{"X-Big", std::string(20000, 'h')}});
  if (big_header) { EXPECT_GE(big_header->status, 400); }
  auto long_line = c.Get(("/api/search?q=" + std::string(10000, 'a')).c_str(), Door::bearer(door.reader.key));
  if (long_line) { EXPECT_GE(long_line->status, 400); }
  still_answers("after large requests");

  // A client sending a byte at a time, each well within the read timeout,
  // is cut off at the request deadline.
  {
    const int fd = connect_to(door.port);
    const std::string start = "GET /api/documents HTTP/1.1\r\nHost: x\r\nX-Slow: ";
    ASSERT_EQ(::send(fd, start.data(), start.size(), 0), static_cast<ssize_t>(start.size()));
    bool closed = false;
    for (int i = 0; i < 100 && !closed; ++i) {  // 10 s at most; the deadline is 2 s
      ::send(fd, "a", 1, MSG_NOSIGNAL);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      closed = closed_by_server(fd);
    }
    EXPECT_TRUE(closed);
    ::close(fd);
  }
  still_answers("after a slow client");

  // Malformed requests.
  for (const std::string& raw : {std::string("GARBAGE\r\n\r\n"), std::string("GET\r\n\r\n"),
                                std::string("GET /healthz HTTP/1.1\r\nContent-Length: -5\r\n\r\n"),
                                std::string("\x16\x03\x01\x02\x00", 5)}) {
    const int fd = connect_to(door.port);
    ::send(fd, raw.data(), raw.size(), MSG_NOSIGNAL);
    ::shutdown(fd, SHUT_WR);
    char buf[512];
    while (::recv(fd, buf, sizeof buf, 0) > 0) {
    }
    ::close(fd);
  }
  still_answers("after malformed requests");

  // Paths that try to leave a document's.
  for (const std::string path : {"/api/documents/..%2F..%2Fetc%2Fpasswd", "/api/documents/QD-000958%2F..%2F..",
                                 "/api/documents/%2E%2E", "/api/documents/QD-000958%00", "/api/documents/..",
                                 "/api/documents/QD-000958/../../../metrics"}) {
    auto r = door.get(path, door.reader.key);
    ASSERT_TRUE(r) << path;
    EXPECT_TRUE(r->status == 400 || r->status == 404) << path << " " << r->status << " " << r->body;
    expect_error(r, r->status, r->status == 400 ? "bad_request" : "not_found", path);
  }

  // SQL and tsquery text is a question like any other.
  for (const std::string q : {"'; DROP TABLE sop_metadata; --", "a & b | !c", "(((", ":*", "swab:* & !", "\\",
                              "%_", "\"unclosed", "OR OR OR", "-", "1=1' OR '1'='1"}) {
    auto r = door.client().Get("/api/search", httplib::Params{{"q", q}}, Door::bearer(door.reader.key));
    ASSERT_TRUE(r) << q;
    EXPECT_TRUE(r->status == 200 || r->status == 400) << q << " " << r->body;
    if (r->status == 400) expect_error(r, 400, "bad_request", q);
    auto d = door.client().Get("/api/documents", httplib::Params{{"q", q}}, Door::bearer(door.reader.key));
    ASSERT_TRUE(d) << q;
    EXPECT_EQ(d->status, 200) << q << " " << d->body;
  }
  EXPECT_EQ(door.get_json("/api/documents")["documents"].size(), 3u);

  // 200 connections at once: every one answered, and the next one too.
  std::vector<std::thread> clients;
  std::atomic<int> ok{0};
  for (int i = 0; i < 200; ++i) {
    clients.emplace_back([&] {
      httplib::Client one("127.0.0.1", door.port);
      one.set_connection_timeout(10);
      one.set_read_timeout(30);
      auto r = one.Get("/healthz");
      if (r && r->status == 200) ++ok;
    });
  }
  for (auto& t : clients) t.join();
  EXPECT_EQ(ok.load(), 200);
  still_answers("after 200 connections");
}

TEST(Serve, ADatabaseOutOfReachIs503WithRetryAfterAndReadinessSaysWhy) {
  if (!pg_testing::have_cluster()) return;
  World w;
  shared::config::Settings s = w.settings;
  s.QUEUE_NAME = unique_queue();
  s.PGHOST = "127.0.0.1";
  s.PGPORT = "1";  // nothing listens there: connections are refused at once
  s.PGPASSWORD = "secret-password-never-shown";
  testing_support::ScopedSettings scoped(s);
  Door door;
  for (const std::string path : {"/api/documents", "/api/search?q=swab", "/api/documents/QD-000958",
                                 "/api/documents/QD-000958/sections", "/api/overview"}) {
    auto r = door.get(path, door.reader.key);
    expect_error(r, 503, "unavailable", path);
    if (r) { EXPECT_EQ(r->get_header_value("Retry-After"), "5") << path; }
    if (r) { EXPECT_EQ(r->body.find("secret-password"), std::string::npos) << path; }
  }
  Record ready;
  for (int i = 0; i < 200; ++i) {
    auto r = door.get("/readyz", door.reader.key);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 503);
    ready = Record::parse(r->body);
    if (ready["checks"]["database"]["reason"] != "not checked yet") break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(ready["status"], "not ready");
  EXPECT_EQ(ready["checks"]["database"], (Record{{"ok", false}, {"reason", "the database does not answer"}}));
  EXPECT_EQ(Record::parse(door.get("/readyz", "")->body), (Record{{"status", "not ready"}}));
  EXPECT_EQ(door.get("/healthz", "")->status, 200);
}

TEST(Serve, MetricsAreValidTextAndFollowTheDocuments) {
  if (!pg_testing::have_cluster()) return;
  World w;
  shared::config::Settings s = w.settings;
  s.QUEUE_NAME = unique_queue();
  testing_support::ScopedSettings scoped(s);
  Door door;
  auto scrape = [&] {
    auto r = door.get("/metrics", door.reader.key);
    EXPECT_TRUE(r);
    if (!r) return std::vector<Sample>();
    EXPECT_EQ(r->status, 200);
    EXPECT_EQ(r->get_header_value("Content-Type").rfind("text/plain; version=0.0.4", 0), 0u);
    return parse_prometheus(r->body);
  };
  expect_error(door.get("/metrics", ""), 401, "unauthorized", "metrics without a key");
  const auto before = scrape();
  EXPECT_EQ(value_of(before, "kesto_documents", {{"status", "PROCESSED"}}), 0);

  w.add_examples();
  w.run();
  door.get_json("/api/search?q=swab&mode=lexical");
  door.get_json("/api/search?q=batch%20record&mode=lexical");
  door.get("/api/search?q=swab&k=0", door.reader.key);
  const auto after = scrape();
  EXPECT_EQ(value_of(after, "kesto_documents", {{"status", "PROCESSED"}}), 3);
  EXPECT_GT(value_of(after, "kesto_index_sections"), 10);
  EXPECT_GT(value_of(after, "kesto_index_generation"), 0);
  EXPECT_EQ(value_of(after, "kesto_http_requests_total", {{"route", "/api/search"}, {"code", "200"}}), 2);
  EXPECT_EQ(value_of(after, "kesto_http_requests_total", {{"route", "/api/search"}, {"code", "400"}}), 1);
  EXPECT_EQ(value_of(after, "kesto_http_requests_total", {{"route", "/metrics"}, {"code", "401"}}), 1);
  EXPECT_EQ(value_of(after, "kesto_search_duration_seconds_count", {{"mode", "lexical"}}), 2);
  EXPECT_EQ(value_of(after, "kesto_http_request_duration_seconds_count", {{"route", "/api/search"}}), 3);
  bool queue_gauge = false;
  for (const Sample& x : after) queue_gauge = queue_gauge || x.name == "kesto_queue_messages";
  EXPECT_TRUE(queue_gauge);
}

TEST(Serve, DeletingADocumentAnotherProcessRunsIs409AndRemovesNothing) {
  if (!pg_testing::have_cluster()) return;
  Processed p;
  Door door;
  const std::string qd = "QD-001204";
  const std::vector<std::string> blobs = p.w.all_blobs();
  const Record before = door.get_json("/api/documents/" + qd);
  auto c = door.client();
  {
    // Another process runs the document: a run holds the document's lock on
    // its own database session for as long as it works on it.
    pg_testing::pg::PgConn other = pg_testing::connect_db(testing_support::env("PGDATABASE"));
    const std::string lock = "kesto.document:" + p.w.meta.name() + ":" + qd;
    ASSERT_TRUE(shared::connectors::pg::try_advisory_lock(other.get(), lock));
    auto busy = c.Delete(("/api/documents/" + qd).c_str(), Door::bearer(door.op.key));
    expect_error(busy, 409, "busy", "DELETE while another process runs it");
    if (busy) { EXPECT_NE(busy->body.find(qd), std::string::npos) << busy->body; }
    // Nothing of the document went: its blobs, its row, its index rows.
    EXPECT_EQ(p.w.all_blobs(), blobs);
    const Record still = door.get_json("/api/documents/" + qd);
    EXPECT_EQ(still["document"], before["document"]);
    EXPECT_EQ(still["index_sections"], before["index_sections"]);
    EXPECT_EQ(still["artefacts"], before["artefacts"]);
    // Given back before the connection closes: a closed session's locks go
    // only once its server process has ended.
    shared::connectors::pg::advisory_unlock(other.get(), lock);
  }
  // Once the run has ended the same request deletes it.
  auto deleted = c.Delete(("/api/documents/" + qd).c_str(), Door::bearer(door.op.key));
  ASSERT_TRUE(deleted);
  ASSERT_EQ(deleted->status, 200) << deleted->body;
  EXPECT_EQ(Record::parse(deleted->body)["complete"], true) << deleted->body;
  expect_error(door.get("/api/documents/" + qd, door.reader.key), 404, "not_found", "after the deletion");
}

TEST(Serve, StorageOutOfReachIs503WithRetryAfterAndNoConnectionString) {
  if (!pg_testing::have_cluster()) return;
  World w;
  shared::config::Settings s = w.settings;
  s.QUEUE_NAME = unique_queue();
  // The emulator's account at a port where nothing listens: connections are
  // refused at once.
  s.STORAGE_CONNECTION_STRING = std::regex_replace(s.STORAGE_CONNECTION_STRING, std::regex(R"(127\.0\.0\.1:\d+)"), "127.0.0.1:1");
  ASSERT_NE(s.STORAGE_CONNECTION_STRING.find("127.0.0.1:1/"), std::string::npos) << "an emulator connection string";
  auto part = [&](const std::string& name) {
    std::smatch m;
    EXPECT_TRUE(std::regex_search(s.STORAGE_CONNECTION_STRING, m, std::regex(name + "=([^;]+)"))) << name;
    return m.size() > 1 ? m[1].str() : name;
  };
  const std::string key = part("AccountKey"), account = part("AccountName");
  testing_support::ScopedSettings scoped(s);
  // The storage clients are kept per process: made again from these
  // settings now, and from the world's once the test ends.
  struct FreshClients {
    FreshClients() { reset(); }
    ~FreshClients() { reset(); }
    static void reset() {
      shared::connectors::blobhub::_reset_clients();
      shared::connectors::queuehub::_reset_clients();
    }
  } fresh;
  Door door;
  auto no_secret = [&](const httplib::Result& r, const std::string& what) {
    ASSERT_TRUE(r) << what;
    EXPECT_EQ(r->get_header_value("Retry-After"), "5") << what;
    for (const std::string& leak : {key, account, std::string("127.0.0.1:1"), std::string("Endpoint")}) {
      EXPECT_EQ(r->body.find(leak), std::string::npos) << what << " " << r->body;
    }
  };
  auto queue = door.get("/api/queue", door.reader.key);
  expect_error(queue, 503, "unavailable", "/api/queue");
  no_secret(queue, "/api/queue");

  Record ready;
  for (int i = 0; i < 400; ++i) {
    auto r = door.get("/readyz", door.reader.key);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 503);
    no_secret(r, "/readyz");
    ready = Record::parse(r->body);
    if (ready["checks"]["storage"]["reason"] != "not checked yet") break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(ready["status"], "not ready");
  EXPECT_EQ(ready["checks"]["storage"], (Record{{"ok", false}, {"reason", "storage does not answer"}}));
  EXPECT_EQ(ready["checks"]["database"]["ok"], true) << ready.dump();
  // What needs only the database still answers.
  EXPECT_TRUE(door.get_json("/api/documents")["documents"].is_array());
}

// `kesto worker` started with its metrics port; ended (SIGTERM, then
// SIGKILL when it does not end) when this goes.
struct BackgroundWorker {
  testing_support::TempDir dir;
  pid_t pid = -1;
  BackgroundWorker(const std::string& env, const std::string& args) {
    const std::string cmd = "cd '" + dir.path().string() + "' && exec env " + env + " '" +
                            (testing_support::binary_dir() / "kesto").string() + "' worker " + args +
                            " --log-level warning >worker.out 2>worker.err";
    pid = ::fork();
    if (pid == 0) {
      ::execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
  }
  ~BackgroundWorker() {
    ::kill(pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 600 && ::waitpid(pid, &status, WNOHANG) == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (::waitpid(pid, &status, WNOHANG) == 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
    }
  }
  std::string output() const {
    std::error_code ec;
    if (!std::filesystem::exists(dir / "worker.out", ec)) return "";
    return testing_support::read_bytes(dir / "worker.out");
  }
  // Waits until the output holds `text`, at most `seconds`.
  bool printed(const std::string& text, double seconds) const {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (output().find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
  }
};

TEST(WorkerMetricsPort, EachStageADocumentWentThroughHasItsDurations) {
  if (!pg_testing::have_cluster()) return;
  World w;
  shared::config::Settings s = w.settings;
  s.QUEUE_NAME = unique_queue();
  testing_support::ScopedSettings scoped(s);
  const auto& [name, qd] = host_world::kExamples[0];
  w.add_source(name, qd, testing_support::read_bytes(testing_support::source_dir() / "examples" / name));
  std::vector<std::string> verdicts;
  shared::host::worker::enqueue(shared::host::task::pending_tasks(s.MAX_BATCH_SIZE), {},
                                [&](const shared::host::task::Task&, const shared::host::worker::Enqueued& e) {
                                  verdicts.push_back(std::string(shared::host::task::word(e.verdict)));
                                });
  ASSERT_EQ(verdicts, std::vector<std::string>{"QUEUED"});

  BackgroundWorker worker(w.program_env() + "KESTO_QUEUE=" + s.QUEUE_NAME, "--metrics-listen 127.0.0.1:0 --idle-exit 300");
  ASSERT_TRUE(worker.printed("/metrics\n", 60)) << worker.output();
  std::smatch m;
  const std::string out = worker.output();
  ASSERT_TRUE(std::regex_search(out, m, std::regex(R"(metrics on http://127\.0\.0\.1:(\d+)/metrics)"))) << out;
  const int port = std::stoi(m[1]);
  ASSERT_GT(port, 0);
  ASSERT_TRUE(worker.printed(qd + "  PROCESSED", 300)) << worker.output();

  httplib::Client c("127.0.0.1", port);
  c.set_connection_timeout(5);
  c.set_read_timeout(10);
  const auto r = c.Get("/metrics");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  const std::vector<Sample> samples = parse_prometheus(r->body);
  EXPECT_EQ(value_of(samples, "kesto_worker_documents_total", {{"status", "PROCESSED"}}), 1) << r->body;
  for (const std::string stage :
       {"VALIDATION", "EXTRACTION", "STAMPING", "SECTIONING", "ENRICHMENT", "INDEXING", "SUMMARIZATION"}) {
    EXPECT_EQ(value_of(samples, "kesto_worker_stage_duration_seconds_count", {{"stage", stage}}), 1) << stage << "\n"
                                                                                                     << r->body;
    EXPECT_GE(value_of(samples, "kesto_worker_stage_duration_seconds_sum", {{"stage", stage}}), 0) << stage;
  }
}

}  // namespace
