// A back-end context's open stores (backend_store.h, backend_context.h), per
// database, shared by every thread: opening a store (a connection, its
// schema checked) costs more than a submit, so a store is handed from one
// use to the next, whichever thread asks. At most a limit of stores per
// database are open at once (a server's connections stay bounded); a use
// that finds all of them busy waits for one up to kStoreWaitSeconds, then
// fails as busy (FailureKind::kRetryLater) with nothing written. For the
// process's context, how many may be open (SetStoreLimit) and the end of
// every wait (StopWaiting) are set through embedded_backend.h; for another,
// through its Stores() and StopWaiting(context) (backend_context.h).
//
//   {
//     BorrowedStore store(context, "postgresql://db-host/quillet");  // taken
//     store->Call("SC000042");
//   }                                                    // handed back
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "quillet/standins/backend_context.h"
#include "quillet/standins/backend_store.h"
#include "quillet/standins/embedded_backend.h"
#include "runtime/mutex.h"

namespace quillet::standins {

inline constexpr int kStoreWaitSeconds = 15;

class StorePool {
 public:
  // Its stores are opened on `context`'s engines.
  explicit StorePool(BackendContext& context) : context_(context) {}
  ~StorePool();
  StorePool(const StorePool&) = delete;
  StorePool& operator=(const StorePool&) = delete;

  // A store from the pool. When none idle serves the use, a new one is
  // opened as `open` says: for writing (the schema made or brought up to
  // date), or for reading or as it is (a missing or out-of-date database is
  // refused, nothing is made or changed). An idle store opened for writing
  // serves any use; one opened as it is (kAsIs) serves such uses and reads.
  // Raises kBackendError when none can be had.
  std::unique_ptr<BackendStore> Take(const std::string& where, OpenMode open)
      EXCLUDES(mutex_);
  // Hands a store back: kept for the next use when it was opened for
  // writing or as it is, closed when it was opened for reading.
  void GiveBack(const std::string& where, std::unique_ptr<BackendStore> store)
      EXCLUDES(mutex_);
  // Every wait for a store ends, now and from now on.
  void Stop() EXCLUDES(mutex_);
  // How many stores per database may be open at once (at least 1).
  void SetLimit(size_t limit) EXCLUDES(mutex_);

 private:
  struct Idle {
    std::unique_ptr<BackendStore> store;
    OpenMode open;  // as it was opened
  };
  struct Database {
    std::vector<Idle> idle;
    size_t open = 0;
    bool was_open = false;  // a store of it was replaced: it existed
  };

  static bool Serves(OpenMode opened, OpenMode use);
  // After a fork the child starts with no stores of its own.
  void Forked() REQUIRES(mutex_);
  void Forget() REQUIRES(mutex_);

  BackendContext& context_;
  Mutex mutex_;
  CondVar freed_;  // a store handed back or closed, or the limit raised
  pid_t owner_ GUARDED_BY(mutex_) = getpid();
  size_t limit_ GUARDED_BY(mutex_) = kDefaultStoreLimit;
  bool stopping_ GUARDED_BY(mutex_) = false;
  std::map<std::string, Database> databases_ GUARDED_BY(mutex_);
  // The stores handed out, with how each was opened.
  std::map<const BackendStore*, OpenMode> handed_ GUARDED_BY(mutex_);
};

// A store from a context's pool, handed back when the handle goes.
class BorrowedStore {
 public:
  BorrowedStore(BackendContext& context, std::string where,
                BackendStore::Open open = BackendStore::Open::kForWriting)
      : pool_(context.Stores()),
        where_(std::move(where)),
        store_(pool_.Take(where_, open)) {}
  // From the process's pool, as a host's registration (backend_context.h):
  // for tests and tools acting as a host, never below a front end.
  explicit BorrowedStore(std::string where, BackendStore::Open open =
                                                BackendStore::Open::kForWriting)
      : BorrowedStore(BackendContext::Default(), std::move(where), open) {}
  ~BorrowedStore() { pool_.GiveBack(where_, std::move(store_)); }
  BorrowedStore(const BorrowedStore&) = delete;
  BorrowedStore& operator=(const BorrowedStore&) = delete;
  BackendStore& operator*() const { return *store_; }
  BackendStore* operator->() const { return store_.get(); }

 private:
  StorePool& pool_;
  std::string where_;
  std::unique_ptr<BackendStore> store_;
};

}  // namespace quillet::standins
