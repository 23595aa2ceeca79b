// shared.processors.indexer: the last stage of path A, which brings the
// document's sections in the vector index up to date with its enriched
// sections: unchanged sections keep their rows and embeddings, changed and
// new ones are (re-)embedded, vanished ones removed.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "shared/connectors/vector_db.hpp"
#include "shared/processors/base.hpp"

namespace shared::processors::indexer {

// The embedding of one section text, or nullopt to store none.
using Embedder = connectors::vector_db::Embed;

// Brings the document's sections in the index up to date, embedding with
// `embedder` (empty: none) what needs a new embedding; returns what it did.
using SectionWriter = std::function<connectors::vector_db::SyncCounts(
    const std::string& qd_number, const std::string& document_name, const std::string& link,
    const std::vector<connectors::vector_db::Section>& sections, const Embedder& embedder)>;

// The embedder the no-argument stage uses: empty (sections are indexed
// without embeddings) while no embedding model is available.
Embedder default_embedder();

// Stage "INDEXING".
class IndexingStage : public base::PipelineStageBase {
 public:
  // Writes with vector_db::sync_document_sections and default_embedder(),
  // the embeddings tagged with OPENAI_EMBEDDING_MODEL.
  IndexingStage();
  // Writes through `writer`, handing it `embedder` (empty: no embeddings).
  IndexingStage(SectionWriter writer, Embedder embedder);

  // Reads context "enriched_json" ({"qd-number", "doc_name", "link",
  // "enriched": {key: text}}); the QD-number is the document's
  // `document_number`, else the enriched document's "qd-number". Missing or
  // malformed input is a failed result; index and embedding errors
  // propagate (the index keeps the document's previous sections). The
  // result's data holds the counts {"sections", "kept", "embedded",
  // "removed"}.
  base::StageResult execute(const Record& doc, Record& context) override;

 private:
  SectionWriter writer_;
  Embedder embedder_;
};

}  // namespace shared::processors::indexer
