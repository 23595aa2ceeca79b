// shared.connectors.pg: the thin layer over libpq that the database
// connectors share: owned handles, connections from parameters, statements
// written with "%s" markers and bound values, rows as ordered records, a
// rollback-unless-committed transaction guard, identifier checks, and the
// Python-style renderings of values used in the diagnostic lines.
#pragma once

#include <libpq-fe.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "shared/handles.hpp"
#include "shared/record.hpp"

namespace shared::connectors::pg {

using handles::CFree;
using PgConn = std::unique_ptr<PGconn, CFree<PQfinish>>;
using PgResult = std::unique_ptr<PGresult, CFree<PQclear>>;

// What a connection is opened with; empty texts are not passed to libpq.
struct ConnectParams {
  std::string host, port, dbname, user, password;
  std::string sslmode;                 // e.g. "require"; "" for libpq's default
  std::optional<int> connect_timeout;  // seconds; absent for none
};

// Opens a connection (UTF-8 client encoding, ISO dates, notices discarded so
// that nothing but log lines reaches standard error). Throws DatabaseError
// with libpq's message when the connection cannot be made.
PgConn connect(const ConnectParams& params);

// A statement as built and logged, with "%s" where each value is bound.
struct Statement {
  std::string text;
  std::vector<Record> values;
};

// The statement with every "%s" replaced by libpq's "$1", "$2", … and every
// "%%" by "%"; `count` receives the number of markers. Throws ValueError for
// any other use of "%".
std::string translate_placeholders(std::string_view text, std::size_t* count = nullptr);

// The text handed to libpq for one bound value (nullopt for SQL NULL):
// strings as they are, numbers in their shortest form, booleans as
// "true"/"false", objects and arrays as JSON. Throws ValueError for a string
// holding a NUL character, which PostgreSQL cannot store.
std::optional<std::string> param_text(const Record& value);

// Runs the statement with its values bound in order. Throws ValueError when
// the number of values differs from the number of markers, DatabaseError
// (with its SQLSTATE) when the server or the connection fails.
PgResult execute(PGconn* conn, std::string_view text, const std::vector<Record>& values = {});
PgResult execute(PGconn* conn, const Statement& statement);

// One field converted by its column type: integers, floating and numeric
// values as numbers, booleans, json/jsonb parsed, timestamps and times as ISO
// 8601 text ("2024-05-01T08:30:00.5+00:00"), one-dimensional arrays of those
// as arrays, everything else as its text.
Record convert_value(Oid type, std::string_view text);

// Row `row` as a record of its columns in column order (NULL as null).
Record row_record(const PGresult* result, int row);
std::vector<Record> all_rows(const PGresult* result);
std::optional<Record> first_row(const PGresult* result);
// The server's row count of the command: rows inserted, updated, deleted
// or selected (0 for commands without one).
std::size_t affected_rows(const PGresult* result);

// BEGIN now; ROLLBACK when destroyed unless commit() succeeded.
class Transaction {
 public:
  explicit Transaction(PGconn* conn);
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  ~Transaction() noexcept;
  // Throws DatabaseError when the commit fails (the transaction is then over).
  void commit();

 private:
  PGconn* conn_;
  bool done_ = false;
};

// Letters, digits and underscores, not starting with a digit; with
// `allow_schema`, optionally one "schema." in front.
bool is_plain_identifier(std::string_view name, bool allow_schema = false);

// Throws ValueError "Invalid {what}: {repr(name)} is not a plain SQL
// identifier (…)" unless is_plain_identifier(name, allow_schema).
void check_identifier(std::string_view name, std::string_view what, bool allow_schema = false);

// Python's repr of a value: 'text', 42, 1.5, True, None, {'k': 'v'}, [1, 2].
std::string repr(const Record& value);
// A tuple of values: ('QD-000958', 'Title', None); one value as ('x',).
std::string repr_tuple(const std::vector<Record>& values);
// A list of names: ['document_number', 'document_name'].
std::string repr_list(const std::vector<std::string>& names);

}  // namespace shared::connectors::pg
