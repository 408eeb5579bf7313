// The PostgreSQL engine's connection (postgres_connection.h).
//
// - Write transactions run at READ COMMITTED. A transaction that meets a
//   concurrent one (a deadlock, a serialisation failure, a key or item
//   another host stored first) is rolled back and run again, at most
//   kAttempts times, and then fails with a clear error.
// - Reads run in one REPEATABLE READ, READ ONLY transaction: one snapshot,
//   never half of a change.
// - Waits are bounded: a session whose lock_timeout or statement_timeout is
//   unset (0) gets bounds of Quillet's own for each transaction
//   (postgres_settings.cc);
//   an operator's own settings (ALTER ROLE ... SET, PGOPTIONS, the URI's
//   options) are kept. A wait that runs out fails as busy: nothing written,
//   try again.
// - A connection lost before COMMIT was sent wrote nothing: the work runs
//   again on a new connection, waiting with backoff up to the reconnect
//   window while the server is away. A connection lost after COMMIT was
//   sent leaves the outcome open: the transaction's id, taken inside it, is
//   looked up (txid_status) on a new connection, and the answer is what
//   really happened; when that cannot be found out the failure says the
//   outcome is unknown. A COMMIT whose answer does not come within the
//   commit window (counted from the answers of the writes sent with it,
//   which statement_timeout bounds) is cancelled and looked up the same
//   way; found rolled back, it is said at once, not run again.
// - Statements go in libpq's pipeline mode (postgres_pipeline.cc);
//   connecting is postgres_connect.cc's, ending a write postgres_commit.cc's.
// - A process that stops (StopPostgresWaits) ends every wait at once.
// - Messages are one line in words; no SQL text and no password reaches
//   them.
#include "postgres_connection.h"

#include <cstring>
#include <random>
#include <thread>

#include "backend_failure.h"
#include "postgres_settings.h"
#include "postgres_uri.h"

namespace quillet::standins {

using pg::Clock;
using pg::Conflict;
using pg::kAttempts;
using pg::Lost;
using pg::stopping;

void PgConnection::WriteTransaction(const std::function<void()>& work,
                                    bool commit) {
  std::minstd_rand jitter(std::random_device{}());
  Clock::time_point deadline = Clock::now() + window_;
  for (int attempt = 1, lost = 0;; ++attempt) {
    CommitAnswer answer;
    try {
      Connected(deadline);
      Begin(/*write=*/true, /*with_id=*/commit);
      work();
      if (commit)
        answer = Commit();
      else
        Pipeline(nullptr);  // the writes of a dry run fail as they would
      in_transaction_ = false;
    } catch (const Conflict&) {
      in_transaction_ = false;
      Discard("ROLLBACK");
      if (attempt >= kAttempts)
        RaiseBackend("PostgreSQL: gave up after " + std::to_string(kAttempts) +
                         " attempts: concurrent transactions kept "
                         "conflicting with this one; nothing was written",
                     FailureKind::kRetryLater);
      std::this_thread::sleep_for(std::chrono::microseconds(
          std::uniform_int_distribution<int>(0, 2000 << attempt)(jitter)));
      continue;
    } catch (const Lost&) {
      in_transaction_ = false;
      if (++lost > kAttempts)
        RaiseBackend(
            "the connection to PostgreSQL was lost again and again; the "
            "operation was not completed and nothing of it was written",
            FailureKind::kRetryLater);
      continue;  // nothing was written: run it again on a new connection
    } catch (...) {
      in_transaction_ = false;
      Discard("ROLLBACK");
      throw;
    }
    if (!commit) {
      Discard("ROLLBACK");  // lost or not, nothing of it stays
      return;
    }
    CommitOutcome outcome =
        Settle(answer, std::max(deadline, Clock::now() + window_));
    if (outcome == CommitOutcome::kCommittedUnconfirmed)
      pg::NoteUnconfirmedCommit();
    if (outcome != CommitOutcome::kNeverRan) return;
    // Known to have been rolled back: nothing was written. A commit the
    // server refused, or one cut short by its window (or a stop), would be
    // again: said at once.
    if (answer.reply == CommitAnswer::Reply::kRolledBack)
      RaiseBackend(
          "PostgreSQL rolled the transaction back; nothing was written");
    if (commit_late_)
      RaiseBackend(stopping
                       ? "PostgreSQL: the service is stopping: the operation "
                         "was cancelled and rolled back; nothing was written; "
                         "try again"
                       : "PostgreSQL did not confirm the commit within "
                         "QUILLET_PG_COMMIT_SECONDS (a synchronous standby "
                         "away?); it was rolled back and nothing was written; "
                         "try again",
                   FailureKind::kRetryLater);
    // Lost with the connection: run it again.
    if (++lost > kAttempts)
      RaiseBackend(
          "the connection to PostgreSQL was lost again and again; the "
          "operation was not completed and nothing of it was written",
          FailureKind::kRetryLater);
  }
}

void PgConnection::ReadTransaction(const std::function<void()>& work) {
  Clock::time_point deadline = Clock::now() + window_;
  for (int lost = 0;; ++lost) {
    try {
      Connected(deadline);
      Begin(/*write=*/false, /*with_id=*/false);
      work();
      in_transaction_ = false;
      // All was read: the COMMIT goes without waiting for its answer,
      // which the next use of the connection reads (a connection lost now
      // loses nothing: the next use makes a new one).
      Queue("COMMIT", {}, nullptr);
      SendWithoutWaiting();
      return;
    } catch (const Lost&) {
      in_transaction_ = false;
      if (lost >= kAttempts)
        RaiseBackend("the connection to PostgreSQL was lost again and again",
                     FailureKind::kRetryLater);
    } catch (const Conflict&) {
      in_transaction_ = false;
      Discard("ROLLBACK");
      RaiseBackend("PostgreSQL: a read met a concurrent change; try again",
                   FailureKind::kRetryLater);
    } catch (...) {
      in_transaction_ = false;
      Discard("ROLLBACK");
      throw;
    }
  }
}

// Opens the transaction (write: READ COMMITTED; read: one snapshot):
// queued, to go with the work's first statements. A connection found lost
// then wrote nothing.
void PgConnection::Begin(bool write, bool with_id) {
  queue_.clear();
  xid_ = 0;
  in_transaction_ = true;
  Queue(write ? "BEGIN" : "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY", {},
        nullptr);
  Queue(pg::BoundsSql(with_id), {}, [this, with_id](const PgResult& r) {
    if (!with_id) return;
    xid_ = r.Int(0, 2);
    server_started_ = r.Text(0, 3);
  });
}

void PgConnection::Fail(PGresult* result, const std::string& what) {
  std::string state, message;
  if (result) {
    if (const char* s = PQresultErrorField(result, PG_DIAG_SQLSTATE)) state = s;
    message = OneLine(PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY));
  }
  if (message.empty()) message = OneLine(PQerrorMessage(conn_));
  message = ScrubPassword(message, uri_);
  PQclear(result);
  bool lost = PQstatus(conn_) != CONNECTION_OK || state.rfind("08", 0) == 0 ||
              state == "57P01" || state == "57P02" || state == "57P03";
  if (in_transaction_ && lost) {
    Reset();  // whatever state it is in, it is no use now
    throw Lost{};
  }
  if (in_transaction_ &&
      (state == "40001" || state == "40P01" || state == "23505"))
    throw Conflict{};
  if (state == "55P03")
    RaiseBackend(
        "PostgreSQL: busy: another transaction held a lock longer than "
        "lock_timeout allows; nothing was written; try again",
        FailureKind::kRetryLater);
  if (state == "57014")
    RaiseBackend(
        "PostgreSQL: busy: a statement ran longer than statement_timeout "
        "allows and was cancelled; nothing was written; try again",
        FailureKind::kRetryLater);
  if (lost)
    RaiseBackend("the connection to PostgreSQL was lost (" + message +
                     "); the operation was not completed and nothing of "
                     "it was written",
                 FailureKind::kRetryLater);
  if (state == "42501")
    RaiseBackend("PostgreSQL: " + what + ": " + message +
                     "; this database role may not write it (an operator "
                     "grants the permission); nothing was written",
                 FailureKind::kNotPermitted);
  if (state == "25006")
    RaiseBackend(
        "PostgreSQL: the database is read-only; nothing was "
        "written");
  RaiseBackend("PostgreSQL: " + what + ": " + message);
}

}  // namespace quillet::standins
