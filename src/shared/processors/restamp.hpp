// shared.processors.restamp: the offline restamp tool's work on a local
// folder of Markdown files (the batch converter's output): a stamping pass
// that writes the metadata block into every file it has metadata for, and a
// stripping pass that removes the block again, each reporting every file on
// one output line. The program src/apps/restamp only parses its arguments.
#pragma once

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "shared/processors/stamper.hpp"
#include "shared/record.hpp"

namespace shared::processors::restamp {

// The default folder: "markdown" inside "v2_files", relative to the working
// directory.
inline constexpr std::string_view MD_DIR = "v2_files/markdown";
using stamper::METADATA_END;
using stamper::METADATA_START;

inline constexpr std::string_view LABEL_NO_METADATA = "\u274C Skipping (no metadata):";
inline constexpr std::string_view LABEL_UPDATED = "\u267B\uFE0F Updated metadata:";
inline constexpr std::string_view LABEL_ADDED = "\u2795 Added metadata:";
inline constexpr std::string_view LABEL_CLEANED = "\U0001F9F9 Cleaned:";
inline constexpr std::string_view LABEL_SKIPPED = "\u23ED Skipped:";

inline constexpr std::string_view MISSING_NUMBER = "ERROR: missing document number";
inline constexpr std::string_view MISSING_LINK = "ERROR: missing veeva link";

// Which passes a run makes: stamping only, stripping only, or stamping then
// stripping.
enum class Mode { stamp, strip, both };

// The mode named "stamp", "strip" or "both", or nullopt.
std::optional<Mode> parse_mode(std::string_view name);

// What the stamping pass writes for one file; "" stands for a missing value.
struct MetaRecord {
  std::string title;
  std::string doc_number;
  std::string link;
};

using MetaMap = std::unordered_map<std::string, MetaRecord>;

// The map from file stem to metadata: keyed and titled by each row's
// `blob_filename`, a later row replacing an earlier one of the same name.
// A row whose `blob_filename` is not text can match no file and is left
// out. Throws shared::ValueError naming the row (1-based) when a row has no
// `blob_filename`.
MetaMap build_meta_map(const std::vector<Record>& rows);

// The metadata block for `meta`: the title as it is, the number and link or
// their "ERROR: missing ..." texts when empty.
std::string restamp_block(const MetaRecord& meta);

// The file's text: UTF-8, with CR LF and a lone CR read as "\n". Throws
// shared::Error naming the file when it cannot be read or is not UTF-8.
std::string read_text(const std::filesystem::path& path);

// Replaces the file's content with `text` through a temporary file in the
// same folder, so a failed write leaves the old content. Throws
// shared::Error naming the file.
void write_text(const std::filesystem::path& path, std::string_view text);

// The regular files of `dir` named "*.md" (no subfolders, no hidden files),
// sorted by name; empty when `dir` does not exist.
std::vector<std::filesystem::path> markdown_files(const std::filesystem::path& dir);

// Stamps every Markdown file of `dir` that has metadata, printing one line
// per file to `out`. Stops at the first file that cannot be read or written.
void stamp_pass(const std::filesystem::path& dir, const MetaMap& meta_map, std::ostream& out);

// Removes the metadata block (with everything before it) from one file when
// it has both markers, printing "🧹 Cleaned:" or "⏭ Skipped:" and the name.
void strip_metadata_block(const std::filesystem::path& md_path, std::ostream& out);

// strip_metadata_block on every Markdown file of `dir`.
void strip_pass(const std::filesystem::path& dir, std::ostream& out);

struct Options {
  std::string metadata_path;  // needed unless mode is strip
  std::filesystem::path dir{std::string(MD_DIR)};
  Mode mode = Mode::stamp;
};

// Loads the metadata (zentrel.metadata) when stamping, then makes the
// passes of `options.mode` in order. A missing folder gives empty passes and
// one note on `err`. Throws shared::ValueError for unusable options or
// metadata, shared::Error when a file cannot be read or written.
void run(const Options& options, std::ostream& out, std::ostream& err);

}  // namespace shared::processors::restamp
