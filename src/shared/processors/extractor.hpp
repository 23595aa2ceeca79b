// shared.processors.extractor: stage 2, extraction (output folder
// "kesto-ml-dev-markdown-files/"). The conversion of a Word document into
// the pipeline's Markdown: body paragraphs as lines, "Heading 1" and
// "Heading 2" paragraphs as numbered "#" and "##" headings, tables as pipe
// tables set off by empty lines, no inline formatting. The document's own
// "<!--" is written "&lt;!--", so that Word text can neither form the
// metadata block's markers nor hide in an HTML comment.
#pragma once

#include <cstddef>
#include <iterator>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "shared/processors/docx_package.hpp"

namespace shared::processors::extractor {

using docx_package::Block;
using docx_package::Document;
using docx_package::Paragraph;
using docx_package::Table;
using conversion_loss::LossReport;

// Convert raw .docx bytes into a Markdown string.
// Throws docx_package::PackageError when the bytes are not a readable Word
// document; never returns partial text.
std::string docx_bytes_to_markdown(std::string_view docx_bytes);

// The same Markdown, byte for byte, and in `loss` what it leaves out of the
// document (every count replaced). `loss` is left as it was when this throws.
std::string docx_bytes_to_markdown(std::string_view docx_bytes, conversion_loss::LossReport& loss);

// One table's cell texts, row by row.
using TableCells = std::vector<std::vector<std::string>>;

// The plain text of a Word document: the body's own paragraphs (not those
// inside tables), each stripped, empty ones left out, joined with "\n".
// Throws docx_package::PackageError as docx_bytes_to_markdown does.
std::string docx_bytes_to_text(std::string_view docx_bytes);

// The body's tables in order, each row's cells expanded to the grid and
// stripped, line feeds inside a cell kept. Throws docx_package::PackageError
// as docx_bytes_to_markdown does.
std::vector<TableCells> docx_bytes_to_tables(std::string_view docx_bytes);

// The Markdown file name for `blob_filename`: its last "/"-separated
// component (trailing "/" ignored) without its last suffix, followed by
// ".md". The suffix starts at the component's last "." when that "." is
// neither its first nor its last character: "a/SOP-001.docx" gives
// "SOP-001.md", ".docx" gives ".docx.md", "" gives ".md".
std::string markdown_file_name(std::string_view blob_filename);

// The body's blocks in document order, read lazily from `doc`: each step
// replaces the previous block, so the iteration holds one block (and the
// reader the few finished within its current chunk of XML).
class _BlockItems {
 public:
  class iterator {
   public:
    using iterator_category = std::input_iterator_tag;
    using value_type = Block;
    using difference_type = std::ptrdiff_t;
    using pointer = Block*;
    using reference = Block&;

    iterator() = default;
    explicit iterator(_BlockItems* items) : items_(items) {}
    Block& operator*() const { return items_->current_; }
    Block* operator->() const { return &items_->current_; }
    iterator& operator++() {
      if (!items_->advance()) items_ = nullptr;
      return *this;
    }
    void operator++(int) { ++*this; }
    bool operator==(const iterator& o) const { return items_ == o.items_; }

   private:
    _BlockItems* items_ = nullptr;
  };

  explicit _BlockItems(Document& doc) : doc_(doc) {}
  // Reads the first block; iterate once only.
  iterator begin() { return advance() ? iterator(this) : iterator(); }
  iterator end() { return iterator(); }

 private:
  bool advance() { return doc_.next_block(current_); }
  Document& doc_;
  Block current_;
};

// Blocks of the document body (direct w:p and w:tbl children of w:body).
inline _BlockItems _iter_block_items(Document& doc) { return _BlockItems(doc); }

// True when the paragraph's own properties carry a numbering reference.
bool _is_list_paragraph(const Paragraph& paragraph);

// One output entry for the paragraph, possibly empty, "<!--" written
// "&lt;!--"; a "Heading 1" or "Heading 2" paragraph advances `counters`
// (level to running count).
std::string _paragraph_to_markdown(const Paragraph& paragraph, std::map<int, long>& counters);

// The table as pipe-table lines joined with "\n", "<!--" in a cell written
// "&lt;!--"; "" for a table without rows.
std::string _table_to_markdown(const Table& table);

}  // namespace shared::processors::extractor
