#include "shared/processors/sectioner.hpp"

#include "shared/errors.hpp"
#include "shared/text/pyjson.hpp"
#include "shared/text/utf8.hpp"

namespace shared::processors::sectioner {

namespace {
constexpr std::size_t npos = std::string_view::npos;
constexpr std::size_t kMaxLevel = 8;

// Byte length of the whitespace character at text[i], or 0; ASCII is
// decided here because blank runs can be long.
inline std::size_t space_len(std::string_view text, std::size_t i) {
  if (i >= text.size()) return 0;
  const unsigned char c = static_cast<unsigned char>(text[i]);
  if (c < 0x80) return text::is_space(c) ? 1 : 0;
  return text::space_at(text, i);
}

std::size_t line_end(std::string_view text, std::size_t from) {
  const std::size_t nl = text.find('\n', from);
  return nl == npos ? text.size() : nl;
}
}  // namespace

std::optional<HeadingMatch> HeadingPattern::search(std::string_view text, std::size_t pos) const {
  const std::size_t n = text.size();
  std::size_t p = pos;
  if (p > n) return std::nullopt;
  if (p > 0 && text[p - 1] != '\n') {
    const std::size_t nl = text.find('\n', p);
    if (nl == npos) return std::nullopt;
    p = nl + 1;
  }
  while (p < n) {
    if (text[p] == '#') {
      std::size_t h = p;
      // One "#" more than the limit is enough to know the line is no heading.
      while (h < n && text[h] == '#' && h - p <= kMaxLevel) ++h;
      const std::size_t level = h - p;
      if (level <= kMaxLevel && space_len(text, h) != 0) {
        // The greedy run of whitespace after the "#" characters. Remember the
        // last character of the run, past its first, that is not a line
        // feed: it is where the run gives back when nothing follows it.
        std::size_t r = h, k;
        std::size_t give_back = npos, give_back_len = 0;
        bool first = true;
        while ((k = space_len(text, r)) != 0) {
          if (!first && text[r] != '\n') {
            give_back = r;
            give_back_len = k;
          }
          first = false;
          r += k;
        }
        if (r < n) {
          const std::size_t e = line_end(text, r);
          return HeadingMatch{p, e, level, r, e};
        }
        if (give_back != npos) {
          // Only line feeds follow the given-back character, so the title is
          // that one character.
          const std::size_t e = give_back + give_back_len;
          return HeadingMatch{p, e, level, give_back, e};
        }
        // The run reaches the end of the text, so every later line lies
        // inside it and starts with whitespace: no match is left.
        return std::nullopt;
      }
    }
    const std::size_t nl = text.find('\n', p);
    if (nl == npos) break;
    p = nl + 1;
  }
  return std::nullopt;
}

std::vector<HeadingMatch> HeadingPattern::finditer(std::string_view text) const {
  std::vector<HeadingMatch> out;
  std::size_t pos = 0;
  while (auto m = search(text, pos)) {
    out.push_back(*m);
    pos = m->end;
  }
  return out;
}

void SectionMap::set(std::string key, std::string text) {
  auto it = index_.find(key);
  if (it != index_.end()) {
    entries_[it->second].second = std::move(text);
    return;
  }
  index_.emplace(key, entries_.size());
  entries_.emplace_back(std::move(key), std::move(text));
}

const std::string* SectionMap::find(std::string_view key) const {
  auto it = index_.find(std::string(key));
  return it == index_.end() ? nullptr : &entries_[it->second].second;
}

Record SectionMap::take_record() {
  Record obj = Record::object();
  // The keys are unique already; appending directly avoids the object's
  // linear duplicate check, which would make large maps quadratic.
  auto& items = static_cast<Record::object_t::Container&>(obj.get_ref<Record::object_t&>());
  items.reserve(entries_.size());
  for (auto& [key, text] : entries_) items.emplace_back(std::move(key), Record(std::move(text)));
  entries_.clear();
  index_.clear();
  return obj;
}

SectionMap split_markdown_hierarchical(std::string_view md_text, std::string_view doc_name, bool include_metadata) {
  std::string without_metadata;
  std::string_view text = md_text;
  if (!include_metadata) {
    const std::size_t start = text.find(METADATA_START);
    const std::size_t end = text.find(METADATA_END);
    if (start != npos && end != npos) {
      without_metadata.reserve(text.size());
      without_metadata.append(text.substr(0, start));
      without_metadata.append(text.substr(end + METADATA_END.size()));
      text = without_metadata;
    }
  }

  const std::vector<HeadingMatch> matches = HEADING_RE.finditer(text);
  const std::size_t count = matches.size();
  std::vector<std::string_view> bodies(count);
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t from = matches[i].start;
    const std::size_t to = i + 1 < count ? matches[i + 1].start : text.size();
    bodies[i] = text::strip(text.substr(from, to - from));
  }

  // A heading's descendants are the headings after it up to the first one
  // of the same or a smaller level, so each collapsed text is the bodies of
  // one contiguous run of headings, and visiting parents before children in
  // document order is plain document order.
  std::vector<std::size_t> subtree_end(count, count);
  std::vector<std::size_t> open;
  for (std::size_t i = 0; i < count; ++i) {
    while (!open.empty() && matches[open.back()].level >= matches[i].level) {
      subtree_end[open.back()] = i;
      open.pop_back();
    }
    open.push_back(i);
  }

  SectionMap sections;
  for (std::size_t i = 0; i < count; ++i) {
    std::size_t size = 0;
    for (std::size_t j = i; j < subtree_end[i]; ++j) size += bodies[j].size() + 2;
    std::string collapsed;
    collapsed.reserve(size);
    for (std::size_t j = i; j < subtree_end[i]; ++j) {
      if (j != i) collapsed += "\n\n";
      collapsed += bodies[j];
    }
    std::string key;
    const std::string_view title = text::strip(matches[i].title(text));
    key.reserve(doc_name.size() + 2 + title.size());
    key.append(doc_name).append("::").append(title);
    sections.set(std::move(key), std::move(collapsed));
  }
  return sections;
}

std::string document_name(const Record& doc) {
  const Record* v = record::find(doc, "blob_filename");
  if (v == nullptr) return "";
  if (!v->is_string()) {
    throw TypeError(std::string("blob_filename must be a string, got ") + v->type_name());
  }
  const std::string& name = v->get_ref<const std::string&>();
  const std::size_t dot = name.rfind('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}

Record build_sections_document(std::string_view markdown_text, const Record& doc, bool include_metadata) {
  const std::string doc_name = document_name(doc);
  const Record* qd = record::find(doc, "document_number");
  const Record* link = record::find(doc, "url_document_name");
  SectionMap sections = split_markdown_hierarchical(markdown_text, doc_name, include_metadata);
  Record out = Record::object();
  out["qd"] = qd ? *qd : Record(nullptr);
  out["document"] = doc_name;
  out["link"] = link ? *link : Record("");
  out["sections"] = sections.take_record();
  return out;
}

std::string sections_json_text(const Record& document) { return text::dumps_indented(document, 2); }

}  // namespace shared::processors::sectioner
