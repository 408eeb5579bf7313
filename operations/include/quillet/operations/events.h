// The back end's event log as the front ends read it: one event per write
// carried out (a call created or changed, an item created or changed),
// stored in the write's own transaction, and the refusals a front end
// records. Each event is a JSON object with, in this order:
//
//   "position"     whole number, strictly increasing, never reused
//   "at"           when, by the database's clock: ISO 8601 UTC
//                  ("2026-12-08T07:45:05Z"); "at_unix" beside it, the same
//                  in Unix seconds
//   "actor"        who: a token's name, the OS user or --actor, a host's
//   "channel"      "service", "command", "batch" or "host"
//   "operation"    "create-call", "update-call", "create-item", "update-item"
//   "option"       UpdateCall's option, or null
//   "call" / "item"  the call number, or the item's serial
//   "request_key"  the request key, or null
//   "dry_run"      false for a write stored; a refusal may say true
//   "done"         whether it was carried out
//   "outcome"      in words: "created", "changed", "completed",
//                  "refused: <why>"
//   "changes"      what changed: the fields written and their new values,
//                  for a change of a call "before" (the values it replaced
//                  and the status it read), and each text added as
//                  {"text": its first 2,000 characters, "length": its
//                  length in characters, "mode": "append" | "replace"}
//
// A reader follows the log with `after` (the `next` of its last page): it
// misses no event and sees none twice, in position order, whatever number
// of writers commit meanwhile. Events are kept 90 days unless pruned
// sooner (PruneEvents).
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "quillet/operations/backend.h"

namespace quillet::operations {

inline constexpr int64_t kDefaultKeepEventsDays = 90;
inline constexpr int64_t kMostEventsPerPage = 1000;

struct EventQuery {
  int64_t after = 0;    // events after this position, in position order
  int64_t limit = 100;  // 1 to kMostEventsPerPage
  std::string call, item, operation;  // only these, when given
  // Newest first (a call's audit): events before `before` (none: from the
  // newest), in descending position order.
  bool newest_first = false;
  std::optional<int64_t> before;
};

struct EventPage {
  nlohmann::ordered_json events = nlohmann::ordered_json::array();
  // The position to go on from: `after` for the next page (the last
  // event's, else the query's), or, newest first, `before` (the lowest
  // event's, else the query's; 0 when there is none).
  int64_t next = 0;
  // `after` is older than what is kept (events after it were pruned): the
  // caller answers 410 Gone. A reader from 0 is never gone.
  bool gone = false;
};

// Raises UsageError for a limit out of range or a negative position, and
// the back end's Error when the database cannot be read.
EventPage ReadEvents(const BackendSetup& backend, const EventQuery& query);

// Records a write refused before it reached the back end (for a known
// caller): {"actor", "channel", "operation", "call" or "item", "outcome",
// "request_key", "dry_run"}; stored with "done": false. Raises UsageError
// for a refusal that names no operation of the four.
void RecordRefusal(const BackendSetup& backend,
                   const nlohmann::ordered_json& refusal);

// Removes the events older than `keep_days` days; answers how many went.
int64_t PruneEvents(const BackendSetup& backend, int64_t keep_days);

// Unix seconds as ISO 8601 UTC ("2026-12-08T07:45:05Z").
std::string IsoTime(int64_t unix_seconds);

}  // namespace quillet::operations
