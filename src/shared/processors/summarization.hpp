// shared.processors.summarization: a ready-to-use document summarization
// chain for tools beside the pipeline (the pipeline's own stage uses
// shared.processors.aigate): a chat client for a fixed model, a two-message
// prompt, and the two joined into one object that turns a document text into
// the model's reply.
//
// The three objects stand for what this module builds "at load": they are
// created together, in the order `.env`, `llm`, `document_summarization_prompt`,
// `doc_summarization_chain`, when the process first uses any of them, and
// then live for the process. Key and endpoint are read from the environment
// variables AZURE_OPENAI_KEY and AZURE_OPENAI_ENDPOINT at that moment; a
// failed creation throws and the next use tries again.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "shared/net/azure_openai.hpp"
#include "shared/net/http.hpp"

namespace shared::processors::summarization {

using net::azure_openai::ChatClient;
using net::azure_openai::ChatPromptTemplate;
using net::azure_openai::Message;

inline constexpr const char* MODEL = "gpt-5.2-chat";
inline constexpr const char* API_VERSION = "2024-05-01-preview";
inline constexpr int MAX_RETRIES = 2;  // further tries of a request the client makes itself

// A prompt followed by a chat model.
class SummarizationChain {
 public:
  SummarizationChain(const ChatPromptTemplate& prompt, const ChatClient& llm) : prompt_(prompt), llm_(llm) {}

  // Fills the prompt with `input` (which must hold "document_text"), sends
  // one chat completion and returns the assistant message exactly as the
  // service wrote it. Throws shared::ValueError for a missing input value;
  // request errors reach the caller after the client's own retries.
  Message invoke(const std::map<std::string, std::string>& input) const;

 private:
  const ChatPromptTemplate& prompt_;
  const ChatClient& llm_;
};

// The chat client: model "gpt-5.2-chat", API version "2024-05-01-preview",
// two transport retries, no reply limit, no timeout.
const ChatClient& llm();

// System instruction, then the user template "\nFull document content:\n{document_text}\n".
const ChatPromptTemplate& document_summarization_prompt();

// document_summarization_prompt followed by llm.
const SummarizationChain& doc_summarization_chain();

// Test seam: the factory makes the client's transport when the objects are
// created (an empty factory means libcurl); set it before the first use.
void _set_transport_factory(std::function<std::shared_ptr<net::Transport>()> factory);

}  // namespace shared::processors::summarization
