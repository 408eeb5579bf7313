// Reading the event log, recording refusals and pruning (events.h).
#include "quillet/operations/events.h"

#include <ctime>

#include "context_parts.h"
#include "quillet/operations/text_excerpt.h"
#include "quillet/operations/usage_error.h"
#include "quillet/standins/backend_store.h"
#include "quillet/standins/store_pool.h"
#include "reading_store.h"

namespace quillet::operations {

using json = nlohmann::ordered_json;

namespace {

// A refusal's texts are the caller's: kept to a bounded length.
constexpr size_t kMostRefusalChars = 2000;

json EventJson(const standins::EventRecord& e) {
  json out = json::object();
  out["position"] = e.position;
  out["at"] = IsoTime(e.at);
  out["at_unix"] = e.at;
  out["actor"] = e.actor;
  out["channel"] = e.channel;
  out["operation"] = e.operation;
  out["option"] = e.option ? json(*e.option) : json();
  if (e.operation.find("item") != std::string::npos)
    out["item"] = e.item;
  else
    out["call"] = e.call;
  out["request_key"] = e.request_key.empty() ? json() : json(e.request_key);
  out["dry_run"] = e.dry_run;
  out["done"] = e.done;
  out["outcome"] = e.outcome;
  json changes = json::parse(e.changes, nullptr, /*allow_exceptions=*/false);
  out["changes"] = changes.is_object() ? changes : json::object();
  return out;
}

std::string TextOf(const json& refusal, const char* name) {
  auto it = refusal.find(name);
  if (it == refusal.end() || it->is_null()) return "";
  if (!it->is_string())
    throw UsageError(std::string("a refusal's \"") + name + "\" is text");
  return Excerpt(it->get<std::string>(), kMostRefusalChars);
}

}  // namespace

std::string IsoTime(int64_t unix_seconds) {
  char when[32] = "";
  std::tm tm{};
  auto t = static_cast<time_t>(unix_seconds);
  if (gmtime_r(&t, &tm))
    std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return when;
}

EventPage ReadEvents(const BackendSetup& backend, const EventQuery& query) {
  if (query.limit < 1 || query.limit > kMostEventsPerPage)
    throw UsageError("an events page holds 1 to " +
                     std::to_string(kMostEventsPerPage) + " events");
  if (query.after < 0 || (query.before && *query.before < 0))
    throw UsageError("an event position is a whole number from 0");
  standins::BorrowedStore store = Reading(backend);
  EventPage page;
  if (!query.newest_first && query.after > 0 &&
      query.after < store->EventsPrunedThrough())
    page.gone = true;
  standins::EventFilter filter{query.after, query.limit,     query.call,
                               query.item,  query.operation, query.newest_first,
                               query.before};
  std::vector<standins::EventRecord> events = store->Events(filter);
  page.next = query.newest_first ? query.before.value_or(0) : query.after;
  for (const standins::EventRecord& e : events) {
    page.events.push_back(EventJson(e));
    page.next = e.position;
  }
  return page;
}

void RecordRefusal(const BackendSetup& backend, const json& refusal) {
  if (!refusal.is_object()) throw UsageError("a refusal is a JSON object");
  standins::EventRecord e;
  e.actor = TextOf(refusal, "actor");
  e.channel = TextOf(refusal, "channel");
  e.operation = TextOf(refusal, "operation");
  if (e.operation != "create-call" && e.operation != "update-call" &&
      e.operation != "create-item" && e.operation != "update-item")
    throw UsageError("a refusal names one of the four write operations");
  e.call = TextOf(refusal, "call");
  e.item = TextOf(refusal, "item");
  e.request_key = TextOf(refusal, "request_key");
  e.outcome = TextOf(refusal, "outcome");
  if (auto it = refusal.find("dry_run"); it != refusal.end())
    e.dry_run = it->is_boolean() && it->get<bool>();
  e.done = false;
  e.changes = "{}";
  standins::BorrowedStore(BackendOf(backend), backend.db)->RecordRefusal(e);
}

int64_t PruneEvents(const BackendSetup& backend, int64_t keep_days) {
  if (keep_days < 0 || keep_days > 1'000'000)
    throw UsageError("events are kept 0 to 1000000 days");
  // A write to the database there is: none is made, none migrated.
  standins::BorrowedStore store(BackendOf(backend), backend.db,
                                standins::BackendStore::Open::kAsIs);
  return store->PruneEventsBefore(static_cast<int64_t>(std::time(nullptr)) -
                                  keep_days * 86400);
}

}  // namespace quillet::operations
