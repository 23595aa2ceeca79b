// shared.net.azure_openai: the two Azure OpenAI REST requests the pipeline
// makes (chat completion and embedding), carried over the HTTP seam. The
// clients hold no per-request state and may be used from several threads.
#pragma once

#include "shared/text/utf8.hpp"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "shared/net/http.hpp"

namespace shared::net::azure_openai {

// One chat message; role is "system", "user" or "assistant".
struct Message {
  std::string role;
  std::string content;
  bool operator==(const Message&) const = default;
};

// A chat prompt whose message texts may hold "{name}" placeholders ("{{" and
// "}}" stand for literal braces).
struct ChatPromptTemplate {
  std::vector<Message> messages;

  // The messages with every placeholder replaced by its value, in one pass
  // (a value is never searched for placeholders). Throws shared::ValueError
  // naming a placeholder that has no value.
  std::vector<Message> format_messages(const std::map<std::string, std::string>& values) const;
};

struct ClientConfig {
  std::string endpoint;  // "https://name.openai.azure.com", a trailing "/" is ignored
  std::string api_key;   // sent only in the "api-key" header
  // Without an API key: a Microsoft Entra ID access token for the service
  // (scope https://cognitiveservices.azure.com/.default), asked for per
  // request and sent as "Authorization: Bearer".
  std::function<std::string()> bearer_token;
  std::string deployment;
  std::string api_version;
  // Further tries of one request after no answer, 408, 409, 429 or 5xx,
  // waiting 0.5 s, 1 s, 2 s, … (capped at 8 s) through the retry sleeper;
  // each is logged as a warning by the logger "shared.net.azure_openai".
  int max_retries = 0;
  std::shared_ptr<Transport> transport;                 // required
};

// "{endpoint}/openai/deployments/{deployment}/{operation}?api-version={version}".
std::string request_url(const ClientConfig& config, std::string_view operation);

class ChatClient {
 public:
  // Throws shared::ValueError when the endpoint, both key and token source,
  // the deployment, API version or transport is missing.
  explicit ChatClient(ClientConfig config);

  // Sends the messages (and the deployment as "model", nothing else) and
  // returns the first choice's message, content as the service wrote it.
  // Throws shared::ServiceError for a failure status or a malformed reply,
  // shared::TransportError when no answer arrives; never with the key in it.
  Message complete(const std::vector<Message>& messages) const;

  const ClientConfig& config() const { return config_; }

 private:
  ClientConfig config_;
};

class EmbeddingClient {
 public:
  // Throws shared::ValueError as ChatClient does.
  explicit EmbeddingClient(ClientConfig config);

  // The embedding of `text`, sent exactly as given; errors as for ChatClient.
  std::vector<double> embed_query(std::string_view text) const;

  const ClientConfig& config() const { return config_; }

 private:
  ClientConfig config_;
};

// The request body of a chat completion: {"messages": [...], "model": deployment}.
std::string chat_request_body(const std::vector<Message>& messages, const std::string& deployment);

// Replaces every occurrence of `secret` in `text` with "***".
using text::redact;

}  // namespace shared::net::azure_openai
