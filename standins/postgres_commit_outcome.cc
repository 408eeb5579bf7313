// The rule for a COMMIT's outcome (postgres_commit_outcome.h).
#include "postgres_commit_outcome.h"

namespace quillet::standins {

CommitVerdict DecideCommit(const CommitAnswer& a) {
  using Reply = CommitAnswer::Reply;
  using Lookup = CommitAnswer::Lookup;
  bool unconfirmed = a.standby_wait_cancelled;
  auto committed = [&]() -> CommitVerdict {
    return {unconfirmed ? CommitOutcome::kCommittedUnconfirmed
                        : CommitOutcome::kCommitted,
            ""};
  };
  if (a.reply == Reply::kCommitted) return committed();
  if (a.reply == Reply::kRolledBack) return {CommitOutcome::kNeverRan, ""};
  switch (a.lookup) {
    case Lookup::kUnreachable:
      return {CommitOutcome::kAskAgain,
              "the server could not be reached again"};
    case Lookup::kRefused:
      return {CommitOutcome::kAskAgain,
              "the server did not say what became of the transaction"};
    case Lookup::kFutureId:
      // A standby promoted before the transaction reached it: it never ran
      // there, and nothing of it is written there.
      return {CommitOutcome::kNeverRan, ""};
    case Lookup::kStatus:
      break;
  }
  // An aborted id is never ours committed: a transaction of ours replayed
  // without its commit record was aborted at the promotion too.
  if (a.status == "aborted") return {CommitOutcome::kNeverRan, ""};
  if (a.status == "committed" && a.ours) return committed();
  if (a.status == "committed")
    return {CommitOutcome::kUnknown,
            "the server now answering (after a failover or a crash) cannot "
            "tell it apart from a later transaction"};
  if (a.status == "in progress")
    return {CommitOutcome::kAskAgain,
            "the transaction was still in progress on the server"};
  return {CommitOutcome::kUnknown,
          "the server no longer knows the transaction"};
}

}  // namespace quillet::standins
