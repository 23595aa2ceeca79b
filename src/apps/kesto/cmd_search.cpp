// kesto search: asks the vector index a question.
#include <iostream>
#include <utility>

#include "apps/common/args.hpp"
#include "apps/common/commands.hpp"
#include "apps/common/settings.hpp"
#include "shared/config.hpp"
#include "shared/errors.hpp"
#include "shared/retrieval.hpp"
#include "shared/text/fixed.hpp"
#include "shared/text/pyjson.hpp"
#include "shared/text/qd_number.hpp"
#include "shared/text/utf8.hpp"

namespace {

namespace retrieval = shared::retrieval;

int run(const std::vector<std::string>& args) {
  apps::ArgParser p("kesto search",
                    "Finds the indexed sections that answer QUERY and prints, best first, each one's rank,\n"
                    "score, QD-number, section key, link and a short snippet with the matching words marked\n"
                    "**like this**. QUERY takes web-search syntax: words, \"quoted phrases\", OR, -word; its\n"
                    "words may come as one argument or several, and a -word that names no option is part of\n"
                    "it (after \"--\", every word is: kesto search -- -k). At most 1000 characters and\n"
                    "100 words.\n"
                    "By default the search is hybrid (full text and embeddings, fused by reciprocal rank)\n"
                    "when OPENAI_EMBEDDING_MODEL is set and the index holds its embeddings, else lexical.\n"
                    "Full-text ranking: each word of QUERY counts by its rarity in the index (BM25's inverse\n"
                    "document frequency) and by where a section holds it: its own heading, its own body (not\n"
                    "its sub-sections' text), its context (document name, the heading above it), else only\n"
                    "in its sub-sections; a section holding few of the words is scaled down. So a\n"
                    "sub-section holding the words comes before its parent, and a document's Metadata\n"
                    "section answers questions about its name, number or link. A word held by more than\n"
                    "15% of the sections (must, use) admits no section while QUERY has a rarer word.");
  p.positional("QUERY", apps::Arity::many, "the question")
      .option("k", "k", "N", "how many sections to show (default 10)")
      .option("qd", "", "QD-NUMBER", "only sections of this document (\"QD-\" and digits, any case)")
      .flag("lexical", "", "full-text search only (PostgreSQL, SEARCH_TEXT_CONFIG, default english)")
      .flag("vector", "", "embedding search only (cosine similarity; needs OPENAI_EMBEDDING_MODEL)")
      .flag("hybrid", "", "both, fused by reciprocal rank (k = 60; needs OPENAI_EMBEDDING_MODEL)")
      .flag("json", "", "one compact JSON object per section and line")
      .flag("text", "", "print each section's whole enriched text after its line")
      .flag("prepare", "", "ask nothing: bring the vector index file up to date (build it when missing)\n"
                           "so that a later process's first question finds it ready")
      .option("log-level", "", "LEVEL", "log threshold: debug, info, warning, error, critical (default warning)")
      .dash_words_are_positional()
      .epilog("Settings: PG* (the database), VECTOR_TABLE (default document_sections), SEARCH_TEXT_CONFIG,\n"
              "KESTO_SEARCH_TIMEOUT (seconds a statement of the search may run, default 30),\n"
              "OPENAI_EMBEDDING_MODEL and AZURE_OPENAI_* for the question's embedding,\n"
              "KESTO_ANN_MIN_SECTIONS (embedded sections from which the vectors are kept in a vector\n"
              "index file, default 20000), KESTO_VECTOR_CACHE_DIR (where, default $XDG_CACHE_HOME/kesto\n"
              "or ~/.cache/kesto; off: nowhere), KESTO_VECTOR_SEARCH (exact, the default, or\n"
              "approximate: walk the file's graph), KESTO_ANN_EF (its breadth, default 200).\n"
              "Control characters in stored names, links and texts are shown escaped (\\n, \\x1b, ...).\n"
              "Exit status: 0 success (also when nothing matches), 1 the search failed, 2 usage or\n"
              "configuration error.");
  const apps::Parsed a = p.parse(args);
  // Answers go to standard output; only trouble is logged unless asked for.
  const std::string level_name = a.get("log-level", "warning");
  const auto level = shared::logsetup::parse_level(level_name);
  if (!level) throw apps::UsageError("unknown log level '" + level_name + "'");
  shared::logsetup::configure_root_logger(*level);
  if (a.has("prepare")) {
    if (!a.list("QUERY").empty()) throw apps::UsageError("--prepare asks no question");
    // Building the index takes a while: its progress is shown unless asked otherwise.
    if (!a.has("log-level")) shared::logsetup::configure_root_logger(shared::logsetup::Level::info);
    apps::require_settings(apps::missing_settings({apps::Reach::database}));
    std::cout << retrieval::prepare_vectors() << std::endl;
    return 0;
  }
  if (a.list("QUERY").empty()) throw apps::UsageError("missing argument QUERY (see --help)");

  retrieval::Query q;
  for (const std::string& word : a.list("QUERY")) q.text += (q.text.empty() ? "" : " ") + word;
  const long k = a.get_long("k", 10);
  if (k < 1 || k > 1000) throw apps::UsageError("--k must be between 1 and 1000");
  q.k = static_cast<std::size_t>(k);
  if (a.has("qd")) {
    const std::string given = a.list("qd").back();
    const auto qd = shared::text::normalize_qd_number(given);
    if (!qd) throw apps::UsageError("'" + given + "' is not a QD-number ('QD-' followed by digits)");
    q.qd_number = *qd;
  }
  const int modes = a.has("lexical") + a.has("vector") + a.has("hybrid");
  if (modes > 1) throw apps::UsageError("give at most one of --lexical, --vector, --hybrid");
  if (a.has("lexical")) q.mode = retrieval::Mode::lexical;
  if (a.has("vector")) q.mode = retrieval::Mode::vector;
  if (a.has("hybrid")) q.mode = retrieval::Mode::hybrid;
  // A question past the bounds, or not UTF-8, is refused before anything is
  // asked of the database (exit 2).
  q = retrieval::checked(q);
  apps::require_settings(apps::missing_settings({apps::Reach::database}));

  const retrieval::Answer answer = retrieval::search(q);
  using shared::text::printable;
  for (const retrieval::Hit& h : answer.hits) {
    if (a.has("json")) {
      shared::Record r = {{"rank", h.rank},
                          {"score", h.score},
                          {"mode", std::string(retrieval::mode_name(answer.mode))},
                          {"qd_number", h.qd_number},
                          {"section_key", h.section_key},
                          {"document_name", h.document_name},
                          {"link", h.link},
                          {"snippet", h.snippet}};
      if (a.has("text")) r["text"] = h.text;
      std::cout << shared::text::dumps_compact(r) << "\n";
      continue;
    }
    // Names, links and texts come from the documents and their metadata:
    // shown raw, a line break would forge a result line and an escape
    // sequence would drive the terminal.
    std::cout << h.rank << ". [" << shared::text::fixed(h.score, 4) << "] " << printable(h.qd_number) << "  " << printable(h.section_key)
              << "\n";
    if (!h.link.empty()) std::cout << "   " << printable(h.link) << "\n";
    std::cout << "   " << printable(h.snippet) << "\n";
    if (a.has("text")) std::cout << "\n" << shared::text::printable_lines(h.text) << "\n\n";
  }
  if (answer.hits.empty() && !a.has("json")) std::cout << "No section matches.\n";
  std::cout.flush();
  return 0;
}

apps::RegisterCommand reg{{"search", "ask the vector index a question (lexical, vector or hybrid)", run}};

}  // namespace
