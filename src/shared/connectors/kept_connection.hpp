// A connection to the metadata database (the PG* settings) kept for the life
// of the process and opened again after a break, so that work repeated per
// document pays for one TLS handshake per process, not one per statement.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "shared/config.hpp"
#include "shared/connectors/mainstore.hpp"
#include "shared/connectors/pg.hpp"
#include "shared/errors.hpp"

namespace shared::connectors::mainstore {

class KeptConnection {
 public:
  // The connection for the holder alone until the lease goes.
  class Lease {
   public:
    PGconn* get() const { return conn_; }

   private:
    friend class KeptConnection;
    Lease(std::unique_lock<std::mutex> lock, PGconn* conn) : lock_(std::move(lock)), conn_(conn) {}
    std::unique_lock<std::mutex> lock_;
    PGconn* conn_;
  };

  // The kept connection, opened first when there is none yet or it broke.
  // Throws DatabaseError when it cannot be opened.
  Lease lease() {
    std::unique_lock lock(mu_);
    PGconn* c = usable();
    return Lease(std::move(lock), c);
  }

  // How many connections the process has opened so far, after looking
  // whether the kept one still stands (and opening another when it broke).
  // Session state taken at one count is gone once the count moves on.
  // Throws DatabaseError when no connection can be opened.
  std::uint64_t generation() {
    std::lock_guard lock(mu_);
    usable();
    return opened_;
  }

  // Runs `fn(conn)` with the connection to itself; when the connection turns
  // out to be broken, opens a new one and runs `fn` once more. Session state
  // (advisory locks, an open transaction) is gone with a broken connection,
  // so `fn` must be whole on its own: one transaction, or statements that
  // take no lock or whose lock was not held yet.
  template <class F>
  auto with_conn(F&& fn) -> decltype(fn(static_cast<PGconn*>(nullptr))) {
    std::lock_guard lock(mu_);
    for (int attempt = 0;; ++attempt) {
      PGconn* c = usable();
      try {
        return fn(c);
      } catch (const DatabaseError&) {
        if (attempt > 0 || PQstatus(conn_.get()) == CONNECTION_OK) throw;
        conn_.reset();
      }
    }
  }

 private:
  // Under mu_: the connection to the configured server, opened again when
  // it broke. A server that went away has closed the socket, which reading
  // what is waiting on it (it never blocks) reveals before a statement fails.
  PGconn* usable() {
    const auto& s = config::get();
    // Settings replaced in the process (tests, tools) may name another server.
    const std::string target = s.PGHOST + '\n' + s.PGPORT + '\n' + s.PGDATABASE + '\n' + s.PGUSER;
    if (target != target_) conn_.reset();
    if (conn_) PQconsumeInput(conn_.get());
    if (!conn_ || PQstatus(conn_.get()) != CONNECTION_OK) {
      conn_.reset();
      conn_ = get_conn();
      target_ = target;
      ++opened_;
    }
    return conn_.get();
  }

  std::mutex mu_;
  pg::PgConn conn_;
  std::string target_;
  std::uint64_t opened_ = 0;
};

}  // namespace shared::connectors::mainstore
