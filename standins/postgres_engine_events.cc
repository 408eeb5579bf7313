// The PostgreSQL engine's event log (postgres_engine.h, postgres_schema.cc).
//
// Positions come from an identity, but transactions commit in any order:
// a position taken now may commit after a higher one. So a position is
// taken only under the event lock, shared among writers and held to the
// end of the transaction; SettledEventPosition takes it alone, and then
// nothing at or below the highest position its snapshot saw is still to
// commit.
#include <algorithm>

#include "postgres_engine.h"

namespace quillet::standins::postgres {
namespace {

#define QUILLET_PG_EVENT_COLUMNS                                         \
  "SELECT position, at, actor, channel, operation, option, call, item, " \
  "request_key, dry_run, done, outcome, changes FROM events "
// $1 the position to go on from, $2 the call or item, $3 the operation
// (NULL: any), $4 the limit.
#define QUILLET_PG_EVENTS(which, order, compare)                            \
  QUILLET_PG_EVENT_COLUMNS "WHERE " which " position " compare              \
                           " $1::bigint AND ($3::text IS NULL OR "          \
                           "operation = $3::text) ORDER BY position " order \
                           " LIMIT $4::bigint"
constexpr const char* kEventsSql[3][2] = {
    {QUILLET_PG_EVENTS("($2::bytea IS NULL OR true) AND", "", ">"),
     QUILLET_PG_EVENTS("($2::bytea IS NULL OR true) AND", "DESC", "<")},
    {QUILLET_PG_EVENTS("call = $2::bytea AND", "", ">"),
     QUILLET_PG_EVENTS("call = $2::bytea AND", "DESC", "<")},
    {QUILLET_PG_EVENTS("item = $2::bytea AND", "", ">"),
     QUILLET_PG_EVENTS("item = $2::bytea AND", "DESC", "<")},
};

PgParam Given(const std::string& text) {
  return text.empty() ? PgParam{"", false, true} : Bytes(text);
}
PgParam Flag(bool flag) { return Int(flag ? 1 : 0); }

}  // namespace

void PostgresEngine::AppendEvent(const EventRecord& e) {
  db_.Defer(
      "WITH numbering AS (SELECT pg_advisory_xact_lock_shared(1364937814)) "
      "INSERT INTO events(at, actor, channel, operation, option, call, item, "
      "request_key, dry_run, done, outcome, changes) SELECT " QUILLET_PG_NOW
      ", $1::bytea, $2::text, $3::text, $4::bigint, $5::bytea, $6::bytea, "
      "$7::bytea, $8::int::boolean, $9::int::boolean, $10::bytea, "
      "$11::bytea FROM numbering",
      {Bytes(e.actor), Bytes(e.channel), Bytes(e.operation), Maybe(e.option),
       Given(e.call), Given(e.item), Given(e.request_key), Flag(e.dry_run),
       Flag(e.done), Bytes(e.outcome), Bytes(e.changes)});
}

std::vector<EventRecord> PostgresEngine::EventPage(const EventFilter& filter) {
  int which = !filter.call.empty() ? 1 : !filter.item.empty() ? 2 : 0;
  PgResult r =
      db_.Run(kEventsSql[which][filter.newest_first ? 1 : 0],
              {Int(filter.newest_first ? filter.before.value_or(INT64_MAX)
                                       : filter.after),
               Given(which == 1 ? filter.call : filter.item),
               Given(filter.operation), Int(filter.limit)});
  std::vector<EventRecord> out;
  for (int row = 0; row < r.Rows(); ++row) {
    EventRecord e;
    e.position = r.Int(row, 0);
    e.at = r.Int(row, 1);
    e.actor = r.Text(row, 2);
    e.channel = r.Text(row, 3);
    e.operation = r.Text(row, 4);
    if (!r.IsNull(row, 5)) e.option = r.Int(row, 5);
    e.call = r.Text(row, 6);
    e.item = r.Text(row, 7);
    e.request_key = r.Text(row, 8);
    e.dry_run = r.Text(row, 9) == "t";
    e.done = r.Text(row, 10) == "t";
    e.outcome = r.Text(row, 11);
    e.changes = r.Text(row, 12);
    out.push_back(std::move(e));
  }
  return out;
}

int64_t PostgresEngine::SettledEventPosition() {
  int64_t position = 0;
  ReadTransaction([&] {
    db_.Run("SELECT pg_advisory_xact_lock(1364937814)", {});
    // The snapshot was taken before the wait: the highest position it saw
    // (or the highest pruned, when none is kept) is a safe bound.
    position = db_.Run(
                      "SELECT greatest(coalesce(max(position), 0), (SELECT "
                      "value::bigint FROM quillet_meta WHERE name = "
                      "'events_pruned_through')) FROM events",
                      {})
                   .Int(0, 0);
  });
  return position;
}

int64_t PostgresEngine::EventsPrunedThrough() {
  PgResult r = db_.Run(
      "SELECT value::bigint FROM quillet_meta WHERE name = "
      "'events_pruned_through'",
      {});
  return r.Rows() ? r.Int(0, 0) : 0;
}

int64_t PostgresEngine::PruneEvents(int64_t unix_time, int64_t limit) {
  // The oldest first: positions follow the server's clock closely enough
  // that the first `limit` are the ones to look at.
  PgResult r = db_.Run(
      "WITH gone AS (DELETE FROM events WHERE position IN (SELECT position "
      "FROM events ORDER BY position LIMIT $2::bigint) AND at < $1::bigint "
      "RETURNING position), noted AS (UPDATE quillet_meta SET value = "
      "greatest(value::bigint, (SELECT coalesce(max(position), 0) FROM "
      "gone))::text WHERE name = 'events_pruned_through') SELECT count(*) "
      "FROM gone",
      {Int(unix_time), Int(limit)});
  return r.Int(0, 0);
}

#define QUILLET_PG_WEBHOOK_COLUMNS                                      \
  "SELECT endpoint, url, delivered, given_up, attempts, last_failure, " \
  "updated FROM webhook_progress "

namespace {
WebhookProgress ProgressRow(const PgResult& r, int row) {
  return {r.Text(row, 0), r.Text(row, 1), r.Int(row, 2), r.Int(row, 3),
          r.Int(row, 4),  r.Text(row, 5), r.Int(row, 6)};
}
// The advisory locks of webhook endpoints: this namespace, and the
// endpoint's key.
constexpr int32_t kWebhookLocks = 1364937815;
}  // namespace

std::optional<WebhookProgress> PostgresEngine::WebhookProgressOf(
    const std::string& endpoint) {
  PgResult r = db_.Run(QUILLET_PG_WEBHOOK_COLUMNS "WHERE endpoint = $1::text",
                       {Bytes(endpoint)});
  if (r.Rows() == 0) return std::nullopt;
  return ProgressRow(r, 0);
}

void PostgresEngine::PutWebhookProgress(const WebhookProgress& p) {
  db_.Run(
      "INSERT INTO webhook_progress VALUES($1::text, $2::text, $3::bigint, "
      "$4::bigint, $5::bigint, $6::text, " QUILLET_PG_NOW
      ") ON CONFLICT (endpoint) DO UPDATE SET url = EXCLUDED.url, delivered "
      "= EXCLUDED.delivered, given_up = EXCLUDED.given_up, attempts = "
      "EXCLUDED.attempts, last_failure = EXCLUDED.last_failure, updated = "
      "EXCLUDED.updated",
      {Bytes(p.endpoint), Bytes(p.url), Int(p.delivered), Int(p.given_up),
       Int(p.attempts), Bytes(p.last_failure)});
}

std::vector<WebhookProgress> PostgresEngine::AllWebhookProgress() {
  PgResult r = db_.Run(QUILLET_PG_WEBHOOK_COLUMNS "ORDER BY url, endpoint", {});
  std::vector<WebhookProgress> out;
  for (int row = 0; row < r.Rows(); ++row) out.push_back(ProgressRow(r, row));
  return out;
}

bool PostgresEngine::HoldWebhookEndpoint(int32_t key) {
  // A session's advisory locks stack: it is taken only when this session
  // does not hold it already (a connection made again holds none).
  bool held = false;
  ReadTransaction([&] {
    held = db_.Run(
                  "SELECT CASE WHEN EXISTS (SELECT 1 FROM pg_locks WHERE "
                  "locktype = 'advisory' AND pid = pg_backend_pid() AND "
                  "granted AND classid = $1::bigint::oid AND objid = "
                  "$2::bigint::oid AND objsubid = 2) THEN true ELSE "
                  "pg_try_advisory_lock($1::int, $2::int) END",
                  {Int(kWebhookLocks), Int(key)})
               .Text(0, 0) == "t";
  });
  return held;
}

}  // namespace quillet::standins::postgres
