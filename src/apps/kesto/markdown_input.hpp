// Input helpers of the Markdown subcommands (stamp, sections, enrich): files
// or standard input, checked for UTF-8 and JSON, with bad content reported
// as a failed run (exit status 1) rather than a usage error.
#pragma once

#include <stdexcept>
#include <string>

#include "shared/errors.hpp"
#include "shared/record.hpp"

namespace apps::markdown_input {

// The bytes of `path`, or of standard input when `path` is empty or "-",
// without a leading byte-order mark. Throws std::runtime_error naming the
// source when they are not UTF-8.
std::string read_markdown(const std::string& path);

// The JSON value in `path` (standard input when empty or "-"). Throws
// std::runtime_error naming the source when it is not JSON.
shared::Record read_json(const std::string& path);

// The JSON object in the document record file `path`. Throws
// std::runtime_error when it is not a JSON object.
shared::Record read_doc(const std::string& path);

// fn(), with the library's value and type errors for bad content turned into
// plain failures of the run.
template <class F>
auto as_input_error(F&& fn) -> decltype(fn()) {
  try {
    return fn();
  } catch (const shared::ValueError& e) {
    throw std::runtime_error(e.what());
  } catch (const shared::TypeError& e) {
    throw std::runtime_error(e.what());
  }
}

}  // namespace apps::markdown_input
