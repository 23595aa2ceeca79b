// Throughput of the Markdown transformations: stamping, sectioning (heading
// matching, hierarchy and collapse, and the sections document's JSON text)
// and enrichment, on generated SOP-like Markdown of growing size and on
// adversarial inputs for the heading matcher. Prints one table; the time per
// MB staying flat as the input doubles is what shows linear behaviour.
//
// usage: sectioner_bench [--sizes 1,10,25,50] [--repeat N]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "shared/processors/enricher.hpp"
#include "shared/processors/sectioner.hpp"
#include "shared/processors/stamper.hpp"
#include "shared/text/json_load.hpp"

namespace sectioner = shared::processors::sectioner;
namespace enricher = shared::processors::enricher;
namespace stamper = shared::processors::stamper;
using shared::Record;

namespace {

constexpr double MB = 1024.0 * 1024.0;

// A small deterministic generator, so every run measures the same text.
struct Rng {
  unsigned long long s = 0x9E3779B97F4A7C15ull;
  unsigned next() {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return static_cast<unsigned>(s >> 11);
  }
  unsigned below(unsigned n) { return next() % n; }
};

const std::vector<std::string> kWords = {
    "the",      "operator", "shall",    "verify",     "batch",     "record",  "cleaning", "validation",
    "deviation", "approved", "procedure", "equipment", "according", "to",      "quality",  "assurance",
    "sample",   "temperature", "must",   "be",         "documented", "in",     "the",      "logbook",
    "Prüfung",  "Qualität", "résumé",   "→",          "≤ 25 °C",   "and",     "within",   "limits"};

const std::vector<std::string> kTitles = {"Purpose", "Scope", "Responsibilities", "Definitions", "Procedure",
                                          "Training", "References", "Records", "Change history", "Annex"};

std::string sentence(Rng& rng) {
  std::string s;
  const unsigned n = 8 + rng.below(14);
  for (unsigned i = 0; i < n; ++i) {
    if (i) s += ' ';
    s += kWords[rng.below(static_cast<unsigned>(kWords.size()))];
  }
  s[0] = static_cast<char>(s[0] >= 'a' && s[0] <= 'z' ? s[0] - 32 : s[0]);
  return s + ".";
}

// SOP-like Markdown: numbered headings of levels 1 to 4 about every 600
// bytes, paragraphs, lists and small tables.
std::string realistic_markdown(std::size_t target) {
  Rng rng;
  std::string md = "QD-000958 Cleaning of production equipment\n\n";
  unsigned n1 = 0, n2 = 0, n3 = 0, n4 = 0;
  while (md.size() < target) {
    const unsigned pick = rng.below(10);
    std::string number;
    int level;
    if (n1 == 0 || pick == 0) {
      level = 1, number = std::to_string(++n1), n2 = n3 = n4 = 0;
    } else if (pick < 5 || n2 == 0) {
      level = 2, number = std::to_string(n1) + "." + std::to_string(++n2), n3 = n4 = 0;
    } else if (pick < 8 || n3 == 0) {
      level = 3, number = std::to_string(n1) + "." + std::to_string(n2) + "." + std::to_string(++n3), n4 = 0;
    } else {
      level = 4;
      number = std::to_string(n1) + "." + std::to_string(n2) + "." + std::to_string(n3) + "." + std::to_string(++n4);
    }
    md += std::string(static_cast<std::size_t>(level), '#') + " " + number + " " +
          kTitles[rng.below(static_cast<unsigned>(kTitles.size()))] + "\n\n";
    const unsigned kind = rng.below(4);
    if (kind == 0) {
      for (unsigned i = 0, k = 2 + rng.below(4); i < k; ++i) md += "- " + sentence(rng) + "\n";
      md += "\n";
    } else if (kind == 1) {
      md += "| Step | Action | Check |\n| --- | --- | --- |\n";
      for (unsigned i = 0, k = 2 + rng.below(3); i < k; ++i) {
        md += "| " + std::to_string(i + 1) + " | " + sentence(rng) + " | ☐ |\n";
      }
      md += "\n";
    }
    for (unsigned i = 0, k = 1 + rng.below(3); i < k; ++i) md += sentence(rng) + " " + sentence(rng) + "\n\n";
  }
  return md;
}

// Lines holding only "#" followed by long runs of blank lines: every "#"
// line starts a whitespace run that crosses thousands of lines.
std::string hash_then_blank_lines(std::size_t target) {
  std::string md;
  md.reserve(target + 8192);
  const std::string group = "#" + std::string(4096, '\n');
  while (md.size() < target) md += group;
  return md;
}

// One "#" and a blank tail reaching the end of the text, where the greedy
// whitespace run must give back a character: the worst case for a matcher
// that retries every split point.
std::string hash_then_blank_tail(std::size_t target) {
  std::string md = "# Title\ntext\n#";
  md.reserve(target + 4);
  while (md.size() < target) md += " \n\n\n";
  return md;
}

// Lines of nine "#", of "#" without a following space and of indented "#":
// no headings at all.
std::string near_misses(std::size_t target) {
  std::string md;
  md.reserve(target + 64);
  while (md.size() < target) md += "######### nine\n#x\n  # indented\n";
  return md;
}

double seconds(const std::function<void()>& fn, int repeat) {
  double best = 1e300;
  for (int i = 0; i < repeat; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    fn();
    const auto t1 = std::chrono::steady_clock::now();
    best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
  }
  return best;
}

void row(const char* input, const char* step, std::size_t bytes, double secs, std::size_t items) {
  std::printf("%-30s %-28s %9.2f %10.1f %9.1f %10.1f %9zu\n", input, step, bytes / MB, secs * 1000.0,
              bytes / MB / secs, secs * 1000.0 / (bytes / MB), items);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<double> sizes = {1, 10, 25, 50};
  int repeat = 3;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--sizes" && i + 1 < argc) {
      sizes.clear();
      std::string list = argv[++i];
      for (std::size_t p = 0; p < list.size();) {
        const std::size_t c = std::min(list.find(',', p), list.size());
        sizes.push_back(std::atof(list.substr(p, c - p).c_str()));
        p = c + 1;
      }
    } else if (a == "--repeat" && i + 1 < argc) {
      repeat = std::max(1, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr, "usage: sectioner_bench [--sizes 1,10,25,50] [--repeat N]\n");
      return a == "--help" || a == "-h" ? 0 : 2;
    }
  }

  const Record doc = {{"blob_filename", "QD-000958 Cleaning.docx"}, {"document_name", "Cleaning of equipment"},
                      {"document_number", "QD-000958"}, {"url_document_name", "https://veeva.example/doc/958"}};
  std::printf("best of %d runs; MB = 2^20 bytes of each step's input; items = headings or sections\n\n", repeat);
  std::printf("%-30s %-28s %9s %10s %9s %10s %9s\n", "input", "step", "MB", "ms", "MB/s", "ms per MB", "items");

  for (double size : sizes) {
    const std::size_t target = static_cast<std::size_t>(size * MB);
    const std::string md = realistic_markdown(target);
    char label[64];
    std::snprintf(label, sizeof label, "SOP %g MB", size);

    // Each timing is taken before its row is printed, so the item counts
    // are those of the timed run.
    std::string stamped;
    double t = seconds([&] { stamped = stamper::stamp_markdown(md, doc); }, repeat);
    row(label, "stamp_markdown", md.size(), t, 1);

    std::size_t headings = 0;
    t = seconds([&] { headings = sectioner::HEADING_RE.finditer(stamped).size(); }, repeat);
    row(label, "HEADING_RE.finditer", stamped.size(), t, headings);

    std::size_t count = 0;
    t = seconds([&] { count = sectioner::split_markdown_hierarchical(stamped, "QD-000958 Cleaning").size(); }, repeat);
    row(label, "split_markdown_hierarchical", stamped.size(), t, count);

    Record sections;
    t = seconds([&] { sections = sectioner::build_sections_document(stamped, doc); }, repeat);
    row(label, "build_sections_document", stamped.size(), t, sections["sections"].size());

    std::string sections_text;
    t = seconds([&] { sections_text = sectioner::sections_json_text(sections); }, repeat);
    row(label, "sections JSON text", sections_text.size(), t, sections["sections"].size());

    Record enriched;
    t = seconds([&] { enriched = enricher::enrich_sections(sections); }, repeat);
    row(label, "enrich_sections", sections_text.size(), t, enriched["enriched"].size());

    std::string enriched_text;
    t = seconds([&] { enriched_text = sectioner::sections_json_text(enriched); }, repeat);
    row(label, "enriched JSON text", enriched_text.size(), t, enriched["enriched"].size());

    Record parsed;
    t = seconds([&] { parsed = shared::text::loads(sections_text); }, repeat);
    row(label, "text::loads sections JSON", sections_text.size(), t, parsed["sections"].size());
  }

  std::printf("\n");
  struct Adversary {
    const char* name;
    std::string (*make)(std::size_t);
  };
  const Adversary adversaries[] = {{"'#' + 4096 blank lines", hash_then_blank_lines},
                                   {"'#' + blank tail", hash_then_blank_tail},
                                   {"near-miss headings", near_misses}};
  for (const Adversary& a : adversaries) {
    for (double size : sizes) {
      const std::string md = a.make(static_cast<std::size_t>(size * MB));
      char label[64];
      std::snprintf(label, sizeof label, "%s %g MB", a.name, size);
      std::size_t count = 0;
      const double t = seconds([&] { count = sectioner::split_markdown_hierarchical(md, "D").size(); }, repeat);
      row(label, "split_markdown_hierarchical", md.size(), t, count);
    }
  }
  return 0;
}
