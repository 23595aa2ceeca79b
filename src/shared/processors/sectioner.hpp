// shared.processors.sectioner: cuts a document's Markdown into sections at
// its headings, arranges them in the heading hierarchy and flattens them into
// a map from "{doc_name}::{title}" keys to section texts; builds the sections
// document {"qd", "document", "link", "sections"} that is stored as
// "{doc_name}.sections.json".
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "shared/record.hpp"
#include "shared/text/metadata_markers.hpp"

namespace shared::processors::sectioner {

using text::METADATA_END;
using text::METADATA_START;

// One match of the heading pattern; offsets are byte offsets into the text.
struct HeadingMatch {
  std::size_t start = 0;        // the first "#"
  std::size_t end = 0;          // end of the match: the end of the title's line
  std::size_t level = 0;        // number of "#" characters, 1 to 8
  std::size_t title_start = 0;  // the title (group 2), untrimmed
  std::size_t title_end = 0;

  std::string_view title(std::string_view text) const { return text.substr(title_start, title_end - title_start); }
};

// The heading pattern "^(#{1,8})\s+(.+)$" in multi-line mode, matched by
// hand in time linear in the text. "^" and "$" sit at the text's ends and
// beside every line feed ("\r" is no line break); "\s" is the Unicode
// whitespace set of shared/text/utf8.hpp, line feed included, so a line of
// only "#" characters takes the next non-blank line as its title; "." is any
// character but a line feed. The results are those of a backtracking engine,
// including the greedy whitespace run giving characters back at the end of
// the text so that the title gets a character that is not a line feed.
class HeadingPattern {
 public:
  static constexpr std::string_view pattern = "^(#{1,8})\\s+(.+)$";

  // The first match that starts at or after byte `pos`, or nullopt.
  std::optional<HeadingMatch> search(std::string_view text, std::size_t pos = 0) const;

  // All non-overlapping matches from left to right, each search resuming
  // where the previous match ended.
  std::vector<HeadingMatch> finditer(std::string_view text) const;
};

inline constexpr HeadingPattern HEADING_RE{};

// Section texts by key, in the order keys were first set; setting a key
// again replaces its text in place. Lookup is by hash, so building a map of
// many sections stays linear.
class SectionMap {
 public:
  void set(std::string key, std::string text);
  // The text of `key`, or nullptr.
  const std::string* find(std::string_view key) const;
  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  const std::vector<std::pair<std::string, std::string>>& entries() const { return entries_; }

  // The map as a JSON object in map order; the map is left empty.
  Record take_record();

 private:
  std::vector<std::pair<std::string, std::string>> entries_;
  std::unordered_map<std::string, std::size_t> index_;
};

// Parses Markdown headings and returns a flat map of "{doc_name}::{title}"
// keys to collapsed section texts: each heading's text from its "#" to the
// next heading, trimmed, followed by the texts of its sub-headings, each
// after an empty line. Text before the first heading belongs to no section.
// With `include_metadata` false and both metadata markers present, the
// markers and everything between them are removed first. Never fails.
SectionMap split_markdown_hierarchical(std::string_view md_text, std::string_view doc_name,
                                       bool include_metadata = true);

// The document name: the record's `blob_filename` ("" when absent) without
// its last "." and what follows. Throws shared::TypeError when
// `blob_filename` is present but not a string.
std::string document_name(const Record& doc);

// The sections document for `markdown_text`: "qd" = the record's
// `document_number` (null when absent), "document" = document_name(doc),
// "link" = its `url_document_name` ("" when absent), "sections" = the
// section map. Throws what document_name throws.
Record build_sections_document(std::string_view markdown_text, const Record& doc, bool include_metadata = true);

// The JSON text stored for a sections (or enriched) document: two-space
// indentation, ": " after names, non-ASCII written as itself.
std::string sections_json_text(const Record& document);

// The bytes of sections_json_text(build_sections_document(markdown_text,
// doc, include_metadata)), handed to `sink` piece by piece as they are made:
// neither the document nor its section texts are built, so a large document
// costs little more than its text. Throws what document_name throws, before
// the first piece. `well_formed` says the caller has found markdown_text to be
// well-formed UTF-8 already (text::first_invalid is npos), which spares
// checking it again.
void write_sections_json(std::string_view markdown_text, const Record& doc, bool include_metadata,
                         const std::function<void(std::string_view)>& sink, bool well_formed = false);

}  // namespace shared::processors::sectioner
