// zentrel.metadata: the metadata source module that the restamp tool loads
// its document rows from. It sits beside the package `shared` and is built
// into the same library; namespace zentrel::metadata.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "shared/record.hpp"

namespace zentrel::metadata {

// The rows of the metadata file at `metadata_path`, in file order, each a
// JSON object. The format follows the extension (any letter case):
//  - ".csv": RFC 4180 with a header row naming the columns (such as
//    blob_filename, document_number, url_document_name); every column is
//    kept, every value is a string; quoted fields may hold commas, doubled
//    quotation marks and line feeds; a row with fewer fields than the header
//    lacks the missing columns; empty lines are skipped;
//  - ".json": an array of objects, taken as they are.
// The file must be UTF-8 (a leading byte-order mark is ignored); CR LF and a
// lone CR become "\n". Throws shared::ValueError naming the file (and the
// line, for CSV) when it cannot be read or is malformed.
std::vector<shared::Record> load_metadata(const std::string& metadata_path);

// The rows of CSV text (already UTF-8, newlines as "\n"); `source` names the
// file in error messages.
std::vector<shared::Record> parse_csv(std::string_view text, std::string_view source);

// The rows of a JSON array of objects; `source` names the file in error
// messages.
std::vector<shared::Record> parse_json_rows(std::string_view text, std::string_view source);

}  // namespace zentrel::metadata
