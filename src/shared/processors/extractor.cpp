#include "shared/processors/extractor.hpp"

#include <algorithm>
#include <cstdint>
#include <variant>

#include "shared/processors/artifact_names.hpp"
#include "shared/text/metadata_markers.hpp"
#include "shared/text/utf8.hpp"

namespace shared::processors::extractor {

namespace {

// Appends one output entry, a "\n" between entries.
class Output {
 public:
  // Address space only: pages of the reserve that are never written cost no
  // memory, and the text is never copied while it grows.
  explicit Output(std::uint64_t expected) {
    text_.reserve(static_cast<std::size_t>(std::min(expected, docx_package::MAX_PART_SIZE)));
  }

  void add(std::string_view entry) {
    if (!first_) text_ += '\n';
    first_ = false;
    text_ += entry;
    if (text_.size() > docx_package::MAX_PART_SIZE) {
      throw docx_package::PackageError("the converted text exceeds " +
                                       docx_package::size_text(docx_package::MAX_PART_SIZE));
    }
  }
  std::string take() { return std::move(text_); }

 private:
  std::string text_;
  bool first_ = true;
};

void append_row(std::string& out, const std::vector<std::string>& cells) {
  out += "| ";
  bool first = true;
  for (const std::string& cell : cells) {
    if (!first) out += " | ";
    first = false;
    // One line per row: paragraph breaks inside a cell become spaces.
    std::string line(text::strip(cell));
    std::replace(line.begin(), line.end(), '\n', ' ');
    text::append_without_comments(out, line);
  }
  out += " |";
}

}  // namespace

std::string docx_bytes_to_markdown(std::string_view docx_bytes) {
  LossReport loss;
  return docx_bytes_to_markdown(docx_bytes, loss);
}

std::string docx_bytes_to_markdown(std::string_view docx_bytes, LossReport& loss) {
  Document doc(docx_bytes);
  std::map<int, long> counters;
  Output output(doc.main_part_size());
  // What only the paragraph rules decide; the reader counts the rest.
  std::uint64_t deep_headings = 0, demoted_headings = 0, empty_paragraphs = 0;
  for (Block& block : _iter_block_items(doc)) {
    if (const auto* paragraph = std::get_if<Paragraph>(&block)) {
      const std::string entry = _paragraph_to_markdown(*paragraph, counters);
      if (entry.empty()) {
        ++empty_paragraphs;
      } else if (const std::string& style = paragraph->style_name;
                 style.size() == 9 && style.compare(0, 8, "Heading ") == 0) {
        // The display names "Heading 1" to "Heading 9": only the first two
        // become headings, and only without numbering of their own.
        if (style[8] >= '3' && style[8] <= '9') {
          ++deep_headings;
        } else if ((style[8] == '1' || style[8] == '2') && paragraph->has_numbering) {
          ++demoted_headings;
        }
      }
      output.add(entry);
    } else {
      output.add("");
      output.add(_table_to_markdown(std::get<Table>(block)));
      output.add("");
    }
  }
  std::string markdown = output.take();
  // The XML parser already rejects ill-formed input; this keeps the promise
  // that every caller downstream receives valid UTF-8.
  if (const std::size_t bad = text::first_invalid(markdown); bad != std::string::npos) {
    throw docx_package::PackageError("the document text is not valid UTF-8 (at byte " + std::to_string(bad) +
                                     " of the converted text)");
  }
  loss = doc.loss();
  loss.deep_headings = deep_headings;
  loss.demoted_headings = demoted_headings;
  loss.empty_paragraphs = empty_paragraphs;
  return markdown;
}

std::string docx_bytes_to_text(std::string_view docx_bytes) {
  Document doc(docx_bytes);
  std::string out;
  for (Block& block : _iter_block_items(doc)) {
    const auto* paragraph = std::get_if<Paragraph>(&block);
    if (paragraph == nullptr) continue;
    const std::string_view text = text::strip(paragraph->text);
    if (text.empty()) continue;
    if (!out.empty()) out += '\n';
    out += text;
    if (out.size() > docx_package::MAX_PART_SIZE) {
      throw docx_package::PackageError("the document text exceeds " +
                                       docx_package::size_text(docx_package::MAX_PART_SIZE));
    }
  }
  return out;
}

std::vector<TableCells> docx_bytes_to_tables(std::string_view docx_bytes) {
  Document doc(docx_bytes);
  std::vector<TableCells> tables;
  std::uint64_t total = 0;
  for (Block& block : _iter_block_items(doc)) {
    auto* table = std::get_if<Table>(&block);
    if (table == nullptr) continue;
    TableCells cells;
    cells.reserve(table->rows.size());
    for (std::vector<std::string>& row : table->rows) {
      std::vector<std::string> stripped;
      stripped.reserve(row.size());
      for (const std::string& cell : row) {
        stripped.emplace_back(text::strip(cell));
        total += stripped.back().size();
      }
      cells.push_back(std::move(stripped));
    }
    // Each table is capped by the reader; many of them together are capped here.
    if (total > docx_package::MAX_PART_SIZE) {
      throw docx_package::PackageError("the document's tables exceed " +
                                       docx_package::size_text(docx_package::MAX_PART_SIZE));
    }
    tables.push_back(std::move(cells));
  }
  return tables;
}

std::string markdown_file_name(std::string_view blob_filename) {
  return artifact_names::extraction_markdown(blob_filename);
}

bool _is_list_paragraph(const Paragraph& paragraph) { return paragraph.has_numbering; }

std::string _paragraph_to_markdown(const Paragraph& paragraph, std::map<int, long>& counters) {
  // The document's own "<!--" is written "&lt;!--": a paragraph reading like
  // a metadata marker would otherwise hand the text after it to the stamp,
  // which replaces everything up to the first end marker, and an HTML
  // comment would hide text from a reader of the rendered Markdown.
  const std::string_view text = text::strip(paragraph.text);
  if (text.empty()) return "";
  const std::string& style_name = paragraph.style_name;
  // A numbered paragraph in a heading style is a list item that only looks
  // like a heading: it keeps its text and does not count.
  if (_is_list_paragraph(paragraph)) return text::without_comments(text);
  if (style_name != "Heading 1" && style_name != "Heading 2") return text::without_comments(text);

  const int level = style_name.back() - '0';
  counters[level] += 1;
  counters.erase(counters.upper_bound(level), counters.end());
  std::string number;
  for (const auto& [key, value] : counters) {
    if (!number.empty()) number += '.';
    number += std::to_string(value);
  }
  std::string out(static_cast<std::size_t>(level), '#');
  out += ' ';
  out += number;
  out += ' ';
  text::append_without_comments(out, text);
  return out;
}

std::string _table_to_markdown(const Table& table) {
  if (table.rows.empty()) return "";
  std::string out;
  const std::vector<std::string>& header = table.rows.front();
  append_row(out, header);
  out += '\n';
  append_row(out, std::vector<std::string>(header.size(), "---"));
  for (std::size_t r = 1; r < table.rows.size(); ++r) {
    out += '\n';
    append_row(out, table.rows[r]);
  }
  return out;
}

}  // namespace shared::processors::extractor
