// The process's open stores (backend_store.h), per database, shared by every
// thread: opening a store (a connection, its schema checked) costs more than
// a submit, so a store is handed from one use to the next, whichever thread
// asks. At most a limit of stores per database are open at once (a server's
// connections stay bounded); a use that finds all of them busy waits for one
// up to kStoreWaitSeconds, then fails as busy (FailureKind::kRetryLater)
// with nothing written. How many may be open (SetStoreLimit) and the end
// of every wait (StopWaiting) are set through embedded_backend.h.
//
//   {
//     BorrowedStore store("postgresql://db-host/quillet");  // taken
//     store->Call("SC000042");
//   }                                                       // handed back
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "quillet/standins/backend_store.h"
#include "quillet/standins/embedded_backend.h"

namespace quillet::standins {

inline constexpr int kStoreWaitSeconds = 15;

// A store from the pool, handed back when the handle goes. When none idle
// serves the use, a new one is opened as `open` says: for writing (the
// schema made or brought up to date), or for reading or as it is (a
// missing or out-of-date database is refused, nothing is made or changed).
// An idle store opened for writing serves any use; one opened as it is
// (kAsIs) serves such uses and reads.
// Raises kBackendError when none can be had.
std::unique_ptr<BackendStore> TakeStore(
    const std::string& where,
    BackendStore::Open open = BackendStore::Open::kForWriting);
// Hands a store back: kept for the next use when it was opened for
// writing or as it is, closed when it was opened for reading.
void GiveBackStore(const std::string& where,
                   std::unique_ptr<BackendStore> store);

class BorrowedStore {
 public:
  explicit BorrowedStore(std::string where, BackendStore::Open open =
                                                BackendStore::Open::kForWriting)
      : where_(std::move(where)), store_(TakeStore(where_, open)) {}
  ~BorrowedStore() { GiveBackStore(where_, std::move(store_)); }
  BorrowedStore(const BorrowedStore&) = delete;
  BorrowedStore& operator=(const BorrowedStore&) = delete;
  BackendStore& operator*() const { return *store_; }
  BackendStore* operator->() const { return store_.get(); }

 private:
  std::string where_;
  std::unique_ptr<BackendStore> store_;
};

}  // namespace quillet::standins
