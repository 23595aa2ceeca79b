// A queue worker's metrics served on a port of their own.
#include "shared/serve/metrics.hpp"

#include <gtest/gtest.h>
#include <httplib.h>

#include "shared/serve/http.hpp"

namespace {

TEST(WorkerMetrics, ServedAtMetricsWithTheirCounts) {
  shared::serve::metrics::WorkerMetrics metrics;
  shared::serve::http::MetricsServer door("127.0.0.1:0", [&metrics] { return metrics.text(); });
  metrics.finished("PROCESSED", 0.4);
  metrics.finished("PROCESSED", 1.2);
  metrics.finished("RETRY", 0.1);
  metrics.failed_at("extraction");
  metrics.in_flight(3);
  httplib::Client c("127.0.0.1", door.port());
  c.set_read_timeout(10);
  const auto r = c.Get("/metrics");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  EXPECT_EQ(r->get_header_value("Content-Type").rfind("text/plain; version=0.0.4", 0), 0u);
  for (const std::string line : {"kesto_worker_documents_total{status=\"PROCESSED\"} 2",
                                 "kesto_worker_documents_total{status=\"RETRY\"} 1",
                                 "kesto_worker_failures_total{stage=\"extraction\"} 1", "kesto_worker_in_flight 3",
                                 "kesto_worker_document_duration_seconds_count{status=\"PROCESSED\"} 2"}) {
    EXPECT_NE(r->body.find(line + "\n"), std::string::npos) << line << "\n" << r->body;
  }
  const auto other = c.Get("/api/search");
  ASSERT_TRUE(other);
  EXPECT_EQ(other->status, 404);
  EXPECT_EQ(other->body.rfind("{\"error\":{\"code\":\"not_found\"", 0), 0u) << other->body;
  // The port has no key: a body or another method is refused, and the
  // counters are still served after.
  const auto posted = c.Post("/metrics", std::string(1 << 20, 'x'), "text/plain");
  if (posted) {
    EXPECT_GE(posted->status, 400);
    EXPECT_EQ(posted->body.find("kesto_worker"), std::string::npos);
  }
  const auto again = c.Get("/metrics");
  ASSERT_TRUE(again);
  EXPECT_EQ(again->status, 200);
  EXPECT_THROW(shared::serve::http::MetricsServer("nonsense", [] { return std::string(); }), std::exception);
}

}  // namespace
