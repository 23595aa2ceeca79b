// shared.connectors.tolvanstore: read-only access to the source document
// registry (the table TOLVANSTORE_SCHEMA.TOLVANSTORE_TABLE in the database
// TOLVANSTORE_NAME) over one process-wide connection, opened on first use and
// kept until close_connection(). Reads run in autocommit mode, so a failed
// statement never spoils the reads after it, and are serialised on the
// shared connection. Every read is retried (3 tries, 1.0 s first wait,
// 30.0 s cap) and every document record carries `blob_name`, a copy of its
// `blob_filename`.
#pragma once

#include <libpq-fe.h>

#include <optional>
#include <string>
#include <vector>

#include "shared/logsetup.hpp"
#include "shared/record.hpp"

namespace shared::connectors::tolvanstore {

// The registry's connection parameters, read from the settings now.
struct ConnectionParameters {
  std::string host, user, password, database;
  int port = 5432;
};

// Port 5432 when TOLVANSTORE_PORT is empty, database "0348_kesto" when
// TOLVANSTORE_NAME is empty. Throws ValueError "Missing required PostgreSQL
// connection parameters. …" when host, user or password is empty, and
// ValueError when the port is not a number.
ConnectionParameters connection_parameters();

// The shared connection, opened (and "Connected to Tolvan database: {db} at
// {host}:{port}" logged) when there is none or libpq found it broken.
// Throws as connection_parameters(), or DatabaseError.
PGconn* _get_connection();

// Closes the shared connection if open (logging "Closed Tolvan database
// connection") and forgets it.
void close_connection();

// The registry row whose blob_filename is exactly `blob_filename`; failing
// that, and only for names longer than 15 characters, the first row whose
// blob_filename contains the name without its first 15 characters (that row
// has no `id`). Throws ValueError "Document not found in {schema}.{table}:
// {blob_filename}" when neither finds one.
Record get_document_status(const std::string& blob_filename);

// Every column of the rows whose kesto_status is one of `statuses` (default
// "NEW", "UPDATED", "DELETED"), ordered by blob_filename. An empty list
// gives an empty result without a query.
std::vector<Record> get_all_pending_documents(const std::optional<std::vector<std::string>>& statuses = std::nullopt);

// blob_filename, kesto_status and blob_name of every row, by blob_filename.
std::vector<Record> get_all_documents();

// The registry table's column names in column order (empty for an unknown
// schema or table).
std::vector<std::string> get_table_columns();

// The registry reads as methods of a document-metadata provider.
class TolvanstoreConnector {
 public:
  // `logger` defaults to the module's logger "shared.connectors.tolvanstore".
  explicit TolvanstoreConnector(logsetup::Logger* logger = nullptr);

  Record get_document_status(const std::string& blob_name) const;
  std::vector<Record> get_all_pending_documents(
      const std::optional<std::vector<std::string>>& statuses = std::nullopt) const;
  std::vector<Record> get_all_documents() const;
  std::vector<std::string> get_table_columns() const;
  void close() const;

  logsetup::Logger* logger;
  std::string schema;  // TOLVANSTORE_SCHEMA at construction
  std::string table;   // TOLVANSTORE_TABLE at construction
};

}  // namespace shared::connectors::tolvanstore
