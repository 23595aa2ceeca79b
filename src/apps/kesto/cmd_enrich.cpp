// kesto enrich: the enriched document of a sections document.
#include "apps/common/args.hpp"
#include "apps/common/commands.hpp"
#include "apps/kesto/markdown_input.hpp"
#include "shared/processors/enricher.hpp"
#include "shared/processors/sectioner.hpp"

namespace {

int run(const std::vector<std::string>& argv) {
  apps::ArgParser parser("kesto enrich",
                         "Prefixes every section of FILE.sections.json (standard input when absent)\n"
                         "with its document and top-level heading and writes the enriched document\n"
                         "{\"qd-number\", \"doc_name\", \"link\", \"enriched\"} as indented JSON to\n"
                         "standard output, as the enrichment stage stores it.");
  parser.positional("FILE.sections.json", apps::Arity::optional, "a sections document (JSON object)");
  const apps::Parsed args = parser.parse(argv);
  const std::string path = args.get("FILE.sections.json");
  const shared::Record sections = apps::markdown_input::read_json(path);
  const shared::Record enriched = apps::markdown_input::as_input_error(
      [&] { return shared::processors::enricher::enrich_sections(sections); });
  apps::write_output("", shared::processors::sectioner::sections_json_text(enriched));
  return 0;
}

const apps::RegisterCommand reg{{"enrich", "prefix the sections of a sections JSON document with their context", run}};

}  // namespace
