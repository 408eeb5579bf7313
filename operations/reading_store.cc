#include "reading_store.h"

namespace quillet::operations {

standins::BorrowedStore Reading(const BackendSetup& backend) {
  return standins::BorrowedStore(backend.db,
                                 standins::BackendStore::Open::kForReading);
}

}  // namespace quillet::operations
