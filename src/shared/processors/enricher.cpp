#include "shared/processors/enricher.hpp"

#include <unordered_map>

#include "shared/errors.hpp"
#include "shared/text/utf8.hpp"

namespace shared::processors::enricher {

std::string_view section_heading(std::string_view key) {
  const std::size_t sep = key.find("::");
  if (sep == std::string_view::npos) {
    throw ValueError("section key '" + std::string(key) + "' has no '::' between document name and heading");
  }
  return key.substr(sep + 2);
}

std::string_view heading_number(std::string_view heading, std::string_view key) {
  const std::string_view rest = text::lstrip(heading);
  if (rest.empty()) throw ValueError("section key '" + std::string(key) + "' has an empty heading");
  std::size_t i = 0;
  while (i < rest.size() && text::space_at(rest, i) == 0) ++i;
  return rest.substr(0, i);
}

Record enrich_sections(const Record& sections_json) {
  if (!sections_json.is_object()) {
    throw TypeError(std::string("sections_json must be a JSON object, got ") + sections_json.type_name());
  }
  const Record* qd = record::find(sections_json, "qd");
  const Record* document = record::find(sections_json, "document");
  const Record* link = record::find(sections_json, "link");
  const Record* sections = record::find(sections_json, "sections");
  if (sections != nullptr && !sections->is_object()) {
    throw TypeError(std::string("sections_json[\"sections\"] must be a JSON object, got ") + sections->type_name());
  }
  const std::string doc_name = document ? record::text_of(*document) : std::string();
  const std::string plain_prefix = "In document " + doc_name + ".\n\n";

  Record enriched = Record::object();
  if (sections != nullptr) {
    std::unordered_map<std::string, std::string> h1_map;
    // Keys of a JSON object are unique, so entries are appended directly
    // instead of through the object's linear duplicate check.
    auto& items = static_cast<Record::object_t::Container&>(enriched.get_ref<Record::object_t&>());
    items.reserve(sections->size());
    for (auto it = sections->begin(); it != sections->end(); ++it) {
      const std::string& key = it.key();
      if (!it.value().is_string()) {
        throw TypeError("section '" + key + "' must be a string, got " + it.value().type_name());
      }
      const std::string& body = it.value().get_ref<const std::string&>();
      const std::string_view heading = section_heading(key);
      const std::string_view number = heading_number(heading, key);
      std::string text;
      const std::size_t dot = number.find('.');
      if (dot == std::string_view::npos) {
        h1_map[std::string(number)] = std::string(heading);
        text.reserve(plain_prefix.size() + body.size());
        text += plain_prefix;
      } else {
        auto parent = h1_map.find(std::string(number.substr(0, dot)));
        const std::string_view parent_heading = parent == h1_map.end() ? std::string_view() : parent->second;
        text.reserve(doc_name.size() + parent_heading.size() + body.size() + 24);
        text += "In document ";
        text += doc_name;
        text += ", under ";
        text += parent_heading;
        text += ".\n\n";
      }
      text += body;
      items.emplace_back(key, Record(std::move(text)));
    }
  }

  Record out = Record::object();
  out["qd-number"] = qd ? *qd : Record(nullptr);
  out["doc_name"] = document ? *document : Record("");
  out["link"] = link ? *link : Record("");
  out["enriched"] = std::move(enriched);
  return out;
}

}  // namespace shared::processors::enricher
