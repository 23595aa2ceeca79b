// shared.connectors.vector_db: the vector index of document sections, kept
// as a table of the metadata database (the PG* settings; table VECTOR_TABLE,
// default "document_sections", created on first use when missing). One row
// per section: QD-number, section key, position, document name, link,
// enriched text, embedding (real[] or NULL) and time of indexing.
// QD-numbers are matched ignoring case.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "shared/connectors/pg.hpp"
#include "shared/record.hpp"

namespace shared::connectors::vector_db {

// One section to index.
struct Section {
  std::string key;   // "{doc_name}::{title}"
  std::string text;  // the enriched text
  std::optional<std::vector<double>> embedding;
};

// The index table's name: `table_name`, or VECTOR_TABLE when empty. Throws
// ValueError unless it is a plain identifier (optionally schema-qualified).
std::string table_for(std::string_view table_name = {});

// Creates the index table (and its QD-number index) unless it exists, inside
// the caller's transaction, serialised against concurrent creators.
void ensure_table(PGconn* conn, const std::string& table);

// Replaces every section of the document by `sections`, in one transaction:
// a failure leaves the previous sections as they were. Returns the number of
// sections written. Throws ValueError for an empty QD-number, DatabaseError
// from the database.
std::size_t replace_document_sections(std::string_view qd_number, std::string_view document_name,
                                      std::string_view link, const std::vector<Section>& sections,
                                      std::string_view table_name = {});

// Deletes every section of the document; returns how many were removed.
std::size_t delete_document_sections(std::string_view qd_number, std::string_view table_name = {});

// The document's sections in their original order, each row as a record
// (qd_number, section_key, position, document_name, link, enriched_text,
// embedding, indexed_at).
std::vector<Record> get_document_sections(std::string_view qd_number, std::string_view table_name = {});

// The array literal of an embedding: "{0.25,-1.5}".
std::string array_literal(const std::vector<double>& values);

}  // namespace shared::connectors::vector_db
