// kesto stamp: the metadata block put at the top of a Markdown file.
#include "apps/common/args.hpp"
#include "apps/common/commands.hpp"
#include "apps/kesto/markdown_input.hpp"
#include "shared/processors/stamper.hpp"

namespace {

int run(const std::vector<std::string>& argv) {
  apps::ArgParser parser("kesto stamp",
                         "Writes FILE.md (standard input when absent) with the metadata block\n"
                         "(document name, number and Veeva link from DOC.json) at its top, replacing\n"
                         "an existing block, to standard output.");
  parser.option("doc", "", "DOC.json", "the document record: a JSON object (document_name, document_number, url_document_name)")
      .positional("FILE.md", apps::Arity::optional, "the Markdown (UTF-8)");
  const apps::Parsed args = parser.parse(argv);
  if (!args.has("doc")) throw apps::UsageError("--doc DOC.json is required");
  const shared::Record doc = apps::markdown_input::read_doc(args.get("doc"));
  const std::string text = apps::markdown_input::read_markdown(args.get("FILE.md"));
  apps::write_output("", shared::processors::stamper::stamp_markdown(text, doc));
  return 0;
}

const apps::RegisterCommand reg{{"stamp", "put the metadata block at the top of a Markdown file", run}};

}  // namespace
