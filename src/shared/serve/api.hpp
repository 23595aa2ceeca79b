// shared.serve.api: what the HTTP door answers, apart from HTTP: each route's
// parameters checked, its work done through the library (retrieval, the
// host's rows, trail, queue and deletion), its answer as a JSON record.
// Failures are ApiErrors carrying the status, code and a message fit for
// the caller (no SQL text, no stack, no secret).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "shared/connectors/pg.hpp"
#include "shared/errors.hpp"
#include "shared/record.hpp"
#include "shared/retrieval.hpp"

namespace shared::serve::api {

// A refusal or failure as the caller sees it: the HTTP status, the error's
// code ("bad_request", "not_found", "busy", "unavailable", "internal", ...)
// and its message.
struct ApiError : Error {
  ApiError(int status_code, std::string error_code, const std::string& message)
      : Error(message), status(status_code), code(std::move(error_code)) {}
  int status;
  std::string code;
};

// The query parameters as given (a name may come more than once).
using Params = std::multimap<std::string, std::string>;

// A section key's heading ("{document}::3.2 Execution") split into its
// number ("3.2", "" for none) and heading ("Execution"), and the citation
// "QD-000958 §3.2 Execution" ("QD-000958 §Metadata" without a number).
struct SectionName {
  std::string number, heading, citation;
};
SectionName section_name(std::string_view qd_number, std::string_view document_name, std::string_view section_key);

// The canonical QD-number of a `{qd}` path segment; throws ApiError 400.
std::string qd_of(std::string_view given);

// The error a failure of the library becomes: ApiError as it is; a service
// out of reach (transient errors, a statement past its timeout) 503
// "unavailable"; anything else 500 "internal" with no detail.
ApiError classify(const std::exception& e);

// How a search went, for the metrics.
struct SearchTiming {
  std::string mode;
  double seconds = 0;
};

// Open database connections for statements of its own, at most as many as
// are asked for at once; a connection that broke is not given out again.
// Every statement on them runs under SEARCH_TIMEOUT_S.
class ConnectionPool {
 public:
  class Lease {
   public:
    Lease(ConnectionPool& pool, connectors::pg::PgConn conn) : pool_(pool), conn_(std::move(conn)) {}
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    ~Lease() { pool_.give_back(std::move(conn_)); }
    PGconn* get() const { return conn_.get(); }

   private:
    ConnectionPool& pool_;
    connectors::pg::PgConn conn_;
  };
  Lease lease();

 private:
  void give_back(connectors::pg::PgConn conn);
  std::mutex mu_;
  std::vector<connectors::pg::PgConn> idle_;
};

// The routes' work. One per server, shared by its request threads.
class Service {
 public:
  Service();
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // GET /api/search: q, k (1 to 100, default 10), qd, mode.
  Record search(const Params& params, SearchTiming* timing = nullptr);
  // GET /api/documents: status, q, limit (1 to 200, default 50), after;
  // each row with its loss report.
  Record documents(const Params& params);
  // GET /api/documents/{qd}.
  Record document(const std::string& qd);
  // GET /api/documents/{qd}/sections.
  Record sections(const std::string& qd);
  // GET /api/documents/{qd}/audit (verify: the trail checked against the stores).
  Record audit(const std::string& qd, bool verify);
  // GET /api/queue.
  Record queue();
  // GET /api/overview.
  Record overview();
  // POST /api/documents/{qd}/reprocess: the verdict and why.
  Record reprocess(const std::string& qd);
  // DELETE /api/documents/{qd}: the receipt.
  Record remove(const std::string& qd);
  // Writes the operator request to the document's audit trail in the key's
  // name. Throws when the trail cannot be written.
  void record_operator_request(const std::string& qd, const std::string& key_name, const Record& detail);

  // Whether the database and storage answer: {"ok", "database": {"ok",
  // "reason"}, "storage": {"ok", "reason"}}. Asks both.
  Record check_readiness();

  // What the gauges show: rows by status, index sections and generation.
  struct Counts {
    std::map<std::string, long long> by_status;
    long long index_sections = 0;
    long long index_generation = 0;
  };
  Counts counts();
  // The queue's depth and its poison queue's; nullopt when storage does not answer.
  std::optional<std::pair<long, long>> queue_depth();

 private:
  std::unique_ptr<retrieval::Searcher> take_searcher();
  void give_back(std::unique_ptr<retrieval::Searcher> searcher);
  bool has_row(PGconn* conn, const std::string& qd);

  ConnectionPool pool_;
  std::shared_ptr<retrieval::VectorCache> vectors_;
  std::mutex searchers_mu_;
  std::vector<std::unique_ptr<retrieval::Searcher>> searchers_;
  // The host's library was made for one document at a time per process
  // step: its calls from request threads take turns.
  std::mutex host_mu_;
};

}  // namespace shared::serve::api
