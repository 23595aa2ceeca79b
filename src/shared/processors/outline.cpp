#include "shared/processors/outline.hpp"

#include <array>
#include <map>

#include "shared/text/utf8.hpp"

namespace shared::processors::outline {

namespace {

std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> out;
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t eol = text.find('\n', pos);
    if (eol == std::string_view::npos) eol = text.size();
    std::string_view line = text.substr(pos, eol - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    out.push_back(line);
    pos = eol + 1;
  }
  return out;
}

std::string collapse_spaces(std::string_view s) {
  s = text::strip(s);
  std::string out;
  out.reserve(s.size());
  bool in_space = false;
  for (std::size_t i = 0; i < s.size();) {
    if (const std::size_t n = text::space_at(s, i); n > 0) {
      in_space = true;
      i += n;
      continue;
    }
    if (in_space) out += ' ';
    in_space = false;
    out += s[i++];
  }
  return out;
}

bool starts_with(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

// Lines that carry no prose of their own.
bool is_source_line(std::string_view line) {
  const std::string_view t = text::strip(line);
  if (t.empty()) return false;
  if (t.front() == '|' || t.front() == '#') return false;
  if (starts_with(t, "<!--") || starts_with(t, "```") || starts_with(t, "~~~")) return false;
  return true;
}

bool is_lower_or_digit(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }

bool is_abbreviation(std::string_view word) {
  static constexpr std::array<std::string_view, 20> kAbbrev = {
      "e.g", "i.e", "etc", "no", "nr", "vs", "approx", "fig", "cf", "dr",
      "mr",  "ms",  "st",  "inc", "ltd", "ref", "rev", "sec", "sect", "ca"};
  const std::string lower = text::ascii_lower(word);
  for (std::string_view a : kAbbrev) {
    if (lower == a) return true;
  }
  return false;
}

// Cuts a sentence to MAX_BULLET_CHARS characters at the last blank that
// leaves room for the ellipsis.
std::string shorten(const std::string& s) {
  if (text::count_code_points(s) <= MAX_BULLET_CHARS) return s;
  std::size_t pos = 0, count = 0, last_space = std::string::npos;
  while (pos < s.size() && count < MAX_BULLET_CHARS - 1) {
    std::size_t len = 0;
    text::decode(s, pos, len);
    if (s[pos] == ' ') last_space = pos;
    pos += len;
    ++count;
  }
  const std::size_t cut = last_space != std::string::npos && last_space > 0 ? last_space : pos;
  std::string out = s.substr(0, cut);
  while (!out.empty() && (out.back() == ' ' || out.back() == ',' || out.back() == ';' || out.back() == ':')) {
    out.pop_back();
  }
  return out + "\u2026";
}

std::vector<std::string> bullets_for(const std::vector<std::string_view>& lines) {
  std::vector<std::string> bullets;
  std::size_t used = 0;
  for (std::string_view line : lines) {
    for (const std::string& sentence : sentences(line)) {
      if (bullets.size() >= MAX_BULLETS) return bullets;
      if (bullets.size() >= MIN_BULLETS && used >= SECTION_BUDGET) return bullets;
      bullets.push_back(shorten(sentence));
      used += text::count_code_points(bullets.back());
    }
  }
  return bullets;
}

std::string heading_key(std::string_view line) { return collapse_spaces(line); }

std::vector<std::string_view> outline_headings(std::string_view markdown) {
  std::vector<std::string_view> out;
  for (std::string_view line : split_lines(markdown)) {
    if (is_outline_heading(line)) out.push_back(text::rstrip(line));
  }
  return out;
}

}  // namespace

bool is_outline_heading(std::string_view line) { return starts_with(line, "# ") || starts_with(line, "## "); }

std::vector<std::string> sentences(std::string_view line) {
  std::string s = collapse_spaces(line);
  for (std::string_view marker : {"- ", "* ", "+ ", "\u2022 "}) {
    if (starts_with(s, marker)) {
      s = collapse_spaces(std::string_view(s).substr(marker.size()));
      break;
    }
  }
  std::vector<std::string> out;
  std::size_t start = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (c != '.' && c != '!' && c != '?') continue;
    std::size_t end = i + 1;
    while (end < s.size() && (s[end] == '"' || s[end] == '\'' || s[end] == ')' || s[end] == ']')) ++end;
    if (end >= s.size() || s[end] != ' ') continue;
    if (end + 1 < s.size() && is_lower_or_digit(s[end + 1])) continue;
    if (c == '.') {
      const std::size_t word_start = s.rfind(' ', i);
      const std::size_t from = word_start == std::string::npos || word_start < start ? start : word_start + 1;
      if (is_abbreviation(std::string_view(s).substr(from, i - from))) continue;
    }
    out.push_back(s.substr(start, end - start));
    start = end + 1;
    i = end;
  }
  if (start < s.size()) out.push_back(s.substr(start));
  return out;
}

std::string outline_summary(std::string_view markdown) {
  std::vector<std::string> blocks;
  std::string_view heading;
  bool have_heading = false;
  std::vector<std::string_view> section;

  auto flush = [&] {
    std::string block;
    if (have_heading) block = std::string(heading);
    for (const std::string& b : bullets_for(section)) {
      if (!block.empty()) block += '\n';
      block += "- " + b;
    }
    if (!block.empty()) blocks.push_back(std::move(block));
    section.clear();
  };

  for (std::string_view line : split_lines(markdown)) {
    if (is_outline_heading(line)) {
      flush();
      heading = line;
      have_heading = true;
    } else if (is_source_line(line)) {
      section.push_back(line);
    }
  }
  flush();

  std::string out;
  for (const std::string& b : blocks) {
    if (!out.empty()) out += "\n\n";
    out += b;
  }
  return out;
}

std::vector<std::string> dropped_headings(std::string_view document, std::string_view summary) {
  std::map<std::string, std::size_t> available;
  for (std::string_view h : outline_headings(summary)) ++available[heading_key(h)];
  std::vector<std::string> dropped;
  for (std::string_view h : outline_headings(document)) {
    auto it = available.find(heading_key(h));
    if (it != available.end() && it->second > 0) {
      --it->second;
    } else {
      dropped.emplace_back(h);
    }
  }
  return dropped;
}

std::string dropped_headings_message(const std::vector<std::string>& dropped, std::size_t total_headings) {
  std::string out = "Summary dropped " + std::to_string(dropped.size()) + " of " + std::to_string(total_headings) +
                    " document headings: ";
  for (std::size_t i = 0; i < dropped.size(); ++i) {
    if (i > 0) out += ", ";
    out += "'" + dropped[i] + "'";
  }
  return out;
}

std::size_t count_outline_headings(std::string_view markdown) { return outline_headings(markdown).size(); }

}  // namespace shared::processors::outline
