// libFuzzer target: docx_bytes_to_markdown on arbitrary bytes. Any input must
// either convert or raise shared::Error; a crash, a hang, a leak or a
// sanitizer report is a finding.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "shared/processors/extractor.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    shared::processors::extractor::docx_bytes_to_markdown(
        std::string_view(reinterpret_cast<const char*>(data), size));
  } catch (const shared::Error&) {
  }
  return 0;
}
