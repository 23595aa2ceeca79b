// libFuzzer target: arbitrary bytes as the main document part of an otherwise
// valid package, so that mutations reach the XML reader and the conversion
// rules instead of dying in the zip layer. The styles part is fixed.
#include <zip.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "shared/processors/extractor.hpp"

namespace {

const char* PACKAGE_RELS =
    "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
    "<Relationship Id=\"r\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/"
    "officeDocument\" Target=\"word/document.xml\"/></Relationships>";
const char* DOCUMENT_RELS =
    "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
    "<Relationship Id=\"r\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/styles\" "
    "Target=\"styles.xml\"/></Relationships>";
const char* STYLES =
    "<w:styles xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\">"
    "<w:style w:type=\"paragraph\" w:default=\"1\" w:styleId=\"Normal\"><w:name w:val=\"Normal\"/></w:style>"
    "<w:style w:type=\"paragraph\" w:styleId=\"Heading1\"><w:name w:val=\"heading 1\"/></w:style>"
    "<w:style w:type=\"paragraph\" w:styleId=\"Heading2\"><w:name w:val=\"heading 2\"/></w:style></w:styles>";

// The package with `document` as word/document.xml, stored uncompressed.
std::string package(std::string_view document) {
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* buffer = zip_source_buffer_create(nullptr, 0, 0, &error);
  zip_t* za = zip_open_from_source(buffer, ZIP_TRUNCATE, &error);
  zip_source_keep(buffer);
  const std::pair<const char*, std::string_view> parts[] = {{"_rels/.rels", PACKAGE_RELS},
                                                            {"word/_rels/document.xml.rels", DOCUMENT_RELS},
                                                            {"word/styles.xml", STYLES},
                                                            {"word/document.xml", document}};
  for (const auto& [name, data] : parts) {
    const zip_int64_t idx =
        zip_file_add(za, name, zip_source_buffer(za, data.data(), data.size(), 0), ZIP_FL_OVERWRITE);
    zip_set_file_compression(za, static_cast<zip_uint64_t>(idx), ZIP_CM_STORE, 0);
  }
  zip_close(za);
  zip_source_open(buffer);
  zip_source_seek(buffer, 0, SEEK_END);
  std::string out(static_cast<std::size_t>(zip_source_tell(buffer)), '\0');
  zip_source_seek(buffer, 0, SEEK_SET);
  zip_source_read(buffer, out.data(), out.size());
  zip_source_close(buffer);
  zip_source_free(buffer);
  zip_error_fini(&error);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes = package(std::string_view(reinterpret_cast<const char*>(data), size));
  try {
    shared::processors::extractor::docx_bytes_to_markdown(bytes);
  } catch (const shared::Error&) {
  }
  return 0;
}
