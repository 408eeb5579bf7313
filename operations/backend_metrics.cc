#include "quillet/operations/backend_metrics.h"

#include <sys/stat.h>

#include "context_parts.h"
#include "quillet/error.h"
#include "quillet/standins/store_metrics.h"
#include "reading_store.h"

namespace quillet::operations {
namespace {

HistogramCounts CountsOf(const standins::Histogram& histogram) {
  standins::Histogram::Counts c = histogram.Read();
  return {std::move(c.bounds), std::move(c.cumulative), c.count, c.sum};
}

std::optional<int64_t> FileBytes(const std::string& path) {
  struct stat file {};
  if (::stat(path.c_str(), &file) != 0) return std::nullopt;
  return static_cast<int64_t>(file.st_size);
}

}  // namespace

BackendMetrics ReadBackendMetrics(const BackendSetup& backend) {
  standins::StoreMetrics& counted = BackendOf(backend).Metrics();
  BackendMetrics metrics;
  metrics.group_writes = CountsOf(counted.group_writes);
  metrics.commit_seconds = CountsOf(counted.commit_seconds);
  metrics.pool_wait_seconds = CountsOf(counted.pool_wait_seconds);
  metrics.pool_waits_failed = counted.pool_waits_failed.load();
  try {
    standins::StoreFacts facts = Reading(backend)->Facts();
    metrics.rows = {{"calls", facts.calls},
                    {"items", facts.items},
                    {"request_keys", facts.request_keys}};
  } catch (const Error&) {
    // Said by the metrics' absence; the readiness check says why.
  }
  if (!IsServerAddress(backend.db))
    if (std::optional<int64_t> file = FileBytes(backend.db))
      metrics.database_bytes =
          *file + FileBytes(backend.db + "-wal").value_or(0);
  return metrics;
}

}  // namespace quillet::operations
