// shared.processors.conversion_loss: what a conversion to Markdown leaves
// out of one Word document, counted while the document is read. The counts
// never change the Markdown; they say what a reader of it will not find.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace shared::processors::conversion_loss {

// shared::Record, named here through the JSON library's declarations only,
// so that the package reader, which includes this header, need not parse
// the whole library.
using Record = nlohmann::ordered_json;

// One count per kind of content the Markdown does not carry. The member
// order is the order of the report's keys.
struct LossReport {
  std::uint64_t drawings = 0;            // pictures, charts, shapes, embedded objects (w:drawing, w:pict, w:object)
  std::uint64_t text_boxes = 0;          // text boxes (w:txbxContent); the shape holding one is not a drawing too
  std::uint64_t equations = 0;           // Office Math (m:oMath, m:oMathPara)
  std::uint64_t symbols = 0;             // symbol characters (w:sym), e.g. check boxes in a symbol font
  std::uint64_t footnotes = 0;           // footnote references in the body
  std::uint64_t endnotes = 0;            // endnote references in the body
  std::uint64_t comments = 0;            // comment references in the body
  std::uint64_t headers = 0;             // header parts of the main part: never read
  std::uint64_t footers = 0;             // footer parts of the main part: never read
  std::uint64_t tracked_deletions = 0;   // deleted and moved-away runs (text left out), deleted rows (text kept)
  std::uint64_t tracked_insertions = 0;  // inserted and moved-to runs, inserted rows: text kept, mark lost
  std::uint64_t fields = 0;              // simple and complex fields: result text kept, field code lost
  std::uint64_t content_controls = 0;    // content controls skipped with their content (body and cell level)
  std::uint64_t skipped_blocks = 0;      // other containers skipped with their content (w:customXml, w:altChunk)
  std::uint64_t nested_tables = 0;       // tables inside table cells
  std::uint64_t deep_headings = 0;       // Heading 3 to Heading 9 paragraphs, written as plain text
  std::uint64_t demoted_headings = 0;    // Heading 1/2 paragraphs with their own numbering, written as plain text
  std::uint64_t merged_cells = 0;        // spanning cells repeated, vertical-merge continuations filled in
  std::uint64_t empty_paragraphs = 0;    // body paragraphs whose text is empty or whitespace only

  bool operator==(const LossReport&) const = default;
};

// The report's keys, in order: the member names of LossReport.
inline constexpr std::array<std::string_view, 19> KEYS = {
    "drawings",          "text_boxes",     "equations",       "symbols",
    "footnotes",         "endnotes",       "comments",        "headers",
    "footers",           "tracked_deletions", "tracked_insertions", "fields",
    "content_controls",  "skipped_blocks", "nested_tables",   "deep_headings",
    "demoted_headings",  "merged_cells",   "empty_paragraphs"};

// Every key of KEYS with its count, in that order, zeros included.
Record to_record(const LossReport& report);

// True when any count is above zero.
bool anything_lost(const LossReport& report);

// "drawings=2 footnotes=1" for the non-zero members of a report record, in
// the record's order; "" when none is above zero or `report` is no object.
// Members that are not whole numbers are ignored.
std::string loss_note(const Record& report);

}  // namespace shared::processors::conversion_loss
