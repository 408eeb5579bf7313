// How the PostgreSQL engine's transactions end (postgres_connection.h):
// COMMIT sent with the last writes, and, when its answer is lost, the
// transaction's id looked up on a new connection (on the server that ran
// it, the same one after a crash, or a promoted standby); the rule that
// reads the answers is postgres_commit_outcome.h's.
#include <cstring>
#include <thread>

#include "backend_failure.h"
#include "postgres_connection.h"
#include "postgres_settings.h"

namespace quillet::standins {

using pg::Cancel;
using pg::Clock;
using pg::round_trips;
using pg::statements;
using pg::stopping;
using pg::Unanswered;

CommitAnswer PgConnection::Commit() {
  // The transaction's id must be known before COMMIT can go unanswered.
  if (xid_ == 0) Pipeline(nullptr);
  CommitAnswer answer;
  Queue("COMMIT", {}, [&](const PgResult& r) {
    answer.reply = std::strcmp(r.Status(), "COMMIT") == 0
                       ? CommitAnswer::Reply::kCommitted
                       : CommitAnswer::Reply::kRolledBack;
  });
  commit_late_ = false;
  standby_wait_cancelled_ = false;
  try {
    Pipeline(nullptr, commit_window_);
  } catch (const Unanswered& unanswered) {
    commit_late_ = unanswered.late;
    answer.reply = CommitAnswer::Reply::kNone;
  }
  answer.standby_wait_cancelled = standby_wait_cancelled_;
  return answer;
}

namespace {

// What the server answering now says of transaction `xid` (txid_status).
// Another server (a promoted standby) or the same one after a crash may
// hand the id to a new transaction if nothing of ours reached its WAL: its
// answer is ours only when the id is below the next one of its last
// checkpoint (or it is the very server that ran the transaction, still
// up).
void LookUp(PGconn* conn, int64_t xid, const std::string& server_started,
            CommitAnswer& answer) {
  std::string id = std::to_string(xid);
  const char* values[] = {id.c_str(), server_started.c_str()};
  PGresult* r = PQexecParams(
      conn,
      "SELECT txid_status($1::bigint), pg_postmaster_start_time()::text = "
      "$2 OR $1::bigint < (SELECT (split_part(next_xid, ':', 1)::bigint "
      "<< 32) + split_part(next_xid, ':', 2)::bigint FROM "
      "pg_control_checkpoint())",
      2, nullptr, values, nullptr, nullptr, 0);
  if (PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1) {
    answer.lookup = CommitAnswer::Lookup::kStatus;
    answer.status = PQgetisnull(r, 0, 0) ? "" : PQgetvalue(r, 0, 0);
    answer.ours = !PQgetisnull(r, 0, 1) && PQgetvalue(r, 0, 1)[0] == 't';
  } else {
    const char* state = PQresultErrorField(r, PG_DIAG_SQLSTATE);
    answer.lookup = state && std::strcmp(state, "22023") == 0
                        ? CommitAnswer::Lookup::kFutureId
                        : CommitAnswer::Lookup::kRefused;
  }
  PQclear(r);
}

}  // namespace

CommitOutcome PgConnection::Settle(CommitAnswer answer,
                                   Clock::time_point deadline) {
  CommitVerdict verdict = DecideCommit(answer);
  if (answer.reply != CommitAnswer::Reply::kNone) return verdict.outcome;
  for (auto pause = std::chrono::milliseconds(20);;
       pause = pg::NextPause(pause)) {
    Reset();
    answer.lookup = CommitAnswer::Lookup::kUnreachable;
    if (PQstatus(conn_) == CONNECTION_OK)
      LookUp(conn_, xid_, server_started_, answer);
    verdict = DecideCommit(answer);
    if (verdict.outcome != CommitOutcome::kAskAgain) break;
    if (stopping || Clock::now() + pause > deadline) break;
    std::this_thread::sleep_for(pause);
  }
  if (verdict.outcome != CommitOutcome::kAskAgain &&
      verdict.outcome != CommitOutcome::kUnknown)
    return verdict.outcome;
  RaiseBackend(
      "outcome unknown: the connection to PostgreSQL was lost after the "
      "commit was sent, and " +
          verdict.why +
          "; the operation may or may not have been written (look it up, "
          "or retry under the same request key)",
      FailureKind::kOutcomeUnknown);
}

void PgConnection::SchemaTransaction(bool write,
                                     const std::function<void()>& work) {
  Exec(write ? "BEGIN" : "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
  try {
    PgResult bounds = Run(pg::BoundsSql(write).c_str(), {});
    if (write) {
      xid_ = bounds.Int(0, 2);
      server_started_ = bounds.Text(0, 3);
    }
    work();
    if (!write) return Exec("COMMIT");
  } catch (...) {
    Discard("ROLLBACK");
    throw;
  }
  // COMMIT, its answer awaited for the commit window at most (a
  // synchronous standby away; the wait is then cancelled, which the server
  // answers) and looked up when it does not come.
  Drain();
  ++statements;
  ++round_trips;
  standby_wait_cancelled_ = false;
  CommitAnswer answer;
  bool sent = PQsendQuery(conn_, "COMMIT");
  bool answered = sent && Await(Clock::now() + commit_window_);
  bool cancelled = sent && !answered;
  if (cancelled) {
    Cancel(conn_);
    if (!stopping) answered = Await(Clock::now() + pg::kCancelledCommitWait);
  }
  if (answered) {
    PGresult* r = PQgetResult(conn_);
    if (r && PQstatus(conn_) == CONNECTION_OK) {
      while (PGresult* more = PQgetResult(conn_)) PQclear(more);
      if (PQresultStatus(r) == PGRES_COMMAND_OK)
        answer.reply = std::strcmp(PQcmdStatus(r), "COMMIT") == 0
                           ? CommitAnswer::Reply::kCommitted
                           : CommitAnswer::Reply::kRolledBack;
      else if (!cancelled)  // refused, not ended by the cancel
        Fail(r, "cannot prepare the database");
    }
    PQclear(r);
  }
  answer.standby_wait_cancelled = standby_wait_cancelled_;
  const char* why = stopping ? "the service is stopping"
                    : sent && PQstatus(conn_) == CONNECTION_OK
                        ? "PostgreSQL did not confirm the commit in time "
                          "(QUILLET_PG_COMMIT_SECONDS)"
                        : "the connection to PostgreSQL was lost at the commit";
  CommitOutcome outcome = Settle(answer, Clock::now() + window_);
  if (outcome == CommitOutcome::kCommittedUnconfirmed)
    pg::NoteUnconfirmedCommit();
  if (outcome != CommitOutcome::kNeverRan) return;
  if (answer.reply == CommitAnswer::Reply::kRolledBack)
    RaiseBackend("PostgreSQL rolled the transaction back; nothing was written");
  RaiseBackend(std::string(why) +
                   "; the transaction was rolled back and nothing was "
                   "written; try again",
               FailureKind::kRetryLater);
}

}  // namespace quillet::standins
