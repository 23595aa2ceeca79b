// shared.text.metadata_markers: the two HTML comments that enclose the
// metadata block at the top of a document's Markdown. Stamping writes them,
// sectioning and re-stamping look for them, so they are spelled once; and
// text that is not the pipeline's own (Word text, metadata values) is
// written so that it can never form them.
#pragma once

#include <string>
#include <string_view>

namespace shared::text {

inline constexpr std::string_view METADATA_START = "<!-- METADATA_START -->";
inline constexpr std::string_view METADATA_END = "<!-- METADATA_END -->";

// What a comment opener of foreign text is written as: the same text once
// Markdown is rendered, but no comment and no marker in the Markdown itself.
inline constexpr std::string_view COMMENT_OPENER = "<!--";
inline constexpr std::string_view NEUTRAL_COMMENT_OPENER = "&lt;!--";

// Appends `s` to `out` with every "<!--" written "&lt;!--".
inline void append_without_comments(std::string& out, std::string_view s) {
  for (std::size_t pos = s.find(COMMENT_OPENER); pos != std::string_view::npos; pos = s.find(COMMENT_OPENER)) {
    out.append(s.substr(0, pos));
    out += NEUTRAL_COMMENT_OPENER;
    s.remove_prefix(pos + COMMENT_OPENER.size());
  }
  out.append(s);
}

// `s` with every "<!--" written "&lt;!--".
inline std::string without_comments(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  append_without_comments(out, s);
  return out;
}

}  // namespace shared::text
