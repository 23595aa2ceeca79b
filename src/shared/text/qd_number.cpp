#include "shared/text/qd_number.hpp"

#include "shared/text/utf8.hpp"

namespace shared::text {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_ascii_alnum(char c) { return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool is_qd_prefix(std::string_view s, std::size_t i) {
  return i + 3 <= s.size() && (s[i] == 'Q' || s[i] == 'q') && (s[i + 1] == 'D' || s[i + 1] == 'd') && s[i + 2] == '-';
}

}  // namespace

std::optional<std::string> normalize_qd_number(std::string_view text) {
  const std::string_view s = strip(text);
  if (s.size() < 4 || !is_qd_prefix(s, 0)) return std::nullopt;
  for (std::size_t i = 3; i < s.size(); ++i) {
    if (!is_digit(s[i])) return std::nullopt;
  }
  std::string out = "QD-";
  out.append(s.substr(3));
  return out;
}

std::string find_qd_number(std::string_view text) {
  for (std::size_t i = 0; i + 3 < text.size(); ++i) {
    if (!is_qd_prefix(text, i)) continue;
    std::size_t end = i + 3;
    while (end < text.size() && is_digit(text[end])) ++end;
    if (end > i + 3) return std::string(text.substr(i, end - i));
  }
  return {};
}

bool names_document(std::string_view name, std::string_view qd_number) {
  if (qd_number.empty()) return false;
  const std::string hay = ascii_lower(name);
  const std::string needle = ascii_lower(qd_number);
  const bool ends_in_digit = is_digit(needle.back());
  const bool starts_alnum = is_ascii_alnum(needle.front());
  for (std::size_t pos = hay.find(needle); pos != std::string::npos; pos = hay.find(needle, pos + 1)) {
    const std::size_t end = pos + needle.size();
    // "QD-95" must not claim the artefacts of "QD-950" (or of "XQD-95").
    if (starts_alnum && pos > 0 && is_ascii_alnum(hay[pos - 1])) continue;
    if (ends_in_digit && end < hay.size() && is_digit(hay[end])) continue;
    return true;
  }
  return false;
}

std::vector<std::string> qd_numbers_in(std::string_view name) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i + 3 < name.size(); ++i) {
    if (!is_qd_prefix(name, i) || (i > 0 && is_ascii_alnum(name[i - 1]))) continue;
    std::size_t end = i + 3;
    while (end < name.size() && is_digit(name[end])) ++end;
    if (end == i + 3) continue;
    std::string qd = "QD-" + std::string(name.substr(i + 3, end - i - 3));
    bool seen = false;
    for (const auto& q : out) seen = seen || q == qd;
    if (!seen) out.push_back(std::move(qd));
    i = end - 1;
  }
  return out;
}

}  // namespace shared::text
