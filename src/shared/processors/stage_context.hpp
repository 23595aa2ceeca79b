// shared.processors.stage_context: reading the values that the stages of one
// run hand each other through the context map.
#pragma once

#include <string>
#include <string_view>

#include "shared/record.hpp"

namespace shared::processors::stage_context {

// The text held by context member `key`, or nullptr when the member is absent
// or empty (null, "", 0, false, {} or []) so that the stage falls back to its
// own way of getting the value. Throws shared::TypeError naming the key when
// the member holds anything else than text. The pointer is valid until the
// context is next changed.
const std::string* text_value(const Record& context, std::string_view key);

// The document number a document record gives (document_number, else
// qd_number), as written; "" when it gives none. Its artefacts are tagged
// with it.
std::string document_number(const Record& doc);

}  // namespace shared::processors::stage_context
