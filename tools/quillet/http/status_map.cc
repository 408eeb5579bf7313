#include "http/status_map.h"

namespace quillet::cli::http {

int StatusOf(const std::string& op, const Outcome& outcome) {
  switch (outcome.verdict) {
    case Verdict::kDone:
      return op == "create-call" || op == "create-item" ? 201 : 200;
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
