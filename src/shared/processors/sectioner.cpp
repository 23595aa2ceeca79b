#include "shared/processors/sectioner.hpp"

#include "shared/errors.hpp"
#include "shared/processors/artifact_names.hpp"
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

// A text cut at its headings: each heading's body (from its "#" to the next
// heading, stripped) and the end of its run of descendants. Views point into
// the caller's text or into the copy without the metadata block held here,
// so a Cut is neither copied nor moved.
class Cut {
 public:
  Cut(std::string_view md_text, bool include_metadata) : text(md_text) {
    if (!include_metadata) {
      const std::size_t start = text.find(METADATA_START);
      const std::size_t end = text.find(METADATA_END);
      if (start != npos && end != npos) {
        without_metadata_.reserve(text.size());
        without_metadata_.append(text.substr(0, start));
        without_metadata_.append(text.substr(end + METADATA_END.size()));
        text = without_metadata_;
      }
    }
    // Each body and title is trimmed as soon as the heading after it is
    // found, while both ends are still in the cache.
    std::size_t pos = 0;
    while (const auto m = HEADING_RE.search(text, pos)) {
      if (!matches.empty()) close_body(m->start);
      matches.push_back(*m);
      titles.push_back(text::strip(m->title(text)));
      pos = m->end;
    }
    if (!matches.empty()) close_body(text.size());
    const std::size_t count = matches.size();
    // A heading's descendants are the headings after it up to the first one
    // of the same or a smaller level, so each collapsed text is the bodies of
    // one contiguous run of headings, and visiting parents before children in
    // document order is plain document order.
    subtree_end.assign(count, count);
    std::vector<std::size_t> open;
    for (std::size_t i = 0; i < count; ++i) {
      while (!open.empty() && matches[open.back()].level >= matches[i].level) {
        subtree_end[open.back()] = i;
        open.pop_back();
      }
      open.push_back(i);
    }
  }
  Cut(const Cut&) = delete;
  Cut& operator=(const Cut&) = delete;

  std::size_t size() const { return matches.size(); }
  std::string_view title(std::size_t i) const { return titles[i]; }

  std::string_view text;
  std::vector<HeadingMatch> matches;
  std::vector<std::string_view> titles;  // trimmed
  std::vector<std::string_view> bodies;
  std::vector<std::size_t> subtree_end;

 private:
  // The body of the last heading found, which ends at `to`.
  void close_body(std::size_t to) {
    const std::size_t from = matches.back().start;
    bodies.push_back(text::strip(text.substr(from, to - from)));
  }

  std::string without_metadata_;
};

// Collects output and hands it to the sink in pieces of about kPiece bytes.
class PieceWriter {
 public:
  explicit PieceWriter(const std::function<void(std::string_view)>& sink) : sink_(sink) {
    buffer_.reserve(2 * kPiece);
  }
  std::string& buffer() { return buffer_; }
  void maybe_flush() {
    if (buffer_.size() >= kPiece) flush();
  }
  void flush() {
    if (!buffer_.empty()) sink_(buffer_);
    buffer_.clear();
  }

 private:
  static constexpr std::size_t kPiece = std::size_t{1} << 16;
  const std::function<void(std::string_view)>& sink_;
  std::string buffer_;
};
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
  const Cut cut(md_text, include_metadata);
  SectionMap sections;
  for (std::size_t i = 0; i < cut.size(); ++i) {
    std::size_t size = 0;
    for (std::size_t j = i; j < cut.subtree_end[i]; ++j) size += cut.bodies[j].size() + 2;
    std::string collapsed;
    collapsed.reserve(size);
    for (std::size_t j = i; j < cut.subtree_end[i]; ++j) {
      if (j != i) collapsed += "\n\n";
      collapsed += cut.bodies[j];
    }
    std::string key;
    const std::string_view title = cut.title(i);
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
  return artifact_names::doc_name(v->get_ref<const std::string&>());
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

void write_sections_json(std::string_view markdown_text, const Record& doc, bool include_metadata,
                         const std::function<void(std::string_view)>& sink, bool well_formed) {
  const std::string doc_name = document_name(doc);
  const Record* qd = record::find(doc, "document_number");
  const Record* link = record::find(doc, "url_document_name");
  const Cut cut(markdown_text, include_metadata);

  // Keys are "{doc_name}::{title}", so two are the same exactly when their
  // titles are. As in SectionMap, a repeated key keeps its first place and
  // takes the last text.
  std::vector<std::size_t> order;  // the heading that places each key
  std::vector<std::size_t> text_of;  // for each placed key, the heading whose text it shows
  {
    std::unordered_map<std::string_view, std::size_t> slot_of_title;
    slot_of_title.reserve(cut.size());
    for (std::size_t i = 0; i < cut.size(); ++i) {
      const auto [it, added] = slot_of_title.try_emplace(cut.title(i), order.size());
      if (added) {
        order.push_back(i);
        text_of.push_back(i);
      } else {
        text_of[it->second] = i;
      }
    }
  }

  // Every body stands in the text of each of its ancestors too. It is
  // escaped again each time, straight into the output: for well-formed text
  // escaping costs about what copying does, and no escaped copy of the whole
  // text is held. The bodies of well-formed text are well-formed too (they
  // are cut at ASCII characters and trimmed at whole code points), and such
  // text is escaped without decoding it.
  well_formed = well_formed || text::first_invalid(cut.text) == npos;
  const auto append_body = [well_formed](std::string& out, std::string_view body) {
    if (well_formed) {
      text::append_valid_json_string_content(out, body);
    } else {
      text::append_json_string_content(out, body, false);
    }
  };

  // The layout of text::dumps_indented(build_sections_document(...), 2).
  PieceWriter w(sink);
  std::string& out = w.buffer();
  out += "{\n  \"qd\": ";
  text::append_indented(out, qd ? *qd : Record(nullptr), 2, 1);
  out += ",\n  \"document\": ";
  text::append_json_string(out, doc_name, false);
  out += ",\n  \"link\": ";
  text::append_indented(out, link ? *link : Record(""), 2, 1);
  out += ",\n  \"sections\": ";
  if (order.empty()) {
    out += "{}";
  } else {
    std::string escaped_name;
    text::append_json_string_content(escaped_name, doc_name, false);
    out += '{';
    for (std::size_t k = 0; k < order.size(); ++k) {
      if (k != 0) out += ',';
      out += "\n    \"";
      out += escaped_name;
      out += "::";
      text::append_json_string_content(out, cut.title(order[k]), false);
      out += "\": \"";
      const std::size_t i = text_of[k];
      for (std::size_t j = i; j < cut.subtree_end[i]; ++j) {
        if (j != i) out += "\\n\\n";
        append_body(out, cut.bodies[j]);
        w.maybe_flush();
      }
      out += '"';
    }
    out += "\n  }";
  }
  out += "\n}";
  w.flush();
}

}  // namespace shared::processors::sectioner
