#include "shared/text/pyjson.hpp"

#include <cstdint>
#include <cstring>

#include "shared/text/utf8.hpp"

namespace shared::text {

namespace {

constexpr char kHex[] = "0123456789abcdef";

void append_u4(std::string& out, unsigned v) {
  out += "\\u";
  out += kHex[(v >> 12) & 0xF];
  out += kHex[(v >> 8) & 0xF];
  out += kHex[(v >> 4) & 0xF];
  out += kHex[v & 0xF];
}

// True when none of the eight bytes at p needs escaping or decoding: each
// is printable ASCII other than the quotation mark and the reverse solidus.
inline bool plain_ascii8(const char* p) noexcept {
  constexpr std::uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  const auto has_zero = [](std::uint64_t x) { return (x - ones) & ~x & highs; };
  // A byte below 0x20 (for bytes below 0x80, which the high-bit test
  // already guarantees), a '"' or a '\\'.
  const std::uint64_t below_space = (v - 0x2020202020202020ull) & ~v & highs;
  return ((v & highs) | below_space | has_zero(v ^ (ones * '"')) | has_zero(v ^ (ones * '\\'))) == 0;
}

struct Layout {
  bool ensure_ascii;
  int indent;           // < 0: single line
  const char* item_sep; // between members on one line
  const char* key_sep;
};

void dump(std::string& out, const Record& v, const Layout& L, int depth);

void newline(std::string& out, const Layout& L, int depth) {
  out += '\n';
  out.append(static_cast<std::size_t>(L.indent * depth), ' ');
}

void dump(std::string& out, const Record& v, const Layout& L, int depth) {
  switch (v.type()) {
    case Record::value_t::object: {
      if (v.empty()) { out += "{}"; return; }
      out += '{';
      bool first = true;
      for (auto it = v.begin(); it != v.end(); ++it) {
        if (!first) out += L.indent >= 0 ? "," : L.item_sep;
        first = false;
        if (L.indent >= 0) newline(out, L, depth + 1);
        append_json_string(out, it.key(), L.ensure_ascii);
        out += L.key_sep;
        dump(out, it.value(), L, depth + 1);
      }
      if (L.indent >= 0) newline(out, L, depth);
      out += '}';
      return;
    }
    case Record::value_t::array: {
      if (v.empty()) { out += "[]"; return; }
      out += '[';
      bool first = true;
      for (const auto& e : v) {
        if (!first) out += L.indent >= 0 ? "," : L.item_sep;
        first = false;
        if (L.indent >= 0) newline(out, L, depth + 1);
        dump(out, e, L, depth + 1);
      }
      if (L.indent >= 0) newline(out, L, depth);
      out += ']';
      return;
    }
    case Record::value_t::string:
      append_json_string(out, v.get_ref<const std::string&>(), L.ensure_ascii);
      return;
    case Record::value_t::number_float: {
      out += record::format_number(v.get<double>());
      return;
    }
    case Record::value_t::binary:
    case Record::value_t::discarded:
      out += "null";
      return;
    default:
      out += v.dump();  // null, booleans, integers
  }
}

}  // namespace

void append_json_string_content(std::string& out, std::string_view s, bool ensure_ascii) {
  for (std::size_t i = 0; i < s.size();) {
    // Runs that need no escaping are copied whole: sections documents are
    // mostly such runs, and copying byte by byte would dominate their cost.
    std::size_t run = i;
    while (run < s.size()) {
      if (run + 8 <= s.size() && plain_ascii8(s.data() + run)) {
        run += 8;
        continue;
      }
      const unsigned char c = static_cast<unsigned char>(s[run]);
      if (c >= 0x20 && c < 0x80 && c != '"' && c != '\\') {
        ++run;
        continue;
      }
      if (c < 0x80 || ensure_ascii) break;
      std::size_t len;
      const char32_t cp = decode(s, run, len);
      if (cp == 0xFFFD && len == 1) break;
      run += len;
    }
    if (run != i) {
      out.append(s.data() + i, run - i);
      i = run;
      continue;
    }
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        default: append_u4(out, c);
      }
      ++i;
      continue;
    }
    std::size_t len;
    char32_t cp = decode(s, i, len);
    if (ensure_ascii) {
      if (cp >= 0x10000) {
        const char32_t v = cp - 0x10000;
        append_u4(out, 0xD800 + (v >> 10));
        append_u4(out, 0xDC00 + (v & 0x3FF));
      } else {
        append_u4(out, cp);
      }
    } else {
      out += "\xEF\xBF\xBD";  // an invalid byte
    }
    i += len;
  }
}

void append_json_string(std::string& out, std::string_view s, bool ensure_ascii) {
  out += '"';
  append_json_string_content(out, s, ensure_ascii);
  out += '"';
}

void append_indented(std::string& out, const Record& value, int indent, int depth) {
  dump(out, value, Layout{false, indent, ",", ": "}, depth);
}

std::string dumps_compact_ascii(const Record& value) {
  std::string out;
  dump(out, value, Layout{true, -1, ", ", ": "}, 0);
  return out;
}

std::string dumps_indented(const Record& value, int indent) {
  std::string out;
  dump(out, value, Layout{false, indent, ",", ": "}, 0);
  return out;
}

std::string dumps_compact(const Record& value) {
  std::string out;
  dump(out, value, Layout{false, -1, ",", ":"}, 0);
  return out;
}

}  // namespace shared::text
