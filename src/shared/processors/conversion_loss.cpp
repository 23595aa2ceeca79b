#include "shared/processors/conversion_loss.hpp"

#include "shared/record.hpp"

namespace shared::processors::conversion_loss {

namespace {

// The counts in the order of KEYS.
std::array<std::uint64_t, KEYS.size()> counts(const LossReport& r) {
  return {r.drawings,          r.text_boxes,         r.equations,        r.symbols,          r.footnotes,
          r.endnotes,          r.comments,           r.headers,          r.footers,          r.tracked_deletions,
          r.tracked_insertions, r.fields,            r.content_controls, r.skipped_blocks,   r.nested_tables,
          r.deep_headings,     r.demoted_headings,   r.merged_cells,     r.empty_paragraphs};
}

}  // namespace

Record to_record(const LossReport& report) {
  Record out = Record::object();
  const auto values = counts(report);
  for (std::size_t i = 0; i < KEYS.size(); ++i) out[std::string(KEYS[i])] = values[i];
  return out;
}

bool anything_lost(const LossReport& report) { return report != LossReport{}; }

std::string loss_note(const Record& report) {
  std::string note;
  if (!report.is_object()) return note;
  for (const auto& [key, value] : report.items()) {
    if (!value.is_number_integer() || value.get<long long>() <= 0) continue;
    if (!note.empty()) note += ' ';
    note += key;
    note += '=';
    note += std::to_string(value.get<long long>());
  }
  return note;
}

}  // namespace shared::processors::conversion_loss
