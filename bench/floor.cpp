// floor: the least any converter of a .docx must do, as a yardstick for the
// real one: read the file, inflate its main part word/document.xml into
// memory, and make one pass over it with libxml2's streaming reader, doing
// nothing with the nodes. With --tree, builds libxml2's document tree of
// the part instead, as a tree-based converter would; with --stream, feeds
// the reader from the inflating zip stream instead of a whole buffer.
//
//   floor FILE.docx [--tree | --stream]
#include <libxml/parser.h>
#include <libxml/xmlreader.h>
#include <zip.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

int main(int argc, char** argv) {
  if (argc < 2 || std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h") {
    std::printf("usage: floor FILE.docx [--tree | --stream]\n\nInflates word/document.xml and passes over it once "
                "with libxml2's streaming reader (--tree: builds a tree instead; --stream: reads while inflating).\n");
    return argc < 2 ? 2 : 0;
  }
  const std::string mode = argc > 2 ? argv[2] : "";
  std::ifstream in(argv[1], std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* src = zip_source_buffer_create(bytes.data(), bytes.size(), 0, &error);
  zip_t* za = src ? zip_open_from_source(src, ZIP_RDONLY, &error) : nullptr;
  if (za == nullptr) {
    std::fprintf(stderr, "floor: cannot open '%s' as a zip archive\n", argv[1]);
    return 1;
  }
  zip_stat_t st;
  zip_file_t* f = zip_stat(za, "word/document.xml", 0, &st) == 0 ? zip_fopen(za, "word/document.xml", 0) : nullptr;
  if (f == nullptr) {
    std::fprintf(stderr, "floor: no word/document.xml in '%s'\n", argv[1]);
    return 1;
  }
  long nodes = 0;
  if (mode == "--stream") {
    xmlTextReaderPtr reader = xmlReaderForIO(
        [](void* ctx, char* buf, int len) { return static_cast<int>(zip_fread(static_cast<zip_file_t*>(ctx), buf, len)); },
        [](void*) { return 0; }, f, "document.xml", nullptr, XML_PARSE_NONET);
    int r;
    while ((r = xmlTextReaderRead(reader)) == 1) ++nodes;
    xmlFreeTextReader(reader);
    zip_fclose(f);
    zip_discard(za);
    if (r < 0) return 1;
    std::fprintf(stderr, "floor: %ld nodes\n", nodes);
    return 0;
  }
  std::string xml(st.size, '\0');
  if (zip_fread(f, xml.data(), st.size) != static_cast<zip_int64_t>(st.size)) return 1;
  zip_fclose(f);
  zip_discard(za);

  if (mode == "--tree") {
    xmlDocPtr doc = xmlReadMemory(xml.data(), static_cast<int>(xml.size()), "document.xml", nullptr, XML_PARSE_NONET);
    if (doc == nullptr) return 1;
    nodes = 1;
    xmlFreeDoc(doc);
  } else {
    xmlTextReaderPtr reader =
        xmlReaderForMemory(xml.data(), static_cast<int>(xml.size()), "document.xml", nullptr, XML_PARSE_NONET);
    int r;
    while ((r = xmlTextReaderRead(reader)) == 1) ++nodes;
    xmlFreeTextReader(reader);
    if (r < 0) return 1;
  }
  std::fprintf(stderr, "floor: %zu bytes inflated, %ld nodes\n", xml.size(), nodes);
  return 0;
}
