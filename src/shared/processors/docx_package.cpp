#include "shared/processors/docx_package.hpp"

#include <libxml/parser.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlreader.h>
#include <zip.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

namespace shared::processors::docx_package {

namespace {

template <auto Free>
struct CFree {
  template <class T>
  void operator()(T* p) const noexcept {
    if (p != nullptr) Free(p);
  }
};

struct XmlCharFree {
  void operator()(xmlChar* p) const noexcept { xmlFree(p); }
};

using ZipArchive = std::unique_ptr<zip_t, CFree<zip_discard>>;
using ZipSource = std::unique_ptr<zip_source_t, CFree<zip_source_free>>;
using ZipFile = std::unique_ptr<zip_file_t, CFree<zip_fclose>>;
using TextReader = std::unique_ptr<xmlTextReader, CFree<xmlFreeTextReader>>;
using XmlChars = std::unique_ptr<xmlChar, XmlCharFree>;

constexpr const char* W_TRANSITIONAL = "http://schemas.openxmlformats.org/wordprocessingml/2006/main";
constexpr const char* W_STRICT = "http://purl.oclc.org/ooxml/wordprocessingml/main";
constexpr const char* RELATIONSHIPS_NS = "http://schemas.openxmlformats.org/package/2006/relationships";
constexpr std::array<std::string_view, 2> OFFICE_DOCUMENT_TYPES = {
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument",
    "http://purl.oclc.org/ooxml/officeDocument/relationships/officeDocument"};
constexpr std::array<std::string_view, 2> STYLES_TYPES = {
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/styles",
    "http://purl.oclc.org/ooxml/officeDocument/relationships/styles"};

// Word allows 63 columns; anything far beyond that is a hostile span that
// would multiply one cell into millions of copies.
constexpr long MAX_GRID_SPAN = 1000;
// Accounting cost of one table cell beyond its text, so that empty spans
// count against the table's budget too.
constexpr std::uint64_t CELL_OVERHEAD = 32;


bool eq(const xmlChar* a, const char* b) noexcept {
  return a != nullptr && std::strcmp(reinterpret_cast<const char*>(a), b) == 0;
}

std::string quoted(std::string_view name) {
  std::string out;
  out.reserve(name.size() + 2);
  out += '\'';
  out += name;
  out += '\'';
  return out;
}

void init_libxml_once() {
  static const bool done = [] {
    xmlInitParser();
    return true;
  }();
  (void)done;
}

// ---------------------------------------------------------------------------
// Zip access.

ZipArchive open_archive(std::string_view bytes) {
  if (bytes.empty()) throw PackageError("not a Word document: the input is empty");
  static constexpr unsigned char OLE2[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  if (bytes.size() >= sizeof OLE2 && std::memcmp(bytes.data(), OLE2, sizeof OLE2) == 0) {
    throw PackageError(
        "not a Word document: an OLE2 compound file (a legacy binary .doc or a password-protected document), "
        "not a .docx package");
  }
  zip_error_t error;
  zip_error_init(&error);
  ZipSource source(zip_source_buffer_create(bytes.data(), bytes.size(), 0, &error));
  if (!source) {
    std::string msg = zip_error_strerror(&error);
    zip_error_fini(&error);
    throw PackageError("not a Word document: " + msg);
  }
  ZipArchive archive(zip_open_from_source(source.get(), ZIP_RDONLY, &error));
  if (!archive) {
    const int code = zip_error_code_zip(&error);
    std::string msg = zip_error_strerror(&error);
    zip_error_fini(&error);
    if (code == ZIP_ER_NOZIP) {
      // A local file header up front but no central directory at the end:
      // a zip archive cut short.
      if (bytes.size() >= 4 && bytes.substr(0, 4) == std::string_view("PK\x03\x04", 4)) {
        throw PackageError("not a Word document: truncated or damaged zip archive (no central directory found)");
      }
      throw PackageError("not a Word document: not a zip archive");
    }
    throw PackageError("not a Word document: damaged zip archive (" + msg + ")");
  }
  // The archive owns the source once opening succeeded.
  source.release();
  zip_error_fini(&error);
  return archive;
}

// Part names are case-insensitive in a package.
zip_int64_t locate(zip_t* za, const std::string& name) {
  zip_int64_t idx = zip_name_locate(za, name.c_str(), 0);
  if (idx < 0) idx = zip_name_locate(za, name.c_str(), ZIP_FL_NOCASE);
  return idx;
}

// One part, inflated in a stream and capped at `limit` bytes.
class PartStream {
 public:
  PartStream(zip_t* za, zip_int64_t index, std::string name, std::uint64_t limit)
      : name_(std::move(name)), limit_(limit) {
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(za, static_cast<zip_uint64_t>(index), 0, &st) != 0) {
      throw PackageError("cannot read part " + quoted(name_) + ": " + zip_strerror(za));
    }
    if ((st.valid & ZIP_STAT_ENCRYPTION_METHOD) != 0 && st.encryption_method != ZIP_EM_NONE) {
      throw PackageError("part " + quoted(name_) + " is encrypted");
    }
    if ((st.valid & ZIP_STAT_SIZE) != 0) {
      if (st.size > limit_) throw PackageError("part " + quoted(name_) + " inflates to more than " + size_text(limit_));
      declared_ = st.size;
    }
    file_.reset(zip_fopen_index(za, static_cast<zip_uint64_t>(index), 0));
    if (!file_) throw PackageError("cannot read part " + quoted(name_) + ": " + zip_strerror(za));
  }

  int read(char* buffer, int len) noexcept {
    if (!error_.empty()) return -1;
    const zip_int64_t n = zip_fread(file_.get(), buffer, static_cast<zip_uint64_t>(len));
    if (n < 0) {
      error_ = "cannot read part " + quoted(name_) + ": " + zip_file_strerror(file_.get());
      return -1;
    }
    total_ += static_cast<std::uint64_t>(n);
    // The declared size may lie; what counts is what inflation yields.
    if (total_ > limit_) {
      error_ = "part " + quoted(name_) + " inflates to more than " + size_text(limit_);
      return -1;
    }
    return static_cast<int>(n);
  }

  const std::string& error() const { return error_; }
  const std::string& name() const { return name_; }
  std::uint64_t bytes_read() const { return total_; }
  std::uint64_t declared_size() const { return declared_; }

 private:
  std::string name_;
  std::uint64_t limit_;
  ZipFile file_;
  std::uint64_t declared_ = 0;
  std::uint64_t total_ = 0;
  std::string error_;
};

// ---------------------------------------------------------------------------
// Streaming XML over one part.

int read_callback(void* ctx, char* buffer, int len) { return static_cast<PartStream*>(ctx)->read(buffer, len); }
int close_callback(void*) { return 0; }

class XmlReader {
 public:
  explicit XmlReader(PartStream& part) : part_(part) {
    init_libxml_once();
    // No XML_PARSE_NOENT, DTDLOAD, DTDATTR or DTDVALID: declared entities stay
    // unexpanded references, and no external subset or entity is ever fetched.
    const int options = XML_PARSE_NONET | XML_PARSE_NOCDATA | XML_PARSE_COMPACT;
    reader_.reset(xmlReaderForIO(read_callback, close_callback, &part_, part_.name().c_str(), nullptr, options));
    if (!reader_) fail();
    xmlTextReaderSetStructuredErrorHandler(reader_.get(), on_error, this);
  }

  // Moves to the next node; false at the end of the part.
  bool read() {
    const int r = xmlTextReaderRead(reader_.get());
    if (r < 0 || failed_) fail();
    return r == 1;
  }

  int type() const { return xmlTextReaderNodeType(reader_.get()); }
  int depth() const { return xmlTextReaderDepth(reader_.get()); }
  bool is_empty() const { return xmlTextReaderIsEmptyElement(reader_.get()) == 1; }
  bool is_element() const { return type() == XML_READER_TYPE_ELEMENT; }
  bool is_end_of(int d) const { return type() == XML_READER_TYPE_END_ELEMENT && depth() == d; }
  const xmlChar* local_name() const { return xmlTextReaderConstLocalName(reader_.get()); }
  const xmlChar* ns() const { return xmlTextReaderConstNamespaceUri(reader_.get()); }
  const xmlChar* value() const { return xmlTextReaderConstValue(reader_.get()); }

  // The current element is a WordprocessingML element named `name`.
  bool is_w(const char* name) const { return is_w_ns() && eq(local_name(), name); }
  bool is_w_ns() const {
    const xmlChar* n = ns();
    if (n == nullptr) return false;
    // The reader interns names, so the namespace seen last is usually the
    // same pointer again.
    if (n == w_ns_) return true;
    if (eq(n, W_TRANSITIONAL) || eq(n, W_STRICT)) {
      w_ns_ = n;
      return true;
    }
    return false;
  }
  bool in_ns(const char* uri) const { return eq(ns(), uri); }

  // Attribute `local` in the element's own namespace, or unqualified.
  std::optional<std::string> attr(const char* local) const {
    XmlChars v;
    if (const xmlChar* n = ns(); n != nullptr) {
      v.reset(xmlTextReaderGetAttributeNs(reader_.get(), reinterpret_cast<const xmlChar*>(local), n));
    }
    if (!v) v.reset(xmlTextReaderGetAttribute(reader_.get(), reinterpret_cast<const xmlChar*>(local)));
    if (!v) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(v.get()));
  }
  std::optional<std::string> plain_attr(const char* name) const {
    XmlChars v(xmlTextReaderGetAttribute(reader_.get(), reinterpret_cast<const xmlChar*>(name)));
    if (!v) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(v.get()));
  }

  // From an element start, moves to its end (stays on an empty element).
  void skip() {
    if (is_empty()) return;
    const int d = depth();
    while (read()) {
      if (is_end_of(d)) return;
    }
    fail();
  }

  // Moves to the element at `d + 1` that is the next child of the element of
  // depth `d`; false when the parent's end is reached.
  bool next_child(int d) {
    while (read()) {
      if (type() == XML_READER_TYPE_ELEMENT && depth() == d + 1) return true;
      if (is_end_of(d)) return false;
    }
    fail();
  }

  // Appends the text content of the current element (w:t) and moves to its end.
  void append_text(std::string& out) {
    if (is_empty()) return;
    const int d = depth();
    while (read()) {
      switch (type()) {
        case XML_READER_TYPE_TEXT:
        case XML_READER_TYPE_CDATA:
        case XML_READER_TYPE_WHITESPACE:
        case XML_READER_TYPE_SIGNIFICANT_WHITESPACE:
          if (const xmlChar* v = value()) out += reinterpret_cast<const char*>(v);
          break;
        case XML_READER_TYPE_END_ELEMENT:
          if (depth() == d) return;
          break;
        default:
          // Entity references stay unexpanded and add nothing; nested
          // elements inside w:t are not text.
          break;
      }
    }
    fail();
  }

  [[noreturn]] void fail() const {
    if (!part_.error().empty()) throw PackageError(part_.error());
    if (part_.bytes_read() == 0) throw PackageError("malformed XML in part " + quoted(part_.name()) + ": the part is empty");
    if (!error_.empty()) throw PackageError(error_);
    throw PackageError("malformed XML in part " + quoted(part_.name()));
  }

 private:
  static void on_error(void* self_ptr, xmlErrorPtr err) {
    auto* self = static_cast<XmlReader*>(self_ptr);
    if (err == nullptr || err->level < XML_ERR_ERROR) return;
    // A reference to an entity that is declared nowhere we read (an external
    // subset is never loaded) is left out of the text, not an error.
    if (err->code == XML_WAR_UNDECLARED_ENTITY) return;
    self->failed_ = true;
    if (!self->error_.empty()) return;
    // libxml2 reports a part cut short with the message for extra content
    // after the document; open elements tell the two apart.
    const auto* ctxt = static_cast<const xmlParserCtxt*>(err->ctxt);
    if (err->code == XML_ERR_DOCUMENT_END && ctxt != nullptr && ctxt->nameNr > 0) {
      self->error_ = "malformed XML in part " + quoted(self->part_.name()) + ": the part ends inside an element";
      return;
    }
    std::string msg = err->message != nullptr ? err->message : "unknown error";
    if (auto nl = msg.find('\n'); nl != std::string::npos) msg.resize(nl);
    self->error_ = "malformed XML in part " + quoted(self->part_.name());
    if (err->line > 0) self->error_ += " at line " + std::to_string(err->line);
    self->error_ += ": " + msg;
  }

  PartStream& part_;
  TextReader reader_;
  mutable const xmlChar* w_ns_ = nullptr;
  bool failed_ = false;
  std::string error_;
};

// Reads from the start of a part to its root element.
void to_root(XmlReader& xml) {
  while (xml.read()) {
    if (xml.is_element()) return;
  }
  xml.fail();
}

// ---------------------------------------------------------------------------
// Relationships and part names.

struct Relationship {
  std::string type, target;
  bool external = false;
};

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string percent_decode(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size()) {
      const int hi = hex_value(s[i + 1]), lo = hex_value(s[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
        continue;
      }
    }
    out += s[i];
  }
  return out;
}

// The part name a relationship target of a part in folder `base` points at.
std::string resolve_target(std::string_view base, std::string_view target) {
  std::string t = percent_decode(target.substr(0, target.find('#')));
  std::string path = !t.empty() && t[0] == '/' ? t.substr(1) : std::string(base) + t;
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    std::string seg = path.substr(start, slash - start);
    if (seg == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!seg.empty() && seg != ".") {
      parts.push_back(std::move(seg));
    }
    start = slash + 1;
  }
  std::string out;
  for (const auto& p : parts) {
    if (!out.empty()) out += '/';
    out += p;
  }
  return out;
}

std::string folder_of(const std::string& part) {
  const auto slash = part.rfind('/');
  return slash == std::string::npos ? std::string() : part.substr(0, slash + 1);
}

std::string rels_part_of(const std::string& part) {
  const auto slash = part.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : part.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? part : part.substr(slash + 1);
  return dir + "_rels/" + base + ".rels";
}

std::vector<Relationship> read_relationships(zip_t* za, const std::string& rels_name, std::uint64_t limit) {
  const zip_int64_t idx = locate(za, rels_name);
  if (idx < 0) throw PackageError("part " + quoted(rels_name) + " is missing");
  PartStream part(za, idx, rels_name, limit);
  XmlReader xml(part);
  to_root(xml);
  std::vector<Relationship> out;
  if (!xml.in_ns(RELATIONSHIPS_NS) || !eq(xml.local_name(), "Relationships")) {
    throw PackageError("part " + quoted(rels_name) + " is not a relationships part");
  }
  const int root = xml.depth();
  if (!xml.is_empty()) {
    while (xml.next_child(root)) {
      if (xml.in_ns(RELATIONSHIPS_NS) && eq(xml.local_name(), "Relationship")) {
        Relationship rel;
        rel.type = xml.plain_attr("Type").value_or("");
        rel.target = xml.plain_attr("Target").value_or("");
        rel.external = xml.plain_attr("TargetMode").value_or("") == "External";
        out.push_back(std::move(rel));
      }
      xml.skip();
    }
  }
  while (xml.read()) {
  }
  return out;
}

const Relationship* find_relationship(const std::vector<Relationship>& rels,
                                      const std::array<std::string_view, 2>& types) {
  for (const Relationship& r : rels) {
    if (!r.external && std::find(types.begin(), types.end(), r.type) != types.end()) return &r;
  }
  return nullptr;
}

bool on_off(const std::optional<std::string>& v) { return v && (*v == "1" || *v == "true" || *v == "on"); }

Styles read_styles(zip_t* za, const std::string& name, std::uint64_t limit) {
  Styles styles;
  // A dangling styles relationship leaves the document without styles.
  const zip_int64_t idx = locate(za, name);
  if (idx < 0) return styles;
  PartStream part(za, idx, name, limit);
  XmlReader xml(part);
  to_root(xml);
  if (!xml.is_w("styles") || xml.is_empty()) {
    while (xml.read()) {
    }
    return styles;
  }
  const int root = xml.depth();
  while (xml.next_child(root)) {
    if (!xml.is_w("style")) {
      xml.skip();
      continue;
    }
    // A style without w:type is a paragraph style.
    const bool paragraph = xml.attr("type").value_or("paragraph") == "paragraph";
    std::optional<std::string> id = xml.attr("styleId");
    const bool is_default = on_off(xml.attr("default"));
    std::optional<std::string> name;
    if (!xml.is_empty()) {
      const int d = xml.depth();
      while (xml.next_child(d)) {
        if (!name && xml.is_w("name")) name = xml.attr("val").value_or("");
        xml.skip();
      }
    }
    if (paragraph) styles.add(id.value_or(""), std::move(name), is_default);
  }
  while (xml.read()) {
  }
  return styles;
}

}  // namespace

std::string size_text(std::uint64_t bytes) {
  if (bytes % (std::uint64_t{1} << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
  return std::to_string(bytes) + " bytes";
}

// ---------------------------------------------------------------------------
// Styles.

void Styles::add(std::string style_id, std::optional<std::string> name, bool is_default) {
  if (is_default) {
    has_default_ = true;
    default_name_ = name;
  }
  by_id_.try_emplace(std::move(style_id), std::move(name));
}

std::string Styles::paragraph_style_name(const std::optional<std::string>& style_id) const {
  const std::optional<std::string>* name = nullptr;
  if (style_id) {
    if (auto it = by_id_.find(*style_id); it != by_id_.end()) name = &it->second;
  }
  if (name == nullptr && has_default_) name = &default_name_;
  if (name == nullptr || !name->has_value()) return "";
  return display_name(**name);
}

std::string Styles::display_name(std::string_view stored) {
  if (stored == "caption") return "Caption";
  if (stored == "header") return "Header";
  if (stored == "footer") return "Footer";
  if (stored.size() == 9 && stored.substr(0, 8) == "heading " && stored[8] >= '1' && stored[8] <= '9') {
    return "Heading " + std::string(1, stored[8]);
  }
  return std::string(stored);
}

// ---------------------------------------------------------------------------
// The document and its body.

struct Document::Impl {
  std::uint64_t limit = MAX_PART_SIZE;
  ZipArchive archive;
  std::string main_part;
  Styles styles;
  std::unique_ptr<PartStream> part;
  std::unique_ptr<XmlReader> xml;
  int root_depth = 0;
  int body_depth = -1;  // depth of the w:body being read, -1 between bodies
  bool done = false;

  std::optional<std::string> style_id;
  std::uint64_t table_bytes = 0;

  bool next_block(Block& out);
  void read_paragraph(Paragraph& p);
  // Appends the paragraph's text to `text`; fills the properties of `p` when given.
  void read_paragraph_content(std::string& text, Paragraph* p);
  void read_ppr(Paragraph& p);
  void read_inline(std::string& text);
  void read_inline_children(std::string& text);
  void read_run(std::string& text);
  void read_table(Table& t);
  void read_rows(Table& t, std::vector<std::size_t>& above);
  void read_row(Table& t, std::vector<std::size_t>& above);
  void read_cells(Table& t, std::vector<std::string>& row, std::vector<std::size_t>& cur,
                  const std::vector<std::size_t>& above, long& col);
  void read_cell(Table& t, std::vector<std::string>& row, std::vector<std::size_t>& cur,
                 const std::vector<std::size_t>& above, long& col);
};

Document::Document(std::string_view docx_bytes, std::uint64_t max_part_size) : impl_(std::make_unique<Impl>()) {
  Impl& m = *impl_;
  m.limit = max_part_size;
  m.archive = open_archive(docx_bytes);
  zip_t* za = m.archive.get();

  if (locate(za, "_rels/.rels") < 0) {
    throw PackageError("not a Word document: no package relationships part '_rels/.rels'");
  }
  const auto package_rels = read_relationships(za, "_rels/.rels", m.limit);
  const Relationship* office = find_relationship(package_rels, OFFICE_DOCUMENT_TYPES);
  if (office == nullptr) {
    throw PackageError("not a Word document: '_rels/.rels' names no main document part");
  }
  m.main_part = resolve_target("", office->target);
  const zip_int64_t main_index = locate(za, m.main_part);
  if (main_index < 0) {
    throw PackageError("not a Word document: the main document part " + quoted(m.main_part) + " is missing");
  }

  const std::string main_rels = rels_part_of(m.main_part);
  if (locate(za, main_rels) >= 0) {
    const auto rels = read_relationships(za, main_rels, m.limit);
    if (const Relationship* st = find_relationship(rels, STYLES_TYPES)) {
      m.styles = read_styles(za, resolve_target(folder_of(m.main_part), st->target), m.limit);
    }
  }

  m.part = std::make_unique<PartStream>(za, main_index, m.main_part, m.limit);
  m.xml = std::make_unique<XmlReader>(*m.part);
  to_root(*m.xml);
  if (!m.xml->is_w("document")) {
    const char* local = reinterpret_cast<const char*>(m.xml->local_name());
    throw PackageError("not a Word document: the main part " + quoted(m.main_part) + " has the root element <" +
                       std::string(local != nullptr ? local : "") + ">");
  }
  m.root_depth = m.xml->depth();
  if (m.xml->is_empty()) m.done = true;
}

Document::~Document() = default;

const std::string& Document::main_part_name() const { return impl_->main_part; }
std::uint64_t Document::main_part_size() const { return impl_->part->declared_size(); }
const Styles& Document::styles() const { return impl_->styles; }

bool Document::next_block(Block& out) { return impl_->next_block(out); }

bool Document::Impl::next_block(Block& out) {
  XmlReader& x = *xml;
  while (!done) {
    if (body_depth < 0) {
      // Between the bodies: a document normally has one, but text in a
      // further w:body is still the document's text.
      if (!x.next_child(root_depth)) {
        while (x.read()) {
        }
        done = true;
        return false;
      }
      if (x.is_w("body") && !x.is_empty()) {
        body_depth = x.depth();
      } else {
        x.skip();
      }
      continue;
    }
    if (!x.next_child(body_depth)) {
      body_depth = -1;
      continue;
    }
    if (x.is_w("p")) {
      if (!std::holds_alternative<Paragraph>(out)) out.emplace<Paragraph>();
      read_paragraph(std::get<Paragraph>(out));
      return true;
    }
    if (x.is_w("tbl")) {
      if (!std::holds_alternative<Table>(out)) out.emplace<Table>();
      read_table(std::get<Table>(out));
      return true;
    }
    x.skip();
  }
  return false;
}

void Document::Impl::read_paragraph(Paragraph& p) {
  p.text.clear();
  p.has_numbering = false;
  style_id.reset();
  read_paragraph_content(p.text, &p);
  p.style_name = styles.paragraph_style_name(style_id);
}

void Document::Impl::read_paragraph_content(std::string& text, Paragraph* p) {
  XmlReader& x = *xml;
  if (x.is_empty()) return;
  const int d = x.depth();
  bool seen_ppr = false;
  while (x.next_child(d)) {
    if (!seen_ppr && x.is_w("pPr")) {
      seen_ppr = true;
      if (p != nullptr) {
        read_ppr(*p);
      } else {
        x.skip();
      }
    } else {
      read_inline(text);
    }
  }
}

void Document::Impl::read_ppr(Paragraph& p) {
  XmlReader& x = *xml;
  if (x.is_empty()) return;
  const int d = x.depth();
  bool seen_style = false;
  while (x.next_child(d)) {
    if (x.is_w("numPr")) {
      p.has_numbering = true;
    } else if (!seen_style && x.is_w("pStyle")) {
      seen_style = true;
      style_id = x.attr("val");
    }
    x.skip();
  }
}

// One child of a paragraph or of an inline wrapper.
void Document::Impl::read_inline(std::string& text) {
  XmlReader& x = *xml;
  if (!x.is_w_ns()) {
    x.skip();
    return;
  }
  const xmlChar* n = x.local_name();
  if (eq(n, "r")) {
    read_run(text);
  } else if (eq(n, "hyperlink") || eq(n, "ins") || eq(n, "moveTo") || eq(n, "smartTag") ||
             eq(n, "customXml") || eq(n, "fldSimple") || eq(n, "dir") || eq(n, "bdo")) {
    read_inline_children(text);
  } else if (eq(n, "sdt")) {
    if (x.is_empty()) return;
    const int d = x.depth();
    while (x.next_child(d)) {
      if (x.is_w("sdtContent")) {
        read_inline_children(text);
      } else {
        x.skip();
      }
    }
  } else {
    // Deleted and moved-away runs, field codes, drawings, math, bookmarks
    // and properties are not text of the paragraph.
    x.skip();
  }
}

void Document::Impl::read_inline_children(std::string& text) {
  XmlReader& x = *xml;
  if (x.is_empty()) return;
  const int d = x.depth();
  while (x.next_child(d)) read_inline(text);
}

void Document::Impl::read_run(std::string& text) {
  XmlReader& x = *xml;
  if (x.is_empty()) return;
  const int d = x.depth();
  while (x.next_child(d)) {
    if (x.is_w_ns()) {
      const xmlChar* n = x.local_name();
      if (eq(n, "t")) {
        x.append_text(text);
        continue;
      }
      if (eq(n, "tab") || eq(n, "ptab")) {
        text += '\t';
      } else if (eq(n, "br") || eq(n, "cr")) {
        // Page and column breaks end a line too, so the words on either side
        // stay apart.
        text += '\n';
      } else if (eq(n, "noBreakHyphen")) {
        text += '-';
      }
    }
    x.skip();
  }
}

void Document::Impl::read_table(Table& t) {
  XmlReader& x = *xml;
  t.rows.clear();
  table_bytes = 0;
  if (x.is_empty()) return;
  // For each grid column, the index in the previous row of the cell covering
  // it, or npos.
  std::vector<std::size_t> above;
  const int d = x.depth();
  while (x.next_child(d)) {
    if (x.is_w("tr")) {
      read_row(t, above);
    } else if (x.is_w("sdt") || x.is_w("customXml")) {
      read_rows(t, above);
    } else {
      x.skip();
    }
  }
}

// Rows wrapped in a content control or custom XML element are rows of the
// table all the same.
void Document::Impl::read_rows(Table& t, std::vector<std::size_t>& above) {
  XmlReader& x = *xml;
  if (x.is_empty()) return;
  const int d = x.depth();
  while (x.next_child(d)) {
    if (x.is_w("tr")) {
      read_row(t, above);
    } else if (x.is_w("sdtContent") || x.is_w("customXml") || x.is_w("sdt")) {
      read_rows(t, above);
    } else {
      x.skip();
    }
  }
}

void Document::Impl::read_row(Table& t, std::vector<std::size_t>& above) {
  XmlReader& x = *xml;
  t.rows.emplace_back();
  std::vector<std::string>& row = t.rows.back();
  table_bytes += CELL_OVERHEAD;
  std::vector<std::size_t> cur;
  long col = 0;
  if (!x.is_empty()) {
    const int d = x.depth();
    while (x.next_child(d)) {
      if (x.is_w("trPr")) {
        if (!x.is_empty()) {
          const int p = x.depth();
          while (x.next_child(p)) {
            if (x.is_w("gridBefore")) {
              const long before =
                  std::clamp(std::strtol(x.attr("val").value_or("0").c_str(), nullptr, 10), 0L, MAX_GRID_SPAN);
              // Cells of this row start after the columns left out.
              if (row.empty()) col = before;
            }
            x.skip();
          }
        }
      } else if (x.is_w("tc")) {
        read_cell(t, row, cur, above, col);
      } else if (x.is_w("sdt") || x.is_w("customXml")) {
        read_cells(t, row, cur, above, col);
      } else {
        x.skip();
      }
    }
  }
  above = std::move(cur);
}

void Document::Impl::read_cells(Table& t, std::vector<std::string>& row, std::vector<std::size_t>& cur,
                                const std::vector<std::size_t>& above, long& col) {
  XmlReader& x = *xml;
  if (x.is_empty()) return;
  const int d = x.depth();
  while (x.next_child(d)) {
    if (x.is_w("tc")) {
      read_cell(t, row, cur, above, col);
    } else if (x.is_w("sdtContent") || x.is_w("customXml") || x.is_w("sdt")) {
      read_cells(t, row, cur, above, col);
    } else {
      x.skip();
    }
  }
}

void Document::Impl::read_cell(Table& t, std::vector<std::string>& row, std::vector<std::size_t>& cur,
                               const std::vector<std::size_t>& above, long& col) {
  XmlReader& x = *xml;
  long span = 1;
  bool continues = false;
  std::string text;
  if (!x.is_empty()) {
    const int d = x.depth();
    bool first_paragraph = true;
    while (x.next_child(d)) {
      if (x.is_w("tcPr")) {
        if (!x.is_empty()) {
          const int p = x.depth();
          while (x.next_child(p)) {
            if (x.is_w("gridSpan")) {
              span = std::strtol(x.attr("val").value_or("1").c_str(), nullptr, 10);
            } else if (x.is_w("vMerge")) {
              continues = x.attr("val").value_or("continue") != "restart";
            }
            x.skip();
          }
        }
      } else if (x.is_w("p")) {
        if (!first_paragraph) text += '\n';
        first_paragraph = false;
        read_paragraph_content(text, nullptr);
      } else {
        // Nested tables and anything else inside the cell add nothing.
        x.skip();
      }
    }
  }
  span = std::clamp(span, 1L, MAX_GRID_SPAN);

  // A continuation shows the text of the cell above it, which itself already
  // shows the start of the merge; in the first row, or where no cell lies
  // above, the cell shows its own text.
  const std::string* shown = &text;
  const auto c = static_cast<std::size_t>(col);
  if (continues && t.rows.size() >= 2 && c < above.size() && above[c] != std::string::npos) {
    shown = &t.rows[t.rows.size() - 2][above[c]];
  }
  const std::string value = *shown;
  for (long i = 0; i < span; ++i) {
    table_bytes += value.size() + CELL_OVERHEAD;
    if (table_bytes > limit) {
      throw PackageError("a table in part " + quoted(main_part) + " expands to more than " + size_text(limit) +
                         " of text");
    }
    const std::size_t pos = static_cast<std::size_t>(col + i);
    if (cur.size() <= pos) cur.resize(pos + 1, std::string::npos);
    cur[pos] = row.size();
    row.push_back(value);
  }
  col += span;
}

}  // namespace shared::processors::docx_package
