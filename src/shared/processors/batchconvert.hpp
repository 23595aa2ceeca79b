// shared.processors.batchconvert: the offline batch converter. Converts every
// Word file ("*.doc*") of a local folder into a Markdown file of a second
// folder with the pipeline's own conversion, several files at a time, each
// in a worker process of its own.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "shared/errors.hpp"
#include "shared/processors/extractor.hpp"

namespace shared::processors::batchconvert {

// The input folder: docs inside v2_files, relative to the working directory.
inline const std::string SRC = "v2_files/docs";
// The output folder: markdown inside v2_files.
inline const std::string DST = "v2_files/markdown";
// Conversions running at the same time.
inline constexpr int max_workers = 4;
// Names of input files.
inline const std::string PATTERN = "*.doc*";

// The conversion steps, the very functions of the pipeline's extraction.
inline extractor::_BlockItems iter_block_items(extractor::Document& doc) { return extractor::_iter_block_items(doc); }
// when fake heading is detected return the text instead of processing.
inline bool is_list_paragraph(const extractor::Paragraph& paragraph) {
  return extractor::_is_list_paragraph(paragraph);
}
inline std::string paragraph_to_markdown(const extractor::Paragraph& paragraph, std::map<int, long>& counters) {
  return extractor::_paragraph_to_markdown(paragraph, counters);
}
inline std::string table_to_markdown(const extractor::Table& table) { return extractor::_table_to_markdown(table); }

// Converts the Word file at `docx_path` and writes the Markdown to `out_path`
// (UTF-8 without byte-order mark, no final line feed), replacing the file.
// The file is replaced whole or not at all. Throws shared::Error (the
// conversion's PackageError, or an unreadable input or unwritable output).
void docx_to_markdown(const std::string& docx_path, const std::string& out_path);

// Converts one input into "{name without its last extension}.md" inside
// `dst`; returns the input's file name (Report.docx).
std::string convert_one(const std::string& docx_path, const std::string& dst = DST);

// The paths of the entries of `src` whose names match PATTERN in any case (a
// leading dot is never matched, folders are not inputs), in directory order;
// empty when `src` does not exist.
std::vector<std::string> list_inputs(const std::string& src);

struct Options {
  std::string src = SRC;
  std::string dst = DST;
  int workers = max_workers;
  // What a worker does with one input: converts it into `dst` and returns the
  // name to report. Tests replace it.
  std::function<std::string(const std::string& docx_path, const std::string& dst)> convert = convert_one;
};

// A conversion of the batch failed; what() is "{file name}: {the error}".
struct BatchError : shared::Error {
  using Error::Error;
};

// The tool: creates `dst` (with missing parents), lists the inputs once, and
// converts them in up to `workers` processes at a time. Results are taken in
// list order; each success is logged at info level through the root logger
// as "Converted: NAME". At the first failure in list order no further
// conversion starts, the running ones finish (their outputs stay), and
// BatchError is thrown. Returns the reported names in list order. Throws
// shared::ValueError for fewer than one worker, shared::Error when `dst`
// cannot be created.
std::vector<std::string> run(const Options& options = {});

}  // namespace shared::processors::batchconvert
