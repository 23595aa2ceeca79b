// shared.processors.indexer: the last stage of path A, which writes the
// document's enriched sections into the vector index, replacing whatever the
// index held for the document before.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "shared/connectors/vector_db.hpp"
#include "shared/processors/base.hpp"

namespace shared::processors::indexer {

// Replaces the document's sections in the index; returns how many it wrote.
using SectionWriter = std::function<std::size_t(const std::string& qd_number, const std::string& document_name,
                                                const std::string& link,
                                                const std::vector<connectors::vector_db::Section>& sections)>;

// The embedding of one section text, or nullopt to store none.
using Embedder = std::function<std::optional<std::vector<double>>(const std::string& text)>;

// The embedder the no-argument stage uses: empty (sections are indexed
// without embeddings) while no embedding model is available.
Embedder default_embedder();

// Stage "INDEXING".
class IndexingStage : public base::PipelineStageBase {
 public:
  // Writes to vector_db::replace_document_sections with default_embedder().
  IndexingStage();
  // Writes through `writer`; an empty `embedder` stores no embeddings.
  IndexingStage(SectionWriter writer, Embedder embedder);

  // Reads context "enriched_json" ({"qd-number", "doc_name", "link",
  // "enriched": {key: text}}); the QD-number is the document's
  // `document_number`, else the enriched document's "qd-number". Missing or
  // malformed input is a failed result; index errors propagate.
  base::StageResult execute(const Record& doc, Record& context) override;

 private:
  SectionWriter writer_;
  Embedder embedder_;
};

}  // namespace shared::processors::indexer
