// The operator's view of the back end, without writing anything but what
// is asked: `backend status` (what is stored, and whether a write would be
// taken), `backend keys` (request keys listed, or pruned by age) and
// `backend health` (the service's readiness check, from the command line).
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include "quillet/operations/backend.h"

namespace quillet::operations {

// Each opens the database as it needs (the reads without creating or
// changing it) and raises the back end's Error when it cannot be used.

// Prints the facts and whether a write would be taken; for a database
// server, also its replication: version, whether it is a standby, what a
// COMMIT waits for, each standby with its sync state and replay lag, and
// warnings in words (writes that would stall, answered calls a failover
// could lose). Reads only.
void PrintStatus(std::ostream& out, const BackendSetup& backend, bool json);

// Lists up to `limit` keys after `after` (all when nullopt), in key order.
void PrintKeys(std::ostream& out, const BackendSetup& backend,
               const std::optional<std::string>& after,
               std::optional<int64_t> limit, bool json);

// Removes the request keys made more than `days` days ago; answers how
// many went.
int64_t PruneKeys(const BackendSetup& backend, int64_t days);

// Raises, saying why, unless the database would take a write now.
void CheckHealth(const BackendSetup& backend);

// For a database server whose commits wait for more synchronous standbys
// than are connected (every write would stall), says so in words; else "".
std::string CommitWaitWarning(const BackendSetup& backend);

// Loads master data from a JSON text, checked whole before the database is
// opened (a malformed text changes nothing); answers the rows loaded.
int LoadMasterData(const BackendSetup& backend, const std::string& json_text);

// Brings a database of an earlier Quillet up to date and answers its schema
// version. Raises UsageError, creating nothing, when there is no database
// file to bring up to date.
int32_t MigrateDatabase(const BackendSetup& backend);

}  // namespace quillet::operations
