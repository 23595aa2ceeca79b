// shared.processors.docx_package: a reader of WordprocessingML packages
// (.docx, .docm, .dotx, .dotm) held in memory. It finds the main document part
// and its styles through the package relationships, matches elements by
// namespace URI (transitional and strict), and streams the body one block at a
// time: besides the paragraph or table being read, only the blocks finished
// within the current 16 KiB chunk of XML are held.
//
// XML is read without DTD loading, network access or entity expansion; every
// part is inflated in a stream and capped at MAX_PART_SIZE.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "shared/errors.hpp"
#include "shared/processors/conversion_loss.hpp"

namespace shared::processors::docx_package {

// The bytes are not a readable Word package: not a zip archive, a damaged or
// encrypted archive, no main document part, malformed XML, or a part or text
// beyond the size caps. what() says which.
struct PackageError : shared::Error {
  using Error::Error;
};

// Largest inflated size of one part, and largest text one table or one
// document may yield.
inline constexpr std::uint64_t MAX_PART_SIZE = std::uint64_t{256} << 20;

// "256 MiB" for MAX_PART_SIZE; a size that is no whole number of MiB in bytes.
std::string size_text(std::uint64_t bytes);

// A body paragraph (`w:p`).
struct Paragraph {
  // w:t texts, w:tab and w:ptab as "\t", w:br and w:cr as "\n", w:noBreakHyphen
  // as "-", in document order; runs inside hyperlinks, insertions, moves to,
  // smart tags, custom XML, fields and inline content controls count, deleted
  // and moved-away text does not.
  std::string text;
  // A w:numPr directly inside the paragraph's own w:pPr.
  bool has_numbering = false;
  // The display name of the resolved paragraph style; "" when none resolves or
  // the style has no name.
  std::string style_name;
};

// A body table (`w:tbl`): each row's cells expanded to the grid (a cell
// spanning n grid columns appears n times; a vertical-merge continuation
// shows the text of the cell where the merge starts). A cell's text is the
// text of its own paragraphs joined with "\n"; nested tables add nothing.
struct Table {
  std::vector<std::vector<std::string>> rows;
};

using Block = std::variant<Paragraph, Table>;

// Paragraph styles of a styles part: the lookup by style id with the fall
// back to the default paragraph style.
class Styles {
 public:
  // Records a paragraph style in document order; the first style of an id
  // wins, the last one marked default becomes the default.
  void add(std::string style_id, std::optional<std::string> name, bool is_default);
  // The display name for a paragraph's w:pStyle value (nullopt: no w:pStyle).
  std::string paragraph_style_name(const std::optional<std::string>& style_id) const;

  // "heading 1".."heading 9", "caption", "header", "footer" in their display
  // spelling ("Heading 1", ...); any other name unchanged.
  static std::string display_name(std::string_view stored);

 private:
  std::unordered_map<std::string, std::optional<std::string>> by_id_;
  bool has_default_ = false;
  std::optional<std::string> default_name_;
};

// An opened Word package over caller-owned bytes, which must outlive it.
class Document {
 public:
  // Opens the package and reads its relationships and styles. Throws
  // PackageError when the bytes are not a readable Word package. No part may
  // inflate to more than `max_part_size` bytes, and no table may expand to
  // more text than that.
  explicit Document(std::string_view docx_bytes, std::uint64_t max_part_size = MAX_PART_SIZE);
  ~Document();
  Document(const Document&) = delete;
  Document& operator=(const Document&) = delete;

  // The next block of the body, in document order (the direct w:p and w:tbl
  // children of w:body; every other child is skipped with its content).
  // Returns false after the last block. Throws PackageError on malformed XML
  // or an exceeded cap; the document is unusable afterwards.
  bool next_block(Block& out);

  // Name of the main document part inside the archive, e.g. "word/document.xml".
  const std::string& main_part_name() const;
  // Inflated size the archive declares for the main part (capped at the
  // limit): an upper bound of its text, unless merged table cells repeat it.
  std::uint64_t main_part_size() const;

  // What the reader has seen so far and the Markdown will not carry: the
  // header and footer parts from the opening, the body's counts as far as
  // its blocks have been read. The converter adds what only it decides (the
  // heading and empty-paragraph counts).
  const conversion_loss::LossReport& loss() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace shared::processors::docx_package
