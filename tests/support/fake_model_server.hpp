// Stand-ins for the Azure OpenAI service in tests: a small HTTP server on
// 127.0.0.1 (a free port) that speaks the two REST operations the pipeline
// uses, and a recording in-process Transport. Both record every request and
// can be told to fail, answer malformed JSON or (the server) hold and delay.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "shared/net/http.hpp"

namespace testing_support {

struct RecordedRequest {
  std::string method;
  std::string path;   // without the query
  std::string query;  // the raw text after "?", "" when none
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  // The first header of that name (any case), or "".
  std::string header(std::string_view name) const;
};

// A reply as the fake service sends it.
struct FakeReply {
  long status = 200;
  std::string body;
};

// {"error": {"code": code, "message": message}}, as Azure OpenAI reports failures.
std::string azure_error_body(std::string_view code, std::string_view message);
// A chat completion whose first choice's message content is `content`.
std::string chat_reply_body(std::string_view content);
// An embedding list whose first item is `vector`.
std::string embedding_reply_body(const std::vector<double>& vector);

class FakeModelServer {
 public:
  // Listening on 127.0.0.1 on a free port when the constructor returns.
  FakeModelServer();
  ~FakeModelServer();
  FakeModelServer(const FakeModelServer&) = delete;
  FakeModelServer& operator=(const FakeModelServer&) = delete;

  // "http://127.0.0.1:PORT".
  std::string endpoint() const;

  // What successful requests get: the assistant content of a chat
  // completion, the vector of an embedding.
  void set_chat_content(std::string content);
  void set_embedding(std::vector<double> vector);
  // Successful embedding requests get `f(input)` instead: a stand-in model
  // whose vectors depend on the text.
  void set_embedding_function(std::function<std::vector<double>(const std::string& input)> f);
  // When set, a request whose "api-key" header differs gets 401.
  void require_key(std::string key);
  // The next `times` requests get `status` with an Azure error body.
  void fail(int times, long status, std::string message, std::string code = "");
  // The next `times` requests get status 200 with `body` (by default JSON
  // that breaks off).
  void malformed(int times, std::string body = "{\"choices\": [");
  // Every answer is sent that much later.
  void set_delay(std::chrono::milliseconds delay);
  // Every request waits until `n` requests are being handled at once (or
  // 30 s have passed, then it gets 504), so tests can prove requests overlap.
  void hold_until_in_flight(int n);

  std::vector<RecordedRequest> requests() const;
  // The most requests handled at the same time so far.
  int max_in_flight() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// A Transport that records each request and answers from a queue of
// scripted replies (a scripted TransportError when the body is empty and the
// status 0), then with the default reply.
class FakeTransport : public shared::net::Transport {
 public:
  explicit FakeTransport(FakeReply default_reply = {});
  shared::net::Response send(const shared::net::Request& request) override;

  void script(FakeReply reply, int times = 1);
  void set_default(FakeReply reply);
  // Forgets the recorded requests and the scripted replies.
  void clear();
  std::vector<shared::net::Request> requests() const;

 private:
  mutable std::mutex mu_;
  std::deque<FakeReply> scripted_;
  FakeReply default_;
  std::vector<shared::net::Request> requests_;
};

}  // namespace testing_support
