// How an operation's outcome is told over HTTP: one status per outcome, the
// same for a replayed request as for its first run.
//
//   201  create-call / create-item recorded
//   200  any other operation that did its work (and every read)
//   400  unusable input: nothing ran, nothing was written
//   401  no or a wrong bearer token (when the service has one)
//   404  no such call, item or route
//   409  the Idempotency-Key was used for a different request
//   413  a body over the size limit
//   422  the operation raised an error (the body's "error" says which)
//   424  the operation returned but recorded nothing: the back end refused,
//        or a failure was absorbed ("errorDescription" / "errorText" say why)
//   503  the back end cannot be reached, or was busy or away (a lock or
//        statement waited past its limit, the server restarted): nothing
//        was written; Retry-After says when to try again
//   504  outcome unknown: the connection to the back end was lost after the
//        commit was sent and what became of it could not be found out
//        ("outcome": "unknown"); retry under the same Idempotency-Key
#pragma once

#include "quillet/operations/operation.h"

namespace quillet::cli::http {

int StatusOf(operations::Op op, const operations::Outcome& outcome);

}  // namespace quillet::cli::http
