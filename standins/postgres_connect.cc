// Making the PostgreSQL engine's connection (postgres_connection.h): a
// server that is away for a while (starting up, shutting down, recovering,
// full, unreachable) is waited for with backoff up to the reconnect window;
// one that refuses (a wrong password, no such database, a malformed URI) is
// said at once. What the server said is judged by its SQLSTATE, never by
// its words, which follow its lc_messages.
#include <poll.h>

#include <algorithm>
#include <thread>

#include "backend_failure.h"
#include "postgres_connection.h"
#include "postgres_settings.h"
#include "postgres_uri.h"

namespace quillet::standins {
namespace {

using pg::Clock;

// Why one connection attempt failed.
struct ConnectFailure {
  std::string sqlstate;  // the server's code, when the server answered one
  std::string message;   // in words: the server's, else libpq's first line
  bool refused = false;  // needs a change first: never worth waiting for
};

// Whether a server that answered `sqlstate` to a new connection is away
// for a while: starting up, shutting down or recovering (57P01-57P03), out
// of connection slots or other resources (53...), or a connection failure
// (08...). Any other code (a password, a database, a permission) is a
// refusal.
bool AwayCode(const std::string& sqlstate) {
  return sqlstate.rfind("57P0", 0) == 0 || sqlstate.rfind("53", 0) == 0 ||
         sqlstate.rfind("08", 0) == 0;
}

// libpq's verbose layout puts the code before the server's words
// ("...failed: FATAL:  57P03: the database system is starting up"); the
// severity word is translated, the code and the layout are not. The last
// server answer (of the last host tried) is taken.
void ReadServerAnswer(const std::string& text, ConnectFailure& failure) {
  // ":  " then five digits or capitals then ": " and the words to the end
  // of the line (a hand scan: std::regex would export its templates).
  auto code_char = [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z');
  };
  for (size_t at = text.find(":  "); at != std::string::npos;
       at = text.find(":  ", at + 1)) {
    size_t code = at + 3;
    if (code + 7 > text.size()) break;
    bool matched = text.compare(code + 5, 2, ": ") == 0;
    for (size_t i = code; matched && i < code + 5; ++i)
      matched = code_char(text[i]);
    if (!matched) continue;
    size_t words = code + 7;
    size_t end = std::min(text.find('\n', words), text.size());
    failure.sqlstate = text.substr(code, 5);
    failure.message = OneLine(text.substr(words, end - words).c_str());
    at = end;
  }
}

// Whether libpq can read `uri` and its ports: a URI it cannot, or a port
// that is no number, fails before any server is tried, without a code.
bool Readable(const char* uri) {
  PQconninfoOption* parsed = PQconninfoParse(uri, nullptr);
  bool readable = parsed != nullptr;
  for (PQconninfoOption* o = parsed; o && o->keyword; ++o)
    if (std::string(o->keyword) == "port" && o->val)
      readable &= std::string(o->val).find_first_not_of("0123456789,") ==
                  std::string::npos;
  PQconninfoFree(parsed);
  return readable;
}

// One connection attempt, its errors asked in libpq's verbose form to learn
// the server's code. Answers the connection, or null and `failure`. A wait
// for the server is bounded by connect_timeout (as libpq's own), and ends
// when the process is stopping.
PGconn* ConnectOnce(const char* const* keys, const char* const* values,
                    ConnectFailure& failure) {
  PGconn* conn = PQconnectStartParams(keys, values, /*expand_dbname=*/1);
  if (!conn) {
    failure.message = "out of memory";
    return nullptr;
  }
  PQsetErrorVerbosity(conn, PQERRORS_VERBOSE);
  int seconds = 10;
  if (PQconninfoOption* options = PQconninfo(conn)) {
    for (PQconninfoOption* o = options; o->keyword; ++o)
      if (std::string(o->keyword) == "connect_timeout" && o->val)
        seconds = std::max(2, std::atoi(o->val));
    PQconninfoFree(options);
  }
  Clock::time_point give_up = Clock::now() + std::chrono::seconds(seconds);
  PostgresPollingStatusType state = PQstatus(conn) == CONNECTION_BAD
                                        ? PGRES_POLLING_FAILED
                                        : PGRES_POLLING_WRITING;
  bool timed_out = false;
  while (state != PGRES_POLLING_OK && state != PGRES_POLLING_FAILED) {
    if (pg::stopping || Clock::now() > give_up) {
      timed_out = true;
      break;
    }
    pollfd fd{
        PQsocket(conn),
        static_cast<short>(state == PGRES_POLLING_READING ? POLLIN : POLLOUT),
        0};
    if (poll(&fd, 1, 100) == 0) continue;  // woken to see the bounds
    state = PQconnectPoll(conn);
  }
  if (state == PGRES_POLLING_OK && PQstatus(conn) == CONNECTION_OK) {
    PQsetErrorVerbosity(conn, PQERRORS_DEFAULT);
    return conn;
  }
  std::string text = PQerrorMessage(conn);
  ReadServerAnswer(text, failure);
  if (failure.sqlstate.empty())
    failure.message =
        timed_out ? "the server did not answer in time" : OneLine(text.c_str());
  // Without a server's code, what libpq could not even try (a malformed
  // URI) or lacks (a password) is a refusal; a server that could not be
  // reached, or dropped the connection, is away.
  if (!failure.sqlstate.empty()) {
    failure.refused = !AwayCode(failure.sqlstate);
  } else {
    failure.refused = PQconnectionNeedsPassword(conn) || !Readable(values[5]);
  }
  PQfinish(conn);
  return nullptr;
}

}  // namespace

PgConnection::PgConnection(const std::string& uri,
                           const std::function<void(PgConnection&)>& prepare)
    : uri_(uri),
      window_(pg::ReconnectWindow()),
      commit_window_(pg::CommitWindow()) {
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
  Clock::time_point deadline = Clock::now() + window_;
  for (auto pause = std::chrono::milliseconds(20);;
       pause = pg::NextPause(pause)) {
    ConnectFailure failure;
    conn_ = ConnectOnce(keys, values, failure);
    if (conn_) {
      Watch();
      try {
        prepare(*this);
        return;
      } catch (...) {
        bool lost = PQstatus(conn_) != CONNECTION_OK;
        PQfinish(conn_);  // no destructor runs for a refused database
        conn_ = nullptr;
        if (!lost || Clock::now() + pause > deadline) throw;
      }
    } else if (failure.refused || Clock::now() + pause > deadline) {
      RaiseBackend(
          "cannot connect to PostgreSQL: " +
              ScrubPassword(failure.message, uri_),
          failure.refused ? FailureKind::kNone : FailureKind::kRetryLater);
    }
    if (pg::stopping)
      RaiseBackend(
          "PostgreSQL: the service is stopping: the wait for the server "
          "ended and nothing was written; try again",
          FailureKind::kRetryLater);
    std::this_thread::sleep_for(pause);
  }
}

PgConnection::~PgConnection() { PQfinish(conn_); }

// The server's notices stay out of standard error (what matters reaches
// the caller as a failure), but one is heard: the warning that a COMMIT's
// wait for a synchronous standby was cancelled, the commit kept here only.
// It is known by the server function that raises it, which no translation
// changes.
void PgConnection::Watch() {
  PQsetNoticeReceiver(
      conn_,
      [](void* self, const PGresult* notice) {
        const char* where = PQresultErrorField(notice, PG_DIAG_SOURCE_FUNCTION);
        if (where && std::string(where) == "SyncRepWaitForLSN")
          static_cast<PgConnection*>(self)->standby_wait_cancelled_ = true;
      },
      this);
}

// A connection lost since the last operation is made anew, waiting with
// backoff until `deadline` while the server is away.
void PgConnection::Connected(Clock::time_point deadline) {
  if (PQstatus(conn_) == CONNECTION_OK) return;
  for (auto pause = std::chrono::milliseconds(20);;
       pause = pg::NextPause(pause)) {
    Reset();
    if (PQstatus(conn_) == CONNECTION_OK) return;
    if (pg::stopping || Clock::now() + pause > deadline) break;
    std::this_thread::sleep_for(pause);
  }
  RaiseBackend("cannot reconnect to PostgreSQL: " +
                   ScrubPassword(OneLine(PQerrorMessage(conn_)), uri_) +
                   "; nothing was written",
               FailureKind::kRetryLater);
}

}  // namespace quillet::standins
