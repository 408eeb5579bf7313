// Listings of calls and items: a page at a time, each page on one
// snapshot, in constant memory.
#include <algorithm>
#include <climits>
#include <ctime>

#include "backend_failure.h"
#include "quillet/standins/backend_store.h"
#include "rules_shared.h"
#include "storage_engine.h"

namespace quillet::standins {
// `text` within `haystack`, ASCII letters in either case.
bool Contains(const std::string& haystack, const std::string& text) {
  auto fold = [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  };
  return std::search(haystack.begin(), haystack.end(), text.begin(), text.end(),
                     [&](char a, char b) { return fold(a) == fold(b); }) !=
         haystack.end();
}

namespace {

bool ItemMatches(const StoredItem& item, const std::string& text) {
  if (Contains(item.serial, text)) return true;
  for (const auto& [name, value] : item.fields)
    if (Contains(value, text)) return true;
  return false;
}

// A search's match on one line: each run of spaces and line breaks one
// space, none at either end (the texts are joined a line each).
std::string OneLine(const std::string& match) {
  std::string out;
  for (char c : match) {
    bool space = c == ' ' || c == '\n' || c == '\r' || c == '\t';
    if (!space)
      out += c;
    else if (!out.empty() && out.back() != ' ')
      out += ' ';
  }
  if (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

// Whether `query` has filters the rules apply to each call read.
bool PostFiltered(const CallQuery& q) {
  return !q.statuses.empty() || q.status_below || !q.sold_to_any.empty() ||
         q.engineer || q.waiting;
}

// Whether `call` passes them. A property left out reads as 0 or "".
bool PostKeeps(const CallQuery& q, const StoredCall& call) {
  auto value = [&](CallProperty name) -> StoredValue {
    auto it = call.properties.find(name);
    return it == call.properties.end() ? StoredValue{} : it->second;
  };
  auto number = [&](CallProperty name) -> int64_t {
    StoredValue v = value(name);
    return v.type == VarType::String ? (v.text == "1" ? 1 : 0) : v.number;
  };
  int64_t status = number(CallProperty::Status);
  if (!q.statuses.empty() && std::find(q.statuses.begin(), q.statuses.end(),
                                       status) == q.statuses.end())
    return false;
  if (q.status_below && status >= *q.status_below) return false;
  if (!q.sold_to_any.empty() &&
      std::find(q.sold_to_any.begin(), q.sold_to_any.end(),
                value(CallProperty::SoldToBusinessPartner).text) ==
          q.sold_to_any.end())
    return false;
  if (q.engineer && value(CallProperty::Engineer).text != *q.engineer)
    return false;
  if (q.waiting && (number(CallProperty::WaitingFlag) == 1) != *q.waiting)
    return false;
  return true;
}

}  // namespace

StoredCall BackendStore::Created(const std::string& number, CallRow row) {
  StoredCall call = AsStored(number, std::move(row));
  call.created = CreatedAt(number);
  return call;
}

void BackendStore::ForEachCall(
    const CallQuery& query,
    const std::function<void(const StoredCall&)>& visit) {
  int64_t after = 0;
  std::optional<std::pair<int64_t, int64_t>> before;  // by last change
  if (query.after) {
    std::optional<int64_t> seq = SeqOfNumber(*query.after);
    std::optional<CallRow> row;
    if (seq)
      engine_->ReadTransaction([&] { row = engine_->ReadCall(*seq, false); });
    if (!row) RaiseBackend("no service call '" + *query.after + "'");
    after = *seq;
    before = {after, row->properties[CallProperty::LastTransactionTime].number};
  }
  int64_t left = query.limit.value_or(INT64_MAX);
  // A page as long as what is left, or a whole page when the rules filter
  // what it holds; a call is handed on when it passes them.
  bool filtered = PostFiltered(query);
  auto page_size = [&] { return filtered ? kPage : std::min(left, kPage); };
  auto hand_on = [&](StoredCall call) {
    if (filtered && !PostKeeps(query, call)) return;
    --left;
    visit(call);
  };
  if (query.words) {  // newest first, each page on one snapshot
    int64_t below = query.after ? after : INT64_MAX;
    for (bool more = true; more && left > 0;) {
      engine_->ReadTransaction([&] {
        int64_t want = page_size();
        auto page = engine_->SearchCallPage(query, below, want);
        more = static_cast<int64_t>(page.size()) == want;
        for (auto& hit : page) {
          if (left == 0) break;
          std::optional<CallRow> row = engine_->ReadCall(hit.seq, false);
          below = hit.seq;
          if (!row) continue;
          StoredCall call = Created(Numbered("SC", hit.seq), std::move(*row));
          call.match = OneLine(hit.match);
          hand_on(std::move(call));
        }
      });
    }
    return;
  }
  if (query.newest_change_first) {  // each page on one snapshot
    for (bool more = true; more && left > 0;) {
      engine_->ReadTransaction([&] {
        int64_t want = page_size();
        auto page = engine_->ChangedCallPage(query, before, want);
        more = static_cast<int64_t>(page.size()) == want;
        for (const auto& [seq, time] : page) {
          if (left == 0) break;
          std::optional<CallRow> row = engine_->ReadCall(seq, false);
          before = {seq, time};
          if (row) hand_on(Created(Numbered("SC", seq), std::move(*row)));
        }
      });
    }
    return;
  }
  // A page at a time in sequence order, each page on one snapshot; each
  // call is read and handed on before the next, so memory does not grow
  // with the table. A page run again (after a lost connection) goes on
  // after the last call handed on.
  for (bool more = true; more && left > 0;) {
    // Calls past the settled ones wait for a later listing: a lower number
    // might still commit.
    int64_t settled = engine_->SettledSeq();
    engine_->ReadTransaction([&] {
      int64_t want = page_size();
      std::vector<int64_t> page = engine_->CallPage(query, after, want);
      more = static_cast<int64_t>(page.size()) == want;
      for (int64_t seq : page) {
        if (seq > settled) {
          more = false;
          break;
        }
        if (left == 0) break;
        std::optional<CallRow> row = engine_->ReadCall(seq, false);
        after = seq;
        if (row) hand_on(Created(Numbered("SC", seq), std::move(*row)));
      }
    });
  }
}

int64_t BackendStore::CountCalls(const CallQuery& query, int64_t cap) {
  int64_t n = 0;
  if (PostFiltered(query)) {  // each call read
    CallQuery counted = query;
    counted.after.reset();
    counted.limit = cap;
    ForEachCall(counted, [&](const StoredCall&) { ++n; });
    return n;
  }
  if (query.words) {
    for (int64_t below = INT64_MAX; n < cap;) {
      int64_t want = std::min(kPage, cap - n);
      std::vector<StorageEngine::SearchHit> page;
      engine_->ReadTransaction(
          [&] { page = engine_->SearchCallPage(query, below, want); });
      n += static_cast<int64_t>(page.size());
      if (static_cast<int64_t>(page.size()) < want) break;
      below = page.back().seq;
    }
    return n;
  }
  int64_t after = 0;
  while (n < cap) {
    int64_t want = std::min(kPage, cap - n);
    std::vector<int64_t> page;
    engine_->ReadTransaction(
        [&] { page = engine_->CallPage(query, after, want); });
    n += static_cast<int64_t>(page.size());
    if (static_cast<int64_t>(page.size()) < want) break;
    after = page.back();
  }
  return n;
}

CallTally BackendStore::TallyCalls(int64_t top, std::optional<int64_t> now) {
  if (!now)
    now = StorableTransactionTime(static_cast<int64_t>(std::time(nullptr)));
  CallTally tally;
  engine_->ReadTransaction([&] { tally = engine_->TallyCalls(*now, top); });
  return tally;
}

std::vector<StoredCall> BackendStore::Calls(const CallQuery& query) {
  std::vector<StoredCall> out;
  ForEachCall(query, [&](const StoredCall& c) { out.push_back(c); });
  return out;
}

std::optional<StoredCall> BackendStore::Call(const std::string& number) {
  return LoadCall(number);
}

std::optional<StoredItem> BackendStore::Item(const std::string& serial) {
  std::optional<StoredItem> item;
  engine_->ReadTransaction([&] { item = ItemIn(serial); });
  return item;
}

std::optional<StoredItem> BackendStore::ItemIn(const std::string& serial) {
  std::optional<std::string> component = engine_->ItemComponent(serial);
  if (!component) return std::nullopt;
  return StoredItem{serial, *component, engine_->ItemFields(serial)};
}

void BackendStore::ForEachItem(
    const ItemQuery& query,
    const std::function<void(const StoredItem&)>& visit) {
  if (query.after) {
    bool found = false;
    engine_->ReadTransaction(
        [&] { found = engine_->ItemComponent(*query.after).has_value(); });
    if (!found) RaiseBackend("no serialized item '" + *query.after + "'");
  }
  std::optional<std::string> after = query.after;
  int64_t left = query.limit.value_or(INT64_MAX);
  for (bool more = true; more && left > 0;) {
    engine_->ReadTransaction([&] {
      // A search reads whole pages: most items may not match.
      int64_t want = query.text ? kPage : std::min(left, kPage);
      std::vector<std::string> page = engine_->ItemPage(after, want);
      more = static_cast<int64_t>(page.size()) == want;
      for (const std::string& serial : page) {
        std::optional<StoredItem> item = ItemIn(serial);
        after = serial;
        if (!item || (query.text && !ItemMatches(*item, *query.text))) continue;
        visit(*item);
        if (--left == 0) break;
      }
    });
  }
}

std::vector<StoredItem> BackendStore::Items(const ItemQuery& query) {
  std::vector<StoredItem> out;
  ForEachItem(query, [&](const StoredItem& i) { out.push_back(i); });
  return out;
}

}  // namespace quillet::standins
