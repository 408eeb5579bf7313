#include "http/metrics.h"

#include <sstream>

namespace quillet::cli::http {
namespace {

void Header(std::ostream& out, const char* name, const char* type,
            const char* help) {
  out << "# HELP " << name << " " << help << "\n# TYPE " << name << " " << type
      << "\n";
}

// One histogram's series; `labels` ends with a comma when not empty.
template <class Bounds, class Cumulative>
void Series(std::ostream& out, const char* name, const std::string& labels,
            const Bounds& bounds, const Cumulative& cumulative, uint64_t count,
            double sum) {
  for (size_t i = 0; i < bounds.size(); ++i)
    out << name << "_bucket{" << labels << "le=\"" << bounds[i] << "\"} "
        << cumulative[i] << "\n";
  std::string plain =
      labels.empty() ? "" : "{" + labels.substr(0, labels.size() - 1) + "}";
  out << name << "_bucket{" << labels << "le=\"+Inf\"} " << count << "\n"
      << name << "_sum" << plain << " " << sum << "\n"
      << name << "_count" << plain << " " << count << "\n";
}

void Histogram(std::ostream& out, const char* name, const char* help,
               const operations::HistogramCounts& h) {
  Header(out, name, "histogram", help);
  Series(out, name, "", h.bounds, h.cumulative, h.count, h.sum);
}

}  // namespace

void Metrics::Finished(const std::string& op, int status, double seconds) {
  --in_flight_;
  MutexLock lock(mutex_);
  Latencies& latencies = requests_[{op, status}];
  for (size_t i = 0; i < kBuckets.size(); ++i)
    if (seconds <= kBuckets[i]) ++latencies.cumulative[i];
  ++latencies.count;
  latencies.sum += seconds;
}

std::string Metrics::Text(const operations::BackendMetrics& backend) const {
  std::ostringstream out;
  {
    MutexLock lock(mutex_);
    Header(out, "quillet_requests_total", "counter",
           "Requests answered, by operation and status.");
    for (const auto& [key, latencies] : requests_)
      out << "quillet_requests_total{op=\"" << key.first << "\",status=\""
          << key.second << "\"} " << latencies.count << "\n";
    Header(out, "quillet_request_duration_seconds", "histogram",
           "Time to answer a request, by operation and status.");
    for (const auto& [key, latencies] : requests_)
      Series(out, "quillet_request_duration_seconds",
             "op=\"" + key.first + "\",status=\"" + std::to_string(key.second) +
                 "\",",
             kBuckets, latencies.cumulative,
             static_cast<uint64_t>(latencies.count), latencies.sum);
  }
  Header(out, "quillet_requests_in_flight", "gauge",
         "Requests being answered now.");
  out << "quillet_requests_in_flight " << in_flight_.load() << "\n";
  Header(out, "quillet_event_streams", "gauge",
         "Event streams (GET /events as Server-Sent Events) open now.");
  out << "quillet_event_streams " << event_streams_.load() << "\n";
  Histogram(out, "quillet_write_group_writes",
            "Writes committed together by one SQLite transaction.",
            backend.group_writes);
  Histogram(out, "quillet_write_group_commit_seconds",
            "Time of a write group's COMMIT.", backend.commit_seconds);
  Histogram(out, "quillet_store_pool_wait_seconds",
            "Time a request waited for a database connection of the pool, "
            "when every one was in use.",
            backend.pool_wait_seconds);
  Header(out, "quillet_store_pool_wait_failures_total", "counter",
         "Waits for a database connection that ended without one.");
  out << "quillet_store_pool_wait_failures_total " << backend.pool_waits_failed
      << "\n";
  if (!backend.rows.empty()) {
    Header(out, "quillet_backend_rows", "gauge",
           "Rows stored, by table (request_keys: the request keys kept).");
    for (const auto& [table, rows] : backend.rows)
      out << "quillet_backend_rows{table=\"" << table << "\"} " << rows << "\n";
  }
  if (backend.database_bytes) {
    Header(out, "quillet_database_bytes", "gauge",
           "The SQLite database file and its write-ahead log.");
    out << "quillet_database_bytes " << *backend.database_bytes << "\n";
  }
  return out.str();
}

}  // namespace quillet::cli::http
