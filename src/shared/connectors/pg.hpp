// shared.connectors.pg: the thin layer over libpq that the database
// connectors share: owned handles, connections from parameters, statements
// written with "%s" markers and bound values, rows as ordered records, a
// rollback-unless-committed transaction guard, identifier checks, and the
// Python-style renderings of values used in the diagnostic lines.
#pragma once

#include <libpq-fe.h>

#include <cstddef>
#include <cstdint>
#include <exception>
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
  // The password is a Microsoft Entra ID token of the process's credential
  // (scope https://ossrdbms-aad.database.windows.net/.default), got anew
  // (from its cache) for this connection; `password` is not used.
  bool entra_token = false;
};

// Opens a connection (UTF-8 client encoding, ISO dates, notices discarded so
// that nothing but log lines reaches standard error). Throws DatabaseError
// with libpq's message when the connection cannot be made, or what the
// credential throws when no token can be had.
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

// Advisory locks. Every lock of the system is keyed by the 64-bit hash of
// its name, hashtextextended(name, 0), so that one name is one lock in
// every process and every statement that takes it.

// Waits for the transaction-level lock of `name`, held until the caller's
// transaction ends. Throws DatabaseError.
void advisory_xact_lock(PGconn* conn, std::string_view name);
// Takes the session-level lock of `name` when no other session holds it;
// whether it was taken. Throws DatabaseError.
bool try_advisory_lock(PGconn* conn, std::string_view name);
// Releases one hold of the session-level lock of `name`. Throws DatabaseError.
void advisory_unlock(PGconn* conn, std::string_view name);

// Session-level advisory locks on a connection that `Session` keeps and
// opens again after a break, taken all or none and released when the guard
// goes. `Session` offers with_conn(fn) (fn(PGconn*) on the kept connection,
// once more on a new one when it broke) and generation() (how many
// connections it has opened so far): locks taken at one generation went
// with their connection once it moves on.
template <class Session>
class AdvisoryLock {
 public:
  explicit AdvisoryLock(Session& session) : session_(session) {}
  AdvisoryLock(const AdvisoryLock&) = delete;
  AdvisoryLock& operator=(const AdvisoryLock&) = delete;
  ~AdvisoryLock() { release(); }

  // Takes every lock of `names`; false (holding none) when one is held
  // elsewhere. Throws DatabaseError when the database cannot be reached.
  bool try_lock(const std::vector<std::string>& names) {
    generation_ = session_.generation();
    for (const std::string& name : names) {
      if (!session_.with_conn([&](PGconn* c) { return try_advisory_lock(c, name); })) {
        release();
        return false;
      }
      held_.push_back(name);
    }
    if (intact()) return true;
    release();
    return false;
  }

  // Whether the locks are still held: they went with the connection that
  // took them if it broke and another was opened since.
  bool intact() noexcept {
    try {
      return !held_.empty() && session_.generation() == generation_;
    } catch (const std::exception&) {
      return false;
    }
  }

 private:
  void release() noexcept {
    for (const std::string& name : held_) {
      try {
        session_.with_conn([&](PGconn* c) {
          advisory_unlock(c, name);
          return 0;
        });
      } catch (const std::exception&) {
        // A lock on a connection that broke is already released.
      }
    }
    held_.clear();
  }

  Session& session_;
  std::vector<std::string> held_;
  std::uint64_t generation_ = 0;
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
