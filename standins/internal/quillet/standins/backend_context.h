// What the embedded back end's threads share, held in one object rather
// than in hidden process-wide state: the pool of open stores
// (store_pool.h), the write groups of SQLite files (one per file:
// sqlite_write_group.h), the storage engines registered for address
// prefixes (storage_engine.h) and what they count for the operator
// (store_metrics.h). Two contexts share none of it, even over one file.
//
// Who makes one: each front end (the command, the service) makes its own at
// its start, through the operation layer's context
// (quillet/operations/context.h), and passes it down; a test makes its own
// and starts clean.
//
// The process's, Default(), is a contract with hosts only: the functions a
// host calls without a context (RegisterEmbeddedBackend(db_path),
// SetStoreLimit, StopWaiting in embedded_backend.h; RegisterStorageEngine
// in storage_engine.h) use it, so the embedded back end registered for a
// host that names no context serves from the process's pool, write groups,
// engines and counts. Product code below a front end never reaches for it.
//
//   BackendContext context;                     // apart from every other
//   RegisterEmbeddedBackend(context, db_path);  // its managers use its pool
//   BorrowedStore store(context, db_path);      // from the same pool
//
// A context outlives the registrations made with it and the stores taken
// from it.
#pragma once

#include <memory>
#include <string>

#include "quillet/standins/embedded_backend.h"

namespace quillet::standins {

class StorePool;
class StorageOpeners;
class WriteGroups;
struct StoreMetrics;

class BackendContext {
 public:
  BackendContext();
  ~BackendContext();  // closes the stores idle in its pool
  BackendContext(const BackendContext&) = delete;
  BackendContext& operator=(const BackendContext&) = delete;

  // The process's, for hosts (see above): made at its first use, gone at
  // exit.
  static BackendContext& Default();

  StorePool& Stores() { return *stores_; }
  WriteGroups& Groups() { return *groups_; }
  StorageOpeners& Openers() { return *openers_; }
  StoreMetrics& Metrics() { return *metrics_; }

 private:
  // Made first, gone last: the groups and the pool count in them.
  std::unique_ptr<StoreMetrics> metrics_;
  std::unique_ptr<StorageOpeners> openers_;
  std::unique_ptr<WriteGroups> groups_;
  // Made last, gone first: its stores use the groups.
  std::unique_ptr<StorePool> stores_;
};

// RegisterEmbeddedBackend (embedded_backend.h) with `context`'s stores.
void RegisterEmbeddedBackend(BackendContext& context,
                             const std::string& db_path,
                             const EmbeddedBackendOptions& options = {});

// StopWaiting (embedded_backend.h) for `context`'s stores; the waits on
// PostgreSQL servers end process-wide, as a process stops once.
void StopWaiting(BackendContext& context);

}  // namespace quillet::standins
