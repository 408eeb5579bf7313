// What the service counts, for GET /metrics in Prometheus' text format:
// requests by operation and status, a latency histogram, and the requests
// in flight. Thread-safe.
#pragma once

#include <array>
#include <atomic>
#include <map>
#include <string>
#include <utility>

#include "runtime/mutex.h"

namespace quillet::cli::http {

class Metrics {
 public:
  void Started() { ++in_flight_; }
  void Abandoned() { --in_flight_; }  // started, never answered
  void Finished(const std::string& op, int status, double seconds);
  std::string Text() const;

 private:
  static constexpr std::array<double, 10> kBuckets = {
      0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.5, 2.5};
  std::atomic<int64_t> in_flight_{0};
  mutable Mutex mutex_;
  std::map<std::pair<std::string, int>, int64_t> requests_ GUARDED_BY(mutex_);
  std::array<int64_t, kBuckets.size()> buckets_ GUARDED_BY(mutex_){};
  int64_t count_ GUARDED_BY(mutex_) = 0;
  double sum_ GUARDED_BY(mutex_) = 0;
};

}  // namespace quillet::cli::http
