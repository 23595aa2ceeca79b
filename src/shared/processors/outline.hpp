// shared.processors.outline: the offline summary engine (SUMMARY_ENGINE
// "outline") and the heading check of model summaries. Pure text functions:
// no settings, no I/O, no logging.
//
// The outline keeps every Heading 1 ("# ") and Heading 2 ("## ") line of a
// Markdown document exactly and in order, and writes under each heading two
// to five short bullet points made from the leading sentences of that
// section. Text before the first heading gets its bullets at the top.
// Skipped as sources: empty lines, HTML comments (the metadata block's
// markers among them), table rows, deeper headings and code fences.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace shared::processors::outline {

inline constexpr std::size_t MAX_BULLETS = 5;
inline constexpr std::size_t MIN_BULLETS = 2;         // when the section has that many sentences
inline constexpr std::size_t SECTION_BUDGET = 320;    // characters; no bullet is added past it once MIN_BULLETS are there
inline constexpr std::size_t MAX_BULLET_CHARS = 160;  // a longer sentence is cut at a word and ends in "…"

// True for a line that starts with "# " or "## ".
bool is_outline_heading(std::string_view line);

// The sentences of one line of text, in order, with whitespace runs
// collapsed to one space and a leading list marker ("- ", "* ", "+ ", "• ")
// removed. A sentence ends at ".", "!" or "?" followed by a blank and a word
// that does not start with a lower-case letter or digit (so "e.g. the" and
// "approx. 5" do not end one), unless the word before is a known
// abbreviation.
std::vector<std::string> sentences(std::string_view line);

// The outline summary of a Markdown text; "" when the text holds no heading
// and no sentence. Deterministic: the same text gives the same bytes.
std::string outline_summary(std::string_view markdown);

// The Heading 1 and Heading 2 lines of the document that `summary` lacks, in
// document order, each as the document writes it (without trailing blanks).
// Lines are compared with whitespace runs collapsed; a heading that occurs
// twice in the document must occur twice in the summary.
std::vector<std::string> dropped_headings(std::string_view document, std::string_view summary);

// "Summary dropped {k} of {n} document headings: '…', '…'".
std::string dropped_headings_message(const std::vector<std::string>& dropped, std::size_t total_headings);

// The number of Heading 1 and Heading 2 lines of a Markdown text.
std::size_t count_outline_headings(std::string_view markdown);

}  // namespace shared::processors::outline
