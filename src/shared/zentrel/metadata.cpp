#include "shared/zentrel/metadata.hpp"

#include <fstream>
#include <sstream>
#include <unordered_set>

#include "shared/errors.hpp"
#include "shared/fs/files.hpp"
#include "shared/text/utf8.hpp"

namespace zentrel::metadata {

namespace {

using shared::Record;
using shared::ValueError;

std::string read_whole(const std::string& path) {
  try {
    return shared::fs::read_file(path);
  } catch (const shared::Error& e) {
    // A folder is bad metadata, not an empty table.
    const std::string why = e.what();
    const bool folder = why.ends_with("': is a folder");
    throw ValueError("cannot read metadata file '" + path + "'" + (folder ? ": is a folder" : ""));
  }
}

std::string error_at(std::string_view source, std::size_t line, const std::string& what) {
  return "metadata file '" + std::string(source) + "' line " + std::to_string(line) + ": " + what;
}

// One CSV record's fields; `line` counts lines for messages and advances over
// line feeds inside quoted fields.
std::vector<std::string> read_record(std::string_view text, std::size_t& pos, std::size_t& line,
                                     std::string_view source) {
  std::vector<std::string> fields;
  const std::size_t start_line = line;
  std::string field;
  while (true) {
    if (pos < text.size() && text[pos] == '"') {
      ++pos;
      while (true) {
        if (pos >= text.size()) throw ValueError(error_at(source, start_line, "quoted field is not closed"));
        const char c = text[pos++];
        if (c == '"') {
          if (pos < text.size() && text[pos] == '"') {
            field += '"';
            ++pos;
            continue;
          }
          break;
        }
        if (c == '\n') ++line;
        field += c;
      }
      if (pos < text.size() && text[pos] != ',' && text[pos] != '\n') {
        throw ValueError(error_at(source, line, "unexpected character after a closing quotation mark"));
      }
    } else {
      // A quotation mark inside an unquoted field is kept as it is.
      while (pos < text.size() && text[pos] != ',' && text[pos] != '\n') field += text[pos++];
    }
    fields.push_back(std::move(field));
    field.clear();
    if (pos < text.size() && text[pos] == ',') {
      ++pos;
      continue;
    }
    if (pos < text.size()) {
      ++pos;  // the line feed ending the record
      ++line;
    }
    return fields;
  }
}

}  // namespace

std::vector<Record> parse_csv(std::string_view text, std::string_view source) {
  std::vector<Record> rows;
  std::size_t pos = 0, line = 1;
  std::vector<std::string> header;
  bool have_header = false;
  while (pos < text.size()) {
    if (text[pos] == '\n') {
      ++pos;
      ++line;
      continue;
    }
    const std::size_t record_line = line;
    std::vector<std::string> fields = read_record(text, pos, line, source);
    if (!have_header) {
      std::unordered_set<std::string> seen;
      for (const std::string& name : fields) {
        if (!seen.insert(name).second) {
          throw ValueError(error_at(source, record_line, "column '" + name + "' appears twice in the header"));
        }
      }
      header = std::move(fields);
      have_header = true;
      continue;
    }
    if (fields.size() > header.size()) {
      throw ValueError(error_at(source, record_line,
                                std::to_string(fields.size()) + " fields, but the header names " +
                                    std::to_string(header.size()) + " columns"));
    }
    Record row = Record::object();
    for (std::size_t i = 0; i < fields.size(); ++i) row[header[i]] = std::move(fields[i]);
    rows.push_back(std::move(row));
  }
  return rows;
}

std::vector<Record> parse_json_rows(std::string_view text, std::string_view source) {
  Record doc;
  try {
    doc = Record::parse(text);
  } catch (const Record::parse_error& e) {
    throw ValueError("metadata file '" + std::string(source) + "' is not valid JSON: " + e.what());
  }
  if (!doc.is_array()) {
    throw ValueError("metadata file '" + std::string(source) + "' must hold a JSON array of objects, got " +
                     doc.type_name());
  }
  std::vector<Record> rows;
  rows.reserve(doc.size());
  for (std::size_t i = 0; i < doc.size(); ++i) {
    if (!doc[i].is_object()) {
      throw ValueError("metadata file '" + std::string(source) + "': element " + std::to_string(i) +
                       " is not an object but " + doc[i].type_name());
    }
    rows.push_back(std::move(doc[i]));
  }
  return rows;
}

std::vector<Record> load_metadata(const std::string& metadata_path) {
  const std::size_t dot = metadata_path.rfind('.');
  const std::size_t slash = metadata_path.rfind('/');
  const std::string ext = dot == std::string::npos || (slash != std::string::npos && dot < slash)
                              ? std::string()
                              : shared::text::ascii_lower(metadata_path.substr(dot));
  if (ext != ".csv" && ext != ".json") {
    throw ValueError("metadata file '" + metadata_path + "' must end in .csv or .json");
  }
  std::string bytes = read_whole(metadata_path);
  if (const std::size_t bad = shared::text::first_invalid(bytes); bad != std::string::npos) {
    throw ValueError("metadata file '" + metadata_path + "' is not valid UTF-8 (byte " + std::to_string(bad) + ")");
  }
  std::string_view body = bytes;
  if (body.substr(0, 3) == "\xEF\xBB\xBF") body.remove_prefix(3);
  const std::string text = shared::text::universal_newlines(body);
  return ext == ".csv" ? parse_csv(text, metadata_path) : parse_json_rows(text, metadata_path);
}

}  // namespace zentrel::metadata
