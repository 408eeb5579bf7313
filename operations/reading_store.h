// How the operation layer reaches the back end for a read: a store of the
// pool of the setup's context (an idle one, else one opened for reading, which
// never makes or changes a database).
#pragma once

#include "quillet/operations/backend.h"
#include "quillet/operations/views.h"
#include "quillet/standins/store_pool.h"

namespace quillet::operations {

// Raises the back end's Error when the database cannot be read.
standins::BorrowedStore Reading(const BackendSetup& backend);

}  // namespace quillet::operations
