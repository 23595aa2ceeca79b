#include "shared/processors/docx_package.hpp"

#include <libxml/parser.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlreader.h>
#include <zip.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <limits>

#include "shared/handles.hpp"
#include "shared/text/percent.hpp"

namespace shared::processors::docx_package {

namespace {

using handles::CFree;

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

// The part name a relationship target of a part in folder `base` points at.
std::string resolve_target(std::string_view base, std::string_view target) {
  std::string t = text::percent_decode(target.substr(0, target.find('#')));
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
// The body, read with libxml2's SAX push parser: no tree is built, the inflated
// part passes through in chunks, and only the paragraph or table being read
// (plus blocks finished within the current chunk) is held.

namespace {

constexpr std::size_t CHUNK = 16 * 1024;

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

class BodyParser {
 public:
  BodyParser(PartStream& part, const Styles& styles, std::uint64_t limit)
      : part_(part), styles_(styles), limit_(limit) {
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
    if (ctxt_ == nullptr) throw PackageError("cannot read part " + quoted(part_.name()) + ": out of memory");
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

  bool next(Block& out) {
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

  [[noreturn]] void fail() const {
    if (!part_.error().empty()) throw PackageError(part_.error());
    if (part_.bytes_read() == 0) throw PackageError("malformed XML in part " + quoted(part_.name()) + ": the part is empty");
    if (!error_.empty()) throw PackageError(error_);
    throw PackageError("malformed XML in part " + quoted(part_.name()));
  }

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
    if (err == nullptr || err->level < XML_ERR_ERROR) return;
    // A reference to an entity that is declared nowhere we read (an external
    // subset is never loaded) is left out of the text, not an error.
    if (err->code == XML_WAR_UNDECLARED_ENTITY) return;
    auto* ctxt = static_cast<xmlParserCtxtPtr>(ctx);
    auto* parser = ctxt != nullptr ? static_cast<BodyParser*>(ctxt->_private) : nullptr;
    if (parser == nullptr || !parser->error_.empty()) return;
    const std::string where = "malformed XML in part " + quoted(parser->part_.name());
    // libxml2 reports a part cut short with the message for extra content
    // after the document; open elements tell the two apart.
    if (err->code == XML_ERR_DOCUMENT_END && parser->ctxt_->nameNr > 0) {
      parser->error_ = where + ": the part ends inside an element";
      return;
    }
    std::string msg = err->message != nullptr ? err->message : "unknown error";
    if (auto nl = msg.find('\n'); nl != std::string::npos) msg.resize(nl);
    parser->error_ = where + (err->line > 0 ? " at line " + std::to_string(err->line) : "") + ": " + msg;
  }

  bool is_w(const xmlChar* uri) {
    if (uri == nullptr) return false;
    if (uri == w_ns_) return true;
    if (eq(uri, W_TRANSITIONAL) || eq(uri, W_STRICT)) {
      w_ns_ = uri;
      return true;
    }
    return false;
  }

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
  void push(Kind k) { stack_.push_back(k); }

  void start(const xmlChar* local, const xmlChar* uri, int nb_attributes, const xmlChar** attributes) {
    if (ignored_ > 0) {
      ++ignored_;
      return;
    }
    if (stack_.empty()) {
      if (root_seen_) {
        ignore();
        return;
      }
      root_seen_ = true;
      if (!is_w(uri) || !named(local, "document")) {
        stop("not a Word document: the main part " + quoted(part_.name()) + " has the root element <" +
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
        return ignore();
      case Kind::paragraph:
        if (w && !seen_properties_ && named(local, "pPr")) {
          seen_properties_ = true;
          return push(Kind::properties);
        }
        return start_inline(w, local);
      case Kind::cell_paragraph:
      case Kind::inline_wrapper:
        return start_inline(w, local);
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
          if (named(local, "t")) return push(Kind::text);
          if (named(local, "tab") || named(local, "ptab")) {
            *text_ += '\t';
          } else if (named(local, "br") || named(local, "cr")) {
            // Page and column breaks end a line too, so the words on either
            // side stay apart.
            *text_ += '\n';
          } else if (named(local, "noBreakHyphen")) {
            *text_ += '-';
          }
        }
        return ignore();
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

  void start_inline(bool w, const xmlChar* local) {
    if (!w) return ignore();
    if (named(local, "r")) return push(Kind::run);
    if (named(local, "hyperlink") || named(local, "ins") || named(local, "moveTo") || named(local, "smartTag") ||
        named(local, "customXml") || named(local, "fldSimple") || named(local, "dir") || named(local, "bdo")) {
      return push(Kind::inline_wrapper);
    }
    if (named(local, "sdt")) return push(Kind::inline_control);
    // Deleted and moved-away runs, field codes, drawings, math, bookmarks and
    // properties are not text of the paragraph.
    ignore();
  }

  void end() {
    if (ignored_ > 0) {
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
    if (continues_ && table_.rows.size() >= 2 && c < above_.size() && above_[c] != std::string::npos) {
      cell_text_ = table_.rows[table_.rows.size() - 2][above_[c]];
    }
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
    stop("a table in part " + quoted(part_.name()) + " expands to more than " + size_text(limit_) + " of text");
    return false;
  }

  PartStream& part_;
  const Styles& styles_;
  std::uint64_t limit_;
  xmlParserCtxtPtr ctxt_ = nullptr;
  bool finished_input_ = false;
  bool ended_ = false;
  bool root_seen_ = false;
  std::string error_;
  const xmlChar* w_ns_ = nullptr;

  std::vector<Kind> stack_;
  int ignored_ = 0;  // depth inside an element whose content does not matter
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

struct Document::Impl {
  std::uint64_t limit = MAX_PART_SIZE;
  ZipArchive archive;
  std::string main_part;
  Styles styles;
  std::unique_ptr<PartStream> part;
  std::unique_ptr<BodyParser> body;
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
  m.body = std::make_unique<BodyParser>(*m.part, m.styles, m.limit);
  m.body->read_root();
}

Document::~Document() = default;

const std::string& Document::main_part_name() const { return impl_->main_part; }
std::uint64_t Document::main_part_size() const { return impl_->part->declared_size(); }
const Styles& Document::styles() const { return impl_->styles; }

bool Document::next_block(Block& out) { return impl_->body->next(out); }

}  // namespace shared::processors::docx_package
