// What an operation-layer context (quillet/operations/context.h) holds, and
// how the layer reaches it from what a front end passes down.
#pragma once

#include "keyed_outcomes.h"
#include "quillet/operations/backend.h"
#include "quillet/operations/context.h"
#include "quillet/standins/backend_context.h"

namespace quillet::operations {

struct Context::Parts {
  standins::BackendContext backend;
  KeyBindings keys;
};

// The back-end context of the setup's context; raises std::logic_error for
// a setup made without one (a front end's fault, never a user's).
standins::BackendContext& BackendOf(const BackendSetup& setup);

}  // namespace quillet::operations
