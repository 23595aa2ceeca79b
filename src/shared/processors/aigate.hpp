// shared.processors.aigate: the pipeline's one gateway to Azure OpenAI. It
// generates summaries and embeddings using Azure OpenAI and provides retry
// logic for transient API failures. With the "outline" engine (the setting
// SUMMARY_ENGINE, or the caller's choice) the summary is instead an offline
// outline of the document's headings (shared.processors.outline), logged the
// same way.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "shared/net/azure_openai.hpp"
#include "shared/net/http.hpp"

namespace shared::processors::aigate {

// The chat prompt of a summary request: the fixed instruction text as the
// system message, then the user message "\n            Full document
// content:\n            {document_text}\n            ".
extern const net::azure_openai::ChatPromptTemplate SUMMARIZATION_PROMPT;

// The chat API version of summary requests (the setting
// AZURE_OPENAI_API_VERSION applies to embeddings only).
inline constexpr const char* CHAT_API_VERSION = "2024-08-01-preview";

enum class SummaryEngine { azure_openai, outline };

// The engine the setting SUMMARY_ENGINE names ("azure-openai", the default,
// or "outline"; case and surrounding blanks ignored). Throws
// shared::ValueError for any other value.
SummaryEngine summary_engine();

// Generates a structured summary of the document text with `engine`
// (Azure OpenAI or the offline outline). Returns a Markdown summary string,
// trimmed. Tried up to 5 times (waits 2, 4, 8, 16 s); the last failure
// reaches the caller unchanged.
std::string generate_summary(const std::string& text, SummaryEngine engine);

// generate_summary with the engine the setting SUMMARY_ENGINE names; an
// unknown engine throws as summary_engine() does, before any try.
std::string generate_summary(const std::string& text);

// Generates an embedding vector for the given text using Azure OpenAI.
// Returns a list of floats representing the embedding vector. The text is
// sent as passed; `max_input_chars` is accepted but not applied. Retried as
// generate_summary.
std::vector<double> generate_embeddings(const std::string& text, long max_input_chars = 1000000);

// Test seams. The factory makes the transport of each client created from
// then on (an empty factory restores libcurl); it is called once per
// successful client creation.
using TransportFactory = std::function<std::shared_ptr<net::Transport>()>;
void _set_transport_factory(TransportFactory factory);
// Empties both client slots so the next call creates its client again;
// only for tests, never while another thread uses the gateway.
void _reset_clients();

}  // namespace shared::processors::aigate
