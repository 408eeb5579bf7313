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
#include <utility>
#include <vector>

#include "quillet/standins/backend_store.h"

namespace quillet::standins {

struct ServiceObjectFacts {
  std::string contract, warranty, warranty_description, warranty_expiry_date;
};

// What is kept of a request made under a key.
struct KeyRecord {
  std::string kind, digest, answer;
};

enum class MasterTable { kServiceObjects, kBusinessPartners, kEngineerTime };

// One column of a master-data row: text, or a whole number.
struct MasterValue {
  std::string text;
  std::optional<int64_t> number;
};

using TextPieces = std::vector<std::pair<std::string, std::string>>;

class StorageEngine {
 public:
  virtual ~StorageEngine() = default;

  // Runs `work` as one transaction in which the calls it changes are its
  // own until it ends. When the engine meets a conflict with a concurrent
  // transaction (a lock it cannot wait for, a key another host stored
  // first), it rolls back and runs `work` again, a bounded number of times,
  // so `work` keeps its results only in variables it sets afresh. Any
  // failure raises kBackendError with nothing written. `ending` kRollBack
  // (a dry run) undoes everything `work` wrote once it has run.
  enum class Ending : uint8_t { kCommit, kRollBack };
  virtual void WriteTransaction(const std::function<void()>& work,
                                Ending ending) = 0;

  // Calls. A new call's sequence number comes from the storage: unique and
  // never reused, whatever number of hosts insert at once.
  virtual int64_t InsertCall(const std::string& component, int64_t time) = 0;
  virtual void NameCall(int64_t seq, const std::string& number) = 0;
  // The call's sequence number, or nothing. `for_update` makes concurrent
  // changes of the same call wait until this transaction ends.
  virtual std::optional<int64_t> FindCall(const std::string& number,
                                          bool for_update) = 0;
  virtual std::map<std::string, StoredValue> CallProperties(
      const std::string& number) = 0;
  // (kind, piece) in kind, then position order.
  virtual TextPieces CallTexts(const std::string& number) = 0;
  // `is_new`: the call was created in this transaction, nothing to replace.
  virtual void PutProperty(const std::string& number, const std::string& name,
                           const StoredValue& value, bool is_new) = 0;
  // Appends the pieces when the text mode is "a", else replaces the text.
  virtual void PutText(const std::string& number, const std::string& kind,
                       const StoredText& text) = 0;
  virtual void StampCall(const std::string& number, int64_t time) = 0;
  // Up to `limit` (sequence number, call number) after `after_seq`, in
  // sequence order, as `query` filters them (its `after` and `limit` are
  // the caller's to apply).
  virtual std::vector<std::pair<int64_t, std::string>> CallPage(
      const CallQuery& query, int64_t after_seq, int64_t limit) = 0;

  // Master data.
  virtual bool BusinessPartnerExists(const std::string& number) = 0;
  virtual std::optional<ServiceObjectFacts> ServiceObject(
      const std::string& object) = 0;
  virtual int64_t EngineerMinutes(const std::string& question) = 0;
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

  // Request keys.
  virtual std::optional<KeyRecord> FindKey(const std::string& key) = 0;
  virtual void InsertKey(const std::string& key, const KeyRecord& record,
                         int64_t created_at) = 0;
  // Removes at most `limit` keys created before `created_before`, oldest
  // first, through an index.
  virtual void PruneKeys(int64_t created_before, int limit) = 0;
};

// The engine for `where`: a PostgreSQL connection URI or a SQLite file
// path. Opening checks and prepares the schema (sqlite_schema.h,
// postgres_engine.h) as `open` says.
std::unique_ptr<StorageEngine> OpenSqliteStorage(const std::string& path,
                                                 BackendStore::Open open);
std::unique_ptr<StorageEngine> OpenPostgresStorage(const std::string& uri,
                                                   BackendStore::Open open);

}  // namespace quillet::standins
