// What the PostgreSQL engine's connection files share (not for other
// users): its bounds and settings, the process's counters and stop flag,
// and the signals its transactions raise among themselves.
#pragma once

#include <libpq-fe.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

namespace quillet::standins::pg {

using Clock = std::chrono::steady_clock;

// How many times a write transaction is run after conflicts or a lost
// connection before it fails.
constexpr int kAttempts = 8;

// How long a write waits for a server that is away (restarting, failing
// over, full) before it fails; QUILLET_PG_RECONNECT_SECONDS changes it.
std::chrono::milliseconds ReconnectWindow();
// How long a COMMIT's answer is waited for (a synchronous standby that is
// away, a server that stops answering on a connection that stays open)
// before the commit is cancelled and its outcome looked up;
// QUILLET_PG_COMMIT_SECONDS changes it.
std::chrono::milliseconds CommitWindow();

// How long the answer to a COMMIT cancelled at the end of the commit window
// is waited for: a COMMIT waiting for a synchronous standby answers at once
// that it committed here only.
constexpr std::chrono::seconds kCancelledCommitWait{5};

// Each transaction's first statement, sent with the work's first ones:
// bounded waits unless the session has its own and, `with_id`, the
// transaction's id and the server's start (to look the transaction up
// should the answer to COMMIT be lost).
std::string BoundsSql(bool with_id);

// The pause before the next try: from 20 ms, doubled up to 1 s.
inline std::chrono::milliseconds NextPause(std::chrono::milliseconds pause) {
  return std::min(pause * 2, std::chrono::milliseconds(1000));
}

// Every connection's statements and round trips (PostgresTraffic), and
// whether the process is stopping (StopPostgresWaits).
extern std::atomic<int64_t> statements, round_trips;
extern std::atomic<bool> stopping;

// Tells the object context of the calling thread (when there is one) that a
// commit was stored without a synchronous standby's confirmation.
void NoteUnconfirmedCommit();

// Asks the server to cancel what `conn` is running.
void Cancel(PGconn* conn);

// Raised inside a write transaction when a concurrent one got in the way;
// the transaction is run again.
struct Conflict {};
// Raised when the connection was lost before COMMIT was sent: the server
// rolled the transaction back, so it runs again on a new connection.
struct Lost {};
// Raised when COMMIT was sent and its answer did not come: the connection
// was lost, or (`late`) the wait ran past the commit window or the process
// is stopping.
struct Unanswered {
  bool late;
};

}  // namespace quillet::standins::pg
