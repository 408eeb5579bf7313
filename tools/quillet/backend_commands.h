// The operator's view of the back end, without writing anything but what
// is asked: `backend status` (what is stored, and whether a write would be
// taken), `backend keys` (request keys listed, or pruned by age) and
// `backend health` (the service's readiness check, from the command line).
#pragma once

#include <optional>
#include <ostream>
#include <string>

#include "quillet/standins/backend_store.h"

namespace quillet::cli {

// Prints the facts; `writable` is the readiness check's answer.
void PrintStatus(std::ostream& out, standins::BackendStore& store, bool json);

// Lists up to `limit` keys after `after` (all when nullopt), in key order.
void PrintKeys(std::ostream& out, standins::BackendStore& store,
               const std::optional<std::string>& after,
               std::optional<int64_t> limit, bool json);

}  // namespace quillet::cli
