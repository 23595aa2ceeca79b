#include "shared/processors/stage_context.hpp"

#include "shared/errors.hpp"

namespace shared::processors::stage_context {

const std::string* text_value(const Record& context, std::string_view key) {
  const Record* value = record::find(context, key);
  if (record::is_empty(value)) return nullptr;
  if (!value->is_string()) {
    throw TypeError("context '" + std::string(key) + "' must be text, got " + value->type_name());
  }
  return &value->get_ref<const std::string&>();
}

std::string document_number(const Record& doc) {
  std::string qd = record::get_text_or(doc, "document_number", "");
  if (qd.empty()) qd = record::get_text_or(doc, "qd_number", "");
  return qd;
}

}  // namespace shared::processors::stage_context
