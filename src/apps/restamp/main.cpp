// restamp: writes or removes the metadata block of the Markdown files in a
// local folder, from a CSV or JSON metadata file.
#include <iostream>

#include "apps/common/args.hpp"
#include "shared/processors/restamp.hpp"

namespace restamp = shared::processors::restamp;

int main(int argc, char** argv) {
  return apps::guarded("restamp", [&] {
    apps::ArgParser parser(
        "restamp",
        "Stamps the metadata block (document name, number and Veeva link) into every\n"
        "Markdown file of a folder whose name without .md matches a metadata row's\n"
        "blob_filename, and/or strips the block from every file that has one. Each\n"
        "file is reported on one line of standard output.");
    parser.option("metadata", "m", "PATH", "metadata rows: .csv (header blob_filename, document_number, url_document_name) or .json array; needed unless --mode strip")
        .option("dir", "d", "DIR", "folder of the Markdown files (default " + std::string(restamp::MD_DIR) + ")")
        .option("mode", "", "MODE", "stamp (default), strip, or both (stamp, then strip every block again)")
        .epilog("Exit status: 0 success, 1 a file could not be read or written (files before it\n"
                "are done), 2 bad arguments or metadata.");
    const apps::Parsed args = parser.parse(apps::arguments(argc, argv));
    restamp::Options options;
    const std::string mode = args.get("mode", "stamp");
    const auto parsed_mode = restamp::parse_mode(mode);
    if (!parsed_mode) throw apps::UsageError("--mode must be stamp, strip or both, got '" + mode + "'");
    options.mode = *parsed_mode;
    options.metadata_path = args.get("metadata");
    if (options.mode != restamp::Mode::strip && options.metadata_path.empty()) {
      throw apps::UsageError("--metadata PATH is required for --mode " + mode);
    }
    if (args.has("dir")) options.dir = args.get("dir");
    restamp::run(options, std::cout, std::cerr);
    return 0;
  });
}
