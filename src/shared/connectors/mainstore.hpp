// shared.connectors.mainstore: the pipeline's own PostgreSQL metadata table
// (one row per source document, keyed by its QD-number in
// `document_number`). Generic single-table operations plus get, delete and
// upsert by document number. Every operation opens its own connection
// (sslmode "require"), runs one transaction, commits or rolls back, and
// closes the connection; the overloads that take a connection run their
// transactions on the caller's instead.
//
// Table and column names (including the keys of `data`) are written into the
// statement text unquoted, so each must be a plain identifier (letters,
// digits, underscores, not starting with a digit; a table may carry one
// schema name); anything else is refused with ValueError before a statement
// is built. Values are always bound, never written into the text.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "shared/connectors/pg.hpp"
#include "shared/record.hpp"

namespace shared::connectors::mainstore {

// Default table of the document-number operations.
inline constexpr std::string_view TABLE_NAME = "sop_metadata";

// The statements as built (and logged) with "%s" markers, and their values.
// Each throws ValueError for a name that is not a plain identifier, and the
// writes for a `data` that is not an object or is empty.
pg::Statement fetch_all_statement(std::string_view table_name);
pg::Statement get_one_statement(std::string_view table_name, std::string_view pk_column, const Record& pk_value);
pg::Statement insert_statement(std::string_view table_name, const Record& data);
pg::Statement update_statement(std::string_view table_name, std::string_view pk_column, const Record& pk_value,
                               const Record& data);
pg::Statement delete_statement(std::string_view table_name, std::string_view pk_column, const Record& pk_value);
pg::Statement delete_by_document_number_statement(std::string_view document_number, std::string_view table_name);

// A new open connection from PGHOST, PGPORT, PGDATABASE, PGUSER, PGPASSWORD
// with sslmode "require". Throws DatabaseError when it cannot be opened.
pg::PgConn get_conn();

// Every row of the table (possibly none).
std::vector<Record> fetch_all(std::string_view table_name);

// The first row whose `pk_column` equals `pk_value`, or nullopt.
std::optional<Record> get_one(std::string_view table_name, std::string_view pk_column, const Record& pk_value);

// Inserts `data` (column → value, in its order) and returns the stored row.
// Logs "[DB] INSERT query: …" and "[DB] INSERT values: …" before, and
// "[DB] INSERT error: …" on any failure, which is then rethrown unchanged.
Record insert_row(std::string_view table_name, const Record& data);
// The same in one transaction on the caller's connection (null: one of its own).
Record insert_row(PGconn* conn, std::string_view table_name, const Record& data);

// Updates the rows whose `pk_column` equals `pk_value` with `data`; the first
// updated row as stored, or nullopt when none matched. Logs like insert_row
// with "UPDATE".
std::optional<Record> update_row(std::string_view table_name, std::string_view pk_column, const Record& pk_value,
                                 const Record& data);
// The same in one transaction on the caller's connection (null: one of its own).
std::optional<Record> update_row(PGconn* conn, std::string_view table_name, std::string_view pk_column,
                                 const Record& pk_value, const Record& data);

// Deletes the rows whose `pk_column` equals `pk_value`; the first deleted
// row, or nullopt.
std::optional<Record> delete_row(std::string_view table_name, std::string_view pk_column, const Record& pk_value);

// get_one(table_name, "document_number", document_number).
std::optional<Record> get_by_document_number(std::string_view document_number,
                                             std::string_view table_name = TABLE_NAME);

// Deletes the document's row; the deleted row, or nullopt when none existed.
std::optional<Record> delete_by_document_number(std::string_view document_number,
                                                std::string_view table_name = TABLE_NAME);

// Updates the row of `doc_number` with `data` minus its "id" entry when the
// row exists, else inserts `data` as given; the row as stored (nullopt only
// when the row vanished between the lookup and the update). Lookup and write
// are separate transactions; a concurrent insert of the same number fails on
// the table's unique constraint. Logs the "[DB] upsert_document called:"
// block first.
std::optional<Record> upsert_document(std::string_view table_name, std::string_view doc_number, const Record& data);
// The same on the caller's connection (null: one of its own per transaction),
// so that a host writing a row per document keeps one connection.
std::optional<Record> upsert_document(PGconn* conn, std::string_view table_name, std::string_view doc_number,
                                      const Record& data);

// The database's form of artifact_names::extraction_stem and doc_stem over
// blob_filename: the expressions of the metadata table's two artefact key
// indexes.
inline constexpr std::string_view ARTEFACT_STEM_SQL =
    R"(regexp_replace(regexp_replace(regexp_replace(blob_filename, '/+$', ''), '^.*/', ''), '(.)\.[^.]+$', '\1'))";
inline constexpr std::string_view ARTEFACT_DOC_STEM_SQL =
    R"(regexp_replace(regexp_replace(blob_filename, '\.[^.]*$', ''), '^.*/', ''))";

// The statements that give a metadata table made before them the two
// artefact key indexes (as sql/sop_metadata.sql does); each is a no-op on a
// table that has them.
std::vector<std::string> artefact_key_statements(std::string_view table_name);

// The statement of files_sharing_keys: one bound JSON array of keys, then
// the QD-number.
std::string files_sharing_keys_statement(std::string_view table_name);

// The rows of documents other than `qd_number` (compared upper-cased)
// whose recorded blob_filename has one of `keys` as its extraction stem or
// document stem (artifact_names::extraction_stem and doc_stem):
// {"document_number", "blob_filename"} each, by document number; none for
// no keys. Two index lookups; a table made before the indexes gets them
// first (or, when it cannot, is searched with files_holding). What the
// artefact names of two documents share is judged from these; one
// statement on the caller's connection.
std::vector<Record> files_sharing_keys(PGconn* conn, std::string_view table_name, std::string_view qd_number,
                                       const std::vector<std::string>& keys);

// The rows of documents other than `qd_number` (compared upper-cased)
// whose recorded blob_filename holds one of `fragments` as it is (no
// wildcards): {"document_number", "blob_filename"} each, by document number;
// none for no fragments. One statement on the caller's connection that
// reads every row.
std::vector<Record> files_holding(PGconn* conn, std::string_view table_name, std::string_view qd_number,
                                  const std::vector<std::string>& fragments);

}  // namespace shared::connectors::mainstore
