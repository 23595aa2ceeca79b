// The work queue's boundary: what a message may hold before a worker runs
// it (a message is untrusted input), the poison queue's copy of any message,
// and the queue names the settings may give.
#include <gtest/gtest.h>
#include <signal.h>

#include <sstream>

#include <string>
#include <vector>

#include "shared/connectors/queue_client.hpp"
#include "shared/errors.hpp"
#include "shared/host/task.hpp"
#include "shared/host/worker.hpp"
#include "shared/text/utf8.hpp"
#include "support/testing.hpp"

using shared::Record;
using shared::connectors::QUEUE_MESSAGE_MAX_TEXT;
namespace worker = shared::host::worker;
using shared::host::task::Action;
using shared::host::task::Status;

namespace {

const std::string kDoc = R"({"document_number":"QD-900002","blob_filename":"x QD-900002.docx"})";

// A process message with `members` added (each starting with ",").
std::string message(const std::string& members, const std::string& doc = kDoc) {
  return R"({"action":"process","doc":)" + doc + R"(,"batch_size":1)" + members + "}";
}

std::string doc_with_name(const std::string& json_name) {
  return R"({"document_number":"QD-1","blob_filename":)" + json_name + "}";
}

std::string what_refuses(const std::string& text) {
  try {
    worker::parse_message(text);
  } catch (const shared::ValueError& e) {
    return e.what();
  }
  return "(taken)";
}

}  // namespace

TEST(QueueMessage, TasksAsEnqueueWritesThemAreTaken) {
  const worker::QueueTask t = worker::parse_message(message(R"(,"local_file":"")"));
  EXPECT_EQ(t.task.action, Action::Process);
  EXPECT_EQ(t.task.doc, Record::parse(kDoc));
  EXPECT_EQ(t.task.batch_size, 1);
  EXPECT_EQ(t.task.local_file, "");
  EXPECT_FALSE(t.task.uploaded);
  EXPECT_FALSE(t.force);
  EXPECT_FALSE(t.row_mark.has_value());

  worker::QueueTask full;
  full.task = {.action = Action::Delete,
               .doc = Record{{"document_number", "QD-7"}, {"blob_filename", "sub/Reinigung \xC3\xA4.docx"},
                             {"id", 12}, {"ok", true}, {"url_document_name", nullptr}},
               .batch_size = 500,
               .uploaded = true};
  full.force = true;
  full.row_mark = "1733750000.123456";
  full.lock_waits = 2;
  full.last_error = "storage unreachable";
  const worker::QueueTask back = worker::parse_message(worker::message_text(full));
  EXPECT_EQ(worker::message_text(back), worker::message_text(full));

  // A deletion may name no file; a copy taken back from the poison queue
  // still counts as a task.
  EXPECT_NO_THROW(worker::parse_message(R"({"action":"delete","doc":{"document_number":"QD-1"},"batch_size":3})"));
  EXPECT_NO_THROW(worker::parse_message(message(R"(,"last_error":"x","dequeue_count":6)")));
}

TEST(QueueMessage, AnythingElseIsRefusedSayingWhy) {
  const std::string long_name = "\"" + std::string(1020, 'a') + ".docx\"";
  std::string many = "{";
  for (int i = 0; i <= 100; ++i) many += (i ? ",\"k" : "\"k") + std::to_string(i) + "\":1";
  many += R"(,"blob_filename":"x.docx"})";
  const std::string deep = std::string(20000, '[') + std::string(20000, ']');
  const std::vector<std::pair<std::string, std::string>> cases = {
      {message(R"(,"local_file":".env")"), "a queue message may not name a local file"},
      {message(R"(,"local_file":"/etc/passwd")"), "a queue message may not name a local file"},
      {message(R"(,"local_file":1)"), "a queue message may not name a local file"},
      {message(R"(,"local_file":null)"), "a queue message may not name a local file"},
      {R"({"action":"run","doc":{"blob_filename":"x.docx"},"batch_size":1})", "action must be"},
      {R"({"doc":{"blob_filename":"x.docx"},"batch_size":1})", "action must be"},
      {R"({"action":["process"],"doc":{"blob_filename":"x.docx"},"batch_size":1})", "action must be"},
      {message("", "[]"), "doc must be an object"},
      {message("", R"({"blob_filename":"x.docx","x":{"y":1}})"), "doc.x must be a text, a number"},
      {message("", R"({"blob_filename":"x.docx","x":[1]})"), "doc.x must be a text, a number"},
      {message("", many), "more than 100"},
      {message("", R"({"blob_filename":"x.docx","n":")" + std::string(16 * 1024 + 1, 'n') + "\"}"),
       "doc.n is 16385 bytes"},
      {message("", R"({"blob_filename":"x.docx",")" + std::string(129, 'k') + R"(":1})"), "name is 129 bytes"},
      {message("", doc_with_name(R"("../kesto-ml-dev-markdown-files/x QD-1.docx")")), "a \"..\" path segment"},
      {message("", doc_with_name(R"("a/../../b.docx")")), "a \"..\" path segment"},
      {message("", doc_with_name(R"("a/./b.docx")")), "a \".\" path segment"},
      {message("", doc_with_name(R"("/etc/x.docx")")), "starts with \"/\""},
      {message("", doc_with_name(R"("a//b.docx")")), "an empty path segment"},
      {message("", doc_with_name(R"("dir/")")), "an empty path segment"},
      {message("", doc_with_name(R"("a\\..\\b.docx")")), "a backslash"},
      {message("", doc_with_name(R"("x\u0007.docx")")), "a control character"},
      {message("", doc_with_name(R"("x\r\n.docx")")), "a control character"},
      {message("", doc_with_name(R"("x\u007f.docx")")), "a control character"},
      {message("", doc_with_name(R"("x\u0085.docx")")), "a control character"},
      {message("", doc_with_name(long_name)), "1025 bytes, more than 1024"},
      {message("", doc_with_name("5")), "doc.blob_filename must be a text"},
      {message("", R"({"document_number":"QD-1"})"), "doc.blob_filename is missing"},
      {R"({"action":"process","doc":{"blob_filename":"x.docx"}})", "batch_size is missing"},
      {R"({"action":"process","doc":{"blob_filename":"x.docx"},"batch_size":0})", "batch_size must be"},
      {R"({"action":"process","doc":{"blob_filename":"x.docx"},"batch_size":-1})", "batch_size must be"},
      {R"({"action":"process","doc":{"blob_filename":"x.docx"},"batch_size":501})", "batch_size must be"},
      {R"({"action":"process","doc":{"blob_filename":"x.docx"},"batch_size":1.5})", "batch_size must be"},
      {R"({"action":"process","doc":{"blob_filename":"x.docx"},"batch_size":"1"})", "batch_size must be"},
      {R"({"action":"process","doc":{"blob_filename":"x.docx"},"batch_size":18446744073709551615})",
       "batch_size must be"},
      {message(R"(,"uploaded":"yes")"), "uploaded must be true or false"},
      {message(R"(,"force":1)"), "force must be true or false"},
      {message(R"(,"lock_waits":-1)"), "lock_waits must be"},
      {message(R"(,"row_mark":"1; DROP TABLE x")"), "row_mark must be"},
      {message(R"(,"last_error":{})"), "last_error must be a text"},
      {message(R"(,"command":"rm -rf /")"), "unknown member 'command'"},
      {"not json", "not JSON"},
      {"[1]", "not a JSON object"},
      {message("", "{\"blob_filename\":\"x\xFF.docx\"}"), "not JSON"},
      {deep, "not a JSON object"},
      {message(R"(,"last_error":")" + std::string(QUEUE_MESSAGE_MAX_TEXT, 'e') + "\""),
       "; a queue message holds at most 49152"},
  };
  shared::config::Settings s;
  s.MAX_BATCH_SIZE = 500;
  testing_support::ScopedSettings scoped(s);
  for (const auto& [text, why] : cases) {
    EXPECT_NE(what_refuses(text).find(why), std::string::npos)
        << text.substr(0, 200) << "\n  refused with: " << what_refuses(text);
  }
  worker::QueueTask local;
  local.task = {.action = Action::Process, .doc = Record::parse(kDoc), .local_file = "/home/x/secret.docx"};
  EXPECT_THROW(worker::message_text(local), shared::ValueError);
}

TEST(QueueMessage, TheWorkerProcessChecksEveryTaskAgain) {
  testing_support::TempDir dir;
  testing_support::write_bytes(dir / "secret.docx", "of this machine");
  std::istringstream in(message(R"(,"local_file":")" + (dir / "secret.docx").string() + "\"") + "\n" +
                        message("", doc_with_name(R"("../x.docx")")) + "\n");
  std::ostringstream out;
  struct sigaction saved {};
  ::sigaction(SIGINT, nullptr, &saved);
  EXPECT_EQ(worker::serve_tasks(in, out), 0);
  ::sigaction(SIGINT, &saved, nullptr);
  std::istringstream lines(out.str());
  std::string line;
  std::vector<std::string> errors;
  while (std::getline(lines, line)) {
    const auto o = shared::host::task::outcome_from_record(Record::parse(line));
    EXPECT_EQ(o.status, Status::Error);
    errors.push_back(o.error);
  }
  ASSERT_EQ(errors.size(), 2u) << out.str();
  EXPECT_EQ(errors[0], "not a task: local_file: a queue message may not name a local file");
  EXPECT_EQ(errors[1], "not a task: doc.blob_filename has a \"..\" path segment");
}

TEST(QueueMessage, PoisonCopyFitsInAMessageWhateverTheMessage) {
  const worker::QueueTask task = worker::parse_message(message(""));
  struct Case {
    std::string name, text;
    bool is_task, cut;
    std::string why = "not a task: something";
  };
  std::string umlauts;
  for (std::size_t i = 0; i < QUEUE_MESSAGE_MAX_TEXT / 2; ++i) umlauts += "\xC3\xA4";
  const std::vector<Case> cases = {
      {"a task", message(""), true, false, "taken 6 times without an outcome"},
      {"short text", "not json", false, false},
      {"plain, the most a client sends encoded", std::string(QUEUE_MESSAGE_MAX_TEXT, 'x'), false, true},
      {"quotes, escaped to twice their size", std::string(QUEUE_MESSAGE_MAX_TEXT, '"'), false, true},
      {"control bytes, escaped to six times", std::string(QUEUE_MESSAGE_MAX_TEXT, '\x01'), false, true},
      {"not UTF-8", std::string(QUEUE_MESSAGE_MAX_TEXT, '\xFF'), false, true},
      {"two-byte characters", umlauts, false, true},
      {"64 KiB, as a client that does not encode sends", std::string(64 * 1024, 'y'), false, true},
      {"a reason of its own too big", "short", false, true, std::string(100000, 'r')},
  };
  for (const Case& c : cases) {
    const std::string out = worker::poison_text(c.text, c.is_task ? &task : nullptr, c.why, 6);
    ASSERT_FALSE(out.empty()) << c.name;
    EXPECT_LE(out.size(), QUEUE_MESSAGE_MAX_TEXT) << c.name;
    const Record copy = Record::parse(out);
    EXPECT_EQ(copy.at("dequeue_count"), 6) << c.name;
    EXPECT_EQ(copy.contains("truncated"), c.cut) << c.name;
    const std::string last = copy.at("last_error").get<std::string>();
    EXPECT_EQ(last.substr(0, 20), c.why.substr(0, 20)) << c.name;
    if (!c.cut) {
      EXPECT_EQ(last, c.why) << c.name;
      if (c.is_task) { EXPECT_EQ(copy.at("doc"), Record::parse(kDoc)); }
      if (!c.is_task) { EXPECT_EQ(copy.at("text"), c.text); }
      continue;
    }
    EXPECT_EQ(copy.at("bytes"), c.text.size()) << c.name;
    const std::string kept = copy.at("text").get<std::string>();
    if (shared::text::is_valid(c.text)) {
      EXPECT_EQ(c.text.compare(0, kept.size(), kept), 0) << c.name << ": not the message's beginning";
      // Cut to fit, not to nothing.
      if (c.text.size() >= QUEUE_MESSAGE_MAX_TEXT) { EXPECT_GT(out.size(), QUEUE_MESSAGE_MAX_TEXT - 64) << c.name; }
      if (c.text.size() < 100) { EXPECT_EQ(kept, c.text) << c.name; }
    }
  }
}

TEST(QueueNames, TheQueueAndItsPoisonQueueMustBeNamesTheServiceTakes) {
  const std::vector<std::pair<std::string, bool>> names = {
      {"kesto-documents", true},       {"abc", true},
      {std::string(56, 'q'), true},    {std::string(57, 'q'), false},  // "-poison" makes 64
      {std::string(63, 'q'), false},   {std::string(64, 'q'), false},
      {"ab", false},                   {"Kesto-documents", false},
      {"kesto--documents", false},     {"-kesto", false},
      {"kesto-", false},               {"kesto_documents", false},
      {"", false}};
  for (const auto& [name, ok] : names) {
    shared::config::Settings s;
    s.QUEUE_NAME = name;
    testing_support::ScopedSettings scoped(s);
    if (ok) {
      EXPECT_EQ(worker::queue_settings().poison_queue, name + "-poison");
      EXPECT_TRUE(shared::connectors::is_valid_queue_name(name + "-poison"));
    } else {
      try {
        worker::queue_settings();
        ADD_FAILURE() << "accepted '" << name << "'";
      } catch (const shared::ValueError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("KESTO_QUEUE ", 0), 0u) << e.what();
      }
    }
  }
}

TEST(QueueNames, EveryCommandOfTheQueueRefusesAnUnusableNameAtStart) {
  testing_support::TempDir dir;
  testing_support::write_bytes(dir / "x QD-1.docx", "x");
  // Settings that would reach nothing; the name is refused before anything is asked.
  const std::string env =
      "STORAGE_ACCOUNT_CONNECTION_STRING='DefaultEndpointsProtocol=http;AccountName=acct;AccountKey=YWI=;"
      "BlobEndpoint=http://127.0.0.1:9/acct;QueueEndpoint=http://127.0.0.1:9/acct;' STORAGE_CONTAINER_NAME=c "
      "PGHOST=127.0.0.1 PGPORT=9 PGUSER=u PGDATABASE=d SUMMARY_ENGINE=outline KESTO_QUEUE=" +
      std::string(57, 'q');
  for (const char* args : {"queue status", "worker --idle-exit 0", "enqueue 'x QD-1.docx'"}) {
    const auto r = testing_support::kesto(dir.path(), env, args);
    EXPECT_EQ(r.status, 2) << args << "\n" << r.out << r.err;
    EXPECT_NE(r.err.find("KESTO_QUEUE '" + std::string(57, 'q') + "' is not usable"), std::string::npos)
        << args << "\n" << r.err;
  }
}
