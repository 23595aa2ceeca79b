// shared.connectors.audit: the append-only audit trail in the metadata
// database. One row per event of a document's life: what was ingested,
// which artefact was written (with its size, SHA-256 and ETag), how many
// index rows it got, what was deleted and whether the deletion was
// verified, and what failed. Rows are only ever inserted: the table refuses
// UPDATE, DELETE and TRUNCATE itself, so a trail cannot be rewritten by the
// pipeline or by a slip at the SQL prompt.
//
// The functions run on the caller's connection, so the host pays no
// connection per document.
#pragma once

#include <libpq-fe.h>

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "shared/record.hpp"

namespace shared::connectors::audit {

// The actions an event may carry.
inline constexpr std::string_view INGESTED = "ingested";
inline constexpr std::string_view ARTEFACT_WRITTEN = "artefact_written";
inline constexpr std::string_view INDEXED = "indexed";
inline constexpr std::string_view DELETED = "deleted";
inline constexpr std::string_view DELETION_VERIFIED = "deletion_verified";
inline constexpr std::string_view FAILED = "failed";
// An operator route of the HTTP door was asked for the document.
inline constexpr std::string_view OPERATOR_REQUEST = "operator_request";

struct Event {
  std::string document_number;
  std::string action;
  std::string blob_path;  // "" for events without a blob
  std::optional<long long> size;
  std::string sha256;
  std::string etag;
  std::string source_etag;
  std::optional<long long> index_rows;
  Record detail;  // null, or an object with what else belongs to the event
};

// Who wrote the events: the host user, the machine and the pipeline's version.
struct Writer {
  std::string host_user;
  std::string machine;
  std::string version;
};
// The current process's user, machine name and version.
Writer this_process();

// Creates the table (named by `table`, a plain identifier with an optional
// schema) and its guard against changes when missing. Safe when several
// processes start at once.
void ensure_table(PGconn* conn, std::string_view table);

// Inserts the events in one transaction, in order, after ensure_table (once
// per process and table). Throws ValueError for an unknown action or an
// event without a document number, DatabaseError when the server refuses.
void append(PGconn* conn, std::string_view table, const std::vector<Event>& events,
            const Writer& writer = this_process());

// The document's events, oldest first, each row as a record of the table's
// columns (id, recorded_at, host_user, machine, document_number, action,
// blob_path, size_bytes, sha256, etag, source_etag, index_rows,
// pipeline_version, detail). None when the table does not exist.
std::vector<Record> history(PGconn* conn, std::string_view table, std::string_view document_number);

// For each of `paths` that the trail records as a live artefact, the
// document it belongs to: the document of the path's newest "ingested" or
// "artefact_written" event (a later write by another document replaced
// what an earlier one wrote), unless that document's own "deleted" event
// for the path came after it. One statement over the paths alone (an index
// on blob_path serves it); none when the table does not exist.
std::map<std::string, std::string> live_owners(PGconn* conn, std::string_view table,
                                               const std::vector<std::string>& paths);

// The artefacts the trail says exist now: for each blob path, its newest
// "ingested" or "artefact_written" event, unless a "deleted" event for the
// path came after it. In path order of their first appearance.
std::vector<Record> live_artefacts(const std::vector<Record>& history);

}  // namespace shared::connectors::audit
