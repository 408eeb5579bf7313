#include "http/metrics.h"

#include <sstream>

namespace quillet::cli::http {

void Metrics::Finished(const std::string& op, int status, double seconds) {
  --in_flight_;
  MutexLock lock(mutex_);
  ++requests_[{op, status}];
  for (size_t i = 0; i < kBuckets.size(); ++i)
    if (seconds <= kBuckets[i]) ++buckets_[i];
  ++count_;
  sum_ += seconds;
}

std::string Metrics::Text() const {
  std::ostringstream out;
  MutexLock lock(mutex_);
  out << "# HELP quillet_requests_total Requests by operation and status.\n"
         "# TYPE quillet_requests_total counter\n";
  for (const auto& [key, n] : requests_)
    out << "quillet_requests_total{op=\"" << key.first << "\",status=\""
        << key.second << "\"} " << n << "\n";
  out << "# HELP quillet_request_duration_seconds Time to answer a request.\n"
         "# TYPE quillet_request_duration_seconds histogram\n";
  for (size_t i = 0; i < kBuckets.size(); ++i)
    out << "quillet_request_duration_seconds_bucket{le=\"" << kBuckets[i]
        << "\"} " << buckets_[i] << "\n";
  out << "quillet_request_duration_seconds_bucket{le=\"+Inf\"} " << count_
      << "\nquillet_request_duration_seconds_sum " << sum_
      << "\nquillet_request_duration_seconds_count " << count_ << "\n";
  out << "# HELP quillet_requests_in_flight Requests being answered now.\n"
         "# TYPE quillet_requests_in_flight gauge\n"
         "quillet_requests_in_flight "
      << in_flight_.load() << "\n";
  return out.str();
}

}  // namespace quillet::cli::http
