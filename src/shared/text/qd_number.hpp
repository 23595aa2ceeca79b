// shared.text.qd_number: QD-numbers, the documents' natural key. A
// QD-number is "QD-" followed by one or more ASCII digits; letters compare
// ignoring case and the canonical form is upper-case.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace shared::text {

// `text` with surrounding whitespace removed and upper-cased when it is a
// QD-number ("QD-" and digits only, any case); nullopt otherwise. This is
// what every entry point (the command line, registry rows, metadata-file
// rows, the deletion) accepts: "QD-", "%", "QD-12a" or "" are refused.
std::optional<std::string> normalize_qd_number(std::string_view text);

// The first "QD-<digits>" in `text`, ignoring case, exactly as written; "".
std::string find_qd_number(std::string_view text);

// Whether name `name` belongs to `qd_number`: the number occurs in it,
// ignoring case, neither preceded by a letter or digit nor followed by a
// digit. So "QD-95" matches "x QD-95.md" but not "QD-950.md".
bool names_document(std::string_view name, std::string_view qd_number);

// Every QD-number that `name` carries as a whole number (in the sense of
// names_document), upper-cased, each once, in order of first occurrence.
std::vector<std::string> qd_numbers_in(std::string_view name);

}  // namespace shared::text
