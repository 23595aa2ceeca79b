// shared.serve.metrics: the counters, gauges and histograms the HTTP door
// and the queue worker expose in Prometheus's text format (prometheus-cpp's
// registry and serializer; the HTTP side is ours).
#pragma once

#include <map>
#include <memory>
#include <string>

namespace prometheus {
class Registry;
}

namespace shared::serve::metrics {

// The server's metrics: requests by route, method and status code, their
// durations by route, searches by mode, and the gauges of the pipeline's
// state (rows by status, queue depths, index sections and generation),
// which are set before each scrape.
class ServerMetrics {
 public:
  ServerMetrics();
  ~ServerMetrics();
  ServerMetrics(const ServerMetrics&) = delete;
  ServerMetrics& operator=(const ServerMetrics&) = delete;

  void request(const std::string& route, const std::string& method, int status, double seconds);
  void search(const std::string& mode, double seconds);
  // Rows by status; a status seen before and absent now shows 0.
  void documents(const std::map<std::string, long long>& by_status);
  void queue(long waiting, long poison);
  void index(long long sections, long long generation);
  // Every metric in the text format, version 0.0.4.
  std::string text() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// A queue worker's metrics: documents by outcome with their durations,
// documents in flight, failures by the stage that failed, and the time of
// each pipeline stage.
class WorkerMetrics {
 public:
  WorkerMetrics();
  ~WorkerMetrics();
  WorkerMetrics(const WorkerMetrics&) = delete;
  WorkerMetrics& operator=(const WorkerMetrics&) = delete;

  // A document finished with `status` ("PROCESSED", "FAILED", "RETRY", ...).
  void finished(const std::string& status, double seconds);
  void in_flight(long documents);
  // A document's run failed at `stage`.
  void failed_at(const std::string& stage);
  // A pipeline stage ("VALIDATION", "EXTRACTION", ...) of a document took `seconds`.
  void stage(const std::string& stage, double seconds);
  std::string text() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The content type of the text format.
inline constexpr const char* kContentType = "text/plain; version=0.0.4; charset=utf-8";

}  // namespace shared::serve::metrics
