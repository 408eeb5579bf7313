#include "http/status_map.h"

#include "quillet/operations/operation.h"

namespace quillet::cli::http {

using operations::Creates;
using operations::Op;
using operations::Outcome;
using operations::Verdict;

int StatusOf(Op op, const Outcome& outcome) {
  switch (outcome.verdict) {
    case Verdict::kDone:
      return Creates(op) ? 201 : 200;
    case Verdict::kRaised:
      return 422;
    case Verdict::kNothingRecorded:
      return 424;
    case Verdict::kKeyConflict:
      return 409;
    case Verdict::kRetryLater:
      return 503;  // with Retry-After
    case Verdict::kOutcomeUnknown:
      return 504;
  }
  return 500;
}

}  // namespace quillet::cli::http
