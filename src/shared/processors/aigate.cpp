#include "shared/processors/aigate.hpp"

#include <mutex>

#include "shared/config.hpp"
#include "shared/connectors/credential.hpp"
#include "shared/errors.hpp"
#include "shared/logsetup.hpp"
#include "shared/processors/outline.hpp"
#include "shared/retry.hpp"
#include "shared/text/utf8.hpp"

namespace shared::processors::aigate {

namespace azure = net::azure_openai;

const azure::ChatPromptTemplate SUMMARIZATION_PROMPT{{
    {.role = "system",
     .content =
    "\n            You are creating a SHORT, STRUCTURED SUMMARY of an internal regulated document."
    "\n"
    "\n            This summary will be used ONLY for document selection and arbitration."
    "\n            It will NOT be shown to end users."
    "\n"
    "\n            Rules you must follow strictly:"
    "\n"
    "\n            1) Preserve the original document structure."
    "\n            - You MUST keep all Heading 1 (#) and Heading 2 (##) exactly as they appear."
    "\n            - Do NOT miss even a single heading, get all the headings."
    "\n            - Do NOT invent new headings."
    "\n            - Do NOT remove existing headings."
    "\n"
    "\n            You MUST preserve ALL headings exactly as they appear."
    "\n"
    "\n            This includes:"
    "\n            - Every Heading 1 starting with '# '"
    "\n            - Every Heading 2 starting with '## '"
    "\n"
    "\n            You are NOT allowed to:"
    "\n            - Merge Heading 2 content into Heading 1"
    "\n            - Omit any Heading 2"
    "\n            - Rewrite Heading levels"
    "\n            - Convert Heading 2 into plain text"
    "\n"
    "\n            If a Heading 2 exists in the source, it MUST appear in the output as '## <heading>'."
    "\n            For every Heading 1, you MUST output all of its Heading 2 subsections,"
    "\n            even if the subsection seems minor or repetitive."
    "\n"
    "\n            2) Under each heading, write a brief summary (2-5 bullet points or short sentences)"
    "\n            describing what that section covers."
    "\n            - Focus on WHAT the section is about, not detailed steps."
    "\n            - Mention key processes, responsibilities, or topics."
    "\n"
    "\n            3) Do NOT copy large blocks of text verbatim."
    "\n            - This is a summary, not an extraction."
    "\n            - Do NOT paraphrase beyond the meaning of the source."
    "\n"
    "\n            4) Do NOT include conclusions, opinions, or external knowledge."
    "\n            - Use only information present in the document."
    "\n"
    "\n            5) Output MUST be valid Markdown."
    "\n"
    "\n            The goal is:"
    "\n            Someone reading this summary should clearly understand"
    "\n            what topics this document covers and how it differs from similar documents."
    "\n            Before finalizing your answer, verify that:"
    "\n            - The number of Heading 1 lines in your output matches the source."
    "\n            - The number of Heading 2 lines in your output matches the source."
    "\n            If any Heading 2 is missing, your answer is invalid."
    "\n            "},
    {.role = "user", .content = "\n            Full document content:\n            {document_text}\n            "},
}};

namespace {

constexpr const char* kLoggerName = "shared.processors.aigate";

logsetup::Logger& logger() { return logsetup::get_logger(kLoggerName); }

// The two slots and the transport factory. One mutex makes each slot's
// creation once-only when first calls race; the clients themselves are
// shared by all threads without further locking.
struct Slots {
  std::mutex mu;
  std::shared_ptr<const azure::ChatClient> llm;
  std::shared_ptr<const azure::EmbeddingClient> embedding_model;
  TransportFactory factory;
};

Slots& slots() {
  static Slots s;
  return s;
}

const std::string& required(const std::string& value, const char* variable) {
  if (value.empty()) throw ValueError(std::string(variable) + " is not set");
  return value;
}

// The API key, or without one a token of the process's credential when the
// settings choose one; neither is a missing AZURE_OPENAI_KEY.
void sign_in(azure::ClientConfig& c, const config::Settings& cfg) {
  namespace credential = connectors::credential;
  if (cfg.AZURE_OPENAI_KEY.empty() && credential::configured(cfg)) {
    c.bearer_token = credential::process_token_source(credential::COGNITIVE_SERVICES_SCOPE);
  } else {
    c.api_key = required(cfg.AZURE_OPENAI_KEY, "AZURE_OPENAI_KEY");
  }
}

std::shared_ptr<net::Transport> new_transport(const Slots& s) {
  if (s.factory) return s.factory();
  const config::Settings& cfg = config::get();
  return net::make_curl_transport(
      {.connect_timeout_ms = cfg.CONNECT_TIMEOUT_S * 1000, .timeout_ms = cfg.MODEL_TIMEOUT_S * 1000});
}

std::shared_ptr<const azure::ChatClient> _get_llm() {
  Slots& s = slots();
  std::lock_guard lock(s.mu);
  if (!s.llm) {
    const config::Settings& cfg = config::get();
    azure::ClientConfig c{.endpoint = required(cfg.AZURE_OPENAI_ENDPOINT, "AZURE_OPENAI_ENDPOINT"),
                          .deployment = required(cfg.OPENAI_SUMMARY_MODEL, "OPENAI_SUMMARY_MODEL"),
                          .api_version = CHAT_API_VERSION,
                          .max_retries = 0};
    sign_in(c, cfg);
    c.transport = new_transport(s);
    s.llm = std::make_shared<const azure::ChatClient>(std::move(c));
    logger().info("AzureChatOpenAI client initialized (singleton).");
  }
  return s.llm;
}

std::shared_ptr<const azure::EmbeddingClient> _get_embedding_model() {
  Slots& s = slots();
  std::lock_guard lock(s.mu);
  if (!s.embedding_model) {
    const config::Settings& cfg = config::get();
    azure::ClientConfig c{.endpoint = required(cfg.AZURE_OPENAI_ENDPOINT, "AZURE_OPENAI_ENDPOINT"),
                          .deployment = required(cfg.OPENAI_EMBEDDING_MODEL, "OPENAI_EMBEDDING_MODEL"),
                          .api_version = required(cfg.AZURE_OPENAI_API_VERSION, "AZURE_OPENAI_API_VERSION"),
                          .max_retries = 0};
    sign_in(c, cfg);
    c.transport = new_transport(s);
    s.embedding_model = std::make_shared<const azure::EmbeddingClient>(std::move(c));
    logger().info("AzureOpenAIEmbeddings client initialized (singleton).");
  }
  return s.embedding_model;
}

// The settings a model client needs, checked before the first try: a
// missing one is a configuration error that no later try can mend, so it is
// never retried (which would only add a minute of waiting per document).
void check_settings(bool embeddings) {
  const config::Settings& cfg = config::get();
  required(cfg.AZURE_OPENAI_ENDPOINT, "AZURE_OPENAI_ENDPOINT");
  if (!connectors::credential::configured(cfg)) required(cfg.AZURE_OPENAI_KEY, "AZURE_OPENAI_KEY");
  if (embeddings) {
    required(cfg.OPENAI_EMBEDDING_MODEL, "OPENAI_EMBEDDING_MODEL");
    required(cfg.AZURE_OPENAI_API_VERSION, "AZURE_OPENAI_API_VERSION");
  } else {
    required(cfg.OPENAI_SUMMARY_MODEL, "OPENAI_SUMMARY_MODEL");
  }
}

const retry::Options kModelRetry{.max_attempts = 5, .initial_delay = 2.0, .max_delay = 60.0};

// One try of generate_summary: the retry wrapper repeats all of it.
std::string summarize_once(const std::string& text, SummaryEngine engine) {
  logger().info("Generating summary for text of length " + std::to_string(text::count_code_points(text)) + "\u2026");
  std::string summary;
  if (engine == SummaryEngine::outline) {
    summary = std::string(text::strip(outline::outline_summary(text)));
  } else {
    const auto llm = _get_llm();
    const azure::Message reply = llm->complete(SUMMARIZATION_PROMPT.format_messages({{"document_text", text}}));
    summary = std::string(text::strip(reply.content));
  }
  logger().info("Summary generated (" + std::to_string(text::count_code_points(summary)) + " chars).");
  return summary;
}

std::vector<double> embed_once(const std::string& text) {
  logger().info("Generating embeddings for text of length " + std::to_string(text::count_code_points(text)) + " ");
  const auto model = _get_embedding_model();
  std::vector<double> vector = model->embed_query(text);
  logger().info("Embedding generated (dimension: " + std::to_string(vector.size()) + ").");
  return vector;
}

}  // namespace

SummaryEngine summary_engine() {
  const std::string name = text::ascii_lower(text::strip(config::get().SUMMARY_ENGINE));
  if (name == "azure-openai" || name.empty()) return SummaryEngine::azure_openai;
  if (name == "outline") return SummaryEngine::outline;
  throw ValueError("SUMMARY_ENGINE must be \"azure-openai\" or \"outline\", not \"" + config::get().SUMMARY_ENGINE + "\"");
}

std::string generate_summary(const std::string& text, SummaryEngine engine) {
  static const auto wrapped = retry::retry(kModelRetry, "generate_summary", &summarize_once);
  if (engine == SummaryEngine::azure_openai) check_settings(false);
  return wrapped(text, engine);
}

std::string generate_summary(const std::string& text) {
  // A misspelt engine is a configuration error: fail before any try.
  return generate_summary(text, summary_engine());
}

std::vector<double> generate_embeddings(const std::string& text, long max_input_chars) {
  (void)max_input_chars;
  static const auto wrapped = retry::retry(kModelRetry, "generate_embeddings", &embed_once);
  check_settings(true);
  return wrapped(text);
}

void _set_transport_factory(TransportFactory factory) {
  Slots& s = slots();
  std::lock_guard lock(s.mu);
  s.factory = std::move(factory);
}

void _reset_clients() {
  Slots& s = slots();
  std::lock_guard lock(s.mu);
  s.llm.reset();
  s.embedding_model.reset();
}

}  // namespace shared::processors::aigate
