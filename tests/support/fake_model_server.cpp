#include "support/fake_model_server.hpp"

#include <httplib.h>
#include <strings.h>

#include <condition_variable>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <thread>

#include "shared/errors.hpp"

namespace testing_support {

namespace {
using Json = nlohmann::ordered_json;

std::string dump(const Json& j) { return j.dump(-1, ' ', false, Json::error_handler_t::replace); }

// "chat", "embeddings" or "" for /openai/deployments/{name}/{operation}.
std::string operation_of(std::string_view path) {
  constexpr std::string_view prefix = "/openai/deployments/";
  if (path.substr(0, prefix.size()) != prefix) return "";
  path.remove_prefix(prefix.size());
  const std::size_t slash = path.find('/');
  if (slash == 0 || slash == std::string_view::npos) return "";
  const std::string_view operation = path.substr(slash + 1);
  if (operation == "chat/completions") return "chat";
  if (operation == "embeddings") return "embeddings";
  return "";
}

std::string first_header(const std::vector<std::pair<std::string, std::string>>& headers, std::string_view name) {
  for (const auto& [k, v] : headers) {
    if (k.size() == name.size() && ::strncasecmp(k.data(), name.data(), k.size()) == 0) return v;
  }
  return "";
}
}  // namespace

std::string RecordedRequest::header(std::string_view name) const { return first_header(headers, name); }

std::string azure_error_body(std::string_view code, std::string_view message) {
  return dump(Json{{"error", Json{{"code", std::string(code)}, {"message", std::string(message)}}}});
}

std::string chat_reply_body(std::string_view content) {
  Json message = {{"role", "assistant"}, {"content", std::string(content)}};
  Json choice = {{"index", 0}, {"finish_reason", "stop"}, {"message", message}};
  return dump(Json{{"id", "chatcmpl-fake"},
                   {"object", "chat.completion"},
                   {"model", "fake"},
                   {"choices", Json::array({choice})},
                   {"usage", Json{{"prompt_tokens", 1}, {"completion_tokens", 1}, {"total_tokens", 2}}}});
}

std::string embedding_reply_body(const std::vector<double>& vector) {
  Json item = {{"object", "embedding"}, {"index", 0}, {"embedding", vector}};
  return dump(Json{{"object", "list"}, {"data", Json::array({item})}, {"model", "fake"}});
}

struct FakeModelServer::Impl {
  httplib::Server server;
  std::thread thread;
  int port = 0;

  mutable std::mutex mu;
  std::condition_variable cv;
  std::vector<RecordedRequest> requests;
  std::deque<FakeReply> scripted;
  std::string chat_content = "# Summary\n- point";
  std::vector<double> embedding = {0.25, -0.5, 1.0};
  std::function<std::vector<double>(const std::string&)> embedding_function;
  std::string key;
  std::chrono::milliseconds delay{0};
  int hold_n = 0;
  bool released = false;
  int in_flight = 0;
  int max_in_flight = 0;

  FakeReply answer(const httplib::Request& req) {
    std::unique_lock lock(mu);
    RecordedRequest rec;
    rec.method = req.method;
    const std::size_t q = req.target.find('?');
    rec.path = req.target.substr(0, q);
    rec.query = q == std::string::npos ? "" : req.target.substr(q + 1);
    for (const auto& [k, v] : req.headers) rec.headers.emplace_back(k, v);
    rec.body = req.body;
    const std::string api_key = rec.header("api-key");
    const std::string path = rec.path;
    requests.push_back(std::move(rec));

    ++in_flight;
    max_in_flight = std::max(max_in_flight, in_flight);
    bool timed_out = false;
    if (hold_n > 0 && !released) {
      if (in_flight >= hold_n) {
        released = true;
        cv.notify_all();
      } else {
        timed_out = !cv.wait_for(lock, std::chrono::seconds(30), [&] { return released; });
      }
    }
    FakeReply reply;
    if (timed_out) {
      reply = {504, azure_error_body("Timeout", "the fake service held the request too long")};
    } else if (!key.empty() && api_key != key) {
      reply = {401, azure_error_body("401",
                                     "Access denied due to invalid subscription key or wrong API endpoint. Make sure "
                                     "to provide a valid key for an active subscription and use a correct regional "
                                     "API endpoint for your resource.")};
    } else if (!scripted.empty()) {
      reply = scripted.front();
      scripted.pop_front();
    } else if (req.method == "POST" && operation_of(path) == "chat") {
      reply = {200, chat_reply_body(chat_content)};
    } else if (req.method == "POST" && operation_of(path) == "embeddings") {
      if (embedding_function) {
        const Json body = Json::parse(req.body, nullptr, false);
        const std::string input = body.is_object() && body.contains("input") && body["input"].is_string()
                                      ? body["input"].get<std::string>()
                                      : std::string();
        reply = {200, embedding_reply_body(embedding_function(input))};
      } else {
        reply = {200, embedding_reply_body(embedding)};
      }
    } else {
      reply = {404, azure_error_body("404", "Resource not found")};
    }
    const auto wait = delay;
    lock.unlock();
    if (wait.count() > 0) std::this_thread::sleep_for(wait);
    lock.lock();
    --in_flight;
    return reply;
  }
};

FakeModelServer::FakeModelServer() : impl_(std::make_unique<Impl>()) {
  auto handler = [this](const httplib::Request& req, httplib::Response& res) {
    const FakeReply reply = impl_->answer(req);
    res.status = static_cast<int>(reply.status);
    res.set_content(reply.body, "application/json");
  };
  impl_->server.Post(".*", handler);
  impl_->server.Get(".*", handler);
  impl_->port = impl_->server.bind_to_any_port("127.0.0.1");
  if (impl_->port <= 0) throw std::runtime_error("fake model server: cannot bind 127.0.0.1");
  impl_->thread = std::thread([this] { impl_->server.listen_after_bind(); });
  // stop() before the accept loop runs would be lost, so wait until it runs.
  while (!impl_->server.is_running()) std::this_thread::yield();
}

FakeModelServer::~FakeModelServer() {
  {
    std::lock_guard lock(impl_->mu);
    impl_->released = true;
  }
  impl_->cv.notify_all();
  impl_->server.stop();
  if (impl_->thread.joinable()) impl_->thread.join();
}

std::string FakeModelServer::endpoint() const { return "http://127.0.0.1:" + std::to_string(impl_->port); }

void FakeModelServer::set_chat_content(std::string content) {
  std::lock_guard lock(impl_->mu);
  impl_->chat_content = std::move(content);
}

void FakeModelServer::set_embedding(std::vector<double> vector) {
  std::lock_guard lock(impl_->mu);
  impl_->embedding = std::move(vector);
}

void FakeModelServer::set_embedding_function(std::function<std::vector<double>(const std::string& input)> f) {
  std::lock_guard lock(impl_->mu);
  impl_->embedding_function = std::move(f);
}

void FakeModelServer::require_key(std::string key) {
  std::lock_guard lock(impl_->mu);
  impl_->key = std::move(key);
}

void FakeModelServer::fail(int times, long status, std::string message, std::string code) {
  std::lock_guard lock(impl_->mu);
  if (code.empty()) code = std::to_string(status);
  for (int i = 0; i < times; ++i) impl_->scripted.push_back({status, azure_error_body(code, message)});
}

void FakeModelServer::malformed(int times, std::string body) {
  std::lock_guard lock(impl_->mu);
  for (int i = 0; i < times; ++i) impl_->scripted.push_back({200, body});
}

void FakeModelServer::set_delay(std::chrono::milliseconds delay) {
  std::lock_guard lock(impl_->mu);
  impl_->delay = delay;
}

void FakeModelServer::hold_until_in_flight(int n) {
  std::lock_guard lock(impl_->mu);
  impl_->hold_n = n;
  impl_->released = false;
}

std::vector<RecordedRequest> FakeModelServer::requests() const {
  std::lock_guard lock(impl_->mu);
  return impl_->requests;
}

int FakeModelServer::max_in_flight() const {
  std::lock_guard lock(impl_->mu);
  return impl_->max_in_flight;
}

FakeTransport::FakeTransport(FakeReply default_reply) : default_(std::move(default_reply)) {}

shared::net::Response FakeTransport::send(const shared::net::Request& request) {
  FakeReply reply;
  {
    std::lock_guard lock(mu_);
    requests_.push_back(request);
    if (!scripted_.empty()) {
      reply = scripted_.front();
      scripted_.pop_front();
    } else {
      reply = default_;
    }
  }
  if (reply.status == 0 && reply.body.empty()) throw shared::TransportError("connection refused by the fake transport");
  shared::net::Response r;
  r.status = reply.status;
  r.headers = {{"Content-Type", "application/json"}};
  r.body = reply.body;
  return r;
}

void FakeTransport::script(FakeReply reply, int times) {
  std::lock_guard lock(mu_);
  for (int i = 0; i < times; ++i) scripted_.push_back(reply);
}

void FakeTransport::set_default(FakeReply reply) {
  std::lock_guard lock(mu_);
  default_ = std::move(reply);
}

void FakeTransport::clear() {
  std::lock_guard lock(mu_);
  scripted_.clear();
  requests_.clear();
}

std::vector<shared::net::Request> FakeTransport::requests() const {
  std::lock_guard lock(mu_);
  return requests_;
}

}  // namespace testing_support
