// shared.text.pyjson: JSON text in the two layouts the pipeline writes.
//  - compact with spaces (", " and ": "), every non-ASCII character as a
//    \uXXXX escape: the log line layout;
//  - indented by two spaces, ": " after names, non-ASCII written as itself:
//    the layout of the sections and enriched documents.
// In both, only the quotation mark, the reverse solidus and U+0000..U+001F
// are escaped besides the non-ASCII rule (short forms where JSON has them,
// else \u00xx with lower-case hex), and floating numbers use their shortest
// round-trip form keeping ".0". Invalid UTF-8 is written as U+FFFD, never
// thrown.
#pragma once

#include <string>

#include "shared/record.hpp"

namespace shared::text {

// Compact with spaces, ASCII only.
std::string dumps_compact_ascii(const Record& value);

// Indented by `indent` spaces, non-ASCII as itself.
std::string dumps_indented(const Record& value, int indent = 2);

// Compact with no spaces, non-ASCII as itself (one record per line output).
std::string dumps_compact(const Record& value);

// Appends `s` as a JSON string literal.
void append_json_string(std::string& out, std::string_view s, bool ensure_ascii);

// Appends what append_json_string writes between the quotation marks.
void append_json_string_content(std::string& out, std::string_view s, bool ensure_ascii);

// The same with non-ASCII written as itself, for `s` known to be well-formed
// UTF-8 (text::first_invalid(s) is npos): only control characters, '"' and
// '\\' are looked at, so long texts go at close to the speed of a copy.
void append_valid_json_string_content(std::string& out, std::string_view s);

// Appends `value` as dumps_indented writes it where it stands `depth` levels
// deep (its nested lines indented by `indent` spaces more per level).
void append_indented(std::string& out, const Record& value, int indent, int depth);

}  // namespace shared::text
