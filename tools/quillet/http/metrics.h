// What the service counts, for GET /metrics in Prometheus' text format
// (0.0.4): the requests in flight; the requests answered, by operation (the
// route's name) and status, each pair with a histogram of its latency; the
// event streams open; and what the back end counted and holds
// (quillet/operations/backend_metrics.h). Thread-safe.
#pragma once

#include <array>
#include <atomic>
#include <map>
#include <string>
#include <utility>

#include "quillet/operations/backend_metrics.h"
#include "runtime/mutex.h"

namespace quillet::cli::http {

class Metrics {
 public:
  void Started() { ++in_flight_; }
  void Abandoned() { --in_flight_; }  // started, never answered
  void Finished(const std::string& op, int status, double seconds);
  void StreamOpened() { ++event_streams_; }  // GET /events streams
  void StreamClosed() { --event_streams_; }
  std::string Text(const operations::BackendMetrics& backend) const;

 private:
  static constexpr std::array<double, 10> kBuckets = {
      0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.5, 2.5};
  struct Latencies {
    std::array<int64_t, kBuckets.size()> cumulative{};  // <= each bucket
    int64_t count = 0;
    double sum = 0;
  };
  std::atomic<int64_t> in_flight_{0};
  std::atomic<int64_t> event_streams_{0};
  mutable Mutex mutex_;
  std::map<std::pair<std::string, int>, Latencies> requests_ GUARDED_BY(mutex_);
};

}  // namespace quillet::cli::http
