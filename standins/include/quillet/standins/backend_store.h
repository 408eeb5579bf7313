// The embedded back end's storage: one SQLite database file.
//
// Service calls are stored with every property that was set on them (by its
// record property name), their texts as pieces in the order received, and
// the facts the back end assigns (call number, last transaction time,
// contract and warranty, service order). Master data (service objects with
// contracts and warranties, business partners, engineer time per question)
// and serialized items live in the same file.
//
// Every submit is one transaction (BEGIN IMMEDIATE): a call and all its
// texts are stored whole or not at all. The file is in WAL mode with a busy
// timeout, so several threads and processes can use it at once; a
// BackendStore is one connection and is used by one thread at a time.
// Values are only ever bound as parameters. A failure raises a runtime error
// (number kBackendError, source "Holmfast.Adapter.Boi") naming what failed.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace quillet::standins {

inline constexpr int32_t kBackendError = -2147467259;  // 0x80004005

// One property value as stored: its type name ("String", "Byte", "Long",
// "Boolean") and its value (text for strings, number otherwise).
struct StoredValue {
  std::string type;
  std::string text;
  int64_t number = 0;
  friend bool operator==(const StoredValue&, const StoredValue&) = default;
};

struct StoredText {
  std::vector<std::string> pieces;
  std::string text_mode;  // "a" appends to what is stored, else replaces
};

// A call as submitted (what was set on the record) or as stored.
struct CallData {
  std::map<std::string, StoredValue> properties;  // by record property name
  std::optional<StoredText> text;
  std::optional<StoredText> solution_text;
};

struct StoredCall {
  std::string call_number;
  std::map<std::string, StoredValue> properties;  // includes assigned facts
  std::vector<std::string> text;
  std::vector<std::string> solution_text;
};

struct SubmitOutcome {
  std::optional<StoredCall> stored;   // nothing when refused or unknown
  std::vector<std::string> messages;  // complaints, first one first
  bool nothing_to_apply = false;      // a change that changed nothing
};

struct StoredItem {
  std::string serial;
  std::string component;
  std::vector<std::pair<std::string, std::string>> fields;
};

class StatementCache;

class BackendStore {
 public:
  // Opens (creating when absent) the database and its schema.
  explicit BackendStore(const std::string& path);
  ~BackendStore();
  BackendStore(const BackendStore&) = delete;
  BackendStore& operator=(const BackendStore&) = delete;

  // A new call: numbered, stamped, contract and warranty from master data.
  // Refused (nothing stored) without a sold-to business partner; stored with
  // a message for an unknown business partner or service object.
  SubmitOutcome CreateCall(const std::string& component, const CallData& call);
  // Applies the properties that were set to the call named by CallNumber;
  // texts are appended ("a") or replace the stored ones. Status 30 completes
  // the call and gives it a service order. Refused for an unknown number or
  // a completed call; `nothing_to_apply` when every value equals the stored
  // one and there is no text.
  SubmitOutcome ChangeCall(const std::string& component, const CallData& call);

  // Engineer time recorded against a question; 0 when there is none.
  int32_t EngineerTime(const std::string& question_id);

  // Serialized items: a refusal text, or "" when done.
  std::string CreateItem(
      const std::string& component,
      const std::vector<std::pair<std::string, std::string>>& fields);
  std::string ChangeItem(
      const std::string& component,
      const std::vector<std::pair<std::string, std::string>>& fields);

  // Master data from a JSON text; raises on malformed input, loads nothing
  // then. Answers how many rows were loaded.
  int LoadMasterData(const std::string& json_text);

  std::vector<StoredCall> Calls();
  std::optional<StoredCall> Call(const std::string& call_number);
  std::vector<StoredItem> Items();
  std::optional<StoredItem> Item(const std::string& serial);

 private:
  class Transaction;
  std::optional<StoredCall> LoadCall(const std::string& call_number);
  void Exec(const char* sql);
  [[noreturn]] void Fail(const std::string& what);
  sqlite3* db_ = nullptr;
  std::string path_;
  std::unique_ptr<StatementCache> cache_;
};

}  // namespace quillet::standins
