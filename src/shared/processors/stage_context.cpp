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

}  // namespace shared::processors::stage_context
