// The rule that decides what became of a PostgreSQL COMMIT, row by row: the
// server's own answer, and, when that was lost, every answer a lookup of
// the transaction's id can give, on the server that ran it or on one that
// took over.
#include "postgres_commit_outcome.h"

#include <gtest/gtest.h>

namespace quillet::standins {
namespace {

using Reply = CommitAnswer::Reply;
using Lookup = CommitAnswer::Lookup;
using O = CommitOutcome;

TEST(PostgresCommitOutcomeTest, EveryAnswerHasItsOutcome) {
  struct Row {
    const char* name;
    CommitAnswer answer;
    CommitOutcome outcome;
    const char* why = "";  // in the reason, when not settled
  };
  const Row rows[] = {
      {"answered COMMIT", {Reply::kCommitted}, O::kCommitted},
      {"answered COMMIT, the standby's wait cancelled",
       {Reply::kCommitted, true},
       O::kCommittedUnconfirmed},
      {"answered ROLLBACK", {Reply::kRolledBack}, O::kNeverRan},
      {"answered ROLLBACK, a standby warning besides",
       {Reply::kRolledBack, true},
       O::kNeverRan},
      {"lost; server unreachable",
       {Reply::kNone, false, Lookup::kUnreachable},
       O::kAskAgain,
       "could not be reached"},
      {"lost; lookup refused",
       {Reply::kNone, false, Lookup::kRefused},
       O::kAskAgain,
       "did not say"},
      {"lost; an id the server has not reached (promoted early)",
       {Reply::kNone, false, Lookup::kFutureId},
       O::kNeverRan},
      {"lost; committed on the server that ran it",
       {Reply::kNone, false, Lookup::kStatus, "committed", true},
       O::kCommitted},
      {"lost; committed, the standby's wait cancelled before the loss",
       {Reply::kNone, true, Lookup::kStatus, "committed", true},
       O::kCommittedUnconfirmed},
      {"lost; committed under an id a later transaction may hold",
       {Reply::kNone, false, Lookup::kStatus, "committed", false},
       O::kUnknown,
       "cannot tell it apart"},
      {"lost; aborted on the server that ran it",
       {Reply::kNone, false, Lookup::kStatus, "aborted", true},
       O::kNeverRan},
      {"lost; aborted on a promoted standby",
       {Reply::kNone, false, Lookup::kStatus, "aborted", false},
       O::kNeverRan},
      {"lost; still in progress",
       {Reply::kNone, false, Lookup::kStatus, "in progress", true},
       O::kAskAgain,
       "still in progress"},
      {"lost; the id too old to be known",
       {Reply::kNone, false, Lookup::kStatus, "", true},
       O::kUnknown,
       "no longer knows"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    CommitVerdict verdict = DecideCommit(row.answer);
    EXPECT_EQ(verdict.outcome, row.outcome);
    EXPECT_NE(verdict.why.find(row.why), std::string::npos) << verdict.why;
    EXPECT_EQ(verdict.why.empty(),
              row.outcome != O::kAskAgain && row.outcome != O::kUnknown);
  }
}

}  // namespace
}  // namespace quillet::standins
