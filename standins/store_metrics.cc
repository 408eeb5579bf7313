#include "quillet/standins/store_metrics.h"

#include <algorithm>

namespace quillet::standins {

Histogram::Histogram(std::vector<double> bounds)
    : bounds_(std::move(bounds)),
      buckets_(std::make_unique<std::atomic<uint64_t>[]>(bounds_.size() + 1)) {}

void Histogram::Observe(double value) {
  size_t bucket = static_cast<size_t>(
      std::lower_bound(bounds_.begin(), bounds_.end(), value) -
      bounds_.begin());
  buckets_[bucket].fetch_add(1, std::memory_order_relaxed);
  sum_.fetch_add(value, std::memory_order_relaxed);
}

Histogram::Counts Histogram::Read() const {
  Counts counts;
  counts.bounds = bounds_;
  for (size_t i = 0; i <= bounds_.size(); ++i) {
    counts.count += buckets_[i].load(std::memory_order_relaxed);
    if (i < bounds_.size()) counts.cumulative.push_back(counts.count);
  }
  counts.sum = sum_.load(std::memory_order_relaxed);
  return counts;
}

}  // namespace quillet::standins
