// What the embedded back end counts for the operator's metrics, per back-end
// context (backend_context.h): how many writes each SQLite group commit took
// and how long its COMMIT took, and how long uses waited for a store of the
// pool. Counted without locks; a reader sees each count whole, not all of them
// at one instant.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

namespace quillet::standins {

class Histogram {
 public:
  explicit Histogram(std::vector<double> bounds);
  void Observe(double value);

  struct Counts {
    std::vector<double> bounds;        // upper bounds, rising
    std::vector<uint64_t> cumulative;  // values <= each bound
    uint64_t count = 0;                // every value (the +Inf bucket)
    double sum = 0;
  };
  Counts Read() const;

 private:
  const std::vector<double> bounds_;
  // Values in each bucket alone (the last: above every bound).
  std::unique_ptr<std::atomic<uint64_t>[]> buckets_;
  std::atomic<double> sum_{0};
};

struct StoreMetrics {
  // Writes committed together by one SQLite transaction of a write group.
  Histogram group_writes{{1, 2, 4, 8, 16, 32, 64}};
  // A group's COMMIT, in seconds.
  Histogram commit_seconds{
      {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 1}};
  // A use that found every store of its database busy: its wait, in
  // seconds (also one that ended without a store).
  Histogram pool_wait_seconds{{0.001, 0.01, 0.1, 1, 5, 15}};
  std::atomic<uint64_t> pool_waits_failed{0};  // ended without a store
};

}  // namespace quillet::standins
