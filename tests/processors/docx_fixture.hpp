// Builds small Word packages in memory for the conversion tests: any set of
// parts zipped with libzip, plus shorthands for paragraphs and tables.
#pragma once

#include <zip.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace docx_fixture {

inline const std::string W_NS = "http://schemas.openxmlformats.org/wordprocessingml/2006/main";
inline const std::string W_STRICT_NS = "http://purl.oclc.org/ooxml/wordprocessingml/main";

struct Part {
  std::string name;
  std::string data;
  bool stored = false;  // no compression
};

// The parts as one zip archive.
inline std::string make_zip(const std::vector<Part>& parts) {
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* buffer = zip_source_buffer_create(nullptr, 0, 0, &error);
  zip_t* za = zip_open_from_source(buffer, ZIP_TRUNCATE, &error);
  if (za == nullptr) throw std::runtime_error("cannot create a zip in memory");
  zip_source_keep(buffer);
  for (const Part& part : parts) {
    zip_source_t* s = zip_source_buffer(za, part.data.data(), part.data.size(), 0);
    const zip_int64_t idx = zip_file_add(za, part.name.c_str(), s, ZIP_FL_OVERWRITE | ZIP_FL_ENC_UTF_8);
    if (idx < 0) throw std::runtime_error("cannot add " + part.name);
    if (part.stored) zip_set_file_compression(za, static_cast<zip_uint64_t>(idx), ZIP_CM_STORE, 0);
  }
  if (zip_close(za) != 0) throw std::runtime_error("cannot close the zip");
  zip_source_open(buffer);
  zip_source_seek(buffer, 0, SEEK_END);
  const zip_int64_t size = zip_source_tell(buffer);
  zip_source_seek(buffer, 0, SEEK_SET);
  std::string out(static_cast<std::size_t>(size), '\0');
  zip_source_read(buffer, out.data(), static_cast<zip_uint64_t>(size));
  zip_source_close(buffer);
  zip_source_free(buffer);
  zip_error_fini(&error);
  return out;
}

inline std::string relationships(const std::string& type, const std::string& target) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
         "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
         "<Relationship Id=\"rId1\" Type=\"" +
         type + "\" Target=\"" + target + "\"/></Relationships>";
}

inline const std::string OFFICE_DOCUMENT =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument";
inline const std::string STYLES = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/styles";

// A style element; an empty `name` leaves out w:name, an empty `type` w:type.
inline std::string style(const std::string& id, const std::string& name, bool is_default = false,
                         const std::string& type = "paragraph") {
  std::string s = "<w:style";
  if (!type.empty()) s += " w:type=\"" + type + "\"";
  if (is_default) s += " w:default=\"1\"";
  s += " w:styleId=\"" + id + "\">";
  if (!name.empty()) s += "<w:name w:val=\"" + name + "\"/>";
  return s + "</w:style>";
}

inline std::string styles_xml(const std::string& styles, const std::string& ns = W_NS) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n<w:styles xmlns:w=\"" + ns + "\">" + styles +
         "</w:styles>";
}

// Word's own spelling: built-in names in lower case.
inline const std::string WORD_STYLES = styles_xml(
    style("Normal", "Normal", true) + style("Heading1", "heading 1") + style("Heading2", "heading 2") +
    style("Heading3", "heading 3") + style("Title", "Title") + style("ListParagraph", "List Paragraph"));

inline std::string document_xml(const std::string& body, const std::string& ns = W_NS) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n<w:document xmlns:w=\"" + ns +
         "\"><w:body>" + body + "</w:body></w:document>";
}

// A package whose main part is word/document.xml with `body`; the styles part
// is left out when `styles` is empty.
inline std::string docx(const std::string& body, const std::string& styles = WORD_STYLES) {
  std::vector<Part> parts = {
      {"[Content_Types].xml",
       "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Types "
       "xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\"/>"},
      {"_rels/.rels", relationships(OFFICE_DOCUMENT, "word/document.xml")},
      {"word/document.xml", document_xml(body)}};
  if (!styles.empty()) {
    parts.push_back({"word/_rels/document.xml.rels", relationships(STYLES, "styles.xml")});
    parts.push_back({"word/styles.xml", styles});
  }
  return make_zip(parts);
}

inline std::string run(const std::string& text) { return "<w:r><w:t xml:space=\"preserve\">" + text + "</w:t></w:r>"; }

// A paragraph of one run; `style_id` as w:pStyle, `numbered` adds a w:numPr.
inline std::string p(const std::string& text, const std::string& style_id = "", bool numbered = false) {
  std::string out = "<w:p>";
  if (!style_id.empty() || numbered) {
    out += "<w:pPr>";
    if (!style_id.empty()) out += "<w:pStyle w:val=\"" + style_id + "\"/>";
    if (numbered) out += "<w:numPr><w:ilvl w:val=\"0\"/><w:numId w:val=\"1\"/></w:numPr>";
    out += "</w:pPr>";
  }
  return out + (text.empty() ? "" : run(text)) + "</w:p>";
}

inline std::string h1(const std::string& text) { return p(text, "Heading1"); }
inline std::string h2(const std::string& text) { return p(text, "Heading2"); }

// A cell holding one paragraph per text; `props` goes into w:tcPr.
inline std::string tc_paragraphs(const std::vector<std::string>& paragraphs, const std::string& props = "") {
  std::string out = "<w:tc>";
  if (!props.empty()) out += "<w:tcPr>" + props + "</w:tcPr>";
  for (const auto& text : paragraphs) out += p(text);
  return out + "</w:tc>";
}
inline std::string tc(const std::string& text, const std::string& props = "") {
  return tc_paragraphs({text}, props);
}
inline std::string tr(const std::string& cells) { return "<w:tr>" + cells + "</w:tr>"; }
inline std::string tbl(const std::string& rows) { return "<w:tbl><w:tblPr/>" + rows + "</w:tbl>"; }

}  // namespace docx_fixture
