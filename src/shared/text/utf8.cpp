#include "shared/text/utf8.hpp"

#include <cstdint>
#include <cstring>

namespace shared::text {


char32_t decode(std::string_view s, std::size_t i, std::size_t& len) noexcept {
  char32_t cp = 0;
  len = sequence_length(s, i, cp);
  if (len == 0) { len = 1; return 0xFFFD; }
  return cp;
}

std::size_t space_at(std::string_view s, std::size_t i) noexcept {
  if (i >= s.size()) return 0;
  const unsigned char c = static_cast<unsigned char>(s[i]);
  if (c < 0x80) return is_space(c) ? 1 : 0;
  if (c != 0xC2 && c != 0xE1 && c != 0xE2 && c != 0xE3) return 0;
  char32_t cp = 0;
  const std::size_t len = sequence_length(s, i, cp);
  return len && is_space(cp) ? len : 0;
}

std::size_t space_before(std::string_view s, std::size_t end) noexcept {
  if (end == 0) return 0;
  const unsigned char c = static_cast<unsigned char>(s[end - 1]);
  if (c < 0x80) return is_space(c) ? 1 : 0;
  // Non-ASCII whitespace is 2 or 3 bytes long.
  for (std::size_t len = 2; len <= 3 && len <= end; ++len) {
    if (space_at(s, end - len) == len) return len;
  }
  return 0;
}

std::string_view lstrip(std::string_view s) noexcept {
  std::size_t i = 0, k;
  while ((k = space_at(s, i)) != 0) i += k;
  return s.substr(i);
}

std::string_view rstrip(std::string_view s) noexcept {
  std::size_t end = s.size(), k;
  while ((k = space_before(s, end)) != 0) end -= k;
  return s.substr(0, end);
}

std::string_view strip(std::string_view s) noexcept { return rstrip(lstrip(s)); }

std::size_t count_code_points(std::string_view s) noexcept {
  std::size_t n = 0;
  for (std::size_t i = 0; i < s.size();) {
    std::size_t len;
    decode(s, i, len);
    i += len;
    ++n;
  }
  return n;
}

std::size_t first_invalid(std::string_view s) noexcept {
  for (std::size_t i = find_non_ascii(s, 0); i < s.size(); i = find_non_ascii(s, i)) {
    char32_t cp;
    const std::size_t len = sequence_length(s, i, cp);
    if (len == 0) return i;
    i += len;
  }
  return std::string_view::npos;
}

bool is_valid(std::string_view s) noexcept { return first_invalid(s) == std::string_view::npos; }

void append(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::string ascii_lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::string fold_line_breaks(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c == '\r' && i + 1 < s.size() && s[i + 1] == '\n') {
      out += ' ';
      i += 2;
    } else if (c == '\n' || c == '\r' || c == '\v' || c == '\f' || (c >= 0x1C && c <= 0x1E)) {
      out += ' ';
      ++i;
    } else if (c >= 0x80) {
      std::size_t len = 1;
      const char32_t cp = decode(s, i, len);
      if (cp == 0x85 || cp == 0x2028 || cp == 0x2029) {
        out += ' ';
      } else {
        out.append(s.substr(i, len));
      }
      i += len;
    } else {
      out += static_cast<char>(c);
      ++i;
    }
  }
  return out;
}

std::string redact(std::string text, std::string_view secret) {
  if (secret.empty()) return text;
  for (std::size_t pos = text.find(secret); pos != std::string::npos; pos = text.find(secret, pos + 3)) {
    text.replace(pos, secret.size(), "***");
  }
  return text;
}

std::string universal_newlines(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\r') {
      out += '\n';
      if (i + 1 < s.size() && s[i + 1] == '\n') ++i;
    } else {
      out += s[i];
    }
  }
  return out;
}

std::string one_line(std::string_view s) {
  s = rstrip(s);
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      out += c;
    }
  }
  return out;
}

namespace {

std::string escape_controls(std::string_view s, bool keep_line_feeds) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    if (c < 0x80) {
      switch (c) {
        case '\n':
          out += keep_line_feeds ? "\n" : "\\n";
          break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
          out += "\\x";
          out += kHex[c >> 4];
          out += kHex[c & 0xF];
      }
      ++i;
      continue;
    }
    char32_t cp = 0;
    const std::size_t len = sequence_length(s, i, cp);
    if (len == 0) {
      // A stray byte could be read as a C1 control by a terminal that is
      // not in UTF-8 mode.
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
      ++i;
      continue;
    }
    if (cp <= 0x9F || cp == 0x2028 || cp == 0x2029) {
      out += "\\u";
      for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(cp >> shift) & 0xF];
    } else {
      out.append(s.substr(i, len));
    }
    i += len;
  }
  return out;
}

}  // namespace

std::string printable(std::string_view s) { return escape_controls(s, false); }

std::string printable_lines(std::string_view s) { return escape_controls(s, true); }

}  // namespace shared::text
