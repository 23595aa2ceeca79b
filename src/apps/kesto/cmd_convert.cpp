// kesto convert: one Word document to the pipeline's Markdown.
#include <filesystem>
#include <stdexcept>

#include "apps/common/args.hpp"
#include "apps/common/commands.hpp"
#include "shared/processors/extractor.hpp"

namespace {

int run_convert(const std::vector<std::string>& args) {
  const apps::ArgParser parser =
      apps::ArgParser("kesto convert",
                      "Converts a Word document (.docx, .docm, .dotx, .dotm) into the pipeline's Markdown:\n"
                      "numbered \"#\"/\"##\" headings for Heading 1/Heading 2, pipe tables, plain text otherwise.")
          .positional("FILE", apps::Arity::one, "the Word document; - reads standard input")
          .option("output", "o", "OUT.md", "write the Markdown to OUT.md (default: standard output)")
          .epilog(
              "The Markdown is written exactly, without a line feed added at the end. On failure a one-line\n"
              "error goes to standard error, no output file is written, and the exit status is 1.");
  const apps::Parsed parsed = parser.parse(args);
  const std::string file = parsed.get("FILE");
  const std::string bytes = file == "-" ? apps::read_stdin() : apps::read_file(file);
  const std::string markdown = shared::processors::extractor::docx_bytes_to_markdown(bytes);
  apps::write_output(parsed.get("output"), markdown);
  return 0;
}

const apps::RegisterCommand reg{{"convert", "convert a Word document (.docx) to Markdown", run_convert}};

}  // namespace
