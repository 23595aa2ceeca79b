// kesto search: asks the vector index a question.
#include <cstdio>
#include <iostream>

#include "apps/common/args.hpp"
#include "apps/common/commands.hpp"
#include "shared/retrieval.hpp"
#include "shared/text/pyjson.hpp"

namespace {

namespace retrieval = shared::retrieval;

int run(const std::vector<std::string>& args) {
  apps::ArgParser p("kesto search",
                    "Finds the indexed sections that answer QUERY and prints, best first, each one's rank,\n"
                    "score, QD-number, section key, link and a short snippet with the matching words marked\n"
                    "**like this**. QUERY takes web-search syntax: words, \"quoted phrases\", OR, -word.\n"
                    "By default the search is hybrid (full text and embeddings, fused by reciprocal rank)\n"
                    "when OPENAI_EMBEDDING_MODEL is set and the index holds its embeddings, else lexical.");
  p.positional("QUERY", apps::Arity::one, "the question")
      .option("k", "k", "N", "how many sections to show (default 10)")
      .option("qd", "", "QD-NUMBER", "only sections of this document")
      .flag("lexical", "", "full-text search only (PostgreSQL, SEARCH_TEXT_CONFIG, default english)")
      .flag("vector", "", "embedding search only (cosine similarity; needs OPENAI_EMBEDDING_MODEL)")
      .flag("hybrid", "", "both, fused by reciprocal rank (k = 60; needs OPENAI_EMBEDDING_MODEL)")
      .flag("json", "", "one compact JSON object per section and line")
      .flag("text", "", "print each section's whole enriched text after its line")
      .option("log-level", "", "LEVEL", "log threshold: debug, info, warning, error, critical (default warning)")
      .epilog("Settings: PG* (the database), VECTOR_TABLE (default document_sections), SEARCH_TEXT_CONFIG,\n"
              "OPENAI_EMBEDDING_MODEL and AZURE_OPENAI_* for the question's embedding.\n"
              "Exit status: 0 success (also when nothing matches), 1 the search failed, 2 usage or\n"
              "configuration error.");
  const apps::Parsed a = p.parse(args);
  // Answers go to standard output; only trouble is logged unless asked for.
  const std::string level_name = a.get("log-level", "warning");
  const auto level = shared::logsetup::parse_level(level_name);
  if (!level) throw apps::UsageError("unknown log level '" + level_name + "'");
  shared::logsetup::configure_root_logger(*level);

  retrieval::Query q;
  q.text = a.get("QUERY");
  const long k = a.get_long("k", 10);
  if (k < 1 || k > 1000) throw apps::UsageError("--k must be between 1 and 1000");
  q.k = static_cast<std::size_t>(k);
  q.qd_number = a.get("qd");
  const int modes = a.has("lexical") + a.has("vector") + a.has("hybrid");
  if (modes > 1) throw apps::UsageError("give at most one of --lexical, --vector, --hybrid");
  if (a.has("lexical")) q.mode = retrieval::Mode::lexical;
  if (a.has("vector")) q.mode = retrieval::Mode::vector;
  if (a.has("hybrid")) q.mode = retrieval::Mode::hybrid;

  const retrieval::Answer answer = retrieval::search(q);
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
    char score[32];
    std::snprintf(score, sizeof score, "%.4f", h.score);
    std::cout << h.rank << ". [" << score << "] " << h.qd_number << "  " << h.section_key << "\n";
    if (!h.link.empty()) std::cout << "   " << h.link << "\n";
    std::cout << "   " << h.snippet << "\n";
    if (a.has("text")) std::cout << "\n" << h.text << "\n\n";
  }
  if (answer.hits.empty() && !a.has("json")) std::cout << "No section matches.\n";
  std::cout.flush();
  return 0;
}

apps::RegisterCommand reg{{"search", "ask the vector index a question (lexical, vector or hybrid)", run}};

}  // namespace
