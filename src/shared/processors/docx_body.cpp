// The body half of the DOCX package reader: the main document part's
// paragraphs and tables, read with libxml2's SAX push parser.
#include <libxml/parser.h>
#include <libxml/xmlerror.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

#include "shared/processors/docx_parts.hpp"

namespace shared::processors::docx_package::detail {

// ---------------------------------------------------------------------------
// The body, read with libxml2's SAX push parser: no tree is built, the inflated
// part passes through in chunks, and only the paragraph or table being read
// (plus blocks finished within the current chunk) is held.

namespace {

constexpr std::size_t CHUNK = 16 * 1024;
// Word allows 63 columns; anything far beyond that is a hostile span that
// would multiply one cell into millions of copies.
constexpr long MAX_GRID_SPAN = 1000;
// Accounting cost of one table cell beyond its text, so that empty spans
// count against the table's budget too.
constexpr std::uint64_t CELL_OVERHEAD = 32;

// What the element being read is, for the elements whose content matters.
enum class Kind : unsigned char {
  document,
  body,
  paragraph,       // a body paragraph
  cell_paragraph,  // a paragraph directly inside a cell: text only
  properties,      // the paragraph's own w:pPr
  inline_wrapper,  // hyperlink, insertion, smart tag ... inside a paragraph
  inline_control,  // a content control inside a paragraph
  run,
  text,
  table,
  row_wrapper,  // content control or custom XML around rows
  row,
  row_properties,
  cell_wrapper,  // content control or custom XML around cells
  cell,
  cell_properties,
};

bool named(const xmlChar* local, const char* name) { return std::strcmp(reinterpret_cast<const char*>(local), name) == 0; }

constexpr const char* MARKUP_COMPATIBILITY_NS = "http://schemas.openxmlformats.org/markup-compatibility/2006";
constexpr const char* MATH_NS = "http://schemas.openxmlformats.org/officeDocument/2006/math";
constexpr const char* MATH_STRICT_NS = "http://purl.oclc.org/ooxml/officeDocument/math";

// Run content that is a picture, chart, shape or embedded object.
bool is_drawing(const xmlChar* local) { return named(local, "drawing") || named(local, "pict") || named(local, "object"); }

class BodyParser final : public BodyReader {
 public:
  BodyParser(PartStream& part, const Styles& styles, std::uint64_t limit, conversion_loss::LossReport& loss)
      : part_(part), styles_(styles), limit_(limit), loss_(loss) {
    init_libxml_once();
    xmlSAXHandler h;
    std::memset(&h, 0, sizeof h);
    // The defaults keep the declarations of the internal subset, so that a
    // declared entity is known (and left out) rather than an error.
    xmlSAXVersion(&h, 2);
    h.startElementNs = on_start;
    h.endElementNs = on_end;
    h.characters = on_text;
    h.cdataBlock = on_text;
    h.ignorableWhitespace = on_text;
    h.reference = on_reference;
    h.serror = on_error;
    h.error = nullptr;
    h.warning = nullptr;
    h.fatalError = nullptr;
    h.comment = nullptr;
    h.processingInstruction = nullptr;
    h.startElement = nullptr;
    h.endElement = nullptr;
    h.setDocumentLocator = nullptr;

    char head[4];
    const int n = part_.read(head, sizeof head);
    if (n < 0) throw PackageError(part_.error());
    ctxt_ = xmlCreatePushParserCtxt(&h, nullptr, head, n, part_.name().c_str());
    if (ctxt_ == nullptr) throw PackageError("cannot read part " + quote_part(part_.name()) + ": out of memory");
    ctxt_->_private = this;
    // No XML_PARSE_NOENT, DTDLOAD, DTDATTR or DTDVALID: declared entities stay
    // unexpanded references, and no external subset or entity is ever fetched.
    xmlCtxtUseOptions(ctxt_, XML_PARSE_NONET);
    if (n == 0) finished_input_ = true;
  }

  ~BodyParser() {
    if (ctxt_->myDoc != nullptr) xmlFreeDoc(ctxt_->myDoc);
    xmlFreeParserCtxt(ctxt_);
  }

  BodyParser(const BodyParser&) = delete;
  BodyParser& operator=(const BodyParser&) = delete;

  // Reads until the root element has been seen; throws unless it is w:document.
  void read_root() {
    while (!root_seen_ && feed()) {
    }
    if (!root_seen_) fail();
  }

  bool next(Block& out) override {
    while (ready_.empty()) {
      if (!feed()) break;
    }
    if (ready_.empty()) return false;
    out = std::move(ready_.front());
    ready_.pop_front();
    return true;
  }

 private:
  // Passes the next chunk to the parser; false once the part has ended.
  bool feed() {
    if (ended_) return false;
    char buffer[CHUNK];
    int n = 0;
    if (!finished_input_) {
      n = part_.read(buffer, sizeof buffer);
      if (n < 0) fail();
      if (n == 0) finished_input_ = true;
    }
    xmlParseChunk(ctxt_, buffer, n, finished_input_ ? 1 : 0);
    if (!error_.empty() || ctxt_->wellFormed == 0) fail();
    if (finished_input_) ended_ = true;
    return true;
  }

  [[noreturn]] void fail() const { throw_read_error(part_, error_); }

  void stop(std::string message) {
    if (error_.empty()) error_ = std::move(message);
    xmlStopParser(ctxt_);
  }

  // Callbacks of an entity's replacement text arrive through a parser context
  // of their own: declared entities are never expanded into the text.
  static BodyParser* self(void* ctx) {
    auto* ctxt = static_cast<xmlParserCtxtPtr>(ctx);
    auto* parser = static_cast<BodyParser*>(ctxt->_private);
    return parser != nullptr && parser->ctxt_ == ctxt ? parser : nullptr;
  }

  static void on_start(void* ctx, const xmlChar* local, const xmlChar*, const xmlChar* uri, int, const xmlChar**,
                       int nb_attributes, int, const xmlChar** attributes) {
    if (BodyParser* p = self(ctx)) p->start(local, uri, nb_attributes, attributes);
  }
  static void on_end(void* ctx, const xmlChar*, const xmlChar*, const xmlChar*) {
    if (BodyParser* p = self(ctx)) p->end();
  }
  static void on_text(void* ctx, const xmlChar* chars, int len) {
    BodyParser* p = self(ctx);
    if (p != nullptr && p->ignored_ == 0 && !p->stack_.empty() && p->stack_.back() == Kind::text) {
      p->text_->append(reinterpret_cast<const char*>(chars), static_cast<std::size_t>(len));
    }
  }
  static void on_reference(void*, const xmlChar*) {}

  static void on_error(void* ctx, xmlErrorPtr err) {
    auto* ctxt = static_cast<xmlParserCtxtPtr>(ctx);
    auto* parser = ctxt != nullptr ? static_cast<BodyParser*>(ctxt->_private) : nullptr;
    if (parser == nullptr || !parser->error_.empty()) return;
    if (std::optional<std::string> message = xml_error_message(err, parser->ctxt_, parser->part_)) {
      parser->error_ = std::move(*message);
    }
  }

  bool is_w(const xmlChar* uri) { return w_ns_.matches(uri); }

  // Attribute `local` in the element's namespace, or unqualified.
  static std::optional<std::string> attr(const char* local, const xmlChar* uri, int count, const xmlChar** a) {
    const xmlChar* const* unqualified = nullptr;
    for (int i = 0; i < count; ++i, a += 5) {
      if (!named(a[0], local)) continue;
      if (a[2] != nullptr && uri != nullptr && std::strcmp(reinterpret_cast<const char*>(a[2]),
                                                           reinterpret_cast<const char*>(uri)) == 0) {
        return std::string(reinterpret_cast<const char*>(a[3]), static_cast<std::size_t>(a[4] - a[3]));
      }
      if (a[2] == nullptr) unqualified = a;
    }
    if (unqualified == nullptr) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(unqualified[3]),
                       static_cast<std::size_t>(unqualified[4] - unqualified[3]));
  }

  void ignore() { ++ignored_; }

  // Ignores the element but looks inside it for the drawings and text boxes
  // it holds, so that they can be counted as left out. `drawing`: the
  // element is a drawing itself.
  void ignore_scanning(bool drawing) {
    ++ignored_;
    scan_from_ = ignored_;
    if (drawing) enter_drawing();
  }

  void enter_drawing() {
    ++loss_.drawings;
    drawing_at_ = ignored_;
    drawing_is_text_box_ = false;
  }

  // An element inside a scanned subtree, at depth ignored_.
  void scan(const xmlChar* local, const xmlChar* uri) {
    if (is_w(uri)) {
      if (named(local, "txbxContent")) {
        ++loss_.text_boxes;
        // The shape around a text box is counted as the text box alone.
        if (drawing_at_ != 0 && !drawing_is_text_box_) {
          --loss_.drawings;
          drawing_is_text_box_ = true;
        }
      } else if (drawing_at_ == 0 && is_drawing(local)) {
        enter_drawing();
      }
    } else if (eq(uri, MARKUP_COMPATIBILITY_NS) && named(local, "Fallback")) {
      // A fallback repeats the choice before it for older readers.
      fallback_at_ = ignored_;
    }
  }
  void push(Kind k) { stack_.push_back(k); }

  void start(const xmlChar* local, const xmlChar* uri, int nb_attributes, const xmlChar** attributes) {
    if (ignored_ > 0) {
      ++ignored_;
      if (scan_from_ != 0 && fallback_at_ == 0) scan(local, uri);
      return;
    }
    if (stack_.empty()) {
      if (root_seen_) {
        ignore();
        return;
      }
      root_seen_ = true;
      if (!is_w(uri) || !named(local, "document")) {
        stop("not a Word document: the main part " + quote_part(part_.name()) + " has the root element <" +
             reinterpret_cast<const char*>(local) + ">");
        return;
      }
      push(Kind::document);
      return;
    }
    const bool w = is_w(uri);
    auto val = [&] { return attr("val", uri, nb_attributes, attributes); };
    switch (stack_.back()) {
      case Kind::document:
        if (w && named(local, "body")) return push(Kind::body);
        return ignore();
      case Kind::body:
        if (w && named(local, "p")) {
          paragraph_ = Paragraph{};
          style_id_.reset();
          text_ = &paragraph_.text;
          seen_properties_ = seen_style_ = false;
          return push(Kind::paragraph);
        }
        if (w && named(local, "tbl")) {
          table_ = Table{};
          above_.clear();
          table_bytes_ = 0;
          return push(Kind::table);
        }
        // Body-level containers are skipped with everything inside them.
        if (w && named(local, "sdt")) {
          ++loss_.content_controls;
        } else if (w && (named(local, "customXml") || named(local, "altChunk"))) {
          ++loss_.skipped_blocks;
        }
        return ignore();
      case Kind::paragraph:
        if (w && !seen_properties_ && named(local, "pPr")) {
          seen_properties_ = true;
          return push(Kind::properties);
        }
        return start_inline(w, local, uri);
      case Kind::cell_paragraph:
      case Kind::inline_wrapper:
        return start_inline(w, local, uri);
      case Kind::inline_control:
        if (w && named(local, "sdtContent")) return push(Kind::inline_wrapper);
        return ignore();
      case Kind::properties:
        if (w && named(local, "numPr")) {
          paragraph_.has_numbering = true;
        } else if (w && !seen_style_ && named(local, "pStyle")) {
          seen_style_ = true;
          style_id_ = val();
        }
        return ignore();
      case Kind::run:
        if (w) {
          // Run properties come first in nearly every run.
          if (named(local, "rPr")) return ignore();
          if (named(local, "t")) return push(Kind::text);
          if (named(local, "tab") || named(local, "ptab")) {
            *text_ += '\t';
          } else if (named(local, "br") || named(local, "cr")) {
            // Page and column breaks end a line too, so the words on either
            // side stay apart.
            *text_ += '\n';
          } else if (named(local, "noBreakHyphen")) {
            *text_ += '-';
          } else if (is_drawing(local)) {
            return ignore_scanning(true);
          } else if (named(local, "fldChar")) {
            // The runs between "separate" and "end" are the field's result
            // and stay text; its code does not.
            if (attr("fldCharType", uri, nb_attributes, attributes).value_or("") == "begin") ++loss_.fields;
          } else if (named(local, "footnoteReference")) {
            ++loss_.footnotes;
          } else if (named(local, "endnoteReference")) {
            ++loss_.endnotes;
          } else if (named(local, "commentReference")) {
            ++loss_.comments;
          } else if (named(local, "sym")) {
            ++loss_.symbols;
          }
          return ignore();
        }
        // Markup-compatibility wrappers hold drawings and text boxes in more
        // than one form.
        return ignore_scanning(false);
      case Kind::text:
        return ignore();
      case Kind::table:
      case Kind::row_wrapper:
        if (w && named(local, "tr")) {
          table_.rows.emplace_back();
          count_table_bytes(CELL_OVERHEAD);
          current_.clear();
          column_ = 0;
          return push(Kind::row);
        }
        // Rows wrapped in a content control or custom XML element are rows of
        // the table all the same.
        if (w && (named(local, "sdt") || named(local, "customXml") ||
                  (stack_.back() == Kind::row_wrapper && named(local, "sdtContent")))) {
          return push(Kind::row_wrapper);
        }
        return ignore();
      case Kind::row:
      case Kind::cell_wrapper:
        if (w && named(local, "tc")) {
          cell_text_.clear();
          span_ = 1;
          continues_ = false;
          first_cell_paragraph_ = true;
          return push(Kind::cell);
        }
        if (w && stack_.back() == Kind::row && named(local, "trPr")) return push(Kind::row_properties);
        if (w && (named(local, "sdt") || named(local, "customXml") ||
                  (stack_.back() == Kind::cell_wrapper && named(local, "sdtContent")))) {
          return push(Kind::cell_wrapper);
        }
        return ignore();
      case Kind::row_properties:
        // Cells of a row start after the grid columns it leaves out.
        if (w && named(local, "gridBefore") && table_.rows.back().empty()) {
          column_ = std::clamp(std::strtol(val().value_or("0").c_str(), nullptr, 10), 0L, MAX_GRID_SPAN);
        } else if (w && named(local, "del")) {
          ++loss_.tracked_deletions;
        } else if (w && named(local, "ins")) {
          ++loss_.tracked_insertions;
        }
        return ignore();
      case Kind::cell:
        if (w && named(local, "tcPr")) return push(Kind::cell_properties);
        if (w && named(local, "p")) {
          if (!first_cell_paragraph_) cell_text_ += '\n';
          first_cell_paragraph_ = false;
          text_ = &cell_text_;
          return push(Kind::cell_paragraph);
        }
        // Nested tables and anything else inside the cell add nothing.
        if (w && named(local, "tbl")) {
          ++loss_.nested_tables;
        } else if (w && named(local, "sdt")) {
          ++loss_.content_controls;
        } else if (w && (named(local, "customXml") || named(local, "altChunk"))) {
          ++loss_.skipped_blocks;
        }
        return ignore();
      case Kind::cell_properties:
        if (w && named(local, "gridSpan")) {
          span_ = std::strtol(val().value_or("1").c_str(), nullptr, 10);
        } else if (w && named(local, "vMerge")) {
          continues_ = val().value_or("continue") != "restart";
        }
        return ignore();
    }
  }

  void start_inline(bool w, const xmlChar* local, const xmlChar* uri) {
    if (!w) {
      if ((eq(uri, MATH_NS) || eq(uri, MATH_STRICT_NS)) && (named(local, "oMath") || named(local, "oMathPara"))) {
        ++loss_.equations;
        return ignore();
      }
      return ignore_scanning(false);
    }
    if (named(local, "r")) return push(Kind::run);
    if (named(local, "ins") || named(local, "moveTo")) {
      ++loss_.tracked_insertions;
      return push(Kind::inline_wrapper);
    }
    if (named(local, "fldSimple")) {
      ++loss_.fields;
      return push(Kind::inline_wrapper);
    }
    if (named(local, "hyperlink") || named(local, "smartTag") || named(local, "customXml") || named(local, "dir") ||
        named(local, "bdo")) {
      return push(Kind::inline_wrapper);
    }
    if (named(local, "sdt")) return push(Kind::inline_control);
    if (named(local, "del") || named(local, "moveFrom")) ++loss_.tracked_deletions;
    // Deleted and moved-away runs, field codes, drawings, math, bookmarks and
    // properties are not text of the paragraph.
    ignore();
  }

  void end() {
    if (ignored_ > 0) {
      if (scan_from_ != 0) {
        if (ignored_ == fallback_at_) fallback_at_ = 0;
        if (ignored_ == drawing_at_) drawing_at_ = 0;
        if (ignored_ == scan_from_) scan_from_ = 0;
      }
      --ignored_;
      return;
    }
    if (stack_.empty()) return;
    const Kind k = stack_.back();
    stack_.pop_back();
    switch (k) {
      case Kind::paragraph:
        paragraph_.style_name = styles_.paragraph_style_name(style_id_);
        ready_.emplace_back(std::move(paragraph_));
        break;
      case Kind::table:
        ready_.emplace_back(std::move(table_));
        break;
      case Kind::row:
        above_.swap(current_);
        break;
      case Kind::cell:
        end_cell();
        break;
      default:
        break;
    }
  }

  void end_cell() {
    const long span = std::clamp(span_, 1L, MAX_GRID_SPAN);
    std::vector<std::string>& row = table_.rows.back();
    // A continuation shows the text of the cell above it, which itself already
    // shows the start of the merge; in the first row, or where no cell lies
    // above, the cell shows its own text.
    const auto c = static_cast<std::size_t>(column_);
    bool merged = span > 1;
    if (continues_ && table_.rows.size() >= 2 && c < above_.size() && above_[c] != std::string::npos) {
      cell_text_ = table_.rows[table_.rows.size() - 2][above_[c]];
      merged = true;
    }
    if (merged) ++loss_.merged_cells;
    for (long i = 0; i < span; ++i) {
      if (!count_table_bytes(cell_text_.size() + CELL_OVERHEAD)) return;
      const auto pos = static_cast<std::size_t>(column_ + i);
      if (current_.size() <= pos) current_.resize(pos + 1, std::string::npos);
      current_[pos] = row.size();
      row.push_back(cell_text_);
    }
    column_ += span;
  }

  bool count_table_bytes(std::uint64_t n) {
    table_bytes_ += n;
    if (table_bytes_ <= limit_) return true;
    stop("a table in part " + quote_part(part_.name()) + " expands to more than " + size_text(limit_) + " of text");
    return false;
  }

  PartStream& part_;
  const Styles& styles_;
  std::uint64_t limit_;
  conversion_loss::LossReport& loss_;
  xmlParserCtxtPtr ctxt_ = nullptr;
  bool finished_input_ = false;
  bool ended_ = false;
  bool root_seen_ = false;
  std::string error_;
  WordNamespace w_ns_;

  std::vector<Kind> stack_;
  int ignored_ = 0;  // depth inside an element whose content does not matter
  // Depths within the ignored content (0: none) of the subtree being scanned
  // for drawings, of the drawing being passed over, and of a
  // markup-compatibility fallback, whose content is not counted again.
  int scan_from_ = 0;
  int drawing_at_ = 0;
  int fallback_at_ = 0;
  bool drawing_is_text_box_ = false;
  std::deque<Block> ready_;
  std::string* text_ = nullptr;

  Paragraph paragraph_;
  std::optional<std::string> style_id_;
  bool seen_properties_ = false;  // the paragraph's first w:pPr has been read
  bool seen_style_ = false;

  Table table_;
  std::uint64_t table_bytes_ = 0;
  // For each grid column, the index in the previous row of the cell covering
  // it, or npos; and the same for the row being read.
  std::vector<std::size_t> above_;
  std::vector<std::size_t> current_;
  long column_ = 0;
  std::string cell_text_;
  long span_ = 1;
  bool continues_ = false;
  bool first_cell_paragraph_ = true;
};

}  // namespace

std::unique_ptr<BodyReader> open_body(PartStream& part, const Styles& styles, std::uint64_t limit,
                                      conversion_loss::LossReport& loss) {
  auto parser = std::make_unique<BodyParser>(part, styles, limit, loss);
  parser->read_root();
  return parser;
}

}  // namespace shared::processors::docx_package::detail
