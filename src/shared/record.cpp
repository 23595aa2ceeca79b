#include "shared/record.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace shared::record {

const Record* find(const Record& r, std::string_view key) {
  if (!r.is_object()) return nullptr;
  auto it = r.find(key);
  return it == r.end() ? nullptr : &*it;
}

bool is_empty(const Record* v) { return v == nullptr || is_empty(*v); }

bool is_empty(const Record& v) {
  switch (v.type()) {
    case Record::value_t::null: return true;
    case Record::value_t::string: return v.get_ref<const std::string&>().empty();
    case Record::value_t::boolean: return !v.get<bool>();
    case Record::value_t::number_integer: return v.get<std::int64_t>() == 0;
    case Record::value_t::number_unsigned: return v.get<std::uint64_t>() == 0;
    case Record::value_t::number_float: return v.get<double>() == 0.0;
    case Record::value_t::object:
    case Record::value_t::array: return v.empty();
    default: return false;
  }
}

std::string format_number(double d) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d > 0 ? "Infinity" : "-Infinity";
  return format_double(d);
}

std::string format_double(double d) {
  if (std::isnan(d)) return "nan";
  if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
  char buf[40];
  // The shortest precision that reads back to the same value.
  for (int prec = 1; prec <= 17; ++prec) {
    std::snprintf(buf, sizeof buf, "%.*g", prec, d);
    if (std::strtod(buf, nullptr) == d) break;
  }
  std::string s = buf;
  // Python's repr switches to exponent form from 1e16 on and below 1e-4.
  const auto e = s.find('e');
  if (e != std::string::npos) {
    int exp = std::atoi(s.c_str() + e + 1);
    std::string mant = s.substr(0, e);
    if (exp >= -4 && exp < 16) {
      std::snprintf(buf, sizeof buf, "%.17f", d);
      // fall back to fixed notation with the digits that round-trip
      for (int prec = 0; prec <= 17; ++prec) {
        std::snprintf(buf, sizeof buf, "%.*f", prec, d);
        if (std::strtod(buf, nullptr) == d) break;
      }
      s = buf;
    } else {
      char eb[16];
      std::snprintf(eb, sizeof eb, "e%c%02d", exp < 0 ? '-' : '+', exp < 0 ? -exp : exp);
      s = mant + eb;
      return s;
    }
  }
  if (s.find_first_of(".en") == std::string::npos) s += ".0";
  return s;
}

std::string text_of(const Record& v) {
  switch (v.type()) {
    case Record::value_t::string: return v.get<std::string>();
    case Record::value_t::null: return "None";
    case Record::value_t::boolean: return v.get<bool>() ? "True" : "False";
    case Record::value_t::number_integer: return std::to_string(v.get<std::int64_t>());
    case Record::value_t::number_unsigned: return std::to_string(v.get<std::uint64_t>());
    case Record::value_t::number_float: return format_double(v.get<double>());
    default: return v.dump(-1, ' ', false, Record::error_handler_t::replace);
  }
}

std::string get_text(const Record& r, std::string_view key, std::string_view def) {
  const Record* v = find(r, key);
  return v ? text_of(*v) : std::string(def);
}

std::string get_text_or(const Record& r, std::string_view key, std::string_view def) {
  const Record* v = find(r, key);
  return is_empty(v) ? std::string(def) : text_of(*v);
}

}  // namespace shared::record
