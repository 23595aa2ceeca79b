#include "shared/text/json_load.hpp"

#include <string>
#include <unordered_map>
#include <vector>

#include "shared/errors.hpp"

namespace shared::text {

namespace {

class Builder : public nlohmann::json_sax<Record> {
 public:
  Record root;
  std::string error;

  bool null() override { return put(Record(nullptr)); }
  bool boolean(bool v) override { return put(Record(v)); }
  bool number_integer(number_integer_t v) override { return put(Record(v)); }
  bool number_unsigned(number_unsigned_t v) override { return put(Record(v)); }
  bool number_float(number_float_t v, const string_t&) override { return put(Record(v)); }
  bool string(string_t& v) override { return put(Record(std::move(v))); }
  bool binary(binary_t& v) override { return put(Record::binary(std::move(v))); }

  bool start_object(std::size_t) override {
    Record* obj = place(Record::object());
    frames_.push_back({obj, {}, {}});
    return true;
  }
  bool key(string_t& k) override {
    frames_.back().key = std::move(k);
    return true;
  }
  bool end_object() override {
    frames_.pop_back();
    return true;
  }
  bool start_array(std::size_t) override {
    Record* arr = place(Record::array());
    frames_.push_back({arr, {}, {}});
    return true;
  }
  bool end_array() override {
    frames_.pop_back();
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& ex) override {
    error = ex.what();
    return false;
  }

 private:
  struct Frame {
    Record* value;  // stays valid: its parent grows only after this frame ends
    std::string key;
    std::unordered_map<std::string, std::size_t> index;
  };
  std::vector<Frame> frames_;

  bool put(Record&& v) {
    place(std::move(v));
    return true;
  }

  Record* place(Record&& v) {
    if (frames_.empty()) {
      root = std::move(v);
      return &root;
    }
    Frame& f = frames_.back();
    if (f.value->is_array()) {
      auto& items = f.value->get_ref<Record::array_t&>();
      items.push_back(std::move(v));
      return &items.back();
    }
    auto& items = static_cast<Record::object_t::Container&>(f.value->get_ref<Record::object_t&>());
    auto [it, inserted] = f.index.try_emplace(std::move(f.key), items.size());
    if (!inserted) {
      items[it->second].second = std::move(v);
      return &items[it->second].second;
    }
    items.emplace_back(it->first, std::move(v));
    return &items.back().second;
  }
};

}  // namespace

Record loads(std::string_view text) {
  Builder builder;
  if (!Record::sax_parse(text, &builder)) throw ValueError(builder.error);
  return std::move(builder.root);
}

}  // namespace shared::text
