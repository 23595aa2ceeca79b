// shared.text.utf8: UTF-8 helpers over std::string bytes: code-point
// decoding and counting, validation, and stripping with the Unicode
// whitespace set used everywhere in the pipeline (space, \t \n \v \f \r,
// U+001C..U+001F, U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029,
// U+202F, U+205F, U+3000).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace shared::text {

// True when code point `cp` is in the whitespace set.
constexpr bool is_space(char32_t cp) noexcept {
  if (cp <= 0x20) return cp == 0x20 || (cp >= 0x09 && cp <= 0x0D) || (cp >= 0x1C && cp <= 0x1F);
  if (cp < 0x85) return false;
  return cp == 0x85 || cp == 0xA0 || cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) ||
         cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

// Length of the well-formed sequence at s[i] (1 to 4), with its code point
// in `cp`, or 0 when the sequence is ill-formed or truncated. Inline, as
// scanners call it for every non-ASCII character.
inline std::size_t sequence_length(std::string_view s, std::size_t i, char32_t& cp) noexcept {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  const std::size_t n = s.size();
  if (c < 0x80) { cp = c; return 1; }
  if (c >= 0xC2 && c <= 0xDF) {
    if (i + 1 < n && (b(i + 1) & 0xC0) == 0x80) { cp = ((c & 0x1Fu) << 6) | (b(i + 1) & 0x3Fu); return 2; }
    return 0;
  }
  if (c >= 0xE0 && c <= 0xEF) {
    if (i + 2 >= n) return 0;
    const unsigned char c1 = b(i + 1), c2 = b(i + 2);
    if ((c1 & 0xC0) != 0x80 || (c2 & 0xC0) != 0x80) return 0;
    if (c == 0xE0 && c1 < 0xA0) return 0;   // overlong
    if (c == 0xED && c1 >= 0xA0) return 0;  // surrogate
    cp = ((c & 0x0Fu) << 12) | ((c1 & 0x3Fu) << 6) | (c2 & 0x3Fu);
    return 3;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    if (i + 3 >= n) return 0;
    const unsigned char c1 = b(i + 1), c2 = b(i + 2), c3 = b(i + 3);
    if ((c1 & 0xC0) != 0x80 || (c2 & 0xC0) != 0x80 || (c3 & 0xC0) != 0x80) return 0;
    if (c == 0xF0 && c1 < 0x90) return 0;  // overlong
    if (c == 0xF4 && c1 >= 0x90) return 0;  // above U+10FFFF
    cp = ((c & 0x07u) << 18) | ((c1 & 0x3Fu) << 12) | ((c2 & 0x3Fu) << 6) | (c3 & 0x3Fu);
    return 4;
  }
  return 0;
}

// The offset of the first byte from `from` on that `is_special` picks out,
// or s.size(). `is_special` must pick every byte of 0x80 and above; the
// vector form `special16` (given 16 bytes, a mask of the special ones)
// lets long plain runs go 16 bytes at a step.
template <class Byte, class Vector>
inline std::size_t find_special(std::string_view s, std::size_t from, Byte is_special, Vector special16) noexcept {
  std::size_t i = from;
#if defined(__SSE2__)
  for (; i + 16 <= s.size(); i += 16) {
    const unsigned mask = special16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s.data() + i)));
    if (mask != 0) return i + static_cast<std::size_t>(__builtin_ctz(mask));
  }
#else
  (void)special16;
#endif
  for (; i < s.size(); ++i) {
    if (is_special(static_cast<unsigned char>(s[i]))) return i;
  }
  return s.size();
}

// The offset of the first byte from `from` on that is not ASCII, or s.size().
inline std::size_t find_non_ascii(std::string_view s, std::size_t from) noexcept {
  return find_special(
      s, from, [](unsigned char c) { return c >= 0x80; },
#if defined(__SSE2__)
      [](__m128i v) { return static_cast<unsigned>(_mm_movemask_epi8(v)); }
#else
      nullptr
#endif
  );
}

// Decodes the code point starting at s[i] and returns it; `len` receives its
// byte length. Invalid or truncated sequences decode as U+FFFD of length 1.
char32_t decode(std::string_view s, std::size_t i, std::size_t& len) noexcept;

// Byte length of the whitespace code point at s[i], or 0 when s[i] does not
// start one.
std::size_t space_at(std::string_view s, std::size_t i) noexcept;

// Byte length of the whitespace code point that ends just before s[end], or 0.
std::size_t space_before(std::string_view s, std::size_t end) noexcept;

std::string_view strip(std::string_view s) noexcept;
std::string_view lstrip(std::string_view s) noexcept;
std::string_view rstrip(std::string_view s) noexcept;

// Number of code points (what a character count means in messages).
std::size_t count_code_points(std::string_view s) noexcept;

// Whether `s` is well-formed UTF-8 (no overlongs, no surrogates, <= U+10FFFF).
bool is_valid(std::string_view s) noexcept;

// Offset of the first byte of the first ill-formed sequence, or npos.
std::size_t first_invalid(std::string_view s) noexcept;

// Appends `cp` encoded as UTF-8.
void append(std::string& out, char32_t cp);

// Lower-cases ASCII letters only.
std::string ascii_lower(std::string_view s);

// `s` with every line break (CR LF, LF, CR, VT, FF, U+001C..U+001E, U+0085,
// U+2028, U+2029) replaced by one space: a value that must stay on its line.
std::string fold_line_breaks(std::string_view s);

// `text` with every occurrence of `secret` written "***" (nothing for an
// empty secret): what a message may show of a key or a signature.
std::string redact(std::string text, std::string_view secret);

// `s` with CR LF and a lone CR written as LF, the way text files are read.
std::string universal_newlines(std::string_view s);

// `s` without trailing whitespace and with CR and LF written as the escapes
// "\r" and "\n": a message printed as one line stays one line.
std::string one_line(std::string_view s);

// `s` as it may be shown on a terminal: every control character (C0, DEL,
// the C1 range U+0080..U+009F) and U+2028/U+2029 written as an escape
// ("\n", "\r", "\t", "\x1b", "\u009b", "\u2028"), and every byte of an
// ill-formed sequence as "\xNN". Stored text can then neither start a line
// of its own nor drive the terminal (set its title, move the cursor, clear
// the screen). Everything else, backslashes included, stays as it is.
std::string printable(std::string_view s);

// printable(), except that line feeds stay line feeds: a multi-line text
// shown as such.
std::string printable_lines(std::string_view s);

}  // namespace shared::text
