// make_sop_docx: writes a synthetic standard operating procedure as a .docx of
// a chosen size: numbered sections with Heading 1 to Heading 3, body text,
// numbered and bulleted lists, tables with merged cells, and non-ASCII text,
// in the verbose markup Word itself writes. The same arguments always give
// the same bytes.
//
//   make_sop_docx OUT.docx [--paragraphs N] [--tables N] [--seed N]
#include <zip.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Rng {
  std::uint64_t state;
  std::uint64_t next() {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }
};

const std::vector<std::string> WORDS = {
    "the", "operator", "shall", "verify", "that", "batch", "record", "is", "complete", "before", "release",
    "sample", "equipment", "calibration", "deviation", "QA", "approval", "procedure", "cleanroom", "gowning",
    "temperature", "humidity", "logbook", "signature", "date", "review", "and", "of", "in", "to", "with",
    "according", "section", "responsible", "person", "Prüfung", "Qualitätssicherung", "Überprüfung", "µg/mL",
    "≤ 25 °C", "±0.5 °C", "Ångström", "façade", "naïve", "kvalitetsansvarig", "godkänd", "–", "→", "品質管理",
    "stability", "chamber", "filter", "integrity", "test", "HPLC", "assay", "limit", "tolerance", "retain",
    "label", "line", "clearance", "documented", "immediately", "supervisor", "training", "effective"};

const std::vector<std::string> SECTION_TITLES = {
    "Purpose", "Scope", "Responsibilities", "Definitions", "Safety", "Materials and equipment", "Procedure",
    "Cleaning", "Documentation", "Deviations", "Change control", "Training", "References", "Revision history"};

std::string escape(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

class Writer {
 public:
  explicit Writer(std::uint64_t seed) : rng_{seed} {}

  std::string sentence(std::size_t min_words, std::size_t max_words) {
    const std::size_t n = min_words + rng_.below(max_words - min_words + 1);
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
      if (i) s += ' ';
      s += WORDS[rng_.below(WORDS.size())];
    }
    if (!s.empty()) s[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(s[0])));
    return s + ".";
  }

  std::string rsid() {
    char buf[9];
    std::snprintf(buf, sizeof buf, "00%06X", static_cast<unsigned>(rng_.below(0xFFFFFF)));
    return buf;
  }

  // Word splits text into runs wherever formatting or editing sessions change.
  std::string runs(const std::string& text) {
    std::string out;
    std::size_t start = 0;
    while (start < text.size()) {
      std::size_t end = start + 40 + rng_.below(80);
      if (end >= text.size()) {
        end = text.size();
      } else {
        end = text.find(' ', end);
        if (end == std::string::npos) end = text.size();
      }
      out += rng_.below(4) == 0 ? "<w:r><w:rPr><w:lang w:val=\"de-DE\"/></w:rPr>" : "<w:r>";
      out += "<w:t xml:space=\"preserve\">" + escape(text.substr(start, end - start)) + "</w:t></w:r>";
      start = end;
    }
    return out;
  }

  std::string paragraph(const std::string& text, const std::string& style = "", int num_id = 0, int ilvl = 0) {
    std::string p = "<w:p w:rsidR=\"" + rsid() + "\" w:rsidRDefault=\"" + rsid() + "\">";
    if (!style.empty() || num_id != 0) {
      p += "<w:pPr>";
      if (!style.empty()) p += "<w:pStyle w:val=\"" + style + "\"/>";
      if (num_id != 0) {
        p += "<w:numPr><w:ilvl w:val=\"" + std::to_string(ilvl) + "\"/><w:numId w:val=\"" +
             std::to_string(num_id) + "\"/></w:numPr>";
      }
      p += "</w:pPr>";
    }
    return p + runs(text) + "</w:p>";
  }

  std::string cell(const std::string& text, int span = 1, const char* vmerge = nullptr) {
    std::string c = "<w:tc><w:tcPr><w:tcW w:w=\"" + std::to_string(2000 * span) + "\" w:type=\"dxa\"/>";
    if (span > 1) c += "<w:gridSpan w:val=\"" + std::to_string(span) + "\"/>";
    if (vmerge != nullptr) c += std::strlen(vmerge) ? "<w:vMerge w:val=\"" + std::string(vmerge) + "\"/>" : "<w:vMerge/>";
    c += "</w:tcPr>" + paragraph(text) + "</w:tc>";
    return c;
  }

  // A four-column table: a header whose last cell spans two columns, then
  // rows whose first cell is merged vertically in pairs.
  std::string table(int number) {
    std::string t =
        "<w:tbl><w:tblPr><w:tblStyle w:val=\"TableGrid\"/><w:tblW w:w=\"0\" w:type=\"auto\"/></w:tblPr>"
        "<w:tblGrid><w:gridCol w:w=\"2000\"/><w:gridCol w:w=\"2000\"/><w:gridCol w:w=\"2000\"/>"
        "<w:gridCol w:w=\"2000\"/></w:tblGrid>";
    t += "<w:tr>" + cell("Step") + cell("Action") + cell("Acceptance criterion (Prüfkriterium)", 2) + "</w:tr>";
    const int rows = 4 + static_cast<int>(rng_.below(5));
    for (int r = 0; r < rows; ++r) {
      const bool start = r % 2 == 0;
      t += "<w:tr>";
      t += start ? cell(std::to_string(number) + "." + std::to_string(r / 2 + 1), 1, "restart") : cell("", 1, "");
      t += cell(sentence(3, 9)) + cell(sentence(2, 6)) + cell(r % 3 == 0 ? "≤ 25 °C" : "n/a");
      t += "</w:tr>";
    }
    return t + "</w:tbl>";
  }

  std::string document(long paragraphs, long tables) {
    std::string body;
    body.reserve(static_cast<std::size_t>(paragraphs) * 400 + static_cast<std::size_t>(tables) * 12000);
    body += paragraph("Standard Operating Procedure QD-000958: Line clearance – Verpackungslinie 3", "Title");
    long written = 1;
    const long per_table = tables > 0 ? std::max(1L, paragraphs / (tables + 1)) : paragraphs + 1;
    long tables_left = tables;
    long since_table = 0;
    int h1 = 0, h2 = 0;
    while (written < paragraphs || tables_left > 0) {
      if (tables_left > 0 && (since_table >= per_table || written >= paragraphs)) {
        body += table(static_cast<int>(tables - tables_left + 1));
        --tables_left;
        since_table = 0;
        continue;
      }
      if (written >= paragraphs) continue;
      // A section: a level-1 heading every ~60 paragraphs, level 2 every
      // ~15, level 3 now and then, otherwise body text and lists.
      const std::size_t roll = rng_.below(60);
      if (roll == 0 || written == 1) {
        ++h1;
        h2 = 0;
        body += paragraph(SECTION_TITLES[static_cast<std::size_t>(h1 - 1) % SECTION_TITLES.size()], "Heading1");
      } else if (roll < 4) {
        ++h2;
        body += paragraph(sentence(2, 5), "Heading2");
      } else if (roll < 6) {
        body += paragraph(sentence(2, 4), "Heading3");
      } else if (roll < 18) {
        body += paragraph(sentence(5, 14), "ListParagraph", 1, static_cast<int>(rng_.below(2)));
      } else if (roll < 26) {
        body += paragraph(sentence(3, 10), "ListParagraph", 2);
      } else if (roll < 28) {
        body += paragraph("");
      } else {
        body += paragraph(sentence(6, 24));
      }
      ++written;
      ++since_table;
    }
    return "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
           "<w:document xmlns:wpc=\"http://schemas.microsoft.com/office/word/2010/wordprocessingCanvas\" "
           "xmlns:mc=\"http://schemas.openxmlformats.org/markup-compatibility/2006\" "
           "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\" "
           "xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\" "
           "xmlns:w14=\"http://schemas.microsoft.com/office/word/2010/wordml\" mc:Ignorable=\"w14\"><w:body>" +
           body +
           "<w:sectPr><w:pgSz w:w=\"11906\" w:h=\"16838\"/><w:pgMar w:top=\"1417\" w:right=\"1417\" "
           "w:bottom=\"1134\" w:left=\"1417\" w:header=\"708\" w:footer=\"708\" w:gutter=\"0\"/></w:sectPr>"
           "</w:body></w:document>";
  }

 private:
  Rng rng_;
};

const char* CONTENT_TYPES =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
    "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
    "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
    "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
    "<Override PartName=\"/word/document.xml\" "
    "ContentType=\"application/vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml\"/>"
    "<Override PartName=\"/word/styles.xml\" "
    "ContentType=\"application/vnd.openxmlformats-officedocument.wordprocessingml.styles+xml\"/>"
    "<Override PartName=\"/word/numbering.xml\" "
    "ContentType=\"application/vnd.openxmlformats-officedocument.wordprocessingml.numbering+xml\"/>"
    "</Types>";

const char* PACKAGE_RELS =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
    "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
    "<Relationship Id=\"rId1\" "
    "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument\" "
    "Target=\"word/document.xml\"/></Relationships>";

const char* DOCUMENT_RELS =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
    "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
    "<Relationship Id=\"rId1\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/styles\" "
    "Target=\"styles.xml\"/>"
    "<Relationship Id=\"rId2\" "
    "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/numbering\" "
    "Target=\"numbering.xml\"/></Relationships>";

std::string styles_xml() {
  std::string s =
      "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
      "<w:styles xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\">"
      "<w:docDefaults><w:rPrDefault><w:rPr><w:rFonts w:ascii=\"Arial\" w:hAnsi=\"Arial\"/><w:sz w:val=\"20\"/>"
      "</w:rPr></w:rPrDefault></w:docDefaults>"
      "<w:style w:type=\"paragraph\" w:default=\"1\" w:styleId=\"Normal\"><w:name w:val=\"Normal\"/><w:qFormat/>"
      "</w:style>"
      "<w:style w:type=\"paragraph\" w:styleId=\"Title\"><w:name w:val=\"Title\"/><w:basedOn w:val=\"Normal\"/>"
      "</w:style>"
      "<w:style w:type=\"paragraph\" w:styleId=\"ListParagraph\"><w:name w:val=\"List Paragraph\"/>"
      "<w:basedOn w:val=\"Normal\"/><w:pPr><w:ind w:left=\"720\"/></w:pPr></w:style>"
      "<w:style w:type=\"table\" w:styleId=\"TableGrid\"><w:name w:val=\"Table Grid\"/></w:style>";
  for (int level = 1; level <= 3; ++level) {
    const std::string n = std::to_string(level);
    s += "<w:style w:type=\"paragraph\" w:styleId=\"Heading" + n + "\"><w:name w:val=\"heading " + n +
         "\"/><w:basedOn w:val=\"Normal\"/><w:next w:val=\"Normal\"/><w:qFormat/><w:pPr><w:keepNext/>"
         "<w:outlineLvl w:val=\"" + std::to_string(level - 1) + "\"/></w:pPr><w:rPr><w:b/><w:sz w:val=\"" +
         std::to_string(32 - 4 * level) + "\"/></w:rPr></w:style>";
  }
  return s + "</w:styles>";
}

const char* NUMBERING =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
    "<w:numbering xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\">"
    "<w:abstractNum w:abstractNumId=\"0\"><w:lvl w:ilvl=\"0\"><w:start w:val=\"1\"/><w:numFmt w:val=\"decimal\"/>"
    "<w:lvlText w:val=\"%1.\"/></w:lvl><w:lvl w:ilvl=\"1\"><w:start w:val=\"1\"/><w:numFmt w:val=\"lowerLetter\"/>"
    "<w:lvlText w:val=\"%2)\"/></w:lvl></w:abstractNum>"
    "<w:abstractNum w:abstractNumId=\"1\"><w:lvl w:ilvl=\"0\"><w:start w:val=\"1\"/><w:numFmt w:val=\"bullet\"/>"
    "<w:lvlText w:val=\"\xE2\x80\xA2\"/></w:lvl></w:abstractNum>"
    "<w:num w:numId=\"1\"><w:abstractNumId w:val=\"0\"/></w:num>"
    "<w:num w:numId=\"2\"><w:abstractNumId w:val=\"1\"/></w:num></w:numbering>";

long number_arg(const char* s, const char* name) {
  char* end = nullptr;
  const long v = std::strtol(s, &end, 10);
  if (end == s || *end != '\0' || v < 0) {
    std::fprintf(stderr, "make_sop_docx: %s expects a whole number, got '%s'\n", name, s);
    std::exit(2);
  }
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  std::string out;
  long paragraphs = 20000, tables = 300, seed = 958;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::printf(
          "usage: make_sop_docx OUT.docx [--paragraphs N] [--tables N] [--seed N]\n\n"
          "Writes a synthetic SOP-like Word document: headings of levels 1 to 3, numbered and bulleted\n"
          "lists, tables with merged cells, non-ASCII text. Defaults: 20000 paragraphs, 300 tables.\n");
      return 0;
    }
    if ((a == "--paragraphs" || a == "--tables" || a == "--seed") && i + 1 < argc) {
      const long v = number_arg(argv[++i], a.c_str());
      (a == "--paragraphs" ? paragraphs : a == "--tables" ? tables : seed) = v;
    } else if (out.empty() && !a.empty() && a[0] != '-') {
      out = a;
    } else {
      std::fprintf(stderr, "make_sop_docx: unexpected argument '%s' (see --help)\n", a.c_str());
      return 2;
    }
  }
  if (out.empty()) {
    std::fprintf(stderr, "make_sop_docx: missing OUT.docx (see --help)\n");
    return 2;
  }

  Writer writer(static_cast<std::uint64_t>(seed));
  // Kept alive until zip_close, which reads them.
  const std::string document = writer.document(paragraphs, tables);
  const std::string styles = styles_xml();
  const std::vector<std::pair<const char*, std::string_view>> parts = {
      {"[Content_Types].xml", CONTENT_TYPES}, {"_rels/.rels", PACKAGE_RELS},
      {"word/document.xml", document},       {"word/_rels/document.xml.rels", DOCUMENT_RELS},
      {"word/styles.xml", styles},           {"word/numbering.xml", NUMBERING}};

  int err = 0;
  zip_t* za = zip_open(out.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
  if (za == nullptr) {
    std::fprintf(stderr, "make_sop_docx: cannot create '%s'\n", out.c_str());
    return 1;
  }
  for (const auto& [name, data] : parts) {
    zip_source_t* src = zip_source_buffer(za, data.data(), data.size(), 0);
    if (src == nullptr || zip_file_add(za, name, src, ZIP_FL_OVERWRITE | ZIP_FL_ENC_UTF_8) < 0) {
      zip_source_free(src);
      std::fprintf(stderr, "make_sop_docx: cannot add %s: %s\n", name, zip_strerror(za));
      zip_discard(za);
      return 1;
    }
  }
  if (zip_close(za) != 0) {
    std::fprintf(stderr, "make_sop_docx: cannot write '%s': %s\n", out.c_str(), zip_strerror(za));
    zip_discard(za);
    return 1;
  }
  return 0;
}
