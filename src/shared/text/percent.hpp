// shared.text.percent: percent coding of URL parts (blob names, query
// values, deployment names) and of package relationship targets.
#pragma once

#include <string>
#include <string_view>

namespace shared::text {

// Percent-encodes every byte but the unreserved characters (and "/" when
// `keep_slash`), with upper-case hex digits.
std::string percent_encode(std::string_view s, bool keep_slash);

// Decodes "%XY" escapes (either case of hex digit); a broken escape stays as
// it is, and "+" is not a space.
std::string percent_decode(std::string_view s);

}  // namespace shared::text
