#include "support/memory_engine.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <ctime>
#include <iterator>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <tuple>

#include "backend_failure.h"
#include "search_words.h"
#include "support/search_fold.h"

namespace quillet::testing {
namespace {

using adapter::CallProperty;
using standins::CallRow;
using standins::CallTally;
using standins::EventFilter;
using standins::EventRecord;
using standins::KeyListing;
using standins::KeyRecord;
using standins::MasterTable;
using standins::MasterValue;
using standins::OpenMode;
using standins::RaiseBackend;
using standins::ServiceObjectFacts;
using standins::StorageEngine;
using standins::StoredValue;
using standins::StoreFacts;
using Fields = std::vector<std::pair<std::string, std::string>>;

struct StoredCallRow {
  std::string component;
  int64_t time = 0;
  CallRow row;
};
struct Item {
  std::string component;
  Fields fields;
};
struct Key {
  KeyRecord record;
  int64_t created_at = 0, expires_at = 0;
};
struct Run {
  BatchRun run;
  int state = 0;  // 0 running, 1 finished, 2 set aside
  int64_t updated_at = 0, order = 0;
};

// What one database holds; copied whole to begin a write, so that a
// failure or a dry run puts it back.
struct Data {
  std::map<int64_t, StoredCallRow> calls;
  std::map<std::string, std::vector<std::string>> partners, objects;
  std::map<std::string, int64_t> minutes;
  std::map<std::string, Item> items;
  std::map<std::string, Key> keys;
  std::map<std::string, Run> runs;  // by identity
  int64_t updates = 0;
  std::map<int64_t, standins::EventRecord> events;  // by position
  int64_t last_position = 0, pruned_through = 0;
  std::map<std::string, standins::WebhookProgress> webhooks;  // by endpoint
};

struct Database {
  std::recursive_mutex mutex;
  Data data;
  int64_t clock_offset = 0;
  int64_t Now() const {
    return static_cast<int64_t>(std::time(nullptr)) + clock_offset;
  }
};

struct Databases {
  std::mutex mutex;
  std::map<std::string, std::shared_ptr<Database>> by_address;
  int64_t made = 0;
};
Databases& TheDatabases() {
  static Databases databases;
  return databases;
}

std::shared_ptr<Database> Find(const std::string& address) {
  Databases& all = TheDatabases();
  std::lock_guard lock(all.mutex);
  auto it = all.by_address.find(address);
  return it == all.by_address.end() ? nullptr : it->second;
}

int64_t StatusOf(const CallRow& row) {
  auto it = row.properties.find(CallProperty::Status);
  return it == row.properties.end() ? 0 : it->second.number;
}
std::optional<std::string> TextOf(const CallRow& row, CallProperty property) {
  auto it = row.properties.find(property);
  if (it == row.properties.end()) return std::nullopt;
  return it->second.text;
}

// What `query` keeps of a call, as the SQL engines filter: a call without a
// status has status 0, in either order.
bool Keeps(const CallQuery& query, const StoredCallRow& call) {
  if (query.changed_since && call.time < *query.changed_since) return false;
  if (query.status && StatusOf(call.row) != *query.status) return false;
  if (query.sold_to && TextOf(call.row, CallProperty::SoldToBusinessPartner) !=
                           std::optional(*query.sold_to))
    return false;
  if (query.text) {
    std::optional<std::string> description =
        TextOf(call.row, CallProperty::CallDescription);
    if (!description || description->find(*query.text) == std::string::npos)
      return false;
  }
  return true;
}

class MemoryEngine final : public StorageEngine {
 public:
  explicit MemoryEngine(std::shared_ptr<Database> db) : db_(std::move(db)) {}

  void WriteTransaction(const std::function<void()>& work,
                        Ending ending) override {
    std::lock_guard lock(db_->mutex);
    Data before = db_->data;
    try {
      work();
    } catch (...) {
      db_->data = std::move(before);
      throw;
    }
    if (ending == Ending::kRollBack) db_->data = std::move(before);
  }
  void ReadTransaction(const std::function<void()>& work) override {
    std::lock_guard lock(db_->mutex);
    work();
  }
  void CheckWritable() override {}
  int64_t SettledSeq() override { return INT64_MAX; }

  int64_t NewCallSeq() override {
    return Tables().calls.empty() ? 1 : Tables().calls.rbegin()->first + 1;
  }
  void InsertCall(int64_t seq, const std::string&, const std::string& component,
                  int64_t time, const CallRow& row) override {
    if (!Tables()
             .calls.emplace(seq, StoredCallRow{component, time, row})
             .second)
      RaiseBackend("call " + std::to_string(seq) + " is stored already");
  }
  std::optional<CallRow> ReadCall(int64_t seq, bool) override {
    auto it = Tables().calls.find(seq);
    if (it == Tables().calls.end()) return std::nullopt;
    return it->second.row;
  }
  void RewriteCall(int64_t seq, const std::string&, int64_t time,
                   const CallRow&, const CallRow& after,
                   const TextChanges&) override {
    StoredCallRow& call = Tables().calls.at(seq);
    call.time = time;
    call.row = after;
  }
  std::vector<int64_t> CallPage(const CallQuery& query, int64_t after_seq,
                                int64_t limit) override {
    std::vector<int64_t> out;
    for (auto it = Tables().calls.upper_bound(after_seq);
         it != Tables().calls.end() && static_cast<int64_t>(out.size()) < limit;
         ++it)
      if (Keeps(query, it->second)) out.push_back(it->first);
    return out;
  }
  std::vector<std::pair<int64_t, int64_t>> ChangedCallPage(
      const CallQuery& query,
      const std::optional<std::pair<int64_t, int64_t>>& before,
      int64_t limit) override {
    std::vector<std::pair<int64_t, int64_t>> all;  // (time, seq)
    for (const auto& [seq, call] : Tables().calls) {
      if (before &&
          std::pair(call.time, seq) >= std::pair(before->second, before->first))
        continue;
      if (Keeps(query, call)) all.emplace_back(call.time, seq);
    }
    std::sort(all.rbegin(), all.rend());
    std::vector<std::pair<int64_t, int64_t>> out;
    for (const auto& [time, seq] : all) {
      if (static_cast<int64_t>(out.size()) == limit) break;
      out.emplace_back(seq, time);
    }
    return out;
  }

  CallTally TallyCalls(int64_t now, int64_t top) override {
    CallTally tally;
    std::map<std::string, int64_t> by_sold_to;
    for (const auto& [seq, call] : Tables().calls) {
      ++tally.calls;
      ++tally.by_status[StatusOf(call.row)];
      int age = 0;
      while (age < 3 && now - call.time >= CallTally::kAgeBounds[age]) ++age;
      ++tally.by_age[age];
      if (auto partner = TextOf(call.row, CallProperty::SoldToBusinessPartner))
        ++by_sold_to[*partner];
    }
    std::vector<std::pair<std::string, int64_t>> ranked(by_sold_to.begin(),
                                                        by_sold_to.end());
    std::stable_sort(ranked.begin(), ranked.end(),
                     [](auto& a, auto& b) { return a.second > b.second; });
    if (static_cast<int64_t>(ranked.size()) > top) ranked.resize(top);
    tally.other_sold_to = tally.calls;
    for (const auto& entry : ranked) tally.other_sold_to -= entry.second;
    tally.by_sold_to = std::move(ranked);
    return tally;
  }

  // The SQL engines' search, word by word over the same texts; the match
  // is the first line of them that holds a word.
  std::vector<SearchHit> SearchCallPage(const CallQuery& query,
                                        int64_t before_seq,
                                        int64_t limit) override {
    std::vector<std::string> words =
        standins::SearchWords(query.words.value_or(""));
    std::vector<SearchHit> out;
    auto& calls = Tables().calls;
    for (auto it = std::make_reverse_iterator(calls.lower_bound(before_seq));
         !words.empty() && it != calls.rend() &&
         static_cast<int64_t>(out.size()) < limit;
         ++it) {
      if (!Keeps(query, it->second)) continue;
      std::vector<std::string> lines;
      for (CallProperty name : standins::kSearchedProperties)
        lines.push_back(TextOf(it->second.row, name).value_or(""));
      auto partner = Tables().partners.find(
          TextOf(it->second.row, CallProperty::SoldToBusinessPartner)
              .value_or(""));
      lines.push_back(partner == Tables().partners.end() ? ""
                                                         : partner->second[1]);
      for (const auto* text :
           {&it->second.row.text, &it->second.row.solution_text}) {
        lines.emplace_back();
        for (const std::string& piece : *text) lines.back() += piece;
      }
      std::string all;
      for (const std::string& line : lines) all += line + "\n";
      if (!HoldsWords(all, words)) continue;
      std::string match;
      for (const std::string& line : lines)
        for (const std::string& word : words)
          if (match.empty() && HoldsWords(line, {word})) match = line;
      out.push_back(SearchHit{it->first, match.substr(0, 200)});
    }
    return out;
  }

  bool BusinessPartnerExists(const std::string& number) override {
    return Tables().partners.contains(number);
  }
  std::optional<ServiceObjectFacts> ServiceObject(
      const std::string& object) override {
    auto it = Tables().objects.find(object);
    if (it == Tables().objects.end()) return std::nullopt;
    const std::vector<std::string>& r = it->second;
    return ServiceObjectFacts{r[1], r[2], r[3], r[4]};
  }
  int64_t EngineerMinutes(const std::string& question) override {
    auto it = Tables().minutes.find(question);
    return it == Tables().minutes.end() ? 0 : it->second;
  }
  std::vector<std::vector<std::string>> MasterPage(MasterTable table,
                                                   const std::string& after,
                                                   int64_t limit) override {
    auto& rows = Rows(table);
    std::vector<std::vector<std::string>> out;
    for (auto it = rows.upper_bound(after);
         it != rows.end() && static_cast<int64_t>(out.size()) < limit; ++it)
      out.push_back(it->second);
    return out;
  }
  std::optional<std::vector<std::string>> MasterRowOf(
      MasterTable table, const std::string& key) override {
    auto& rows = Rows(table);
    auto it = rows.find(key);
    if (it == rows.end()) return std::nullopt;
    return it->second;
  }
  void PutMasterRow(MasterTable table,
                    const std::vector<MasterValue>& values) override {
    if (table == MasterTable::kEngineerTime) {
      Tables().minutes[values.at(0).text] = values.at(1).number.value_or(0);
      return;
    }
    std::vector<std::string> row;
    for (const MasterValue& v : values) row.push_back(v.text);
    Rows(table)[row.at(0)] = row;
  }

  std::optional<std::string> ItemComponent(const std::string& serial) override {
    auto it = Tables().items.find(serial);
    if (it == Tables().items.end()) return std::nullopt;
    return it->second.component;
  }
  void InsertItem(const std::string& serial,
                  const std::string& component) override {
    if (!Tables().items.emplace(serial, Item{component, {}}).second)
      RaiseBackend("item '" + serial + "' is stored already");
  }
  void TouchItem(const std::string& serial,
                 const std::string& component) override {
    Tables().items.at(serial).component = component;
  }
  void PutItemFields(const std::string& serial, const Fields& fields) override {
    Fields& stored = Tables().items.at(serial).fields;
    for (const auto& field : fields) {
      auto it = std::find_if(stored.begin(), stored.end(), [&](const auto& f) {
        return f.first == field.first;
      });
      if (it != stored.end())
        it->second = field.second;
      else
        stored.push_back(field);
    }
  }
  Fields ItemFields(const std::string& serial) override {
    return Tables().items.at(serial).fields;
  }
  std::vector<std::string> ItemPage(const std::optional<std::string>& after,
                                    int64_t limit) override {
    std::vector<std::string> out;
    auto it =
        after ? Tables().items.upper_bound(*after) : Tables().items.begin();
    for (;
         it != Tables().items.end() && static_cast<int64_t>(out.size()) < limit;
         ++it)
      out.push_back(it->first);
    return out;
  }

  std::optional<KeyRecord> FindKey(const std::string& key) override {
    auto it = Tables().keys.find(key);
    if (it == Tables().keys.end()) return std::nullopt;
    if (it->second.expires_at <= db_->Now()) {
      Tables().keys.erase(it);
      return std::nullopt;
    }
    return it->second.record;
  }
  std::optional<KeyRecord> LiveKey(const std::string& key) override {
    auto it = Tables().keys.find(key);
    if (it == Tables().keys.end() || it->second.expires_at <= db_->Now())
      return std::nullopt;
    return it->second.record;
  }
  void InsertKey(const std::string& key, const KeyRecord& record,
                 int64_t lifetime_seconds) override {
    int64_t now = db_->Now();
    if (!Tables()
             .keys.emplace(key, Key{record, now, now + lifetime_seconds})
             .second)
      RaiseBackend("request key '" + key + "' is stored already");
  }
  std::optional<BatchRun> StandingBatchRun(
      const std::string& file_name, const std::string& identity) override {
    const Run* latest = nullptr;
    for (const auto& [id, r] : Tables().runs)
      if (r.run.file_name == file_name && r.state != 2 && id != identity &&
          (!latest || std::tie(r.updated_at, r.order) >
                          std::tie(latest->updated_at, latest->order)))
        latest = &r;
    if (!latest) return std::nullopt;
    return latest->run;
  }
  void PutBatchRun(const BatchRun& run, int64_t now) override {
    Run& stored = Tables().runs[run.identity];
    int64_t done = std::max(stored.run.lines_done, run.lines_done);
    stored.run = run;
    stored.run.lines_done = done;
    stored.state = run.finished ? 1 : 0;
    stored.updated_at = now;
    stored.order = ++Tables().updates;
  }
  void SetAsideBatchRuns(const std::string& file_name,
                         const std::string& identity) override {
    for (auto& [id, r] : Tables().runs)
      if (r.run.file_name == file_name && r.state != 2 && id != identity)
        r.state = 2;
  }
  void PruneKeys(int limit) override {
    int64_t now = db_->Now();
    Prune(
        limit, [&](const Key& k) { return k.expires_at <= now; },
        [](const Key& k) { return k.expires_at; });
  }
  void PruneKeysCreatedBefore(int64_t created_before, int limit) override {
    Prune(
        limit, [&](const Key& k) { return k.created_at < created_before; },
        [](const Key& k) { return k.created_at; });
  }
  std::vector<KeyListing> KeyPage(const std::optional<std::string>& after,
                                  int64_t limit) override {
    std::vector<KeyListing> out;
    auto it = after ? Tables().keys.upper_bound(*after) : Tables().keys.begin();
    for (;
         it != Tables().keys.end() && static_cast<int64_t>(out.size()) < limit;
         ++it)
      out.push_back({it->first, std::string(Spelling(it->second.record.kind)),
                     it->second.created_at});
    return out;
  }
  void AppendEvent(const EventRecord& event) override {
    EventRecord& stored = Tables().events[++Tables().last_position];
    stored = event;
    stored.position = Tables().last_position;
    stored.at = db_->Now();
  }
  std::vector<EventRecord> EventPage(const EventFilter& f) override {
    std::vector<EventRecord> out;
    auto keep = [&](const EventRecord& e) {
      return (f.call.empty() || e.call == f.call) &&
             (f.item.empty() || e.item == f.item) &&
             (f.operation.empty() || e.operation == f.operation);
    };
    auto& events = Tables().events;
    if (f.newest_first) {
      for (auto it = std::make_reverse_iterator(
               events.lower_bound(f.before.value_or(INT64_MAX)));
           it != events.rend() && static_cast<int64_t>(out.size()) < f.limit;
           ++it)
        if (keep(it->second)) out.push_back(it->second);
      return out;
    }
    for (auto it = events.upper_bound(f.after);
         it != events.end() && static_cast<int64_t>(out.size()) < f.limit; ++it)
      if (keep(it->second)) out.push_back(it->second);
    return out;
  }
  int64_t SettledEventPosition() override { return INT64_MAX; }
  int64_t EventsPrunedThrough() override { return Tables().pruned_through; }
  int64_t PruneEvents(int64_t unix_time, int64_t limit) override {
    int64_t count = 0;
    auto& events = Tables().events;
    for (auto it = events.begin(); it != events.end() && count < limit;) {
      if (it->second.at >= unix_time) break;
      Tables().pruned_through = std::max(Tables().pruned_through, it->first);
      it = events.erase(it);
      ++count;
    }
    return count;
  }

  std::optional<standins::WebhookProgress> WebhookProgressOf(
      const std::string& endpoint) override {
    auto it = Tables().webhooks.find(endpoint);
    if (it == Tables().webhooks.end()) return std::nullopt;
    return it->second;
  }
  void PutWebhookProgress(const standins::WebhookProgress& p) override {
    standins::WebhookProgress& stored = Tables().webhooks[p.endpoint];
    stored = p;
    stored.updated = db_->Now();
  }
  std::vector<standins::WebhookProgress> AllWebhookProgress() override {
    std::vector<standins::WebhookProgress> out;
    for (const auto& [endpoint, p] : Tables().webhooks) out.push_back(p);
    std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) {
      return std::tie(a.url, a.endpoint) < std::tie(b.url, b.endpoint);
    });
    return out;
  }

  StoreFacts Facts() override {
    StoreFacts facts;
    facts.calls = static_cast<int64_t>(Tables().calls.size());
    facts.items = static_cast<int64_t>(Tables().items.size());
    facts.request_keys = static_cast<int64_t>(Tables().keys.size());
    for (const auto& [key, k] : Tables().keys)
      facts.oldest_key =
          std::min(facts.oldest_key.value_or(k.created_at), k.created_at);
    return facts;
  }

 private:
  Data& Tables() { return db_->data; }
  std::map<std::string, std::vector<std::string>>& Rows(MasterTable table) {
    return table == MasterTable::kBusinessPartners ? Tables().partners
                                                   : Tables().objects;
  }
  template <class Which, class Order>
  void Prune(int limit, Which which, Order order) {
    std::vector<std::pair<int64_t, std::string>> doomed;
    for (const auto& [key, k] : Tables().keys)
      if (which(k)) doomed.emplace_back(order(k), key);
    std::sort(doomed.begin(), doomed.end());
    for (size_t i = 0; i < doomed.size() && i < static_cast<size_t>(limit); ++i)
      Tables().keys.erase(doomed[i].second);
  }

  std::shared_ptr<Database> db_;
};

// Thrown inside a transaction to have it run again.
struct RunAgain {};

class FailingEngine final : public StorageEngine {
 public:
  FailingEngine(std::unique_ptr<StorageEngine> inner, int64_t nth, Fault fault)
      : inner_(std::move(inner)), nth_(nth), fault_(fault) {}

  void WriteTransaction(const std::function<void()>& work,
                        Ending ending) override {
    for (int attempt = 1;; ++attempt) {
      lost_commit_ = false;
      try {
        inner_->WriteTransaction(work, ending);
      } catch (const RunAgain&) {
        if (attempt == 3)
          RaiseBackend("the database stayed busy; nothing was written",
                       standins::FailureKind::kRetryLater);
        continue;
      }
      if (lost_commit_)
        RaiseBackend("the connection was lost at the commit",
                     standins::FailureKind::kOutcomeUnknown);
      return;
    }
  }
  void ReadTransaction(const std::function<void()>& work) override {
    for (int attempt = 1;; ++attempt) {
      try {
        inner_->ReadTransaction(work);
        return;
      } catch (const RunAgain&) {
        if (attempt == 3) RaiseBackend("the database stayed away");
      }
    }
  }
  void CheckWritable() override {
    Step([&] { inner_->CheckWritable(); });
  }
  int64_t SettledSeq() override { return inner_->SettledSeq(); }
  int64_t SettledEventPosition() override {
    return inner_->SettledEventPosition();
  }

#define QUILLET_FORWARD(call, ...)             \
  __VA_ARGS__ override {                       \
    return Step([&] { return inner_->call; }); \
  }
  QUILLET_FORWARD(NewCallSeq(), int64_t NewCallSeq())
  QUILLET_FORWARD(InsertCall(seq, number, component, time, row),
                  void InsertCall(int64_t seq, const std::string& number,
                                  const std::string& component, int64_t time,
                                  const CallRow& row))
  QUILLET_FORWARD(ReadCall(seq, lock),
                  std::optional<CallRow> ReadCall(int64_t seq, bool lock))
  QUILLET_FORWARD(RewriteCall(seq, number, time, before, after, texts),
                  void RewriteCall(int64_t seq, const std::string& number,
                                   int64_t time, const CallRow& before,
                                   const CallRow& after,
                                   const TextChanges& texts))
  QUILLET_FORWARD(CallPage(q, after, limit),
                  std::vector<int64_t> CallPage(const CallQuery& q,
                                                int64_t after, int64_t limit))
  QUILLET_FORWARD(ChangedCallPage(q, before, limit),
                  std::vector<std::pair<int64_t, int64_t>> ChangedCallPage(
                      const CallQuery& q,
                      const std::optional<std::pair<int64_t, int64_t>>& before,
                      int64_t limit))
  QUILLET_FORWARD(TallyCalls(now, top),
                  CallTally TallyCalls(int64_t now, int64_t top))
  QUILLET_FORWARD(SearchCallPage(q, before, limit),
                  std::vector<SearchHit> SearchCallPage(const CallQuery& q,
                                                        int64_t before,
                                                        int64_t limit))
  QUILLET_FORWARD(BusinessPartnerExists(number),
                  bool BusinessPartnerExists(const std::string& number))
  QUILLET_FORWARD(
      ServiceObject(o),
      std::optional<ServiceObjectFacts> ServiceObject(const std::string& o))
  QUILLET_FORWARD(EngineerMinutes(q),
                  int64_t EngineerMinutes(const std::string& q))
  QUILLET_FORWARD(MasterPage(t, after, limit),
                  std::vector<std::vector<std::string>> MasterPage(
                      MasterTable t, const std::string& after, int64_t limit))
  QUILLET_FORWARD(MasterRowOf(t, key),
                  std::optional<std::vector<std::string>> MasterRowOf(
                      MasterTable t, const std::string& key))
  QUILLET_FORWARD(PutMasterRow(t, values),
                  void PutMasterRow(MasterTable t,
                                    const std::vector<MasterValue>& values))
  QUILLET_FORWARD(
      ItemComponent(serial),
      std::optional<std::string> ItemComponent(const std::string& serial))
  QUILLET_FORWARD(InsertItem(serial, component),
                  void InsertItem(const std::string& serial,
                                  const std::string& component))
  QUILLET_FORWARD(TouchItem(serial, component),
                  void TouchItem(const std::string& serial,
                                 const std::string& component))
  QUILLET_FORWARD(PutItemFields(serial, fields),
                  void PutItemFields(const std::string& serial,
                                     const Fields& fields))
  QUILLET_FORWARD(ItemFields(serial),
                  Fields ItemFields(const std::string& serial))
  QUILLET_FORWARD(ItemPage(after, limit),
                  std::vector<std::string> ItemPage(
                      const std::optional<std::string>& after, int64_t limit))
  QUILLET_FORWARD(FindKey(key),
                  std::optional<KeyRecord> FindKey(const std::string& key))
  QUILLET_FORWARD(LiveKey(key),
                  std::optional<KeyRecord> LiveKey(const std::string& key))
  QUILLET_FORWARD(InsertKey(key, r, lifetime),
                  void InsertKey(const std::string& key, const KeyRecord& r,
                                 int64_t lifetime))
  QUILLET_FORWARD(StandingBatchRun(file, identity),
                  std::optional<BatchRun> StandingBatchRun(
                      const std::string& file, const std::string& identity))
  QUILLET_FORWARD(PutBatchRun(run, now),
                  void PutBatchRun(const BatchRun& run, int64_t now))
  QUILLET_FORWARD(SetAsideBatchRuns(file, identity),
                  void SetAsideBatchRuns(const std::string& file,
                                         const std::string& identity))
  QUILLET_FORWARD(PruneKeys(limit), void PruneKeys(int limit))
  QUILLET_FORWARD(PruneKeysCreatedBefore(before, limit),
                  void PruneKeysCreatedBefore(int64_t before, int limit))
  QUILLET_FORWARD(KeyPage(after, limit),
                  std::vector<KeyListing> KeyPage(
                      const std::optional<std::string>& after, int64_t limit))
  QUILLET_FORWARD(Facts(), StoreFacts Facts())
  QUILLET_FORWARD(AppendEvent(event),
                  void AppendEvent(const EventRecord& event))
  QUILLET_FORWARD(EventPage(f),
                  std::vector<EventRecord> EventPage(const EventFilter& f))
  QUILLET_FORWARD(EventsPrunedThrough(), int64_t EventsPrunedThrough())
  QUILLET_FORWARD(WebhookProgressOf(endpoint),
                  std::optional<standins::WebhookProgress> WebhookProgressOf(
                      const std::string& endpoint))
  QUILLET_FORWARD(PutWebhookProgress(p),
                  void PutWebhookProgress(const standins::WebhookProgress& p))
  QUILLET_FORWARD(AllWebhookProgress(),
                  std::vector<standins::WebhookProgress> AllWebhookProgress())
  QUILLET_FORWARD(PruneEvents(t, limit),
                  int64_t PruneEvents(int64_t t, int64_t limit))
#undef QUILLET_FORWARD

 private:
  template <class F>
  auto Step(F statement) -> decltype(statement()) {
    if (++statements_ == nth_) {
      switch (fault_) {
        case Fault::kError:
          RaiseBackend("injected: statement " + std::to_string(nth_));
        case Fault::kConflict:
        case Fault::kLostConnection:
          throw RunAgain{};
        case Fault::kLostCommit:
          lost_commit_ = true;
          break;
      }
    }
    return statement();
  }

  std::unique_ptr<StorageEngine> inner_;
  int64_t nth_;
  Fault fault_;
  int64_t statements_ = 0;
  bool lost_commit_ = false;
};

}  // namespace

std::string NewMemoryDatabase() {
  Databases& all = TheDatabases();
  std::lock_guard lock(all.mutex);
  if (all.made == 0)
    standins::RegisterStorageEngine(
        "memory:", [](const std::string& where, OpenMode open) {
          std::shared_ptr<Database> db = Find(where);
          if (!db) RaiseBackend("no database '" + where + "'");
          (void)open;  // an in-memory database has no older schema
          return std::make_unique<MemoryEngine>(std::move(db));
        });
  std::string address = "memory:" + std::to_string(++all.made);
  all.by_address[address] = std::make_shared<Database>();
  return address;
}

std::string DumpMemoryDatabase(const std::string& address) {
  std::shared_ptr<Database> db = Find(address);
  if (!db) throw std::runtime_error("no database " + address);
  std::lock_guard lock(db->mutex);
  const Data& d = db->data;
  std::ostringstream out;
  out << "table calls\n";
  for (const auto& [seq, call] : d.calls) {
    out << seq << '|' << call.component << '|' << call.time;
    ForEachStored(call.row.properties, call.row.unknown_properties,
                  [&](std::string_view name, const StoredValue& v) {
                    out << '|' << name << '=' << TypeName(v.type) << ':'
                        << v.text << ':' << v.number;
                  });
    for (const auto& piece : call.row.text) out << "|t:" << piece;
    for (const auto& piece : call.row.solution_text) out << "|s:" << piece;
    out << '\n';
  }
  out << "table items\n";
  for (const auto& [serial, item] : d.items) {
    out << serial << '|' << item.component;
    for (const auto& [name, value] : item.fields)
      out << '|' << name << '=' << value;
    out << '\n';
  }
  out << "table batch_runs\n";
  for (const auto& [id, r] : d.runs)
    out << id << '|' << r.run.file_name << '|' << r.run.lines << '|'
        << r.run.lines_done << '|' << r.state << '\n';
  // An event's time is the clock's: written last, as "at=SECONDS".
  out << "table events\n";
  for (const auto& [position, e] : d.events)
    out << position << '|' << e.actor << '|' << e.channel << '|' << e.operation
        << '|' << e.option.value_or(-1) << '|' << e.call << '|' << e.item << '|'
        << e.request_key << '|' << e.dry_run << '|' << e.done << '|'
        << e.outcome << '|' << e.changes << "|at=" << e.at << '\n';
  out << "table request_keys\n";
  for (const auto& [key, k] : d.keys)
    out << key << '|' << Spelling(k.record.kind) << '|' << k.record.digest
        << '|' << k.record.answer << '|' << k.expires_at - k.created_at << '\n';
  return out.str();
}

std::unique_ptr<StorageEngine> OpenMemoryDatabase(const std::string& address) {
  std::shared_ptr<Database> db = Find(address);
  if (!db) throw std::runtime_error("no database " + address);
  return std::make_unique<MemoryEngine>(std::move(db));
}

void AdvanceMemoryClock(const std::string& address, int64_t seconds) {
  std::shared_ptr<Database> db = Find(address);
  std::lock_guard lock(db->mutex);
  db->clock_offset += seconds;
}

std::unique_ptr<StorageEngine> FailingAt(std::unique_ptr<StorageEngine> inner,
                                         int64_t nth, Fault fault) {
  return std::make_unique<FailingEngine>(std::move(inner), nth, fault);
}

}  // namespace quillet::testing
