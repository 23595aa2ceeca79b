// shared.processors.enricher: prefixes every section of a sections document
// with a sentence naming the document and, for numbered sub-sections, the
// top-level heading they belong to, so each section carries its context when
// it is embedded and retrieved on its own.
#pragma once

#include <string>
#include <string_view>

#include "shared/record.hpp"

namespace shared::processors::enricher {

// The heading part of a section key: what follows its first "::". Throws
// shared::ValueError when the key has no "::".
std::string_view section_heading(std::string_view key);

// The heading's number: its first whitespace-separated token ("4.2" for
// "4.2 Training records", "Purpose" for "Purpose"). Throws
// shared::ValueError naming `key` when the heading is empty or all
// whitespace.
std::string_view heading_number(std::string_view heading, std::string_view key);

// Takes the raw sections document {"qd", "document", "link", "sections"},
// injects document and hierarchy context into each section's text for better
// vector retrieval, and returns {"qd-number", "doc_name", "link",
// "enriched"}. A heading number without "." is recorded as a top-level
// heading; one with "." is placed under the top-level heading recorded
// earlier for its first component ("" when none). Throws shared::TypeError
// when `sections_json` or its "sections" is not an object or a section text
// is not a string, and shared::ValueError for a key without "::" or with an
// empty heading.
Record enrich_sections(const Record& sections_json);

}  // namespace shared::processors::enricher
