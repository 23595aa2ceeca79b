#include "shared/processors/restamp.hpp"

#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>

#include "shared/errors.hpp"
#include "shared/fs/files.hpp"
#include "shared/text/utf8.hpp"
#include "shared/zentrel/metadata.hpp"

namespace shared::processors::restamp {

namespace fs = std::filesystem;

std::optional<Mode> parse_mode(std::string_view name) {
  if (name == "stamp") return Mode::stamp;
  if (name == "strip") return Mode::strip;
  if (name == "both") return Mode::both;
  return std::nullopt;
}

MetaMap build_meta_map(const std::vector<Record>& rows) {
  MetaMap out;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Record* name = record::find(rows[i], "blob_filename");
    if (name == nullptr) {
      throw ValueError("metadata row " + std::to_string(i + 1) + " has no blob_filename");
    }
    // File stems are text, so a row named by anything else matches no file.
    if (!name->is_string()) continue;
    const Record* number = record::find(rows[i], "document_number");
    const Record* link = record::find(rows[i], "url_document_name");
    const std::string& title = name->get_ref<const std::string&>();
    out[title] = MetaRecord{title, record::is_empty(number) ? std::string() : record::text_of(*number),
                            record::is_empty(link) ? std::string() : record::text_of(*link)};
  }
  return out;
}

std::string restamp_block(const MetaRecord& meta) {
  return stamper::compose_metadata_block(meta.title, meta.doc_number.empty() ? MISSING_NUMBER : meta.doc_number,
                                         meta.link.empty() ? MISSING_LINK : meta.link);
}

std::string read_text(const fs::path& path) {
  const std::string file_bytes = shared::fs::read_file(path.string());
  // A byte-order mark would sit in front of the stamped block.
  const std::string_view bytes = shared::fs::without_bom(file_bytes);
  if (const std::size_t bad = text::first_invalid(bytes); bad != std::string::npos) {
    throw Error("cannot read '" + path.string() + "': not valid UTF-8 (byte " + std::to_string(bad) + ")");
  }
  return text::universal_newlines(bytes);
}

void write_text(const fs::path& path, std::string_view text) { shared::fs::write_file_atomic(path.string(), text); }

std::vector<fs::path> markdown_files(const fs::path& dir) {
  std::vector<fs::path> out;
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) return out;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name.size() <= 3 || name.front() == '.' || name.compare(name.size() - 3, 3, ".md") != 0) continue;
    if (!entry.is_regular_file(ec)) continue;
    out.push_back(entry.path());
  }
  std::sort(out.begin(), out.end());
  return out;
}

namespace {
void report(std::ostream& out, std::string_view label, const fs::path& file) {
  // A file name may hold any byte but "/": shown raw, control characters in
  // it would reach the terminal.
  out << label << ' ' << text::printable(file.filename().string()) << '\n';
  out.flush();
}
}  // namespace

void stamp_pass(const fs::path& dir, const MetaMap& meta_map, std::ostream& out) {
  for (const fs::path& file : markdown_files(dir)) {
    auto meta = meta_map.find(file.stem().string());
    if (meta == meta_map.end()) {
      report(out, LABEL_NO_METADATA, file);
      continue;
    }
    const std::string body = read_text(file);
    const bool update = stamper::has_metadata_block(body);
    const std::string updated = stamper::replace_metadata_block(body, restamp_block(meta->second));
    report(out, update ? LABEL_UPDATED : LABEL_ADDED, file);
    write_text(file, updated);
  }
}

void strip_metadata_block(const fs::path& md_path, std::ostream& out) {
  const std::string text = read_text(md_path);
  if (!stamper::has_metadata_block(text)) {
    report(out, LABEL_SKIPPED, md_path);
    return;
  }
  const std::size_t end = text.find(METADATA_END) + METADATA_END.size();
  write_text(md_path, text::lstrip(std::string_view(text).substr(end)));
  report(out, LABEL_CLEANED, md_path);
}

void strip_pass(const fs::path& dir, std::ostream& out) {
  for (const fs::path& file : markdown_files(dir)) strip_metadata_block(file, out);
}

void run(const Options& options, std::ostream& out, std::ostream& err) {
  std::error_code ec;
  if (fs::exists(options.dir, ec) && !fs::is_directory(options.dir, ec)) {
    throw ValueError("'" + options.dir.string() + "' is not a folder");
  }
  MetaMap meta_map;
  if (options.mode != Mode::strip) {
    if (options.metadata_path.empty()) throw ValueError("a metadata file is needed to stamp (--metadata PATH)");
    meta_map = build_meta_map(zentrel::metadata::load_metadata(options.metadata_path));
  }
  if (!fs::exists(options.dir, ec)) {
    err << "restamp: note: folder '" << options.dir.string() << "' does not exist; nothing to do\n";
    return;
  }
  if (options.mode != Mode::strip) stamp_pass(options.dir, meta_map, out);
  if (options.mode != Mode::stamp) strip_pass(options.dir, out);
}

}  // namespace shared::processors::restamp
