// One libpq connection of the PostgreSQL engine and the rules of its
// transactions: connecting and reconnecting with backoff while the server
// is away, bounded waits, running a write again after a conflict or a
// connection lost before COMMIT was sent, and finding out what became of a
// COMMIT whose answer was lost. Values are only ever bound, through the
// unnamed statement, so that a pooler in transaction mode can stand between.
#pragma once

#include <libpq-fe.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "postgres_commit_outcome.h"
#include "postgres_result.h"

namespace quillet::standins {

class PgConnection {
 public:
  // Connects to `uri`, waiting with backoff while the server is away
  // (restarting, failing over), then runs `prepare` (the schema's check),
  // again on a new connection should the connection be lost meanwhile. A
  // refusal (a wrong password, no such database) is said at once.
  PgConnection(const std::string& uri,
               const std::function<void(PgConnection&)>& prepare);
  ~PgConnection();
  PgConnection(const PgConnection&) = delete;
  PgConnection& operator=(const PgConnection&) = delete;

  // The storage engine's transactions (storage_engine.h says what each
  // promises).
  void WriteTransaction(const std::function<void()>& work, bool commit);
  void ReadTransaction(const std::function<void()>& work);

  // One statement, through the unnamed statement: parsed, bound, run, in
  // one round trip with the statements queued before it.
  PgResult Run(const char* sql, const std::vector<PgParam>& params);
  // A statement whose answer is not needed now, inside a transaction: it
  // goes with the next statement run or with COMMIT, and a failure of it
  // is met there, as the transaction's (nothing written).
  void Defer(const char* sql, std::vector<PgParam> params);
  // A statement queued as Defer's, whose answer `sink` sees when the queue
  // is sent; Flush sends it (one round trip) and raises as Run would.
  void Ask(const char* sql, std::vector<PgParam> params,
           std::function<void(const PgResult&)> sink);
  void Flush();
  // One transaction of statements run one at a time (Exec, Run), for the
  // schema: bounded as the others (lock_timeout, statement_timeout, the
  // commit window, a lost answer to COMMIT looked up, a stopping process).
  // Raises, rolled back, as its statements would.
  void SchemaTransaction(bool write, const std::function<void()>& work);
  // Statements without parameters (several may be given at once).
  void Exec(const char* sql, const char* what = "a statement failed");
  // Runs `sql` if the connection is up, whatever comes of it.
  void Discard(const char* sql);

 private:
  using Clock = std::chrono::steady_clock;
  struct Queued {
    std::string sql;
    std::vector<PgParam> params;
    std::function<void(const PgResult&)> sink;  // sees the answer, if any
  };
  void Watch();
  // Opens the transaction; `with_id` asks its id, for a COMMIT's outcome
  // to be looked up (a transaction that rolls back needs none, and takes
  // none unless it writes).
  void Begin(bool write, bool with_id);
  // Sends the writes still queued and COMMIT at once; answers what the
  // server said of COMMIT (its reply kNone when the answer did not come).
  // Raises as the statements would, nothing written, when one of them
  // failed.
  CommitAnswer Commit();
  // What became of the transaction whose COMMIT was answered `answer`:
  // looked up on new connections until `deadline` when the answer was lost.
  // Raises "outcome unknown" when that cannot be found out.
  CommitOutcome Settle(CommitAnswer answer, Clock::time_point deadline);
  void Connected(Clock::time_point deadline);
  [[noreturn]] void Fail(PGresult* result, const std::string& what);
  void Reset();
  void Queue(std::string sql, std::vector<PgParam> params,
             std::function<void(const PgResult&)> sink);
  // Sends what is queued in one pipeline and reads every answer; answers
  // the last statement's result. The first failure raises (Fail) once all
  // is read. With `commit_window` the last statement is COMMIT: its answer
  // is waited for that long, and a connection lost or the window passed
  // raises Unanswered.
  std::optional<PgResult> Pipeline(
      const char* what,
      std::optional<std::chrono::milliseconds> commit_window = std::nullopt);
  // Sends the queue as one pipeline, ended by a sync, without reading;
  // with `commits`, the answers before the last statement (COMMIT) are
  // asked for as soon as they are had.
  void Send(bool commits = false);
  void SendWithoutWaiting();
  void Drain();
  bool Await(Clock::time_point deadline);

  std::string uri_;
  std::chrono::milliseconds window_, commit_window_;
  PGconn* conn_ = nullptr;
  bool in_transaction_ = false;
  std::vector<Queued> queue_;
  int unread_syncs_ = 0;
  int64_t xid_ = 0;
  bool commit_late_ = false;    // the last COMMIT's answer ran out of time
  std::string server_started_;  // of the server running the transaction
  // The server warned that the last COMMIT's wait for a synchronous
  // standby was cancelled (Watch).
  bool standby_wait_cancelled_ = false;
};

// What every connection of this process sent the server: statements (each
// of a multi-statement text, BEGIN and COMMIT included) and round trips
// (a wait for the server's answer). For benchmarks and tests.
struct PgTraffic {
  int64_t statements = 0, round_trips = 0;
};
PgTraffic PostgresTraffic();

// For a process that is stopping: every connection stops waiting on its
// server. A statement running is cancelled (nothing written: try again); a
// COMMIT sent is cancelled and looked up once; a wait for the server to come
// back ends. Safe from any thread.
void StopPostgresWaits();

}  // namespace quillet::standins
