// What the embedded back end's threads share, held in one object rather
// than in hidden process-wide state: the pool of open stores
// (store_pool.h), the write groups of SQLite files (one per file:
// sqlite_write_group.h) and the storage engines registered for address
// prefixes (storage_engine.h). A test makes its own and starts clean; the
// functions that take none (RegisterEmbeddedBackend, TakeStore,
// RegisterStorageEngine, ...) use the process's, Default(), as hosts do.
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

class BackendContext {
 public:
  BackendContext();
  ~BackendContext();  // closes the stores idle in its pool
  BackendContext(const BackendContext&) = delete;
  BackendContext& operator=(const BackendContext&) = delete;

  // The process's: made at its first use, gone at exit.
  static BackendContext& Default();

  StorePool& Stores() { return *stores_; }
  WriteGroups& Groups() { return *groups_; }
  StorageOpeners& Openers() { return *openers_; }

 private:
  std::unique_ptr<StorageOpeners> openers_;
  std::unique_ptr<WriteGroups> groups_;
  // Made last, gone first: its stores use the groups.
  std::unique_ptr<StorePool> stores_;
};

// RegisterEmbeddedBackend (embedded_backend.h) with `context`'s stores.
void RegisterEmbeddedBackend(BackendContext& context,
                             const std::string& db_path,
                             const EmbeddedBackendOptions& options = {});

}  // namespace quillet::standins
