// kesto sections: the sections document of a Markdown file.
#include <string_view>

#include "apps/common/args.hpp"
#include "apps/common/background_output.hpp"
#include "apps/common/commands.hpp"
#include "apps/kesto/markdown_input.hpp"
#include "shared/processors/sectioner.hpp"

namespace {

namespace sectioner = shared::processors::sectioner;

int run(const std::vector<std::string>& argv) {
  apps::ArgParser parser("kesto sections",
                         "Cuts FILE.md (standard input when absent) into hierarchical sections and\n"
                         "writes the sections document {\"qd\", \"document\", \"link\", \"sections\"} as\n"
                         "indented JSON to standard output, as the sectioning stage stores it.");
  parser.option("doc", "", "DOC.json", "the document record: a JSON object (blob_filename, document_number, url_document_name)")
      .flag("exclude-metadata", "", "drop the metadata block before cutting")
      .positional("FILE.md", apps::Arity::optional, "the Markdown (UTF-8)");
  const apps::Parsed args = parser.parse(argv);
  if (!args.has("doc")) throw apps::UsageError("--doc DOC.json is required");
  const shared::Record doc = apps::markdown_input::read_doc(args.get("doc"));
  const std::string text = apps::markdown_input::read_markdown(args.get("FILE.md"));
  // Written as it is made: the document itself is never built, so a large
  // file costs little more memory than its text.
  apps::BackgroundOutput out(stdout);
  apps::markdown_input::as_input_error([&] {
    // read_markdown has refused ill-formed UTF-8.
    sectioner::write_sections_json(
        text, doc, !args.has("exclude-metadata"), [&](std::string_view piece) { out.write(piece); }, true);
  });
  out.finish();
  return 0;
}

const apps::RegisterCommand reg{{"sections", "cut a Markdown file into the sections JSON document", run}};

}  // namespace
