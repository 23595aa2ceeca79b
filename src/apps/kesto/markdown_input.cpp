#include "apps/kesto/markdown_input.hpp"

#include "apps/common/args.hpp"
#include "shared/fs/files.hpp"
#include "shared/text/json_load.hpp"
#include "shared/text/utf8.hpp"

namespace apps::markdown_input {

namespace {
bool is_stdin(const std::string& path) { return path.empty() || path == "-"; }

std::string source_name(const std::string& path) { return is_stdin(path) ? "standard input" : "'" + path + "'"; }
}  // namespace

std::string read_markdown(const std::string& path) {
  std::string bytes = is_stdin(path) ? read_stdin() : read_file(path);
  if (const std::size_t bad = shared::text::first_invalid(bytes); bad != std::string::npos) {
    throw std::runtime_error(source_name(path) + " is not valid UTF-8 (byte " + std::to_string(bad) + ")");
  }
  // Editors on some systems save a byte-order mark; left in, it hides the
  // first heading from the "# " at the start of a line.
  bytes.erase(0, bytes.size() - shared::fs::without_bom(bytes).size());
  return bytes;
}

shared::Record read_json(const std::string& path) {
  const std::string bytes = is_stdin(path) ? read_stdin() : read_file(path);
  try {
    return shared::text::loads(bytes);
  } catch (const shared::ValueError& e) {
    throw std::runtime_error(source_name(path) + " is not valid JSON: " + e.what());
  }
}

shared::Record read_doc(const std::string& path) {
  shared::Record doc = read_json(path);
  if (!doc.is_object()) {
    throw std::runtime_error("the document record " + source_name(path) + " must be a JSON object, got " +
                             doc.type_name());
  }
  return doc;
}

}  // namespace apps::markdown_input
