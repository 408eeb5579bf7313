#include "reading_store.h"

namespace quillet::operations {

standins::BorrowedStore Reading(const BackendSetup& backend) {
  return standins::BorrowedStore(backend.db,
                                 standins::BackendStore::Open::kForReading);
}

standins::CallQuery StoreQuery(const CallQuery& q) {
  return {.after = q.after,
          .status = q.status,
          .sold_to = q.sold_to,
          .changed_since = q.changed_since,
          .text = q.text,
          .limit = q.limit,
          .newest_change_first = q.newest_change_first};
}

}  // namespace quillet::operations
