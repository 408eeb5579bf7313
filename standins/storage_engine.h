// The storage under the embedded back end's rules (backend_store.cc): what
// the rules read and write, and nothing of how. Two engines implement it:
// SQLite, a file on one machine, and PostgreSQL, a server that many hosts
// share. The rules never see SQL, a connection or a lock.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quillet/standins/server_state.h"
#include "quillet/standins/store_types.h"
#include "runtime/mutex.h"

namespace quillet::standins {

struct ServiceObjectFacts {
  std::string contract, warranty, warranty_description, warranty_expiry_date;
};

// The kind of request a key was kept for: a write, or the answer of one
// that never reached a write (BackendStore::KeepAnswer). Stored by its
// spelling ("create-call", "refused create-call"), which request digests
// also take; the spelling never changes.
enum class RequestKind : uint8_t {
  kOther,  // a spelling no request of this release makes
  kCreateCall,
  kUpdateCall,
  kCreateItem,
  kUpdateItem,
  kRefusedCreateCall,
  kRefusedUpdateCall,
  kRefusedCreateItem,
  kRefusedUpdateItem,
};
std::string_view Spelling(RequestKind kind);  // "" for kOther
RequestKind RequestKindSpelled(std::string_view spelling);
// The kind of the answer kept for a request of `kind` that never reached a
// write (kOther for a kind that is such an answer already).
RequestKind RefusedKind(RequestKind kind);

// What is kept of a request made under a key.
struct KeyRecord {
  RequestKind kind = RequestKind::kOther;
  std::string digest, answer;
};

enum class MasterTable { kServiceObjects, kBusinessPartners, kEngineerTime };

// One column of a master-data row: text, or a whole number.
struct MasterValue {
  std::string text;
  std::optional<int64_t> number;
};

// Everything stored of one call.
struct CallRow {
  StoredProperties properties;
  UnknownProperties unknown_properties;  // a later release's, kept as read
  std::vector<std::string> text, solution_text;  // pieces, in order
  friend bool operator==(const CallRow&, const CallRow&) = default;
};

class StorageEngine {
 public:
  virtual ~StorageEngine() = default;

  // Runs `work` as one transaction in which the calls it changes are its
  // own until it ends. Writes that arrive together from several threads may
  // share one commit, each in a savepoint of its own: one that raises is
  // undone alone, and none returns before the commit that holds it. When the
  // engine meets a conflict with a concurrent transaction (a lock it cannot
  // wait for, a key another host stored first), it rolls back and runs `work`
  // again, a bounded number of times, so `work` keeps its results only in
  // variables it sets afresh; so it does after a connection lost before the
  // commit was sent. Any failure raises kBackendError with nothing written, but
  // for a commit whose answer was lost and whose outcome could not be found out
  // (FailureKind::kOutcomeUnknown). `ending` kRollBack (a dry run) undoes
  // everything `work` wrote once it has run.
  enum class Ending : uint8_t { kCommit, kRollBack };
  virtual void WriteTransaction(const std::function<void()>& work,
                                Ending ending) = 0;
  // Runs `work`, which only reads, on one snapshot of the database: what it
  // reads is whole, never part of a concurrent change. `work` may be run
  // again (after a lost connection), so it keeps what it reads only in
  // variables it sets afresh.
  virtual void ReadTransaction(const std::function<void()>& work) = 0;
  // Holds this thread's writes to the database together from now on (see
  // WriteHold); an engine that cannot answers nothing, and each write is
  // then its own transaction.
  virtual std::unique_ptr<WriteHold> HoldWrites() { return nullptr; }
  // What the write transaction now running is about to read, told before
  // it reads it, so that an engine whose every question costs a round trip
  // to a server can ask them all at once. The reads are still made through
  // the calls below, in the same transaction, and answer the same; an
  // engine may ignore this.
  struct ReadAhead {
    std::optional<std::string> key;      // FindKey
    std::optional<std::string> partner;  // BusinessPartnerExists
    std::optional<std::string> object;   // ServiceObject
    bool new_call_seq = false;           // NewCallSeq, unless `key` is found
    std::optional<int64_t> call_for_update;  // ReadCall(seq, true)
  };
  virtual void Expect(const ReadAhead&) {}
  // Raises, saying why, unless a write could be made now (a read-only
  // database, a standby, a role without the right to write fail); writes
  // nothing and waits for no lock on a row.
  virtual void CheckWritable() = 0;
  // Whether the database at the engine's address is no longer the one it
  // opened (a SQLite file deleted, moved or replaced): a pooled store is
  // then closed rather than written into a file nobody will read.
  virtual bool Replaced() { return false; }

  // Calls. A call is one row: its properties and both texts, read and
  // written whole. Its number names its sequence number (the rules own the
  // spelling); the engine keys rows by the sequence number.
  //
  // The next sequence number, for InsertCall in the same transaction:
  // unique, and never one that a stored call has, whatever number of hosts
  // insert at once.
  virtual int64_t NewCallSeq() = 0;
  virtual void InsertCall(int64_t seq, const std::string& number,
                          const std::string& component, int64_t time,
                          const CallRow& row) = 0;
  // The call, or nothing. `for_update` makes concurrent changes of the same
  // call wait until this transaction ends; such a read, made for a change,
  // may leave the texts out (empty), for an engine that applies the change's
  // texts itself in RewriteCall (a server that appends without sending the
  // text back and forth).
  virtual std::optional<CallRow> ReadCall(int64_t seq, bool for_update) = 0;
  // What a change does to a call's texts, each: nothing (nullopt), or its
  // `pieces` appended (`append`) or put in place of what is there.
  struct TextChange {
    const std::vector<std::string>* pieces = nullptr;
    bool append = false;
  };
  struct TextChanges {
    std::optional<TextChange> text, solution_text;
  };
  // Replaces the call read as `before` with `after`, stamped `time`: `after`
  // is `before` with `texts` applied (texts left out of `before` hold, in
  // `after`, only what `texts` adds).
  virtual void RewriteCall(int64_t seq, const std::string& number, int64_t time,
                           const CallRow& before, const CallRow& after,
                           const TextChanges& texts) = 0;
  // Up to `limit` sequence numbers after `after_seq`, in sequence order, as
  // `query` filters them (its `after` and `limit` are the caller's to
  // apply).
  virtual std::vector<int64_t> CallPage(const CallQuery& query,
                                        int64_t after_seq, int64_t limit) = 0;
  // A sequence number at or below which every call is settled: committed
  // (and so seen by any read that starts from now on) or never to be. A
  // listing that stops there lets a reader that follows it with `after`
  // miss none: no call with a lower number can commit later. Called outside
  // a transaction.
  virtual int64_t SettledSeq() = 0;

  // The same by last transaction time, newest first (ties: the higher
  // sequence number first): up to `limit` (sequence number, time) pairs
  // that come after `before` in that order, or from the start.
  virtual std::vector<std::pair<int64_t, int64_t>> ChangedCallPage(
      const CallQuery& query,
      const std::optional<std::pair<int64_t, int64_t>>& before,
      int64_t limit) = 0;

  // How the calls stand (CallTally), counted in the database, `now` a last
  // transaction time, with the `top` sold-to partners of the most calls;
  // called inside ReadTransaction, so the counts add up.
  virtual CallTally TallyCalls(int64_t now, int64_t top) = 0;
  // A call a search found (CallQuery::words), and the part of its texts
  // where the words are, cut short.
  struct SearchHit {
    int64_t seq = 0;
    std::string match;
  };
  // Up to `limit` calls whose texts hold every word of `query.words`
  // (SearchWords, search_words.h), newest first (the highest sequence
  // number first) below `before_seq`; the other filters of `query` apply as
  // in CallPage.
  virtual std::vector<SearchHit> SearchCallPage(const CallQuery& query,
                                                int64_t before_seq,
                                                int64_t limit) = 0;

  // Master data.
  virtual bool BusinessPartnerExists(const std::string& number) = 0;
  virtual std::optional<ServiceObjectFacts> ServiceObject(
      const std::string& object) = 0;
  virtual int64_t EngineerMinutes(const std::string& question) = 0;
  // Rows of business partners (number, name) or service objects (object,
  // contract, warranty, warranty description, warranty expiry date) in key
  // order: up to `limit` after the key `after`, or the one row of `key`.
  virtual std::vector<std::vector<std::string>> MasterPage(
      MasterTable table, const std::string& after, int64_t limit) = 0;
  virtual std::optional<std::vector<std::string>> MasterRowOf(
      MasterTable table, const std::string& key) = 0;
  // Inserts or replaces a row; values in the table's column order.
  virtual void PutMasterRow(MasterTable table,
                            const std::vector<MasterValue>& values) = 0;

  // Serialized items.
  virtual std::optional<std::string> ItemComponent(
      const std::string& serial) = 0;
  virtual void InsertItem(const std::string& serial,
                          const std::string& component) = 0;
  virtual void TouchItem(const std::string& serial,
                         const std::string& component) = 0;
  // Adds fields after the item's last one; a field it has is replaced.
  virtual void PutItemFields(
      const std::string& serial,
      const std::vector<std::pair<std::string, std::string>>& fields) = 0;
  virtual std::vector<std::pair<std::string, std::string>> ItemFields(
      const std::string& serial) = 0;
  virtual std::vector<std::string> ItemPage(
      const std::optional<std::string>& after, int64_t limit) = 0;

  // Request keys. Each key carries its own expiry, set when it is written,
  // by the engine's clock (PostgreSQL: the server's, shared by every host).
  //
  // The record kept under `key` while it lives. An expired one is nothing,
  // and is removed, so that the key can be written again.
  virtual std::optional<KeyRecord> FindKey(const std::string& key) = 0;
  // The same for a read: an expired record is nothing, and stays.
  virtual std::optional<KeyRecord> LiveKey(const std::string& key) = 0;
  // Keeps `record` under `key` for `lifetime_seconds` from now.
  virtual void InsertKey(const std::string& key, const KeyRecord& record,
                         int64_t lifetime_seconds) = 0;
  // Batch runs (backend_store.h), by identity.
  virtual std::optional<BatchRun> StandingBatchRun(
      const std::string& file_name, const std::string& identity) = 0;
  // Inserts or replaces the run; its lines done never go back.
  virtual void PutBatchRun(const BatchRun& run, int64_t now) = 0;
  // Marks the file's other runs than `identity` as set aside.
  virtual void SetAsideBatchRuns(const std::string& file_name,
                                 const std::string& identity) = 0;

  // Removes at most `limit` expired keys, soonest expired first, through an
  // index; a key that still lives is never removed.
  virtual void PruneKeys(int limit) = 0;
  // The operator's pruning: at most `limit` keys created before
  // `created_before`, oldest first, whatever their expiry.
  virtual void PruneKeysCreatedBefore(int64_t created_before, int limit) = 0;
  // Up to `limit` keys after `after`, in key order.
  virtual std::vector<KeyListing> KeyPage(
      const std::optional<std::string>& after, int64_t limit) = 0;

  // The event log. AppendEvent stores `event` in the write transaction
  // now running, at the next position, stamped by the engine's clock.
  virtual void AppendEvent(const EventRecord& event) = 0;
  // Up to `filter.limit` events in position order after `filter.after` (or,
  // newest first, before `filter.before` when given), of the call, item
  // or operation it names; read through an index.
  virtual std::vector<EventRecord> EventPage(const EventFilter& filter) = 0;
  // A position at or below which every event is settled: committed (and
  // so seen by any read that starts from now on) or never to be. A reader
  // that stops there and follows on with `after` misses none and sees none
  // twice. Called outside a transaction.
  virtual int64_t SettledEventPosition() = 0;
  // The highest position pruning removed (0: none was): a reader asking
  // for events after a lower one has missed some for good.
  virtual int64_t EventsPrunedThrough() = 0;
  // In a write transaction: removes at most `limit` events stamped before
  // `unix_time`, oldest first, noting the highest position removed;
  // answers how many went.
  virtual int64_t PruneEvents(int64_t unix_time, int64_t limit) = 0;

  // Webhook delivery progress, one row per endpoint. PutWebhookProgress,
  // in a write transaction, inserts or replaces the row of
  // `progress.endpoint`, stamped by the engine's clock.
  virtual std::optional<WebhookProgress> WebhookProgressOf(
      const std::string& endpoint) = 0;
  virtual void PutWebhookProgress(const WebhookProgress& progress) = 0;
  virtual std::vector<WebhookProgress> AllWebhookProgress() = 0;
  // Whether this connection is the one delivering to the endpoint whose
  // lock key is `key`: it takes the endpoint when no other connection
  // holds it, and keeps it until it closes. An engine for one machine's
  // file has one deliverer per process and answers true. Called outside a
  // transaction.
  virtual bool HoldWebhookEndpoint(int32_t /*key*/) { return true; }

  // How much is stored (for the operator; counts that scan are fine here).
  virtual StoreFacts Facts() = 0;
  // What the database server says of its replication (read-only); nothing
  // for an engine without a server.
  virtual std::optional<ServerState> Server() { return std::nullopt; }
};

class WriteGroups;

// The engine for `where`: a PostgreSQL connection URI or a SQLite file
// path. Opening checks and prepares the schema (sqlite_schema.h,
// postgres_engine.h) as `open` says. A SQLite file's writers in one
// back-end context share its write group in `groups` (the process's
// context's when not given: for tests and tools acting as a host).
std::unique_ptr<StorageEngine> OpenSqliteStorage(const std::string& path,
                                                 OpenMode open,
                                                 WriteGroups& groups);
std::unique_ptr<StorageEngine> OpenSqliteStorage(const std::string& path,
                                                 OpenMode open);
std::unique_ptr<StorageEngine> OpenPostgresStorage(const std::string& uri,
                                                   OpenMode open);

// Opens an engine of another kind (an in-memory one, for tests) for the
// addresses that start with `prefix`, from now on in a back-end context
// (backend_context.h); RegisterStorageEngine, in the process's, which every
// context falls back to for a prefix it has not registered itself. The
// built-in engines take the addresses no registered prefix claims.
using StorageOpener = std::function<std::unique_ptr<StorageEngine>(
    const std::string& where, OpenMode open)>;
class StorageOpeners {
 public:
  void Register(const std::string& prefix, StorageOpener opener)
      EXCLUDES(mutex_);
  // The latest opener registered for a prefix of `where`, else none.
  StorageOpener For(const std::string& where) EXCLUDES(mutex_);

 private:
  Mutex mutex_;
  std::vector<std::pair<std::string, StorageOpener>> by_prefix_
      GUARDED_BY(mutex_);
};
void RegisterStorageEngine(const std::string& prefix, StorageOpener opener);

}  // namespace quillet::standins
