// The embedded back end's store: its rules over one of two storage
// engines, chosen by where the data lives: a SQLite database file (the
// default, on one machine) or a PostgreSQL database (a connection URI
// "postgresql://..." or "postgres://...", libpq's environment variables
// honoured), which any number of hosts may share.
//
// Service calls are stored with every property that was set on them (by its
// record property name), their texts as pieces in the order received, and
// the facts the back end assigns (call number, last transaction time,
// contract and warranty, service order). Master data (service objects with
// contracts and warranties, business partners, engineer time per question)
// and serialized items live in the same database.
//
// A Quillet database is marked as one (SQLite: application_id is
// kApplicationId and user_version the schema version; PostgreSQL: the table
// quillet_meta). Opening refuses, before writing anything, a database that
// is not Quillet's, one of a newer schema, and the SQLite paths that would
// lose data (an empty path, ":memory:", "file:" URIs); it creates the schema
// in an empty database and brings an older one up to date when opened for
// writing. Call numbers are "SC" and the call's sequence number, at least six
// digits ("SC000042", "SC1000000"), the sequence coming from the database
// (unique across hosts, never reused); listings order calls by sequence.
// The last transaction time is the clock at the change, in seconds since
// 2000-01-01T00:00:00Z (kTimeEpoch), which a 32-bit Long holds until 2068;
// two changes in the same second share it.
//
// Every submit is one transaction: a call and all its texts are stored whole
// or not at all. Changes of one call are serialised (SQLite: one writer at a
// time; PostgreSQL: the call's row is locked), and a transaction that meets
// a concurrent one is run again, a bounded number of times, before it fails
// with a clear error and nothing written.
//
// A submit may carry a request key (object_context.h). The first submit
// under a key records, in its own transaction, the key, the kind of request,
// a digest of the request (of its caller's name for it when there is one,
// else of what was submitted) and the answer it gave (refusals too). A
// later submit under the same key writes nothing: the same request is
// answered as the first time (`replayed`); a different request is refused
// with a message naming the key. Each key is kept for the key retention its
// submit was made with (7 days unless set), counted by the database's clock
// from when it was written; once expired it is new again, and later keyed
// submits prune it, a few at a time.
//
// A BackendStore is one connection, used by one thread at a time (on SQLite
// for its reads: every store of a file in a process writes through one
// connection, whose commits the writes that arrive together share). Values are
// only ever bound as parameters. A failure raises a runtime error (number
// kBackendError, source "Holmfast.Adapter.Boi") naming what failed.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "quillet/standins/server_state.h"
#include "quillet/standins/store_types.h"

namespace quillet::standins {

// The last transaction time of a change made at Unix time `unix_seconds`.
inline int64_t TransactionTimeAt(int64_t unix_seconds) {
  return unix_seconds - kTimeEpoch;
}

// The same, for a change about to be stored: raises kBackendError, naming
// the date, when the time does not fit a 32-bit Long (after
// 2068-01-19T03:14:07Z, or before 1931-12-13T20:45:52Z): the change is
// refused rather than stamped with a time that wrapped around.
int64_t StorableTransactionTime(int64_t unix_seconds);

// An item's fields as (name, value) rows, in order.
using ItemFields = std::vector<std::pair<std::string, std::string>>;

struct StoredText {
  std::vector<std::string> pieces;
  std::string text_mode;  // "a" appends to what is stored, else replaces
};

// A call as submitted (what was set on the record) or as stored.
struct CallData {
  StoredProperties properties;  // what was set on the record
  std::optional<StoredText> text;
  std::optional<StoredText> solution_text;
};

struct StoredCall {
  std::string call_number;
  StoredProperties properties;           // includes assigned facts
  UnknownProperties unknown_properties;  // a later release's, kept as read
  std::vector<std::string> text;
  std::vector<std::string> solution_text;
  // When it was created (Unix seconds): the time of its first event;
  // nothing for a call created before the event log.
  std::optional<int64_t> created;
  std::string match;  // where a search found its words, cut short
  // Its version, which every change of it replaces: the position of its
  // last event, or "t" and its last transaction time when the log holds
  // none (a call older than the log, or whose events were pruned). Set by
  // Call(); empty in listings.
  std::string version;
};

struct SubmitOutcome {
  std::optional<StoredCall> stored;   // nothing when refused or unknown
  std::vector<std::string> messages;  // complaints, first one first
  bool nothing_to_apply = false;      // a change that changed nothing
  bool replayed = false;      // answered from the record of an earlier submit
  bool key_conflict = false;  // refused: the key named another request
  // Refused: the call is no longer the version the caller expected
  // (SetExpectedVersion); `stored` is the call as it is now.
  bool changed_since_read = false;
};

struct ItemOutcome {
  std::string refusal;  // "" when done
  bool replayed = false;
  bool key_conflict = false;  // refused: the key named another request
};

struct StoredItem {
  std::string serial;
  std::string component;
  ItemFields fields;
};

// Master data as listed for people choosing from it.
enum class MasterList { kBusinessPartners, kServiceObjects };
struct MasterEntry {
  std::string key;  // the partner's number, the object's name
  // Business partners: name. Service objects: contract, warranty,
  // warrantyDescription, warrantyExpiryDate.
  std::vector<std::pair<std::string, std::string>> columns;
};

class BackendContext;
class StorageEngine;
struct CallRow;
struct KeyRecord;
enum class RequestKind : uint8_t;

// How a request key is held once KeepAnswer has run (see there).
struct KeyHolding {
  enum class By : uint8_t { kKeptNow, kThisRequest, kAnotherRequest };
  By by = By::kKeptNow;
  std::string answer;  // kThisRequest: the answer KeepAnswer kept before
};

class BackendStore {
 public:
  using Open = OpenMode;
  // Raises kBackendError naming the path and the reason when the database
  // cannot be used as asked; a refused database is left untouched. On the
  // process's context, as a host's registration (backend_context.h): for
  // tests and tools acting as a host, never below a front end.
  explicit BackendStore(const std::string& path, Open open = Open::kForWriting);
  // The same, on the engines of `context` (backend_context.h) rather than
  // the process's.
  BackendStore(BackendContext& context, const std::string& path, Open open);
  // The rules over an engine made elsewhere (storage_engine.h).
  explicit BackendStore(std::unique_ptr<StorageEngine> engine);
  ~BackendStore();
  BackendStore(const BackendStore&) = delete;
  BackendStore& operator=(const BackendStore&) = delete;

  // A new call: numbered, stamped, contract and warranty from master data.
  // Refused (nothing stored) without a sold-to business partner; stored with
  // a message for an unknown business partner or service object.
  SubmitOutcome CreateCall(const std::string& component, const CallData& call,
                           const std::string& request_key = "");
  // Applies the properties that were set to the call named by CallNumber;
  // texts are appended ("a") or replace the stored ones. Status 30 completes
  // the call and gives it a service order. Refused for an unknown number or
  // a completed call; `nothing_to_apply` when every value equals the stored
  // one and there is no text.
  SubmitOutcome ChangeCall(const std::string& component, const CallData& call,
                           const std::string& request_key = "");

  // Engineer time recorded against a question; 0 when there is none.
  int32_t EngineerTime(const std::string& question_id);

  // Serialized items: SERIALNUMBER required (and ITEM to create).
  ItemOutcome CreateItem(const std::string& component, const ItemFields& fields,
                         const std::string& request_key = "");
  ItemOutcome ChangeItem(const std::string& component, const ItemFields& fields,
                         const std::string& request_key = "");

  // How long the request keys this store writes are kept
  // (kDefaultKeyRetentionSeconds unless set); keys written before keep
  // their own.
  void SetKeyRetention(int64_t seconds) { key_retention_ = seconds; }
  // While set, every write runs in full and is then rolled back: its outcome
  // is what it would have been, and nothing is stored (on PostgreSQL the
  // call-number sequence still advances).
  void SetDryRun(bool dry_run) { dry_run_ = dry_run; }
  // The caller's name for the request being submitted (the object
  // context's RequestDigest()); while set, a submit under a key is the same
  // request as an earlier one when their names are equal, whatever was
  // submitted. Empty: what was submitted is compared.
  void SetRequestName(std::string name) { request_name_ = std::move(name); }
  // Who submits the writes from now on, and through what ("service",
  // "command", "batch"; "" is a host's): each write carried out appends an
  // event saying so, in its own transaction (EventRecord).
  void SetActor(std::string actor, std::string channel) {
    actor_ = std::move(actor);
    channel_ = std::move(channel);
  }
  // UpdateCall's option for the changes submitted from now on, when known.
  void SetUpdateOption(std::optional<int64_t> option) { option_ = option; }
  // The version (StoredCall::version) the changes submitted from now on
  // expect their call to be, checked in the change's own transaction: a
  // call of another version is not changed (changed_since_read). "*": any
  // version; empty: no condition.
  void SetExpectedVersion(std::string version) {
    expected_version_ = std::move(version);
  }

  // The event log. RecordRefusal stores `refusal` (a write refused before
  // it reached the back end) in a transaction of its own, stamped by the
  // database's clock. Events answers a page of events as `filter` says,
  // never one past the settled position (StorageEngine::
  // SettledEventPosition): a reader that follows on from the last it was
  // given misses none and sees none twice.
  void RecordRefusal(const EventRecord& refusal);
  std::vector<EventRecord> Events(const EventFilter& filter);
  // The highest position pruned (0: none): events after a lower `after`
  // are partly gone.
  int64_t EventsPrunedThrough();
  // Removes the events stamped before `unix_time`, oldest first, a bounded
  // number per transaction; answers how many went.
  int64_t PruneEventsBefore(int64_t unix_time);

  // For a keyed request that ended before it reached a write (refused or
  // raised above the back end, from its own values): keeps `answer` under
  // `key` as a write's record is kept, unless the key holds one already, so
  // that a retry is answered the same and another request under the key is
  // refused. `op` ("create-call") and `request_name` (as SetRequestName)
  // name the request. The record is not a write's: a write under the key
  // sees another request.
  KeyHolding KeepAnswer(const std::string& key, const std::string& op,
                        const std::string& request_name,
                        const std::string& answer);
  // The answer KeepAnswer kept under `key` for this request, if it did and
  // the key lives; writes nothing.
  std::optional<std::string> KeptAnswer(const std::string& key,
                                        const std::string& op,
                                        const std::string& request_name);

  // The run of `file_name` that still stands (unfinished or finished, not
  // set aside) under another identity than `identity`, if any: the file was
  // last run as another batch.
  std::optional<BatchRun> StandingBatchRun(const std::string& file_name,
                                           const std::string& identity);
  // Records `run` (as a dry run says: nothing while one is set). With
  // `set_aside_others`, the file's other runs no longer stand.
  void RecordBatchRun(const BatchRun& run, bool set_aside_others = false);

  // Holds this thread's writes to the database together (WriteHold), or
  // nothing where the engine commits each write on its own. Other threads'
  // writes to the database wait while it is held: hold it briefly.
  std::unique_ptr<WriteHold> HoldWrites();

  // Raises kBackendError, saying why, unless the database would take a
  // write now; writes nothing.
  void CheckWritable();
  // The database at this store's address is no longer the one it opened.
  bool Replaced();
  StoreFacts Facts();
  // The database server's replication state (server_state.h), read-only;
  // nothing for a SQLite file.
  std::optional<ServerState> Server();
  // Request keys in key order, a page at a time, after `after` when given.
  std::vector<KeyListing> Keys(const std::optional<std::string>& after,
                               int64_t limit);
  // Removes the keys made before `unix_time`, oldest first, a bounded number
  // per transaction; answers how many went.
  int64_t PruneKeysBefore(int64_t unix_time);

  // Webhook delivery progress (webhook_progress.cc), each read or write a
  // transaction of its own; no event is appended for them.
  std::optional<WebhookProgress> WebhookProgressOf(const std::string& endpoint);
  void PutWebhookProgress(const WebhookProgress& progress);
  std::vector<WebhookProgress> AllWebhookProgress();
  // Whether this store's connection delivers to the endpoint (StorageEngine::
  // HoldWebhookEndpoint): it takes it when free, and holds it while open.
  bool HoldWebhookEndpoint(const std::string& endpoint);

  // Master data from a JSON text; raises on malformed input, loads nothing
  // then. Answers how many rows were loaded.
  int LoadMasterData(const std::string& json_text);
  // Raises as LoadMasterData would, without a database: for checking
  // before one is opened.
  static void CheckMasterData(const std::string& json_text);

  // Listings, one call or item at a time, in constant memory, each page of
  // them read on one snapshot (`visit` runs inside it, so it must not use
  // this store). A call listing stops before the lowest call number still
  // being written by anyone: a reader that follows it with `after` misses
  // no call. An `after` that names no stored call or item raises
  // kBackendError.
  void ForEachCall(const CallQuery& query,
                   const std::function<void(const StoredCall&)>& visit);
  void ForEachItem(const ItemQuery& query,
                   const std::function<void(const StoredItem&)>& visit);
  // The same, gathered (for small results).
  std::vector<StoredCall> Calls(const CallQuery& query = {});
  std::vector<StoredItem> Items(const ItemQuery& query = {});
  std::optional<StoredCall> Call(const std::string& call_number);
  std::optional<StoredItem> Item(const std::string& serial);

  // Up to `limit` master entries in key order whose key or a column
  // contains `search` (ASCII letters in either case; "" matches all), read
  // a page at a time; or the entry of one key.
  std::vector<MasterEntry> FindMaster(MasterList list,
                                      const std::string& search, int64_t limit);
  std::optional<MasterEntry> MasterOf(MasterList list, const std::string& key);
  // How many calls `query` visits (its `after` and `limit` apart), counted
  // up to `cap` without reading them.
  int64_t CountCalls(const CallQuery& query, int64_t cap);
  // How the calls stand (CallTally, the `top` sold-to partners of the most
  // calls) at the last transaction time `now` (none: the clock's), counted
  // by the engine on one snapshot.
  CallTally TallyCalls(int64_t top, std::optional<int64_t> now = {});

 private:
  SubmitOutcome NewCall(const std::string& component, const CallData& call);
  SubmitOutcome ChangedCall(const CallData& call);
  std::string NewItem(const std::string& component, const ItemFields& fields);
  std::string ChangedItem(const std::string& component,
                          const ItemFields& fields);
  // A submit under `request_key` (none: "") of what `body` does.
  template <class Outcome, class Submitted>
  Outcome Keyed(RequestKind kind, const std::string& component,
                const Submitted& submitted, const std::string& request_key,
                const std::function<Outcome()>& body);
  void RecordKey(const std::string& key, const KeyRecord& record);
  std::optional<StoredCall> LoadCall(const std::string& call_number);
  // Appends `event` as written by this store's actor under `event_key_`,
  // in the write transaction now running (event_rules.cc).
  void AppendEvent(EventRecord event);
  // When the call was created, from its first event; in a transaction.
  std::optional<int64_t> CreatedAt(const std::string& call_number);
  // The call's version (StoredCall::version); in a transaction.
  std::string VersionOf(const std::string& call_number,
                        const StoredProperties& properties);
  // The call as stored, with when it was created; in a transaction.
  StoredCall Created(const std::string& call_number, CallRow row);
  std::optional<StoredItem> ItemIn(const std::string& serial);

  std::unique_ptr<StorageEngine> engine_;
  int64_t key_retention_ = kDefaultKeyRetentionSeconds;
  bool dry_run_ = false;
  std::string request_name_;
  std::string actor_, channel_;
  std::optional<int64_t> option_;
  std::string expected_version_;
  std::string event_key_;  // the request key of the write running
};

}  // namespace quillet::standins
