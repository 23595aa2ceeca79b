#include "shared/processors/indexer.hpp"

#include "shared/config.hpp"
#include "shared/processors/aigate.hpp"

#include "shared/text/utf8.hpp"

namespace shared::processors::indexer {

namespace {
base::StageResult failed(const std::string& stage, std::string error) {
  return base::StageResult{.stage = stage, .success = false, .error = std::move(error)};
}

std::string text_member(const Record& r, std::string_view key) {
  const Record* v = record::find(r, key);
  return (v && !v->is_null()) ? record::text_of(*v) : std::string();
}
}  // namespace

Embedder default_embedder() {
  // Embeddings only where an embedding deployment is configured; without one
  // the sections are indexed with a NULL embedding.
  return [](const std::string& text) -> std::optional<std::vector<double>> {
    if (config::get().OPENAI_EMBEDDING_MODEL.empty()) return std::nullopt;
    return aigate::generate_embeddings(text);
  };
}

IndexingStage::IndexingStage()
    : IndexingStage(
          [](const std::string& qd, const std::string& name, const std::string& link,
             const std::vector<connectors::vector_db::Section>& sections, const Embedder& embedder) {
            // Without a deployment nothing is embedded, and rows keep the
            // embeddings they have instead of being rewritten without one.
            const std::string& model = config::get().OPENAI_EMBEDDING_MODEL;
            return connectors::vector_db::sync_document_sections(qd, name, link, sections,
                                                                 model.empty() ? Embedder() : embedder, model);
          },
          default_embedder()) {}

IndexingStage::IndexingStage(SectionWriter writer, Embedder embedder)
    : PipelineStageBase("INDEXING", "shared.processors.indexer"),
      writer_(std::move(writer)),
      embedder_(std::move(embedder)) {}

base::StageResult IndexingStage::execute(const Record& doc, Record& context) {
  const Record* enriched = record::find(context, "enriched_json");
  if (enriched == nullptr) return failed(stage_name, "No enriched_json in context");
  const Record* entries = record::find(*enriched, "enriched");
  if (entries == nullptr || !entries->is_object()) {
    return failed(stage_name, "enriched_json has no 'enriched' map of sections");
  }

  // The deletion of a document finds its sections by the document's own
  // number, so that number wins over the one carried in the sections.
  std::string qd_number(text::strip(text_member(doc, "document_number")));
  if (qd_number.empty()) qd_number = std::string(text::strip(text_member(*enriched, "qd-number")));
  if (qd_number.empty()) {
    return failed(stage_name,
                  "Cannot determine QD-number for indexing: neither 'document_number' nor the enriched "
                  "'qd-number' is set");
  }

  std::vector<connectors::vector_db::Section> sections;
  sections.reserve(entries->size());
  for (auto it = entries->begin(); it != entries->end(); ++it) {
    if (!it.value().is_string()) {
      return failed(stage_name, "Section '" + it.key() + "' of enriched_json is not text");
    }
    sections.push_back({.key = it.key(), .text = it.value().get<std::string>(), .embedding = {}});
  }

  connectors::vector_db::SyncCounts counts;
  {
    auto timer = log.timed("Indexing");
    counts = writer_(qd_number, text_member(*enriched, "doc_name"), text_member(*enriched, "link"), sections, embedder_);
  }
  const Record data = {{"sections", counts.sections},
                       {"kept", counts.kept},
                       {"embedded", counts.embedded},
                       {"removed", counts.removed}};
  log.info("Indexed " + std::to_string(counts.sections) + " section(s) for '" + qd_number + "' \u2192 vector DB (" +
               std::to_string(counts.kept) + " kept, " + std::to_string(counts.embedded) + " embedded, " +
               std::to_string(counts.removed) + " removed)",
           {{"sections", counts.sections}, {"kept", counts.kept}, {"embedded", counts.embedded},
            {"removed", counts.removed}});
  return base::StageResult{.stage = stage_name, .success = true, .data = data};
}

}  // namespace shared::processors::indexer
