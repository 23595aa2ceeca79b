// batchconvert: every Word file of a local folder to Markdown, four at a time.
#include <filesystem>
#include <iostream>

#include "apps/common/args.hpp"
#include "shared/logsetup.hpp"
#include "shared/processors/batchconvert.hpp"

namespace bc = shared::processors::batchconvert;

int main(int argc, char** argv) {
  return apps::guarded("batchconvert", [&] {
    const apps::ArgParser parser =
        apps::ArgParser("batchconvert",
                        "Converts every Word file (names matching \"*.doc*\") of the input folder into\n"
                        "\"{name}.md\" in the output folder, with the pipeline's own conversion, in several\n"
                        "worker processes. Output files are replaced; other files are left alone.")
            .option("src", "", "DIR", "input folder (default " + bc::SRC + ")")
            .option("dst", "", "DIR", "output folder, created when missing (default " + bc::DST + ")")
            .option("workers", "", "N", "conversions at the same time (default " + std::to_string(bc::max_workers) + ")")
            .flag("verbose", "v", "log \"Converted: NAME\" for each file, as JSON lines on standard error")
            .epilog(
                "Folders are relative to the working directory. At the first file that cannot be converted\n"
                "(in listing order) no further conversion starts, those running finish, and the tool exits\n"
                "with status 1 naming the file.");
    const apps::Parsed args = parser.parse(apps::arguments(argc, argv));
    bc::Options options;
    options.src = args.get("src", bc::SRC);
    options.dst = args.get("dst", bc::DST);
    const long workers = args.get_long("workers", bc::max_workers);
    if (workers < 1 || workers > 256) throw apps::UsageError("--workers must be between 1 and 256");
    options.workers = static_cast<int>(workers);
    if (args.has("verbose")) shared::logsetup::configure_root_logger(shared::logsetup::Level::info);
    std::error_code ec;
    if (!std::filesystem::is_directory(options.src, ec)) {
      std::cerr << "batchconvert: warning: no input folder '" << options.src << "': nothing to convert" << std::endl;
    }
    bc::run(options);
    return 0;
  });
}
