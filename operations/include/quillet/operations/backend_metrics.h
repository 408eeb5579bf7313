// What the back end counted in this process, and the size of what it
// stores, for the operator's metrics (GET /metrics).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "quillet/operations/backend.h"

namespace quillet::operations {

struct HistogramCounts {
  std::vector<double> bounds;        // upper bounds, rising
  std::vector<uint64_t> cumulative;  // values <= each bound
  uint64_t count = 0;                // every value
  double sum = 0;
};

struct BackendMetrics {
  HistogramCounts group_writes;       // writes per SQLite group commit
  HistogramCounts commit_seconds;     // a group's COMMIT
  HistogramCounts pool_wait_seconds;  // waits for a store of the pool
  uint64_t pool_waits_failed = 0;     // waits that ended without one
  // Rows of the stored tables by name ("calls", "items", "request_keys");
  // empty when the database could not be read.
  std::vector<std::pair<std::string, int64_t>> rows;
  // A SQLite database's file and write-ahead log, in bytes.
  std::optional<int64_t> database_bytes;
};

// The counts, and the tables read from the database (a store of the pool;
// a failure to read leaves `rows` empty, never raises).
BackendMetrics ReadBackendMetrics(const BackendSetup& backend);

}  // namespace quillet::operations
