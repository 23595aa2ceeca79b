#include "shared/processors/summarization.hpp"

#include <mutex>

#include "shared/config.hpp"
#include "shared/connectors/credential.hpp"
#include "shared/errors.hpp"

namespace shared::processors::summarization {

namespace azure = net::azure_openai;

namespace {

const char* const kSystemText =
    "\nYou are creating a SHORT, STRUCTURED SUMMARY of an internal regulated document."
    "\n"
    "\nThis summary will be used ONLY for document selection and arbitration."
    "\nIt will NOT be shown to end users."
    "\n"
    "\nRules you must follow strictly:"
    "\n"
    "\n1) Preserve the original document structure."
    "\n   - You MUST keep all Heading 1 (#) and Heading 2 (##) exactly as they appear."
    "\n   - Do NOT miss even a single heading, get all the headings."
    "\n   - Do NOT invent new headings."
    "\n   - Do NOT remove existing headings."
    "\n"
    "\nYou MUST preserve ALL headings exactly as they appear."
    "\n"
    "\nThis includes:"
    "\n- Every Heading 1 starting with '# '"
    "\n- Every Heading 2 starting with '## '"
    "\n"
    "\nYou are NOT allowed to:"
    "\n- Merge Heading 2 content into Heading 1"
    "\n- Omit any Heading 2"
    "\n- Rewrite Heading levels"
    "\n- Convert Heading 2 into plain text"
    "\n"
    "\nIf a Heading 2 exists in the source, it MUST appear in the output as '## <heading>'."
    "\nFor every Heading 1, you MUST output all of its Heading 2 subsections,"
    "\neven if the subsection seems minor or repetitive."
    "\n"
    "\n2) Under each heading, write a brief summary (2\u20135 bullet points or short sentences)"
    "\n   describing what that section covers."
    "\n   - Focus on WHAT the section is about, not detailed steps."
    "\n   - Mention key processes, responsibilities, or topics."
    "\n"
    "\n3) Do NOT copy large blocks of text verbatim."
    "\n   - This is a summary, not an extraction."
    "\n   - Do NOT paraphrase beyond the meaning of the source."
    "\n"
    "\n4) Do NOT include conclusions, opinions, or external knowledge."
    "\n   - Use only information present in the document."
    "\n"
    "\n5) Output MUST be valid Markdown."
    "\n"
    "\nThe goal is:"
    "\nSomeone reading this summary should clearly understand"
    "\nwhat topics this document covers and how it differs from similar documents."
    "\nBefore finalizing your answer, verify that:"
    "\n- The number of Heading 1 lines in your output matches the source."
    "\n- The number of Heading 2 lines in your output matches the source."
    "\nIf any Heading 2 is missing, your answer is invalid."
    "\n\n";

std::mutex& factory_mutex() {
  static std::mutex mu;
  return mu;
}

std::function<std::shared_ptr<net::Transport>()>& factory_slot() {
  static std::function<std::shared_ptr<net::Transport>()> f;
  return f;
}

std::string required_env(const char* name) {
  std::string value = config::env_or(name);
  if (value.empty()) throw ValueError(std::string(name) + " is not set");
  return value;
}

ChatClient make_llm() {
  config::load_dotenv_once();
  std::shared_ptr<net::Transport> transport;
  {
    std::lock_guard lock(factory_mutex());
    transport = factory_slot() ? factory_slot()() : net::make_curl_transport();
  }
  azure::ClientConfig c{.endpoint = required_env("AZURE_OPENAI_ENDPOINT"),
                        .deployment = MODEL,
                        .api_version = API_VERSION,
                        .max_retries = MAX_RETRIES,
                        .transport = std::move(transport)};
  // Without a key, a token of the process's credential when the settings choose one.
  namespace credential = connectors::credential;
  if (config::env_or("AZURE_OPENAI_KEY").empty() && credential::configured(config::get())) {
    c.bearer_token = credential::process_token_source(credential::COGNITIVE_SERVICES_SCOPE);
  } else {
    c.api_key = required_env("AZURE_OPENAI_KEY");
  }
  return ChatClient(std::move(c));
}

struct Objects {
  ChatClient llm;
  ChatPromptTemplate prompt;
  SummarizationChain chain;

  Objects()
      : llm(make_llm()),
        prompt{{{.role = "system", .content = kSystemText},
                {.role = "user", .content = "\nFull document content:\n{document_text}\n"}}},
        chain(prompt, llm) {}
  Objects(const Objects&) = delete;
  Objects& operator=(const Objects&) = delete;
};

// A function-local static: built once even when first uses race, and built
// again on the next use if building threw.
const Objects& objects() {
  static const Objects o;
  return o;
}

}  // namespace

Message SummarizationChain::invoke(const std::map<std::string, std::string>& input) const {
  return llm_.complete(prompt_.format_messages(input));
}

const ChatClient& llm() { return objects().llm; }

const ChatPromptTemplate& document_summarization_prompt() { return objects().prompt; }

const SummarizationChain& doc_summarization_chain() { return objects().chain; }

void _set_transport_factory(std::function<std::shared_ptr<net::Transport>()> factory) {
  std::lock_guard lock(factory_mutex());
  factory_slot() = std::move(factory);
}

}  // namespace shared::processors::summarization
