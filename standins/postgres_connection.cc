// The PostgreSQL engine's connection (postgres_connection.h).
//
// - Write transactions run at READ COMMITTED. A transaction that meets a
//   concurrent one (a deadlock, a serialisation failure, a key or item
//   another host stored first) is rolled back and run again, at most
//   kAttempts times, and then fails with a clear error.
// - Reads run in one REPEATABLE READ, READ ONLY transaction: one snapshot,
//   never half of a change.
// - Waits are bounded: a session whose lock_timeout or statement_timeout is
//   unset (0) gets kLockTimeout / kStatementTimeout for each transaction;
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
// - Statements go in libpq's pipeline mode, so that a write costs two round
//   trips: BEGIN goes with the work's first statements, writes whose answer
//   is not needed (Defer) go with COMMIT, and a read's COMMIT goes without
//   waiting for its answer (read at the next use). Answers come in binary
//   form: a BYTEA as its bytes, never as hex at twice its size.
// - A process that stops (StopPostgresWaits) ends every wait at once.
// - Messages are one line in words; no SQL text and no password reaches
//   them.
#include "postgres_connection.h"

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>

#include "backend_failure.h"
#include "postgres_uri.h"

namespace quillet::standins {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kAttempts = 8;
// The bounds a session without its own settings gets (see the top).
constexpr const char* kLockTimeout = "5s";
constexpr const char* kStatementTimeout = "60s";
// How long a write waits for a server that is away (restarting, failing
// over) before it fails; QUILLET_PG_RECONNECT_SECONDS changes it.
constexpr int kReconnectSeconds = 15;

// Whole seconds from the environment variable `name`, `fallback` when it is
// unset or empty; anything but a decimal number from `low` to `high` is
// refused, naming the variable, rather than quietly replaced.
std::chrono::milliseconds SecondsFrom(const char* name, int fallback, int low,
                                      int high) {
  const char* text = std::getenv(name);
  if (!text || !*text) return std::chrono::seconds(fallback);
  std::string value = text;
  if (value.size() > 6 ||
      value.find_first_not_of("0123456789") != std::string::npos ||
      std::stoi(value) < low || std::stoi(value) > high)
    RaiseBackend(std::string(name) +
                 " must be a whole number of seconds from " +
                 std::to_string(low) + " to " + std::to_string(high));
  return std::chrono::seconds(std::stoi(value));
}

std::chrono::milliseconds ReconnectWindow() {
  return SecondsFrom("QUILLET_PG_RECONNECT_SECONDS", kReconnectSeconds, 0,
                     3600);
}

// Each transaction's first statements, sent with the work's first ones:
// BEGIN, then bounded waits unless the session has its own and, for
// writes, the transaction's id (to look it up should the answer to COMMIT
// be lost).
std::string BoundsSql(bool write) {
  std::string sql = "SELECT ";
  for (auto [name, value] : {std::pair{"lock_timeout", kLockTimeout},
                             std::pair{"statement_timeout", kStatementTimeout}})
    sql += std::string("CASE WHEN current_setting('") + name +
           "') = '0' THEN set_config('" + name + "', '" + value +
           "', true) END, ";
  return sql +
         (write ? "txid_current(), pg_postmaster_start_time()::text" : "0, ''");
}

// How long a COMMIT's answer is waited for (a synchronous standby that is
// away, a server that stops answering on a connection that stays open)
// before the commit is cancelled and its outcome looked up;
// QUILLET_PG_COMMIT_SECONDS changes it.
constexpr int kCommitSeconds = 30;

std::chrono::milliseconds CommitWindow() {
  return SecondsFrom("QUILLET_PG_COMMIT_SECONDS", kCommitSeconds, 1, 3600);
}

// Whether libpq's reason for a failed connection is a server away for a
// while (down, restarting, starting up, recovering from a crash, shutting
// down), worth waiting for. libpq gives no SQLSTATE for a refused
// connection, so the phrases of each wording of 57P03 ("... is not yet
// accepting connections", "... is not accepting connections") count too.
bool ServerAway(const std::string& message) {
  for (const char* sign :
       {"Connection refused", "No such file or directory", "starting up",
        "shutting down", "in recovery", "accepting connections",
        "server closed the connection", "terminating connection",
        "timeout expired"})
    if (message.find(sign) != std::string::npos) return true;
  return false;
}

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

std::atomic<int64_t> statements{0}, round_trips{0};
std::atomic<bool> stopping{false};

void Cancel(PGconn* conn) {
  if (PGcancel* cancel = PQgetCancel(conn)) {
    char error[256];
    PQcancel(cancel, error, sizeof error);
    PQfreeCancel(cancel);
  }
}

}  // namespace

void StopPostgresWaits() { stopping = true; }

PgTraffic PostgresTraffic() { return {statements.load(), round_trips.load()}; }

// One line of a server's or libpq's message: its first line, tabs and
// control characters as spaces.
std::string OneLine(const char* text) {
  std::string line = text ? text : "";
  line = line.substr(0, line.find('\n'));
  for (char& c : line)
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

// Every statement's result comes in binary form: a BYTEA as its bytes, not
// as hex at twice its size (which past about 512 MiB the server cannot
// build). The types Quillet's statements answer are decoded here; any
// other raises rather than be misread.
namespace {
enum : Oid {
  kBool = 16,
  kBytea = 17,
  kName = 19,
  kInt8 = 20,
  kInt2 = 21,
  kInt4 = 23,
  kText = 25,
  kUnknown = 705,
  kBpchar = 1042,
  kVarchar = 1043,
  kVoid = 2278,
};

// A big-endian integer of `size` bytes, sign-extended.
int64_t BigEndian(const char* p, int size) {
  uint64_t n = static_cast<unsigned char>(p[0]) & 0x80 ? ~uint64_t{0} : 0;
  for (int i = 0; i < size; ++i)
    n = (n << 8) | static_cast<unsigned char>(p[i]);
  return static_cast<int64_t>(n);
}
}  // namespace

std::optional<int64_t> PgResult::Number(int row, int col) const {
  const char* p = PQgetvalue(r_, row, col);
  int length = PQgetlength(r_, row, col);
  Oid type = PQftype(r_, col);
  if (PQgetisnull(r_, row, col)) return std::nullopt;
  if ((type == kInt2 && length == 2) || (type == kInt4 && length == 4) ||
      (type == kInt8 && length == 8))
    return BigEndian(p, length);
  if (type == kInt2 || type == kInt4 || type == kInt8)
    RaiseBackend("PostgreSQL: a number could not be decoded");
  return std::nullopt;
}

std::string PgResult::Text(int row, int col) const {
  if (std::optional<int64_t> n = Number(row, col)) return std::to_string(*n);
  const char* p = PQgetvalue(r_, row, col);
  size_t length = static_cast<size_t>(PQgetlength(r_, row, col));
  switch (PQftype(r_, col)) {
    case kBool:
      return length == 1 && p[0] ? "t" : "f";
    case kBytea:
    case kName:
    case kText:
    case kUnknown:
    case kBpchar:
    case kVarchar:
    case kVoid:
      return std::string(p, length);
    default:
      RaiseBackend("PostgreSQL: a value of an unexpected type was answered");
  }
}
int64_t PgResult::Int(int row, int col) const {
  if (std::optional<int64_t> n = Number(row, col)) return *n;
  return std::stoll(Text(row, col));
}

PgConnection::PgConnection(const std::string& uri,
                           const std::function<void(PgConnection&)>& prepare)
    : uri_(uri), window_(ReconnectWindow()), commit_window_(CommitWindow()) {
  // The URI's settings, over bounds of Quillet's own that it may change:
  // a connection attempt gives up after 10 s, and a server that stops
  // answering (a network cut while a commit's answer is awaited) is
  // noticed within about 30 s instead of the system's two hours. The
  // application name is "quillet" unless the URI or PGAPPNAME names one.
  const char* const keys[] = {"connect_timeout",           "keepalives_idle",
                              "keepalives_interval",       "keepalives_count",
                              "tcp_user_timeout",          "dbname",
                              "fallback_application_name", nullptr};
  const char* const values[] = {"10",    "10",        "5",       "3",
                                "30000", uri.c_str(), "quillet", nullptr};
  // A server that is away (restarting, starting up, a connection cut
  // while the schema is checked) is waited for with backoff, as a lost
  // connection is later; a refusal (a wrong password, no such database)
  // is said at once.
  Clock::time_point deadline = Clock::now() + window_;
  for (auto pause = std::chrono::milliseconds(20);;
       pause = std::min(pause * 2, std::chrono::milliseconds(1000))) {
    conn_ = PQconnectdbParams(keys, values, /*expand_dbname=*/1);
    if (conn_ && PQstatus(conn_) == CONNECTION_OK) {
      // The server's notices (and the FATAL that ends a killed session)
      // stay out of standard error: what matters reaches the caller as a
      // failure.
      PQsetNoticeProcessor(
          conn_, [](void*, const char*) {}, nullptr);
      try {
        prepare(*this);
        return;
      } catch (...) {
        bool lost = PQstatus(conn_) != CONNECTION_OK;
        PQfinish(conn_);  // no destructor runs for a refused database
        conn_ = nullptr;
        if (!lost || Clock::now() + pause > deadline) throw;
      }
    } else {
      std::string message =
          conn_ ? OneLine(PQerrorMessage(conn_)) : "out of memory";
      // libpq lays the server's refusal out as "failed: FATAL:  why".
      for (size_t at; (at = message.find("FATAL:  ")) != std::string::npos;)
        message.erase(at, 8);
      PQfinish(conn_);
      conn_ = nullptr;
      bool away = ServerAway(message);
      if (!away || Clock::now() + pause > deadline)
        RaiseBackend(
            "cannot connect to PostgreSQL: " + ScrubPassword(message, uri_),
            away ? FailureKind::kRetryLater : FailureKind::kNone);
    }
    if (stopping)
      RaiseBackend(
          "PostgreSQL: the service is stopping: the wait for the server "
          "ended and nothing was written; try again",
          FailureKind::kRetryLater);
    std::this_thread::sleep_for(pause);
  }
}
PgConnection::~PgConnection() { PQfinish(conn_); }

void PgConnection::WriteTransaction(const std::function<void()>& work,
                                    bool commit) {
  std::minstd_rand jitter(std::random_device{}());
  Clock::time_point deadline = Clock::now() + window_;
  for (int attempt = 1, lost = 0;; ++attempt) {
    bool answered = true;
    try {
      Connected(deadline);
      Begin(/*write=*/true);
      work();
      if (commit)
        answered = Commit();
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
    if (answered || Resolved(xid_, std::max(deadline, Clock::now() + window_)))
      return;
    // Known to have been rolled back: nothing was written. A commit cut
    // short by its window (or a stop) would be again: said at once.
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
      Begin(/*write=*/false);
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

// Opens the transaction (write: READ COMMITTED, answering its id; read:
// one snapshot): queued, to go with the work's first statements. A
// connection found lost then wrote nothing.
void PgConnection::Begin(bool write) {
  queue_.clear();
  xid_ = 0;
  in_transaction_ = true;
  Queue(write ? "BEGIN" : "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY", {},
        nullptr);
  Queue(BoundsSql(write), {}, [this, write](const PgResult& r) {
    if (!write) return;
    xid_ = r.Int(0, 2);
    server_started_ = r.Text(0, 3);
  });
}

// Sends the writes still queued and COMMIT at once. True when it
// committed; false when the answer did not come (the caller looks the
// outcome up). Raises as the statements would, nothing written, when one
// of them failed.
bool PgConnection::Commit() {
  // The transaction's id must be known before COMMIT can go unanswered.
  if (xid_ == 0) Pipeline(nullptr);
  bool rolled_back = false;
  Queue("COMMIT", {}, [&](const PgResult& r) {
    rolled_back = std::strcmp(r.Status(), "COMMIT") != 0;
  });
  commit_late_ = false;
  try {
    Pipeline(nullptr, commit_window_);
  } catch (const Unanswered& unanswered) {
    commit_late_ = unanswered.late;
    return false;
  }
  if (rolled_back)
    RaiseBackend("PostgreSQL rolled the transaction back; nothing was written");
  return true;
}

// What became of transaction `xid`, whose answer to COMMIT was lost: asked
// on new connections until `deadline`.
bool PgConnection::Resolved(int64_t xid, Clock::time_point deadline) {
  std::string why = "the server could not be reached again";
  for (auto pause = std::chrono::milliseconds(20);;
       pause = std::min(pause * 2, std::chrono::milliseconds(1000))) {
    Reset();
    if (PQstatus(conn_) == CONNECTION_OK) {
      std::string id = std::to_string(xid);
      const char* values[] = {id.c_str(), server_started_.c_str()};
      // Another server (a promoted standby) or the same one after a crash
      // may hand the transaction's id to a new transaction if nothing of
      // ours reached its WAL: its answer is ours only when the id is below
      // the next one of its last checkpoint (or it is the very server that
      // ran the transaction, still up).
      PGresult* r = PQexecParams(
          conn_,
          "SELECT txid_status($1::bigint), pg_postmaster_start_time()::text = "
          "$2 OR $1::bigint < (SELECT (split_part(next_xid, ':', 1)::bigint "
          "<< 32) + split_part(next_xid, ':', 2)::bigint FROM "
          "pg_control_checkpoint())",
          2, nullptr, values, nullptr, nullptr, 0);
      if (PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1) {
        std::string status = PQgetisnull(r, 0, 0) ? "" : PQgetvalue(r, 0, 0);
        bool ours = !PQgetisnull(r, 0, 1) && PQgetvalue(r, 0, 1)[0] == 't';
        PQclear(r);
        if (status == "committed" && !ours) {
          why =
              "the server now answering (after a failover or a crash) "
              "cannot tell it apart from a later transaction";
          break;
        }
        if (status == "committed") return true;
        if (status == "aborted") return false;
        why = status == "in progress"
                  ? "the transaction was still in progress on the server"
                  : "the server no longer knows the transaction";
        if (status != "in progress") break;
      } else {
        const char* state = PQresultErrorField(r, PG_DIAG_SQLSTATE);
        bool future = state && std::strcmp(state, "22023") == 0;
        PQclear(r);
        // An id this server has not reached yet (a standby promoted before
        // the transaction reached it): it never ran here, nothing of it is
        // written here.
        if (future) return false;
        why = "the server did not say what became of the transaction";
      }
    }
    if (stopping || Clock::now() + pause > deadline) break;
    std::this_thread::sleep_for(pause);
  }
  RaiseBackend(
      "outcome unknown: the connection to PostgreSQL was lost after the "
      "commit was sent, and " +
          why +
          "; the operation may or may not have been written (look it up, "
          "or retry under the same request key)",
      FailureKind::kOutcomeUnknown);
}

// A connection lost since the last operation is made anew, waiting with
// backoff until `deadline` while the server is away.
void PgConnection::Connected(Clock::time_point deadline) {
  if (PQstatus(conn_) == CONNECTION_OK) return;
  for (auto pause = std::chrono::milliseconds(20);;
       pause = std::min(pause * 2, std::chrono::milliseconds(1000))) {
    Reset();
    if (PQstatus(conn_) == CONNECTION_OK) return;
    if (stopping || Clock::now() + pause > deadline) break;
    std::this_thread::sleep_for(pause);
  }
  RaiseBackend("cannot reconnect to PostgreSQL: " +
                   ScrubPassword(OneLine(PQerrorMessage(conn_)), uri_) +
                   "; nothing was written",
               FailureKind::kRetryLater);
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
  if (state == "25006")
    RaiseBackend(
        "PostgreSQL: the database is read-only; nothing was "
        "written");
  RaiseBackend("PostgreSQL: " + what + ": " + message);
}

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
  std::optional<PgResult> last;
  for (size_t i = 0; i <= sent.size(); ++i) {
    // The writes before COMMIT are bounded by statement_timeout; the window
    // is for COMMIT's own answer, from when the one before it came.
    if (commits && i + 1 == sent.size())
      deadline = Clock::now() + *commit_window;
    if (!Await(deadline)) {
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

void PgConnection::SchemaTransaction(bool write,
                                     const std::function<void()>& work) {
  Exec(write ? "BEGIN" : "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
  try {
    PgResult bounds = Run(BoundsSql(write).c_str(), {});
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
  // synchronous standby away) and looked up when it does not come.
  Drain();
  ++statements;
  ++round_trips;
  bool sent = PQsendQuery(conn_, "COMMIT");
  if (sent && Await(Clock::now() + commit_window_)) {
    PGresult* r = PQgetResult(conn_);
    if (r && PQstatus(conn_) == CONNECTION_OK) {
      bool committed = PQresultStatus(r) == PGRES_COMMAND_OK &&
                       std::strcmp(PQcmdStatus(r), "COMMIT") == 0;
      bool failed = PQresultStatus(r) != PGRES_COMMAND_OK;
      while (PGresult* more = PQgetResult(conn_)) PQclear(more);
      if (failed) Fail(r, "cannot prepare the database");
      PQclear(r);
      if (committed) return;
      RaiseBackend(
          "PostgreSQL rolled the transaction back; nothing was written");
    }
    PQclear(r);
  } else if (sent) {
    Cancel(conn_);
  }
  const char* why = stopping ? "the service is stopping"
                    : sent && PQstatus(conn_) == CONNECTION_OK
                        ? "PostgreSQL did not confirm the commit in time "
                          "(QUILLET_PG_COMMIT_SECONDS)"
                        : "the connection to PostgreSQL was lost at the commit";
  Reset();
  if (Resolved(xid_, Clock::now() + window_)) return;
  RaiseBackend(std::string(why) +
                   "; the transaction was rolled back and nothing was "
                   "written; try again",
               FailureKind::kRetryLater);
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
