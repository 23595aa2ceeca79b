// shared.processors.stamper: the metadata block written at the top of a
// document's Markdown (document name, document number, Veeva link) between
// two HTML comment markers, so that stamping again replaces the block
// instead of adding a second one.
#pragma once

#include <string>
#include <string_view>

#include "shared/record.hpp"
#include "shared/text/metadata_markers.hpp"

namespace shared::processors::stamper {

using text::METADATA_END;
using text::METADATA_START;

// The block for the three values, inserted as they are (no escaping, no
// trimming) except that line breaks inside a value become spaces and "<!--"
// is written "&lt;!--", so that no value can add a line or a marker: start
// marker, "## Metadata", the three list lines, end marker and one empty line.
std::string compose_metadata_block(std::string_view document_name, std::string_view document_number,
                                   std::string_view link);

// Builds the Markdown metadata block from document metadata: the record's
// `document_name`, `document_number` and `url_document_name`, each "N/A"
// when absent or empty. A Markdown string wrapped in METADATA_START /
// METADATA_END comments.
std::string build_metadata_block(const Record& doc);

// True when `text` contains both markers (anywhere, in any order).
bool has_metadata_block(std::string_view text);

// `block` in place of the existing block when `text` has both markers (the
// text before the first start marker, `block`, then the text after the first
// end marker with leading whitespace removed); otherwise `block` + `text`.
std::string replace_metadata_block(std::string_view text, std::string_view block);

// Stamp (or re-stamp) a Markdown string with the metadata block.
std::string stamp_markdown(std::string_view markdown_text, const Record& doc);

// The Markdown blob name the stage falls back on: `blob_filename` cut before
// its last "." (whole when it has none), folders kept, followed by ".md":
// "a/SOP-001.docx" gives "a/SOP-001.md".
std::string markdown_blob_name(std::string_view blob_filename);

}  // namespace shared::processors::stamper
