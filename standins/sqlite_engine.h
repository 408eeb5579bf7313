// The SQLite engine (sqlite_engine.cc): one database file, one connection
// per BackendStore for its reads. Writes go through the file's write group
// (sqlite_write_group.h): one connection per file in this process, whose
// transactions the writers that arrive together share, each in a savepoint
// of its own; other processes wait up to the busy timeout. Statements are
// prepared once per connection, and values are only ever bound. Its master
// data, items, request keys and batch runs are in sqlite_engine_records.cc.
#pragma once

#include <sqlite3.h>
#include <sys/types.h>

#include <climits>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "call_row_json.h"
#include "sqlite_statement.h"
#include "sqlite_write_group.h"
#include "storage_engine.h"

namespace quillet::standins::sqlite {

// How long a statement waits for another connection's lock.
constexpr int kBusyWaitMs = 10000;
// The text index takes the calls this many at a time.
constexpr int64_t kTextIndexEvery = 128;

// A row as bound: declared before the statement, so that SQLite can read
// the (possibly large) texts in place rather than copy them.
struct EncodedRow {
  explicit EncodedRow(const CallRow& row)
      : properties(EncodeProperties(row.properties, row.unknown_properties)),
        text(EncodePieces(row.text)),
        solution_text(EncodePieces(row.solution_text)) {}
  // Binds the row from parameter `first` on.
  Statement& BindTo(Statement& s, int first) const {
    return s.BindKept(first, properties)
        .BindKept(first + 1, text)
        .BindKept(first + 2, solution_text);
  }
  std::string properties;
  std::optional<std::string> text, solution_text;
};

class SqliteEngine final : public StorageEngine {
 public:
  SqliteEngine(const std::string& path, OpenMode open, WriteGroups& groups);
  ~SqliteEngine() override;

  void WriteTransaction(const std::function<void()>& work,
                        Ending ending) override;

  std::unique_ptr<WriteHold> HoldWrites() override;

  bool Replaced() override;

  void CheckWritable() override;

  void ReadTransaction(const std::function<void()>& work) override;

  // One writer at a time, numbering inside its transaction: every number
  // handed out is settled once the writer is done.
  int64_t SettledSeq() override;

  int64_t NewCallSeq() override;
  void InsertCall(int64_t seq, const std::string&, const std::string& component,
                  int64_t time, const CallRow& row) override;
  std::optional<CallRow> ReadCall(int64_t seq, bool) override;
  void RewriteCall(int64_t seq, const std::string&, int64_t time,
                   const CallRow&, const CallRow& after,
                   const TextChanges&) override;
  std::vector<int64_t> CallPage(const CallQuery& query, int64_t after_seq,
                                int64_t limit) override;

  std::vector<std::pair<int64_t, int64_t>> ChangedCallPage(
      const CallQuery& query,
      const std::optional<std::pair<int64_t, int64_t>>& before,
      int64_t limit) override;
  CallTally TallyCalls(int64_t now, int64_t top) override;
  // sqlite_search.cc
  std::vector<SearchHit> SearchCallPage(const CallQuery& query,
                                        int64_t before_seq,
                                        int64_t limit) override;

  bool BusinessPartnerExists(const std::string& number) override;
  std::optional<ServiceObjectFacts> ServiceObject(
      const std::string& object) override;
  int64_t EngineerMinutes(const std::string& question) override;
  std::vector<std::vector<std::string>> MasterPage(MasterTable table,
                                                   const std::string& after,
                                                   int64_t limit) override;
  std::optional<std::vector<std::string>> MasterRowOf(
      MasterTable table, const std::string& key) override;
  static std::vector<std::string> Row(Statement& s, int width);
  void PutMasterRow(MasterTable table,
                    const std::vector<MasterValue>& values) override;

  std::optional<std::string> ItemComponent(const std::string& serial) override;
  void InsertItem(const std::string& serial,
                  const std::string& component) override;
  void TouchItem(const std::string& serial,
                 const std::string& component) override;
  void PutItemFields(
      const std::string& serial,
      const std::vector<std::pair<std::string, std::string>>& fields) override;
  std::vector<std::pair<std::string, std::string>> ItemFields(
      const std::string& serial) override;
  std::vector<std::string> ItemPage(const std::optional<std::string>& after,
                                    int64_t limit) override;

  std::optional<KeyRecord> FindKey(const std::string& key) override;
  std::optional<KeyRecord> LiveKey(const std::string& key) override;
  void InsertKey(const std::string& key, const KeyRecord& record,
                 int64_t lifetime_seconds) override;
  std::optional<BatchRun> StandingBatchRun(
      const std::string& file_name, const std::string& identity) override;
  void PutBatchRun(const BatchRun& run, int64_t now) override;
  void SetAsideBatchRuns(const std::string& file_name,
                         const std::string& identity) override;
  void PruneKeys(int limit) override;
  void PruneKeysCreatedBefore(int64_t created_before, int limit) override;
  std::vector<KeyListing> KeyPage(const std::optional<std::string>& after,
                                  int64_t limit) override;

  StoreFacts Facts() override;

  // The event log (sqlite_engine_events.cc).
  void AppendEvent(const EventRecord& event) override;
  std::vector<EventRecord> EventPage(const EventFilter& filter) override;
  // One writer at a time, positions given inside its transaction: every
  // position handed out is settled once the writer is done.
  int64_t SettledEventPosition() override { return INT64_MAX; }
  int64_t EventsPrunedThrough() override;
  int64_t PruneEvents(int64_t unix_time, int64_t limit) override;
  std::optional<WebhookProgress> WebhookProgressOf(
      const std::string& endpoint) override;
  void PutWebhookProgress(const WebhookProgress& progress) override;
  std::vector<WebhookProgress> AllWebhookProgress() override;

 private:
  // Brings the text index up to the last call (sqlite_schema.cc says why
  // it trails): one segment for the calls since it last moved.
  void IndexTexts();

  // A text filter's rows are checked as they are read, so the statement
  // reads on until the page is full (-1: no limit).
  static int64_t RowsToRead(unsigned shape, int64_t limit);

  // The file lives on this machine: its clock is the host's.
  static int64_t Now();

  void Exec(const char* sql);

  // While it lives, the engine's statements run on `shared`.
  class Using {
   public:
    Using(SqliteEngine& engine, StatementCache& shared)
        : engine_(engine), before_(engine.use_) {
      engine_.use_ = &shared;
    }
    ~Using() { engine_.use_ = before_; }
    Using(const Using&) = delete;
    Using& operator=(const Using&) = delete;

   private:
    SqliteEngine& engine_;
    StatementCache* before_;
  };

  std::string path_;
  std::pair<dev_t, ino_t> opened_{};  // the file opened, to see it replaced
  std::optional<std::pair<dev_t, ino_t>> wal_opened_;  // and its -wal
  sqlite3* db_ = nullptr;
  std::unique_ptr<StatementCache> cache_;  // this engine's own connection
  StatementCache* use_ = nullptr;  // its own, or the write group's in a write
  std::shared_ptr<WriteGroup> group_;
};

}  // namespace quillet::standins::sqlite
