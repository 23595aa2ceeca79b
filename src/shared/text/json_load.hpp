// shared.text.json_load: JSON text to a Record, keeping member order, in
// time linear in the number of members. (Parsing straight into an ordered
// record looks every new member up in a list, which turns a sections
// document of tens of thousands of entries into minutes of work.)
#pragma once

#include <string_view>

#include "shared/record.hpp"

namespace shared::text {

// The JSON value in `text`. Members keep their order; a repeated member name
// keeps its first position and takes the last value. Throws
// shared::ValueError carrying the parser's message when `text` is not JSON
// (ill-formed UTF-8 inside strings included).
Record loads(std::string_view text);

}  // namespace shared::text
