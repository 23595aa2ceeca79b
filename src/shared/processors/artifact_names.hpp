// shared.processors.artifact_names: the names of a document's artefacts,
// built in one place. A document's name is its blob_filename without the
// last "." and what follows (a folder part stays: "a/SOP-001.docx" gives
// "a/SOP-001"); its Markdown, sections, enriched and summary files are that
// name with ".md", ".sections.json", ".enriched.json" and ".summary.md".
//
// The one real difference: the extraction names its Markdown file after the
// last path component only, so "a/SOP-001.docx" gives "SOP-001.md" there,
// while a stage that rebuilds the name on its own finds "a/SOP-001.md". For
// a plain file name both rules agree.
#pragma once

#include <string>
#include <string_view>

namespace shared::processors::artifact_names {

// blob_filename without its last "." and what follows; the whole name when
// it has no ".".
inline std::string doc_name(std::string_view blob_filename) {
  return std::string(blob_filename.substr(0, blob_filename.rfind('.')));
}

inline std::string markdown(std::string_view doc_name) { return std::string(doc_name) + ".md"; }
inline std::string sections(std::string_view doc_name) { return std::string(doc_name) + ".sections.json"; }
inline std::string enriched(std::string_view doc_name) { return std::string(doc_name) + ".enriched.json"; }
inline std::string summary(std::string_view doc_name) { return std::string(doc_name) + ".summary.md"; }

// The extraction's Markdown file name: the last path component of
// blob_filename (trailing "/" ignored) without its extension, plus ".md". A
// name whose only "." is its first or last character keeps it.
inline std::string extraction_markdown(std::string_view blob_filename) {
  std::string_view name = blob_filename;
  while (!name.empty() && name.back() == '/') name.remove_suffix(1);
  if (const std::size_t slash = name.rfind('/'); slash != std::string_view::npos) name.remove_prefix(slash + 1);
  const std::size_t dot = name.rfind('.');
  if (dot != std::string_view::npos && dot != 0 && dot != name.size() - 1) name = name.substr(0, dot);
  return markdown(name);
}

// The last path component of blob_filename without its extension (a name
// whose only "." is its first character keeps it): the part every artefact
// name of the file holds, which lock names and searches for files that
// share artefact names key on.
inline std::string file_stem(std::string_view blob_filename) {
  std::string_view name = blob_filename;
  if (const std::size_t slash = name.rfind('/'); slash != std::string_view::npos) name.remove_prefix(slash + 1);
  const std::size_t dot = name.rfind('.');
  return std::string(dot == std::string_view::npos || dot == 0 ? name : name.substr(0, dot));
}

// The two keys under which the metadata table indexes a recorded file
// (columns artefact_stem and artefact_doc_stem, computed by the database
// from blob_filename with the same rules): the extraction's Markdown name
// without ".md", and the last path component of the document name. Two
// files whose artefact paths meet share a key (one file's either key equals
// one of the other's), so these exact keys find every candidate.
inline std::string extraction_stem(std::string_view blob_filename) {
  std::string md = extraction_markdown(blob_filename);
  md.resize(md.size() - 3);
  return md;
}

inline std::string doc_stem(std::string_view blob_filename) {
  const std::string name = doc_name(blob_filename);
  const std::size_t slash = name.rfind('/');
  return slash == std::string::npos ? name : name.substr(slash + 1);
}

}  // namespace shared::processors::artifact_names
