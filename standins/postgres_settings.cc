// The PostgreSQL engine's bounds and shared state (postgres_settings.h).
#include "postgres_settings.h"

#include <cstdlib>
#include <utility>

#include "backend_failure.h"
#include "postgres_connection.h"
#include "quillet/object_context.h"

namespace quillet::standins {
namespace pg {
namespace {

// The bounds a session without its own settings gets: a wait that runs out
// fails as busy (nothing written, try again); an operator's own settings
// (ALTER ROLE ... SET, PGOPTIONS, the URI's options) are kept.
constexpr const char* kLockTimeout = "5s";
constexpr const char* kStatementTimeout = "60s";
constexpr int kReconnectSeconds = 15;
constexpr int kCommitSeconds = 30;

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

}  // namespace

std::atomic<int64_t> statements{0}, round_trips{0};
std::atomic<bool> stopping{false};

std::chrono::milliseconds ReconnectWindow() {
  return SecondsFrom("QUILLET_PG_RECONNECT_SECONDS", kReconnectSeconds, 0,
                     3600);
}

std::chrono::milliseconds CommitWindow() {
  return SecondsFrom("QUILLET_PG_COMMIT_SECONDS", kCommitSeconds, 1, 3600);
}

std::string BoundsSql(bool with_id) {
  std::string sql = "SELECT ";
  for (auto [name, value] : {std::pair{"lock_timeout", kLockTimeout},
                             std::pair{"statement_timeout", kStatementTimeout}})
    sql += std::string("CASE WHEN current_setting('") + name +
           "') = '0' THEN set_config('" + name + "', '" + value +
           "', true) END, ";
  return sql + (with_id ? "txid_current(), pg_postmaster_start_time()::text"
                        : "0, ''");
}

void NoteUnconfirmedCommit() {
  if (Ref<ObjectContext> context = GetObjectContext())
    context->NoteUnconfirmedCommit();
}

void Cancel(PGconn* conn) {
  if (PGcancel* cancel = PQgetCancel(conn)) {
    char error[256];
    PQcancel(cancel, error, sizeof error);
    PQfreeCancel(cancel);
  }
}

}  // namespace pg

void StopPostgresWaits() { pg::stopping = true; }

PgTraffic PostgresTraffic() {
  return {pg::statements.load(), pg::round_trips.load()};
}

}  // namespace quillet::standins
