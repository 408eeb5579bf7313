// The back end's event log: what each write tells of itself (the fields
// it wrote, the values a change read, a bounded copy of each text added),
// appended in the write's own transaction; reading it a settled page at a
// time, refusals recorded, and pruning.
#include <algorithm>
#include <nlohmann/json.hpp>

#include "backend_failure.h"
#include "quillet/standins/backend_store.h"
#include "rules_shared.h"
#include "storage_engine.h"

namespace quillet::standins {
namespace {

using json = nlohmann::ordered_json;

// An event keeps at most this many characters of each text added: a
// 50 MB text is stored once, in its call.
constexpr size_t kEventTextChars = 2000;

json ValueJson(const StoredValue& v) {
  if (v.type == VarType::String) return v.text;
  if (v.type == VarType::Boolean) return v.number != 0;
  return v.number;
}

// A text added: its first kEventTextChars characters, its whole length
// in characters, and whether it was appended or put in place.
json TextJson(const StoredText& text) {
  std::string kept;
  size_t chars = 0;
  for (const std::string& piece : text.pieces)
    for (char c : piece) {
      bool starts = (static_cast<unsigned char>(c) & 0xC0) != 0x80;
      if (starts) ++chars;
      if (chars <= kEventTextChars) kept += c;
    }
  return {{"text", std::move(kept)},
          {"length", chars},
          {"mode", text.text_mode == "a" ? "append" : "replace"}};
}

void AddTexts(json& changes, const CallData& call) {
  if (call.text && !call.text->pieces.empty())
    changes["Text"] = TextJson(*call.text);
  if (call.solution_text && !call.solution_text->pieces.empty())
    changes["SolutionText"] = TextJson(*call.solution_text);
}

std::string Dump(const json& j) {
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

// The time a write stamps is the event's own (`at`): left out.
bool Told(CallProperty property) {
  return property != CallProperty::LastTransactionTime;
}

}  // namespace

std::string NewCallChanges(const CallRow& row, const CallData& call) {
  json changes = json::object();
  for (const auto& [property, value] : row.properties)
    if (Told(property)) changes[StoredName(property)] = ValueJson(value);
  AddTexts(changes, call);
  return Dump(changes);
}

std::string CallChangeChanges(const CallRow& before, const CallRow& after,
                              const CallData& call) {
  json changes = json::object(), was = json::object();
  // A property the call did not hold reads as empty, and a call without a
  // status is a new one (status 0): an empty value put where there was
  // none changed nothing.
  auto empty = [](const StoredValue& v) {
    return v.text.empty() && v.number == 0;
  };
  for (const auto& [property, value] : after.properties) {
    auto old = before.properties.find(property);
    bool had = old != before.properties.end();
    if (!Told(property) || (had && old->second == value) ||
        (!had && empty(value)))
      continue;
    const std::string& name = StoredName(property);
    changes[name] = ValueJson(value);
    was[name] = had                                ? ValueJson(old->second)
                : property == CallProperty::Status ? json(0)
                                                   : json();
  }
  // The rules read the status (a completed call is refused) whatever the
  // change.
  auto status = before.properties.find(CallProperty::Status);
  if (!was.contains("Status"))
    was["Status"] =
        status == before.properties.end() ? json(0) : ValueJson(status->second);
  AddTexts(changes, call);
  changes["before"] = std::move(was);
  return Dump(changes);
}

std::string ItemChanges(const ItemFields& fields) {
  json changes = json::object();
  for (const auto& [name, value] : fields) changes[name] = value;
  return Dump(changes);
}

void BackendStore::AppendEvent(EventRecord event) {
  event.actor = actor_;
  event.channel = channel_.empty() ? "host" : channel_;
  event.request_key = event_key_;
  event.dry_run = false;  // a dry run's event is rolled back with it
  event.done = true;
  engine_->AppendEvent(event);
}

void BackendStore::RecordRefusal(const EventRecord& refusal) {
  engine_->WriteTransaction([&] { engine_->AppendEvent(refusal); },
                            StorageEngine::Ending::kCommit);
}

std::vector<EventRecord> BackendStore::Events(const EventFilter& filter) {
  // Events past the settled position wait for a later page: a lower
  // position might still commit.
  int64_t settled = engine_->SettledEventPosition();
  EventFilter bounded = filter;
  if (filter.newest_first)
    bounded.before = std::min(filter.before.value_or(INT64_MAX),
                              settled == INT64_MAX ? INT64_MAX : settled + 1);
  std::vector<EventRecord> page;
  engine_->ReadTransaction([&] { page = engine_->EventPage(bounded); });
  if (!filter.newest_first)
    for (size_t i = 0; i < page.size(); ++i)
      if (page[i].position > settled) {
        page.resize(i);
        break;
      }
  return page;
}

int64_t BackendStore::EventsPrunedThrough() {
  int64_t through = 0;
  engine_->ReadTransaction([&] { through = engine_->EventsPrunedThrough(); });
  return through;
}

int64_t BackendStore::PruneEventsBefore(int64_t unix_time) {
  constexpr int64_t kBatch = 1000;
  // Nothing is written unless the oldest event is to go: a start that
  // finds nothing to prune writes nothing.
  std::vector<EventRecord> oldest;
  engine_->ReadTransaction(
      [&] { oldest = engine_->EventPage(EventFilter{.limit = 1}); });
  if (oldest.empty() || oldest.front().at >= unix_time) return 0;
  int64_t total = 0;
  for (int64_t removed = kBatch; removed == kBatch;) {
    engine_->WriteTransaction(
        [&] { removed = engine_->PruneEvents(unix_time, kBatch); },
        StorageEngine::Ending::kCommit);
    total += removed;
  }
  return total;
}

std::optional<int64_t> BackendStore::CreatedAt(const std::string& number) {
  EventFilter filter;
  filter.call = number;
  filter.operation = "create-call";
  filter.limit = 1;
  std::vector<EventRecord> first = engine_->EventPage(filter);
  if (first.empty()) return std::nullopt;
  return first.front().at;
}

std::string BackendStore::VersionOf(const std::string& number,
                                    const StoredProperties& properties) {
  // The newest event that stored a write of the call (a refusal a front
  // end recorded changed nothing): every change appends one, at a position
  // above any before it, since a call's changes are serialised.
  EventFilter filter;
  filter.call = number;
  filter.newest_first = true;
  filter.limit = 20;
  for (;;) {
    std::vector<EventRecord> page = engine_->EventPage(filter);
    for (const EventRecord& event : page)
      if (event.done) return std::to_string(event.position);
    if (static_cast<int64_t>(page.size()) < filter.limit) break;
    filter.before = page.back().position;
  }
  // None kept: the last transaction time tells this version from any that
  // had an event, and a change now would append one.
  auto time = properties.find(CallProperty::LastTransactionTime);
  return "t" +
         std::to_string(time == properties.end() ? 0 : time->second.number);
}

}  // namespace quillet::standins
