// The fixture of the document stage tests against the storage emulator: a
// container of the test's own in the output account, folders that differ from
// the defaults (so a stage that ignores a setting shows), a transport that can
// be told to refuse uploads, retry waits recorded instead of slept, and the
// stage log lines with their timings blanked.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "connectors/emulator.hpp"
#include "shared/connectors/blobhub.hpp"
#include "shared/record.hpp"
#include "support/testing.hpp"

namespace stage_fixture {

inline const std::string DOCS = "t-docs";
inline const std::string MARKDOWN = "t-markdown";
inline const std::string JSON = "t-json";
inline const std::string ENRICHED = "t-enriched";

// Passes requests to the real transport; while `refuse_uploads` is set, every
// Put Blob gets the service's 500 answer instead.
class FaultyTransport : public shared::net::Transport {
 public:
  explicit FaultyTransport(std::shared_ptr<shared::net::Transport> inner) : inner_(std::move(inner)) {}
  shared::net::Response send(const shared::net::Request& r) override {
    const bool container_request = r.url.find("restype=container") != std::string::npos;
    if (refuse_uploads && r.method == "PUT" && !container_request) {
      ++refused;
      return shared::net::Response{
          500, {{"x-ms-error-code", "InternalError"}},
          "<?xml version=\"1.0\" encoding=\"utf-8\"?><Error><Code>InternalError</Code><Message>refused by the "
          "test</Message></Error>"};
    }
    return inner_->send(r);
  }
  std::atomic<bool> refuse_uploads{false};
  std::atomic<int> refused{0};

 private:
  std::shared_ptr<shared::net::Transport> inner_;
};

// The captured lines with every "duration_ms" value replaced by 0.
inline std::vector<std::string> lines(const testing_support::LogCapture& cap) {
  static const std::string name = "\"duration_ms\": ";
  std::vector<std::string> out;
  for (std::string l : cap.lines()) {
    for (std::size_t at = l.find(name); at != std::string::npos; at = l.find(name, at + 1)) {
      const std::size_t value = at + name.size();
      std::size_t end = value;
      while (end < l.size() && std::string_view("-+0123456789.eE").find(l[end]) != std::string_view::npos) ++end;
      l.replace(value, end - value, "0");
    }
    out.push_back(std::move(l));
  }
  return out;
}

// Only the lines of pipeline stages (those carrying a "stage" member).
inline std::vector<std::string> stage_lines(const testing_support::LogCapture& cap) {
  std::vector<std::string> out;
  for (const std::string& l : lines(cap)) {
    if (l.find("\"stage\": \"") != std::string::npos) out.push_back(l);
  }
  return out;
}

class StageTest : public ::testing::Test {
 protected:
  static shared::config::Settings settings() {
    shared::config::Settings s;
    s.STORAGE_CONNECTION_STRING = emulator::output_connection();
    s.STORAGE_CONTAINER_NAME = emulator::unique_container("stage");
    s.BLOB_FOLDER_DOCUMENTS = DOCS;
    s.BLOB_FOLDER_MARKDOWN = MARKDOWN;
    s.BLOB_FOLDER_JSON = JSON;
    s.BLOB_FOLDER_ENRICHED_JSON = ENRICHED;
    return s;
  }

  StageTest()
      : scoped_(settings()),
        transport(std::make_shared<FaultyTransport>(shared::net::make_curl_transport())),
        container(shared::config::get().STORAGE_CONTAINER_NAME),
        account(shared::connectors::BlobServiceClient::from_connection_string(emulator::output_connection())) {
    shared::connectors::blobhub::_reset_clients();
    shared::connectors::blobhub::_set_client_options({.transport = transport});
    account.get_container_client(container).create();
    // Created now so that its one-time log line is not part of any test's lines.
    shared::connectors::blobhub::_get_output_blob_client();
  }
  ~StageTest() override {
    shared::connectors::blobhub::_reset_clients();
    shared::connectors::blobhub::_set_client_options({});
    try {
      account.get_container_client(container).delete_container();
    } catch (const std::exception&) {
    }
  }

  // Writes a blob directly, past the code under test.
  void put(const std::string& path, const std::string& bytes, const std::string& content_type = "") {
    account.get_blob_client(container, path).upload(bytes, {.overwrite = true, .content_type = content_type});
  }
  std::string get(const std::string& path) const { return account.get_blob_client(container, path).download(); }
  std::string content_type(const std::string& path) const {
    return account.get_blob_client(container, path).get_properties().content_type;
  }
  // Every blob of the container with its content.
  std::map<std::string, std::string> blobs() const {
    std::map<std::string, std::string> out;
    for (const std::string& name : account.get_container_client(container).list_blob_names()) out[name] = get(name);
    return out;
  }
  // The blobs of one folder with their content.
  std::map<std::string, std::string> blobs_in(const std::string& folder) const {
    std::map<std::string, std::string> out;
    for (const auto& [name, bytes] : blobs()) {
      if (name.rfind(folder + "/", 0) == 0) out[name] = bytes;
    }
    return out;
  }

  // One way a stage run must fail: `bytes` at the input blob ("-": no blob),
  // uploads refused or not, the context the run starts from, the message (the
  // whole of it, or a part of it after "~") and the stage lines written.
  struct FailureCase {
    const char* name;
    std::string bytes;
    shared::Record context;
    bool refuse_uploads;
    std::string message;
    std::vector<std::string> stage_lines;
  };

  // Puts the case's input at `input_path`, runs `run` on a copy of its
  // context, and checks that it raised the case's message, left the context
  // and every blob as they were and wrote exactly the case's stage lines.
  // `also` adds a stage's own checks, under the same trace.
  void expect_failure(const std::string& input_path, const FailureCase& c,
                      const std::function<void(shared::Record&)>& run,
                      const std::function<void(const testing_support::LogCapture&)>& also = {}) {
    SCOPED_TRACE(c.name);
    const auto input = account.get_blob_client(container, input_path);
    if (input.exists()) input.delete_blob();
    if (c.bytes != "-") put(input_path, c.bytes);
    const auto blobs_before = blobs();
    transport->refuse_uploads = c.refuse_uploads;
    shared::Record context = c.context;
    testing_support::LogCapture cap;
    try {
      run(context);
      ADD_FAILURE() << "no error";
    } catch (const std::exception& e) {
      if (c.message.rfind("~", 0) == 0) {
        EXPECT_NE(std::string(e.what()).find(c.message.substr(1)), std::string::npos) << e.what();
      } else {
        EXPECT_EQ(std::string(e.what()), c.message);
      }
    }
    transport->refuse_uploads = false;
    EXPECT_EQ(context.dump(), c.context.dump());
    EXPECT_EQ(blobs(), blobs_before);
    EXPECT_EQ(stage_lines(cap), c.stage_lines);
    if (also) also(cap);
  }

 private:
  testing_support::ScopedSettings scoped_;
  // Retried failures wait for nothing.
  testing_support::RecordedSleeps sleeps_;

 protected:
  std::shared_ptr<FaultyTransport> transport;
  std::string container;
  shared::connectors::BlobServiceClient account;
};

// The JSON line a stage writes after run() set its stage and the document
// {"id": "42", "file_name": "SOP-001.docx"}: `message` as it stands in the
// line (escaped, ASCII), then `extra` members (", \"name\": value").
inline std::string stage_line(const std::string& message, const std::string& stage, const std::string& extra = "") {
  return "{\"message\": \"" + message + "\", \"stage\": \"" + stage +
         "\", \"document_id\": \"42\", \"document_name\": \"SOP-001.docx\"" + extra + "}";
}

// The two lines of a stage's timer around a block.
inline std::string started(const std::string& label, const std::string& stage) {
  return stage_line("[" + label + "] started", stage);
}
inline std::string completed(const std::string& label, const std::string& stage) {
  return stage_line("[" + label + "] completed", stage, ", \"duration_ms\": 0");
}

// The blob module's own lines.
inline std::string download_line(const std::string& path, const std::string& container, std::size_t n) {
  return "{\"message\": \"download_blob('" + path + "', container='" + container + "') -> " + std::to_string(n) +
         " bytes\"}";
}
inline std::string upload_line(const std::string& path, const std::string& container, std::size_t n) {
  return "{\"message\": \"upload_blob('" + path + "', container='" + container + "') -> " + std::to_string(n) +
         " bytes\"}";
}

// The record every stage test runs with, plus `more` members.
inline shared::Record document(const shared::Record& more = shared::Record::object()) {
  shared::Record doc = {{"id", "42"}, {"file_name", "SOP-001.docx"}};
  for (auto it = more.begin(); it != more.end(); ++it) doc[it.key()] = it.value();
  return doc;
}

}  // namespace stage_fixture
