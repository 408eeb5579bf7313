// The SQLite engine's event log (sqlite_engine.h, sqlite_schema.cc).
#include "sqlite_engine.h"

namespace quillet::standins::sqlite {
namespace {

#define QUILLET_EVENT_COLUMNS                                            \
  "SELECT position, at, actor, channel, operation, option, call, item, " \
  "request_key, dry_run, done, outcome, changes FROM events "
// ?1 the position to go on from, ?2 the call or item, ?3 the operation
// (NULL: any), ?4 the limit. A call's or an item's events are read
// through its index, whose entries end in the position.
#define QUILLET_EVENTS_WHERE(which, order, compare)                     \
  QUILLET_EVENT_COLUMNS "WHERE " which " position " compare             \
                        " ?1 AND (?3 IS NULL OR operation = ?3) ORDER " \
                        "BY position " order " LIMIT ?4"
constexpr const char* kEventsSql[3][2] = {
    {QUILLET_EVENTS_WHERE("(?2 IS NULL OR 1) AND", "", ">"),
     QUILLET_EVENTS_WHERE("(?2 IS NULL OR 1) AND", "DESC", "<")},
    {QUILLET_EVENTS_WHERE("call = ?2 AND", "", ">"),
     QUILLET_EVENTS_WHERE("call = ?2 AND", "DESC", "<")},
    {QUILLET_EVENTS_WHERE("item = ?2 AND", "", ">"),
     QUILLET_EVENTS_WHERE("item = ?2 AND", "DESC", "<")},
};

std::optional<std::string> Given(const std::string& text) {
  if (text.empty()) return std::nullopt;
  return text;
}

}  // namespace

void SqliteEngine::AppendEvent(const EventRecord& e) {
  Statement s(*use_,
              "INSERT INTO events(at, actor, channel, operation, option, "
              "call, item, request_key, dry_run, done, outcome, changes) "
              "VALUES(unixepoch(), ?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, "
              "?11)");
  s.Bind(1, e.actor).Bind(2, e.channel).Bind(3, e.operation);
  s.Bind(4, e.option).Bind(5, Given(e.call)).Bind(6, Given(e.item));
  s.Bind(7, Given(e.request_key)).Bind(8, int64_t{e.dry_run ? 1 : 0});
  s.Bind(9, int64_t{e.done ? 1 : 0}).Bind(10, e.outcome);
  s.BindKept(11, e.changes).Run();
}

std::vector<EventRecord> SqliteEngine::EventPage(const EventFilter& filter) {
  int which = !filter.call.empty() ? 1 : !filter.item.empty() ? 2 : 0;
  Statement s(*use_, kEventsSql[which][filter.newest_first ? 1 : 0]);
  s.Bind(1, filter.newest_first ? filter.before.value_or(INT64_MAX)
                                : filter.after);
  s.Bind(2, which == 1 ? Given(filter.call) : Given(filter.item));
  s.Bind(3, Given(filter.operation)).Bind(4, filter.limit);
  std::vector<EventRecord> out;
  while (s.Step()) {
    EventRecord e;
    e.position = s.Int(0);
    e.at = s.Int(1);
    e.actor = s.Text(2);
    e.channel = s.Text(3);
    e.operation = s.Text(4);
    if (!s.IsNull(5)) e.option = s.Int(5);
    e.call = s.Text(6);
    e.item = s.Text(7);
    e.request_key = s.Text(8);
    e.dry_run = s.Int(9) != 0;
    e.done = s.Int(10) != 0;
    e.outcome = s.Text(11);
    e.changes = s.Text(12);
    out.push_back(std::move(e));
  }
  return out;
}

int64_t SqliteEngine::EventsPrunedThrough() {
  Statement s(*use_, "SELECT upto FROM events_pruned");
  return s.Step() ? s.Int(0) : 0;
}

int64_t SqliteEngine::PruneEvents(int64_t unix_time, int64_t limit) {
  // The oldest events first: positions follow the clock closely enough
  // that the first `limit` are the ones to look at.
  int64_t highest = 0, count = 0;
  {
    Statement s(*use_,
                "SELECT count(*), coalesce(max(position), 0) FROM (SELECT "
                "position, at FROM events ORDER BY position LIMIT ?2) WHERE "
                "at < ?1");
    s.Bind(1, unix_time).Bind(2, limit);
    if (s.Step()) {
      count = s.Int(0);
      highest = s.Int(1);
    }
  }
  if (count == 0) return 0;
  Statement(*use_,
            "DELETE FROM events WHERE position IN (SELECT position "
            "FROM events ORDER BY position LIMIT ?2) AND at < ?1")
      .Bind(1, unix_time)
      .Bind(2, limit)
      .Run();
  Statement up(*use_, "UPDATE events_pruned SET upto = max(upto, ?1)");
  up.Bind(1, highest).Run();
  return count;
}

#define QUILLET_WEBHOOK_COLUMNS                                         \
  "SELECT endpoint, url, delivered, given_up, attempts, last_failure, " \
  "updated FROM webhook_progress "

namespace {
WebhookProgress ProgressRow(Statement& s) {
  return {s.Text(0), s.Text(1), s.Int(2), s.Int(3),
          s.Int(4),  s.Text(5), s.Int(6)};
}
}  // namespace

std::optional<WebhookProgress> SqliteEngine::WebhookProgressOf(
    const std::string& endpoint) {
  Statement s(*use_, QUILLET_WEBHOOK_COLUMNS "WHERE endpoint = ?1");
  s.Bind(1, endpoint);
  if (!s.Step()) return std::nullopt;
  return ProgressRow(s);
}

void SqliteEngine::PutWebhookProgress(const WebhookProgress& p) {
  Statement s(*use_,
              "INSERT OR REPLACE INTO webhook_progress VALUES(?1, ?2, ?3, ?4, "
              "?5, ?6, unixepoch())");
  s.Bind(1, p.endpoint).Bind(2, p.url).Bind(3, p.delivered);
  s.Bind(4, p.given_up).Bind(5, p.attempts).Bind(6, p.last_failure).Run();
}

std::vector<WebhookProgress> SqliteEngine::AllWebhookProgress() {
  Statement s(*use_, QUILLET_WEBHOOK_COLUMNS "ORDER BY url, endpoint");
  std::vector<WebhookProgress> out;
  while (s.Step()) out.push_back(ProgressRow(s));
  return out;
}

}  // namespace quillet::standins::sqlite
