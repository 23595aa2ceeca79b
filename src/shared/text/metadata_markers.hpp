// shared.text.metadata_markers: the two HTML comments that enclose the
// metadata block at the top of a document's Markdown. Stamping writes them,
// sectioning and re-stamping look for them, so they are spelled once.
#pragma once

#include <string_view>

namespace shared::text {

inline constexpr std::string_view METADATA_START = "<!-- METADATA_START -->";
inline constexpr std::string_view METADATA_END = "<!-- METADATA_END -->";

}  // namespace shared::text
