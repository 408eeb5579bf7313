#include "reading_store.h"

#include "context_parts.h"

namespace quillet::operations {

standins::BorrowedStore Reading(const BackendSetup& backend) {
  return standins::BorrowedStore(BackendOf(backend), backend.db,
                                 standins::BackendStore::Open::kForReading);
}

}  // namespace quillet::operations
