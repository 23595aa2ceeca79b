#include "shared/net/azure_openai.hpp"

#include <algorithm>
#include <cmath>

#include "shared/errors.hpp"
#include "shared/logsetup.hpp"
#include "shared/record.hpp"
#include "shared/retry.hpp"
#include "shared/text/percent.hpp"
#include "shared/text/pyjson.hpp"
#include "shared/text/utf8.hpp"

namespace shared::net::azure_openai {

namespace {

constexpr const char* kChatWhat = "Azure OpenAI chat completion";
constexpr const char* kEmbeddingWhat = "Azure OpenAI embedding";
constexpr std::size_t kMaxQuotedBody = 300;

void check_config(const ClientConfig& c) {
  const std::pair<const char*, const std::string*> required[] = {
      {"endpoint", &c.endpoint}, {"deployment", &c.deployment}, {"API version", &c.api_version}};
  for (const auto& [name, value] : required) {
    if (value->empty()) throw ValueError(std::string("Azure OpenAI client: no ") + name + " given");
  }
  if (c.api_key.empty() && !c.bearer_token) throw ValueError("Azure OpenAI client: no API key or token source given");
  if (!c.transport) throw ValueError("Azure OpenAI client: no transport given");
  if (c.max_retries < 0) throw ValueError("Azure OpenAI client: max_retries must not be negative");
}

// A body quoted in an error: at most kMaxQuotedBody bytes, cut on a code
// point boundary so the message stays valid UTF-8.
std::string quoted_body(std::string_view body) {
  std::string_view s = text::strip(body);
  if (s.size() <= kMaxQuotedBody) return std::string(s);
  std::size_t cut = kMaxQuotedBody;
  while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
  return std::string(s.substr(0, cut)) + "\u2026";
}

[[noreturn]] void throw_failure(const ClientConfig& c, const char* what, const Response& r) {
  std::string message, code;
  const Record j = Record::parse(r.body, nullptr, false);
  if (!j.is_discarded() && j.is_object()) {
    const Record* err = record::find(j, "error");
    if (err != nullptr && err->is_object()) {
      if (const Record* m = record::find(*err, "message"); m != nullptr && !m->is_null()) message = record::text_of(*m);
      if (const Record* k = record::find(*err, "code"); k != nullptr && !k->is_null()) code = record::text_of(*k);
    } else if (err != nullptr && err->is_string()) {
      message = err->get<std::string>();
    } else if (const Record* m = record::find(j, "message"); m != nullptr && m->is_string()) {
      message = m->get<std::string>();
    }
  }
  if (message.empty()) message = quoted_body(r.body);
  if (message.empty()) message = "the service sent no error message";
  std::string text = std::string(what) + " failed (HTTP " + std::to_string(r.status) + "): " + message;
  if (c.api_key.empty() && (r.status == 401 || r.status == 403)) {
    text += " - signed in with Microsoft Entra ID: the identity needs the role Cognitive Services OpenAI User on "
            "the resource, and tokens for https://cognitiveservices.azure.com";
  }
  // The service may echo what it was sent; the key must never reach a log or result.
  throw ServiceError(redact(std::move(text), c.api_key), r.status, redact(std::move(code), c.api_key));
}

[[noreturn]] void throw_malformed(const char* what, long status, const std::string& detail) {
  throw ServiceError(std::string(what) + " returned a malformed reply (HTTP " + std::to_string(status) + "): " + detail,
                     status, "");
}

// The statuses any service error counts as passing, and 409 (conflict),
// which this client tries again as well.
bool retryable_status(long status) { return ServiceError::transient_status(status) || status == 409; }

double transport_retry_delay(int retry_number) { return std::min(0.5 * std::pow(2.0, retry_number - 1), 8.0); }

Response send_with_retries(const ClientConfig& c, const Request& request, const char* what) {
  for (int attempt = 0;; ++attempt) {
    std::string reason;
    try {
      Response r = c.transport->send(request);
      if (!retryable_status(r.status) || attempt >= c.max_retries) return r;
      reason = "HTTP " + std::to_string(r.status);
    } catch (const TransportError& e) {
      if (attempt >= c.max_retries) throw;
      reason = e.what();
    }
    const double delay = transport_retry_delay(attempt + 1);
    logsetup::get_logger("shared.net.azure_openai")
        .warning(std::string(what) + " request failed (" + redact(reason, c.api_key) + "); retry " +
                 std::to_string(attempt + 1) + "/" + std::to_string(c.max_retries) + " in " +
                 retry::format_delay(delay) + "s");
    retry::sleep_for(delay);
  }
}

Request json_post(const ClientConfig& c, std::string_view operation, std::string body) {
  Request req;
  req.method = "POST";
  req.url = request_url(c, operation);
  req.headers = {{"Content-Type", "application/json"}, {"Accept", "application/json"}};
  if (!c.api_key.empty()) {
    req.headers.emplace_back("api-key", c.api_key);
  } else {
    req.headers.emplace_back("Authorization", "Bearer " + c.bearer_token());
  }
  req.body = std::move(body);
  return req;
}

Record parse_success(const char* what, const Response& r) {
  Record j = Record::parse(r.body, nullptr, false);
  if (j.is_discarded()) throw_malformed(what, r.status, "not JSON: " + quoted_body(r.body));
  if (!j.is_object()) throw_malformed(what, r.status, "not a JSON object");
  return j;
}

bool is_name_char(char ch) {
  return ch == '_' || (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9');
}

std::string fill(std::string_view text, const std::map<std::string, std::string>& values) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const char ch = text[i];
    if ((ch == '{' || ch == '}') && i + 1 < text.size() && text[i + 1] == ch) {
      out += ch;
      i += 2;
      continue;
    }
    if (ch == '{') {
      std::size_t end = i + 1;
      while (end < text.size() && is_name_char(text[end])) ++end;
      if (end > i + 1 && end < text.size() && text[end] == '}') {
        const std::string name(text.substr(i + 1, end - i - 1));
        const auto it = values.find(name);
        if (it == values.end()) throw ValueError("missing value for prompt placeholder '{" + name + "}'");
        out += it->second;
        i = end + 1;
        continue;
      }
    }
    out += ch;
    ++i;
  }
  return out;
}

}  // namespace

std::vector<Message> ChatPromptTemplate::format_messages(const std::map<std::string, std::string>& values) const {
  std::vector<Message> out;
  out.reserve(messages.size());
  for (const Message& m : messages) out.push_back(Message{.role = m.role, .content = fill(m.content, values)});
  return out;
}

std::string request_url(const ClientConfig& c, std::string_view operation) {
  std::string_view endpoint = c.endpoint;
  while (!endpoint.empty() && endpoint.back() == '/') endpoint.remove_suffix(1);
  return std::string(endpoint) + "/openai/deployments/" + text::percent_encode(c.deployment, false) + "/" +
         std::string(operation) + "?api-version=" + text::percent_encode(c.api_version, false);
}

std::string chat_request_body(const std::vector<Message>& messages, const std::string& deployment) {
  Record body = Record::object();
  Record list = Record::array();
  for (const Message& m : messages) list.push_back(Record{{"role", m.role}, {"content", m.content}});
  body["messages"] = std::move(list);
  body["model"] = deployment;
  return text::dumps_compact(body);
}

ChatClient::ChatClient(ClientConfig config) : config_(std::move(config)) { check_config(config_); }

Message ChatClient::complete(const std::vector<Message>& messages) const {
  const Request req = json_post(config_, "chat/completions", chat_request_body(messages, config_.deployment));
  const Response r = send_with_retries(config_, req, kChatWhat);
  if (r.status < 200 || r.status > 299) throw_failure(config_, kChatWhat, r);
  const Record j = parse_success(kChatWhat, r);
  const Record* choices = record::find(j, "choices");
  if (choices == nullptr || !choices->is_array() || choices->empty()) throw_malformed(kChatWhat, r.status, "no choices");
  const Record* message = record::find(choices->front(), "message");
  if (message == nullptr || !message->is_object()) throw_malformed(kChatWhat, r.status, "the first choice has no message");
  Message out{.role = "assistant", .content = ""};
  if (const Record* role = record::find(*message, "role"); role != nullptr && role->is_string()) {
    out.role = role->get<std::string>();
  }
  // A message without text (for example a filtered reply) reads as empty text.
  if (const Record* content = record::find(*message, "content"); content != nullptr && !content->is_null()) {
    if (!content->is_string()) throw_malformed(kChatWhat, r.status, "the message content is not text");
    out.content = content->get<std::string>();
  }
  return out;
}

EmbeddingClient::EmbeddingClient(ClientConfig config) : config_(std::move(config)) { check_config(config_); }

std::vector<double> EmbeddingClient::embed_query(std::string_view text) const {
  Record body = Record::object();
  body["input"] = std::string(text);
  body["model"] = config_.deployment;
  const Request req = json_post(config_, "embeddings", text::dumps_compact(body));
  const Response r = send_with_retries(config_, req, kEmbeddingWhat);
  if (r.status < 200 || r.status > 299) throw_failure(config_, kEmbeddingWhat, r);
  const Record j = parse_success(kEmbeddingWhat, r);
  const Record* data = record::find(j, "data");
  if (data == nullptr || !data->is_array() || data->empty()) throw_malformed(kEmbeddingWhat, r.status, "no data");
  const Record* embedding = record::find(data->front(), "embedding");
  if (embedding == nullptr || !embedding->is_array()) {
    throw_malformed(kEmbeddingWhat, r.status, "the first data item has no embedding list");
  }
  std::vector<double> out;
  out.reserve(embedding->size());
  for (const Record& v : *embedding) {
    if (!v.is_number()) throw_malformed(kEmbeddingWhat, r.status, "the embedding holds a value that is not a number");
    out.push_back(v.get<double>());
  }
  return out;
}

}  // namespace shared::net::azure_openai
