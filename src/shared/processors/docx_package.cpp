#include "shared/processors/docx_package.hpp"

#include <libxml/parser.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlreader.h>
#include <zip.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <unordered_map>

#include "shared/handles.hpp"
#include "shared/processors/docx_parts.hpp"
#include "shared/text/percent.hpp"

namespace shared::processors::docx_package {

namespace detail {

std::optional<std::string> xml_error_message(const xmlError* err, const xmlParserCtxt* ctxt,
                                             const PartStream& part) {
  if (err == nullptr || err->level < XML_ERR_ERROR) return std::nullopt;
  if (err->code == XML_WAR_UNDECLARED_ENTITY) return std::nullopt;
  const std::string where = "malformed XML in part " + quote_part(part.name());
  if (err->code == XML_ERR_DOCUMENT_END && ctxt != nullptr && ctxt->nameNr > 0) {
    return where + ": the part ends inside an element";
  }
  std::string msg = err->message != nullptr ? err->message : "unknown error";
  if (auto nl = msg.find('\n'); nl != std::string::npos) msg.resize(nl);
  return where + (err->line > 0 ? " at line " + std::to_string(err->line) : "") + ": " + msg;
}

void throw_read_error(const PartStream& part, const std::string& xml_error) {
  if (!part.error().empty()) throw PackageError(part.error());
  if (part.bytes_read() == 0) throw PackageError("malformed XML in part " + quote_part(part.name()) + ": the part is empty");
  if (!xml_error.empty()) throw PackageError(xml_error);
  throw PackageError("malformed XML in part " + quote_part(part.name()));
}

}  // namespace detail

namespace {

using handles::CFree;
using namespace detail;

struct XmlCharFree {
  void operator()(xmlChar* p) const noexcept { xmlFree(p); }
};

using ZipArchive = std::unique_ptr<zip_t, CFree<zip_discard>>;
using ZipSource = std::unique_ptr<zip_source_t, CFree<zip_source_free>>;
using TextReader = std::unique_ptr<xmlTextReader, CFree<xmlFreeTextReader>>;
using XmlChars = std::unique_ptr<xmlChar, XmlCharFree>;

constexpr const char* RELATIONSHIPS_NS = "http://schemas.openxmlformats.org/package/2006/relationships";
constexpr std::array<std::string_view, 2> OFFICE_DOCUMENT_TYPES = {
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument",
    "http://purl.oclc.org/ooxml/officeDocument/relationships/officeDocument"};
constexpr std::array<std::string_view, 2> HEADER_TYPES = {
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/header",
    "http://purl.oclc.org/ooxml/officeDocument/relationships/header"};
constexpr std::array<std::string_view, 2> FOOTER_TYPES = {
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/footer",
    "http://purl.oclc.org/ooxml/officeDocument/relationships/footer"};
constexpr std::array<std::string_view, 2> STYLES_TYPES = {
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/styles",
    "http://purl.oclc.org/ooxml/officeDocument/relationships/styles"};

// ---------------------------------------------------------------------------
// Zip access.

// Two entries that name one part (the same name, or names that differ only
// in ASCII case, which part names ignore) make the package mean different
// things to different readers: one takes the first entry, another the last.
// Such a package is refused rather than read one way.
void refuse_duplicate_parts(zip_t* za) {
  const zip_int64_t count = zip_get_num_entries(za, 0);
  std::unordered_map<std::string, zip_int64_t> seen;
  seen.reserve(static_cast<std::size_t>(std::min<zip_int64_t>(count, 4096)));
  for (zip_int64_t i = 0; i < count; ++i) {
    const char* name = zip_get_name(za, static_cast<zip_uint64_t>(i), 0);
    if (name == nullptr || *name == '\0') continue;
    std::string key(name);
    // Folder entries are no parts.
    if (key.back() == '/') continue;
    for (char& c : key) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    const auto [it, added] = seen.try_emplace(std::move(key), i);
    if (added) continue;
    const char* first = zip_get_name(za, static_cast<zip_uint64_t>(it->second), 0);
    std::string message = "ambiguous package: zip entries " + std::to_string(it->second + 1) + " and " +
                          std::to_string(i + 1) + " both name the part " + quote_part(first != nullptr ? first : name);
    if (first != nullptr && std::strcmp(first, name) != 0) {
      message += " (as " + quote_part(first) + " and " + quote_part(name) + "; part names ignore case)";
    }
    throw PackageError(message + ", which readers resolve differently");
  }
}

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
  refuse_duplicate_parts(archive.get());
  return archive;
}

// Part names are case-insensitive in a package.
zip_int64_t locate(zip_t* za, const std::string& name) {
  zip_int64_t idx = zip_name_locate(za, name.c_str(), 0);
  if (idx < 0) idx = zip_name_locate(za, name.c_str(), ZIP_FL_NOCASE);
  return idx;
}

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
  bool is_w_ns() const { return w_ns_.matches(ns()); }
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

  [[noreturn]] void fail() const { throw_read_error(part_, error_); }

 private:
  static void on_error(void* self_ptr, xmlErrorPtr err) {
    auto* self = static_cast<XmlReader*>(self_ptr);
    std::optional<std::string> message =
        xml_error_message(err, err != nullptr ? static_cast<const xmlParserCtxt*>(err->ctxt) : nullptr, self->part_);
    if (!message) return;
    self->failed_ = true;
    if (self->error_.empty()) self->error_ = std::move(*message);
  }

  PartStream& part_;
  TextReader reader_;
  mutable WordNamespace w_ns_;
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
  if (idx < 0) throw PackageError("part " + quote_part(rels_name) + " is missing");
  PartStream part(za, idx, rels_name, limit);
  XmlReader xml(part);
  to_root(xml);
  std::vector<Relationship> out;
  if (!xml.in_ns(RELATIONSHIPS_NS) || !eq(xml.local_name(), "Relationships")) {
    throw PackageError("part " + quote_part(rels_name) + " is not a relationships part");
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

struct Document::Impl {
  std::uint64_t limit = MAX_PART_SIZE;
  ZipArchive archive;
  std::string main_part;
  Styles styles;
  conversion_loss::LossReport loss;
  std::unique_ptr<PartStream> part;
  std::unique_ptr<BodyReader> body;
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
    throw PackageError("not a Word document: the main document part " + quote_part(m.main_part) + " is missing");
  }

  const std::string main_rels = rels_part_of(m.main_part);
  if (locate(za, main_rels) >= 0) {
    const auto rels = read_relationships(za, main_rels, m.limit);
    if (const Relationship* st = find_relationship(rels, STYLES_TYPES)) {
      m.styles = read_styles(za, resolve_target(folder_of(m.main_part), st->target), m.limit);
    }
    // Headers and footers are never read: each part the main part refers to
    // is text the Markdown does not have.
    for (const Relationship& r : rels) {
      if (r.external) continue;
      if (std::find(HEADER_TYPES.begin(), HEADER_TYPES.end(), r.type) != HEADER_TYPES.end()) ++m.loss.headers;
      if (std::find(FOOTER_TYPES.begin(), FOOTER_TYPES.end(), r.type) != FOOTER_TYPES.end()) ++m.loss.footers;
    }
  }

  m.part = std::make_unique<PartStream>(za, main_index, m.main_part, m.limit);
  m.body = open_body(*m.part, m.styles, m.limit, m.loss);
}

Document::~Document() = default;

const std::string& Document::main_part_name() const { return impl_->main_part; }
std::uint64_t Document::main_part_size() const { return impl_->part->declared_size(); }
const conversion_loss::LossReport& Document::loss() const { return impl_->loss; }

bool Document::next_block(Block& out) { return impl_->body->next(out); }

}  // namespace shared::processors::docx_package
