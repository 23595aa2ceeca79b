#include "shared/serve/metrics.hpp"

#include <prometheus/counter.h>
#include <prometheus/family.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include <mutex>
#include <set>

namespace shared::serve::metrics {

namespace {

// From 1 ms to 10 s: a search is tens of milliseconds, a deletion seconds.
const prometheus::Histogram::BucketBoundaries& request_buckets() {
  static const prometheus::Histogram::BucketBoundaries b = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1,
                                                            0.25,  0.5,    1,     2.5,  5,     10};
  return b;
}

// Stages take from milliseconds to the minutes of a model's summary.
const prometheus::Histogram::BucketBoundaries& stage_buckets() {
  static const prometheus::Histogram::BucketBoundaries b = {0.01, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60, 300};
  return b;
}

}  // namespace

struct ServerMetrics::Impl {
  std::shared_ptr<prometheus::Registry> registry = std::make_shared<prometheus::Registry>();
  prometheus::Family<prometheus::Counter>& requests =
      prometheus::BuildCounter().Name("kesto_http_requests_total").Help("HTTP requests answered, by route, method and status code").Register(*registry);
  prometheus::Family<prometheus::Histogram>& durations =
      prometheus::BuildHistogram().Name("kesto_http_request_duration_seconds").Help("Time to answer a request, by route").Register(*registry);
  prometheus::Family<prometheus::Histogram>& searches =
      prometheus::BuildHistogram().Name("kesto_search_duration_seconds").Help("Time of a search, by the ranking used").Register(*registry);
  prometheus::Family<prometheus::Gauge>& documents =
      prometheus::BuildGauge().Name("kesto_documents").Help("Rows of the metadata table, by status").Register(*registry);
  prometheus::Gauge& queue_messages = prometheus::BuildGauge()
                                          .Name("kesto_queue_messages")
                                          .Help("Messages in the work queue (approximate, taken ones included)")
                                          .Register(*registry)
                                          .Add({});
  prometheus::Gauge& poison_messages = prometheus::BuildGauge()
                                           .Name("kesto_poison_messages")
                                           .Help("Messages in the poison queue (approximate)")
                                           .Register(*registry)
                                           .Add({});
  prometheus::Gauge& index_sections =
      prometheus::BuildGauge().Name("kesto_index_sections").Help("Sections in the index").Register(*registry).Add({});
  prometheus::Gauge& index_generation = prometheus::BuildGauge()
                                            .Name("kesto_index_generation")
                                            .Help("Changes to the index's set of stored embeddings")
                                            .Register(*registry)
                                            .Add({});
  std::mutex mu;
  std::set<std::string> statuses_seen;
};

ServerMetrics::ServerMetrics() : impl_(std::make_unique<Impl>()) {}
ServerMetrics::~ServerMetrics() = default;

void ServerMetrics::request(const std::string& route, const std::string& method, int status, double seconds) {
  impl_->requests.Add({{"route", route}, {"method", method}, {"code", std::to_string(status)}}).Increment();
  impl_->durations.Add({{"route", route}}, request_buckets()).Observe(seconds);
}

void ServerMetrics::search(const std::string& mode, double seconds) {
  impl_->searches.Add({{"mode", mode}}, request_buckets()).Observe(seconds);
}

void ServerMetrics::documents(const std::map<std::string, long long>& by_status) {
  std::lock_guard lock(impl_->mu);
  for (const auto& [status, n] : by_status) impl_->statuses_seen.insert(status);
  for (const std::string& status : impl_->statuses_seen) {
    const auto it = by_status.find(status);
    impl_->documents.Add({{"status", status}}).Set(it == by_status.end() ? 0.0 : static_cast<double>(it->second));
  }
}

void ServerMetrics::queue(long waiting, long poison) {
  impl_->queue_messages.Set(static_cast<double>(waiting));
  impl_->poison_messages.Set(static_cast<double>(poison));
}

void ServerMetrics::index(long long sections, long long generation) {
  impl_->index_sections.Set(static_cast<double>(sections));
  impl_->index_generation.Set(static_cast<double>(generation));
}

std::string ServerMetrics::text() const { return prometheus::TextSerializer().Serialize(impl_->registry->Collect()); }

struct WorkerMetrics::Impl {
  std::shared_ptr<prometheus::Registry> registry = std::make_shared<prometheus::Registry>();
  prometheus::Family<prometheus::Counter>& documents = prometheus::BuildCounter()
                                                           .Name("kesto_worker_documents_total")
                                                           .Help("Documents the worker finished, by outcome")
                                                           .Register(*registry);
  prometheus::Family<prometheus::Histogram>& durations = prometheus::BuildHistogram()
                                                             .Name("kesto_worker_document_duration_seconds")
                                                             .Help("Time of a document, by outcome")
                                                             .Register(*registry);
  prometheus::Gauge& in_flight =
      prometheus::BuildGauge().Name("kesto_worker_in_flight").Help("Documents running now").Register(*registry).Add({});
  prometheus::Family<prometheus::Counter>& failures = prometheus::BuildCounter()
                                                         .Name("kesto_worker_failures_total")
                                                         .Help("Documents whose run failed, by the failing stage")
                                                         .Register(*registry);
  prometheus::Family<prometheus::Histogram>& stages = prometheus::BuildHistogram()
                                                          .Name("kesto_worker_stage_duration_seconds")
                                                          .Help("Time of a pipeline stage of a document, by stage")
                                                          .Register(*registry);
};

WorkerMetrics::WorkerMetrics() : impl_(std::make_unique<Impl>()) {}
WorkerMetrics::~WorkerMetrics() = default;

void WorkerMetrics::finished(const std::string& status, double seconds) {
  impl_->documents.Add({{"status", status}}).Increment();
  impl_->durations.Add({{"status", status}}, stage_buckets()).Observe(seconds);
}

void WorkerMetrics::in_flight(long documents) { impl_->in_flight.Set(static_cast<double>(documents)); }

void WorkerMetrics::failed_at(const std::string& stage) { impl_->failures.Add({{"stage", stage}}).Increment(); }

void WorkerMetrics::stage(const std::string& stage, double seconds) {
  impl_->stages.Add({{"stage", stage}}, stage_buckets()).Observe(seconds);
}

std::string WorkerMetrics::text() const { return prometheus::TextSerializer().Serialize(impl_->registry->Collect()); }

}  // namespace shared::serve::metrics
