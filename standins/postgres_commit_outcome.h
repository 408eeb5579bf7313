// What became of a COMMIT, decided from what the server answered and
// nothing else: its own answer to COMMIT, or, when that answer was lost,
// what a server (the one that ran the transaction, the same one after a
// crash, or a promoted standby) says of the transaction's id. Kept apart
// from the connection so that every row of the rule is tested.
#pragma once

#include <string>

namespace quillet::standins {

// What the server said of one COMMIT.
struct CommitAnswer {
  enum class Reply {
    kCommitted,   // the tag "COMMIT"
    kRolledBack,  // another tag ("ROLLBACK": the transaction had failed)
    kNone,        // no answer: the connection was lost, or the wait ended
  };
  Reply reply = Reply::kNone;
  // The server warned that the wait for a synchronous standby was
  // cancelled: the commit is on this server only.
  bool standby_wait_cancelled = false;

  // With kNone, what the lookup on a new connection answered.
  enum class Lookup {
    kUnreachable,  // no connection could be made
    kStatus,       // txid_status answered `status`
    kFutureId,     // the id is one the server has not reached (22023)
    kRefused,      // another error
  };
  Lookup lookup = Lookup::kUnreachable;
  std::string status;  // "committed", "aborted", "in progress", "" (NULL)
  // The answer is of our transaction: the server is the one that ran it,
  // still up, or the id is below the next one of its last checkpoint (a
  // later transaction cannot have had it).
  bool ours = false;
};

enum class CommitOutcome {
  kCommitted,             // stored
  kCommittedUnconfirmed,  // stored on this server; no standby confirmed it
  kNeverRan,              // rolled back: nothing of it is written
  kAskAgain,              // not settled yet: ask again while time is left
  kUnknown,               // cannot be found out
};

struct CommitVerdict {
  CommitOutcome outcome;
  // For kAskAgain and kUnknown, why it is not known, in words.
  std::string why;
};

CommitVerdict DecideCommit(const CommitAnswer& answer);

}  // namespace quillet::standins
