// The PostgreSQL engine's connection, its statements' way to the server
// (postgres_connection.h): libpq's pipeline mode, so that a write costs two
// round trips: BEGIN goes with the work's first statements, writes whose
// answer is not needed (Defer) go with COMMIT, and a read's COMMIT goes
// without waiting for its answer (read at the next use). Answers come in
// binary form: a BYTEA as its bytes, never as hex at twice its size.
#include <poll.h>

#include <algorithm>

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

void PgConnection::Reset() {
  queue_.clear();
  unread_syncs_ = 0;
  PQreset(conn_);
}

void PgConnection::Queue(std::string sql, std::vector<PgParam> params,
                         std::function<void(const PgResult&)> sink) {
  queue_.push_back({std::move(sql), std::move(params), std::move(sink)});
}

// Sends the queue (postgres_connection.h).
void PgConnection::Send(bool commits) {
  Drain();
  if (PQpipelineStatus(conn_) == PQ_PIPELINE_OFF) PQenterPipelineMode(conn_);
  for (const Queued& q : queue_) {
    // The server holds its answers until the sync, unless asked: the
    // answers before COMMIT are to come as soon as they are had, so that
    // COMMIT's own wait can be told apart from theirs.
    if (commits && &q == &queue_.back()) PQsendFlushRequest(conn_);
    std::vector<const char*> values;
    std::vector<int> lengths, formats;
    for (const PgParam& p : q.params) {
      values.push_back(p.null ? nullptr : p.bytes.data());
      lengths.push_back(static_cast<int>(p.bytes.size()));
      formats.push_back(p.binary ? 1 : 0);
    }
    if (!PQsendQueryParams(conn_, q.sql.c_str(),
                           static_cast<int>(q.params.size()), nullptr,
                           values.data(), lengths.data(), formats.data(),
                           /*resultFormat=binary*/ 1))
      break;  // the connection is lost: reading says so
  }
  PQpipelineSync(conn_);
  statements += static_cast<int64_t>(queue_.size());
}

void PgConnection::SendWithoutWaiting() {
  if (PQstatus(conn_) != CONNECTION_OK) return;
  Send();
  queue_.clear();
  ++unread_syncs_;
  PQflush(conn_);
}

// Reads and drops the answers of what was sent without waiting, and
// leaves pipeline mode.
void PgConnection::Drain() {
  while (unread_syncs_ > 0) {
    PGresult* r = PQgetResult(conn_);
    if (!r) {
      if (PQstatus(conn_) != CONNECTION_OK) break;
      continue;  // the end of one statement's results
    }
    bool sync = PQresultStatus(r) == PGRES_PIPELINE_SYNC;
    PQclear(r);
    if (sync) --unread_syncs_;
  }
  unread_syncs_ = 0;
  if (PQpipelineStatus(conn_) != PQ_PIPELINE_OFF &&
      !PQexitPipelineMode(conn_) && PQstatus(conn_) == CONNECTION_OK)
    Reset();  // cannot happen with every answer read; made sure of anyway
}

// Waits until the connection has an answer to read, or `deadline`.
bool PgConnection::Await(Clock::time_point deadline) {
  PQflush(conn_);
  while (PQisBusy(conn_)) {
    if (stopping) return false;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - Clock::now());
    if (left.count() <= 0) return false;
    // Woken every 100 ms to see whether the process is stopping.
    pollfd fd{PQsocket(conn_), POLLIN, 0};
    int ready =
        poll(&fd, 1, static_cast<int>(std::min<int64_t>(left.count(), 100)));
    if (ready > 0 && !PQconsumeInput(conn_)) return true;  // lost: say so
  }
  return true;
}

std::optional<PgResult> PgConnection::Pipeline(
    const char* what, std::optional<std::chrono::milliseconds> commit_window) {
  bool commits = commit_window.has_value();
  Clock::time_point deadline = Clock::time_point::max();
  if (queue_.empty()) return std::nullopt;
  Send(commits);
  ++round_trips;
  std::vector<Queued> sent = std::move(queue_);
  queue_.clear();
  PGresult* failed = nullptr;
  bool cancelled = false;  // the COMMIT, at the end of the commit window
  std::optional<PgResult> last;
  for (size_t i = 0; i <= sent.size(); ++i) {
    // The writes before COMMIT are bounded by statement_timeout; the window
    // is for COMMIT's own answer, from when the one before it came.
    if (commits && i + 1 == sent.size() && !cancelled)
      deadline = Clock::now() + *commit_window;
    bool ready = Await(deadline);
    if (!ready && commits && !cancelled && !stopping) {
      // The commit window passed: the COMMIT is cancelled, and its answer
      // awaited a little longer. One waiting for a synchronous standby
      // then answers that it committed here only; one that cannot answer
      // is looked up.
      Cancel(conn_);
      cancelled = true;
      deadline = Clock::now() + pg::kCancelledCommitWait;
      ready = Await(deadline);
    }
    if (!ready) {
      PQclear(failed);
      // Past the deadline, or the process is stopping: the server stops
      // too, and the connection is no use after.
      Cancel(conn_);
      Reset();
      if (commits) throw Unanswered{/*late=*/true};
      RaiseBackend(
          "PostgreSQL: the service is stopping: the operation was cancelled "
          "and nothing of it was written; try again",
          FailureKind::kRetryLater);
    }
    PGresult* r = PQgetResult(conn_);
    ExecStatusType status = r ? PQresultStatus(r) : PGRES_FATAL_ERROR;
    if (PQstatus(conn_) != CONNECTION_OK || !r) {
      PQclear(failed);
      if (commits) {
        PQclear(r);
        Reset();
        throw Unanswered{/*late=*/false};
      }
      Fail(r, what ? what : "the database refused a statement");
    }
    if (i == sent.size()) {  // the sync that ends the pipeline
      PQclear(r);
      break;
    }
    PQclear(PQgetResult(conn_));  // the end of this statement's results
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) {
      PgResult result(r);
      if (sent[i].sink) sent[i].sink(result);
      if (i + 1 == sent.size()) last.emplace(std::move(result));
    } else if (!failed && status != PGRES_PIPELINE_ABORTED) {
      failed = r;
    } else {
      PQclear(r);
    }
  }
  PQexitPipelineMode(conn_);
  if (failed && cancelled) {  // the COMMIT ended by the cancel: looked up
    PQclear(failed);
    Reset();
    throw Unanswered{/*late=*/true};
  }
  if (failed) Fail(failed, what ? what : "the database refused a statement");
  return last;
}

PgResult PgConnection::Run(const char* sql,
                           const std::vector<PgParam>& params) {
  if (!in_transaction_) Connected(Clock::now() + window_);
  Queue(sql, params, nullptr);
  return std::move(*Pipeline(nullptr));
}

void PgConnection::Defer(const char* sql, std::vector<PgParam> params) {
  Queue(sql, std::move(params), nullptr);
}

void PgConnection::Ask(const char* sql, std::vector<PgParam> params,
                       std::function<void(const PgResult&)> sink) {
  Queue(sql, std::move(params), std::move(sink));
}

void PgConnection::Flush() { Pipeline(nullptr); }

void PgConnection::Exec(const char* sql, const char* what) {
  Drain();
  ++statements;
  ++round_trips;
  if (!PQsendQuery(conn_, sql)) Fail(nullptr, what);
  PGresult* failed = nullptr;
  for (;;) {
    if (!Await(Clock::time_point::max())) {  // the process is stopping
      PQclear(failed);
      Cancel(conn_);
      Reset();
      RaiseBackend(
          "PostgreSQL: the service is stopping: the operation was cancelled "
          "and nothing of it was written; try again",
          FailureKind::kRetryLater);
    }
    PGresult* r = PQgetResult(conn_);
    if (!r) break;
    if (PQresultStatus(r) == PGRES_COMMAND_OK ||
        PQresultStatus(r) == PGRES_TUPLES_OK || failed)
      PQclear(r);
    else
      failed = r;
  }
  if (failed || PQstatus(conn_) != CONNECTION_OK) Fail(failed, what);
}

void PgConnection::Discard(const char* sql) {
  queue_.clear();
  if (PQstatus(conn_) != CONNECTION_OK) return;
  Drain();
  ++statements;
  ++round_trips;
  PQclear(PQexec(conn_, sql));
}

}  // namespace quillet::standins
