// kesto summarize FILE.md: prints the summary of a local Markdown file,
// made by generate_summary exactly as the summarization stage makes it.
#include <iostream>

#include "apps/common/args.hpp"
#include "shared/fs/files.hpp"
#include "apps/common/commands.hpp"
#include "shared/config.hpp"
#include "shared/connectors/credential.hpp"
#include "shared/errors.hpp"
#include "shared/logsetup.hpp"
#include "shared/processors/aigate.hpp"
#include "shared/processors/outline.hpp"
#include "shared/text/utf8.hpp"

namespace {

namespace aigate = shared::processors::aigate;
namespace outline = shared::processors::outline;

apps::ArgParser parser() {
  apps::ArgParser p("kesto summarize",
                    "Print the summary of a local Markdown file, followed by one line feed, as the pipeline's\n"
                    "summarization stage would store it.");
  p.positional("FILE", apps::Arity::one, "the Markdown file ('-' reads standard input)")
      .option("engine", "", "ENGINE",
              "azure-openai (the hosted chat model) or outline (offline and\n"
              "                        deterministic: every '# ' and '## ' heading with a few bullets\n"
              "                        of its leading sentences); default: the setting\n"
              "                        SUMMARY_ENGINE, else azure-openai")
      .with_log_level()
      .epilog(
          "The azure-openai engine needs AZURE_OPENAI_ENDPOINT, AZURE_OPENAI_KEY and OPENAI_SUMMARY_MODEL\n"
          "(environment or .env). A model summary that lacks headings of the document gets a warning on\n"
          "standard error. Log records go to standard error as JSON lines.");
  return p;
}

void require_setting(const std::string& value, const char* name) {
  if (value.empty()) {
    throw shared::ValueError(std::string(name) +
                             " is not set (the azure-openai engine needs it; --engine outline works offline)");
  }
}

int run(const std::vector<std::string>& args) {
  const apps::Parsed parsed = parser().parse(args);
  shared::logsetup::configure_root_logger(apps::log_level(parsed));

  // --engine is this run's choice alone: the process-wide settings stay as read.
  aigate::SummaryEngine engine{};
  if (parsed.has("engine")) {
    const std::string name = parsed.get("engine");
    if (name == "azure-openai") {
      engine = aigate::SummaryEngine::azure_openai;
    } else if (name == "outline") {
      engine = aigate::SummaryEngine::outline;
    } else {
      throw apps::UsageError("--engine must be azure-openai or outline, not '" + name + "'");
    }
  } else {
    engine = aigate::summary_engine();
  }
  if (engine == aigate::SummaryEngine::azure_openai) {
    const shared::config::Settings& s = shared::config::get();
    require_setting(s.AZURE_OPENAI_ENDPOINT, "AZURE_OPENAI_ENDPOINT");
    if (!shared::connectors::credential::configured(s)) require_setting(s.AZURE_OPENAI_KEY, "AZURE_OPENAI_KEY");
    require_setting(s.OPENAI_SUMMARY_MODEL, "OPENAI_SUMMARY_MODEL");
  }

  const std::string path = parsed.get("FILE");
  const std::string bytes = path == "-" ? apps::read_stdin() : apps::read_file(path);
  const std::string text(shared::fs::without_bom(bytes));
  if (const std::size_t bad = shared::text::first_invalid(text); bad != std::string::npos) {
    throw shared::Error("'" + path + "' is not valid UTF-8 (byte offset " + std::to_string(bad) + ")");
  }

  const std::string summary = aigate::generate_summary(text, engine);
  if (engine == aigate::SummaryEngine::azure_openai) {
    const std::vector<std::string> dropped = outline::dropped_headings(text, summary);
    if (!dropped.empty()) {
      shared::logsetup::get_logger("kesto.summarize")
          .warning(outline::dropped_headings_message(dropped, outline::count_outline_headings(text)));
    }
  }
  std::cout << summary << '\n' << std::flush;
  return std::cout ? 0 : 1;
}

const apps::RegisterCommand reg{{"summarize", "print the summary of a local Markdown file", run}};

}  // namespace
