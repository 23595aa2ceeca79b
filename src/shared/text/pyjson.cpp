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

// The first byte from `from` on that JSON text cannot carry as it is (a
// control character, '"' or '\\') or that is not ASCII, or s.size().
inline std::size_t find_escape_or_non_ascii(std::string_view s, std::size_t from) noexcept {
  return find_special(
      s, from, [](unsigned char c) { return c < 0x20 || c == '"' || c == '\\' || c >= 0x80; },
#if defined(__SSE2__)
      [](__m128i v) {
        // Signed, so bytes of 0x80 and above count as below the space too.
        const __m128i special = _mm_or_si128(_mm_cmplt_epi8(v, _mm_set1_epi8(0x20)),
                                             _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')),
                                                          _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'))));
        return static_cast<unsigned>(_mm_movemask_epi8(special));
      }
#else
      nullptr
#endif
  );
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

// The first control character, '"' or '\\' from `from` on, or s.size().
inline std::size_t find_escape(std::string_view s, std::size_t from) noexcept {
  return find_special(
      s, from, [](unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; },
#if defined(__SSE2__)
      [](__m128i v) {
        // Unsigned below the space: the minimum of v and 0x1F is v.
        const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x1F)), v);
        const __m128i special = _mm_or_si128(control, _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')),
                                                                   _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'))));
        return static_cast<unsigned>(_mm_movemask_epi8(special));
      }
#else
      nullptr
#endif
  );
}

// The escape of the ASCII character c, which needs one.
void append_escaped_ascii(std::string& out, unsigned char c) {
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
}

}  // namespace

void append_valid_json_string_content(std::string& out, std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t run = find_escape(s, i);
    out.append(s.data() + i, run - i);
    if (run == s.size()) break;
    append_escaped_ascii(out, static_cast<unsigned char>(s[run]));
    i = run + 1;
  }
}

void append_json_string_content(std::string& out, std::string_view s, bool ensure_ascii) {
  for (std::size_t i = 0; i < s.size();) {
    // Runs that need no escaping are copied whole: sections documents are
    // mostly such runs, and copying byte by byte would dominate their cost.
    std::size_t run = i;
    while ((run = find_escape_or_non_ascii(s, run)) < s.size()) {
      const unsigned char c = static_cast<unsigned char>(s[run]);
      if (c < 0x80 || ensure_ascii) break;
      char32_t cp;
      const std::size_t len = sequence_length(s, run, cp);
      if (len == 0) break;
      run += len;
    }
    if (run != i) {
      out.append(s.data() + i, run - i);
      i = run;
      continue;
    }
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      append_escaped_ascii(out, c);
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
