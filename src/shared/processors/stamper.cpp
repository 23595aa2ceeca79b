#include "shared/processors/stamper.hpp"

#include "shared/processors/artifact_names.hpp"
#include "shared/text/utf8.hpp"

namespace shared::processors::stamper {

std::string compose_metadata_block(std::string_view document_name, std::string_view document_number,
                                   std::string_view link) {
  // A line break in a value would start a line of its own in the Markdown: a
  // name such as "x\n# 9 Forged" would become a heading, and then a section
  // of the index. Each value stays on its line. A "<!--" in a value could
  // spell a marker: an end marker inside the name would end the block there
  // for the next stamp, leaving the rest of the block in the body, so it is
  // written "&lt;!--".
  const std::string name_line = text::without_comments(text::fold_line_breaks(document_name));
  const std::string number_line = text::without_comments(text::fold_line_breaks(document_number));
  const std::string link_line = text::without_comments(text::fold_line_breaks(link));
  std::string out;
  out.reserve(METADATA_START.size() + METADATA_END.size() + 80 + name_line.size() + number_line.size() +
              link_line.size());
  out += METADATA_START;
  out += "\n## Metadata\n\n- **Document Name:** ";
  out += name_line;
  out += "\n- **Document Number:** ";
  out += number_line;
  out += "\n- **Veeva Link:** ";
  out += link_line;
  out += "\n";
  out += METADATA_END;
  out += "\n\n";
  return out;
}

std::string build_metadata_block(const Record& doc) {
  return compose_metadata_block(record::get_text_or(doc, "document_name", "N/A"),
                                record::get_text_or(doc, "document_number", "N/A"),
                                record::get_text_or(doc, "url_document_name", "N/A"));
}

bool has_metadata_block(std::string_view text) {
  return text.find(METADATA_START) != std::string_view::npos && text.find(METADATA_END) != std::string_view::npos;
}

std::string replace_metadata_block(std::string_view text, std::string_view block) {
  std::string out;
  const std::size_t start = text.find(METADATA_START);
  const std::size_t end = text.find(METADATA_END);
  if (start == std::string_view::npos || end == std::string_view::npos) {
    out.reserve(block.size() + text.size());
    out += block;
    out += text;
    return out;
  }
  // With the end marker before the start marker the two parts overlap; the
  // same rule still applies, so text between them appears twice.
  const std::string_view pre = text.substr(0, start);
  const std::string_view post = text::lstrip(text.substr(end + METADATA_END.size()));
  out.reserve(pre.size() + block.size() + post.size());
  out += pre;
  out += block;
  out += post;
  return out;
}

std::string stamp_markdown(std::string_view markdown_text, const Record& doc) {
  return replace_metadata_block(markdown_text, build_metadata_block(doc));
}

std::string markdown_blob_name(std::string_view blob_filename) {
  return artifact_names::markdown(artifact_names::doc_name(blob_filename));
}

}  // namespace shared::processors::stamper
