// kesto convert: one Word document to the pipeline's Markdown.
#include <cstdio>
#include <filesystem>
#include <stdexcept>

#include "apps/common/args.hpp"
#include "apps/common/commands.hpp"
#include "shared/processors/extractor.hpp"
#include "shared/record.hpp"

namespace {

int run_convert(const std::vector<std::string>& args) {
  const apps::ArgParser parser =
      apps::ArgParser("kesto convert",
                      "Converts a Word document (.docx, .docm, .dotx, .dotm) into the pipeline's Markdown:\n"
                      "numbered \"#\"/\"##\" headings for Heading 1/Heading 2, pipe tables, plain text otherwise.")
          .positional("FILE", apps::Arity::one, "the Word document; - reads standard input")
          .option("output", "o", "OUT.md", "write the Markdown to OUT.md (default: standard output)")
          .flag("report", "", "write what the Markdown leaves out as one JSON object on standard error")
          .option("report-file", "", "F", "write that JSON object to the file F")
          .epilog(
              "The Markdown is written exactly, without a line feed added at the end. On failure a one-line\n"
              "error goes to standard error, no output file is written, and the exit status is 1.\n"
              "The loss report counts what the Markdown does not carry (drawings, text boxes, footnotes,\n"
              "headers, tracked changes, Heading 3 and deeper, ...), every key present, in a fixed order,\n"
              "on one line. It is written after the Markdown: when the report file cannot be written, the\n"
              "Markdown is there and the exit status is 1.");
  const apps::Parsed parsed = parser.parse(args);
  const std::string file = parsed.get("FILE");
  const std::string report_file = parsed.get("report-file");
  if (parsed.has("report-file") && (report_file.empty() || report_file == "-")) {
    throw apps::UsageError("--report-file needs a file name (--report writes to standard error)");
  }
  const std::string bytes = file == "-" ? apps::read_stdin() : apps::read_file(file);
  shared::processors::conversion_loss::LossReport loss;
  const std::string markdown = shared::processors::extractor::docx_bytes_to_markdown(bytes, loss);
  apps::write_output(parsed.get("output"), markdown);
  const std::string report = shared::processors::conversion_loss::to_record(loss).dump() + "\n";
  if (!report_file.empty()) apps::write_output(report_file, report);
  if (parsed.has("report")) {
    std::fwrite(report.data(), 1, report.size(), stderr);
    std::fflush(stderr);
  }
  return 0;
}

const apps::RegisterCommand reg{{"convert", "convert a Word document (.docx) to Markdown", run_convert}};

}  // namespace
