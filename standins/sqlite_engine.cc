// The SQLite engine: one database file, one connection per BackendStore for
// its reads. Writes go through the file's write group (sqlite_write_group.h):
// one connection per file in this process, whose transactions the writers
// that arrive together share, each in a savepoint of its own; other
// processes wait up to the busy timeout. Statements are prepared once per
// connection, and values are only ever bound.
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <set>
#include <string_view>
#include <unordered_map>

#include "backend_failure.h"
#include "call_row_json.h"
#include "sqlite_listing_sql.h"
#include "sqlite_reader_access.h"
#include "sqlite_schema.h"
#include "sqlite_statement.h"
#include "sqlite_write_group.h"
#include "storage_engine.h"

namespace quillet::standins {
namespace {

using namespace sqlite;  // NOLINT(google-build-using-namespace)

// How long a statement waits for another connection's lock.
constexpr int kBusyWaitMs = 10000;
// The text index takes the calls this many at a time.
constexpr int64_t kTextIndexEvery = 128;

// A row as bound: declared before the statement, so that SQLite can read
// the (possibly large) texts in place rather than copy them.
struct EncodedRow {
  explicit EncodedRow(const CallRow& row)
      : properties(EncodeProperties(row.properties)),
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
  SqliteEngine(const std::string& path, OpenMode open) : path_(path) {
    CheckDatabasePath(path);
    bool reading = open == OpenMode::kForReading;
    bool writing = open == OpenMode::kForWriting;
    std::error_code ec;
    if (!writing && !std::filesystem::exists(path, ec))
      RaiseBackend("no database '" + path + "'");
    // Only a store for writing may make the file.
    int flags = SQLITE_OPEN_READWRITE | (writing ? SQLITE_OPEN_CREATE : 0);
    std::string name = path;
    if (reading) {
      switch (ReaderAccess(path)) {
        case Reader::kShared:  // a writer's -wal and -shm are there
          flags = SQLITE_OPEN_READONLY;
          break;
        case Reader::kOwner:  // creates nothing that outlives it
          flags = SQLITE_OPEN_READWRITE;
          break;
        case Reader::kImmutable:
          flags = SQLITE_OPEN_READONLY | SQLITE_OPEN_URI;
          name = ImmutableUri(path);
          break;
      }
    }
    flags |= SQLITE_OPEN_NOMUTEX;
    if (sqlite3_open_v2(name.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
      std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
      sqlite3_close(db_);
      RaiseBackend("cannot open database '" + path + "': " + message);
    }
    if (!reading && sqlite3_db_readonly(db_, "main") == 1) {
      sqlite3_close(db_);
      RaiseReadOnly(path);
    }
    sqlite3_busy_timeout(db_, kBusyWaitMs);
    sqlite3_extended_result_codes(db_, 1);
    struct stat opened {};
    if (::stat(path.c_str(), &opened) == 0)
      opened_ = {opened.st_dev, opened.st_ino};
    try {
      // Nothing is written before the file is known to be Quillet's.
      PrepareSchema(db_, path, open);
      // WAL with NORMAL sync: a commit survives a crash of the process; the
      // last commits may be lost if the machine loses power.
      if (writing) Exec("PRAGMA journal_mode=WAL");
      Exec("PRAGMA synchronous=NORMAL");
      // The -wal the connection opened as it read, if the file has one.
      if (::stat((path + "-wal").c_str(), &opened) == 0)
        wal_opened_ = std::pair{opened.st_dev, opened.st_ino};
      cache_ = std::make_unique<StatementCache>(db_);
      use_ = cache_.get();
      group_ = WriteGroup::Of(path, opened_);
    } catch (...) {
      sqlite3_close(db_);
      throw;
    }
  }
  ~SqliteEngine() override {
    cache_.reset();
    sqlite3_close(db_);
  }

  void WriteTransaction(const std::function<void()>& work,
                        Ending ending) override {
    group_->Write(
        [&](StatementCache& shared) {
          Using using_shared(*this, shared);
          work();
        },
        ending == Ending::kRollBack);
  }

  std::unique_ptr<WriteHold> HoldWrites() override { return group_->Hold(); }

  bool Replaced() override {
    struct stat now {};
    if (::stat(path_.c_str(), &now) != 0 ||
        std::pair{now.st_dev, now.st_ino} != opened_)
      return true;
    // A -wal moved or deleted: this connection would read the old one.
    return wal_opened_ && (::stat((path_ + "-wal").c_str(), &now) != 0 ||
                           std::pair{now.st_dev, now.st_ino} != *wal_opened_);
  }

  void CheckWritable() override {
    // A commit, as a write's: the write lock needs no free page, a commit
    // does. It sets the schema version to what it is.
    if (sqlite3_db_readonly(db_, "main") != 1) {
      group_->Write(
          [](StatementCache& shared) {
            int64_t version = 0;
            {
              Statement read(shared, "PRAGMA user_version");
              if (read.Step()) version = read.Int(0);
            }
            std::string same =
                "PRAGMA user_version = " + std::to_string(version);
            if (sqlite3_exec(shared.db(), same.c_str(), nullptr, nullptr,
                             nullptr) != SQLITE_OK)
              RaiseStatement(shared.db(), same.c_str());
          },
          /*roll_back=*/false);
      return;
    }
    // This connection only reads (another user's file, or a writer's):
    // ask with one that may write, as a write would, making nothing.
    sqlite3* probe = nullptr;
    std::string why;
    if (sqlite3_open_v2(path_.c_str(), &probe,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
      why = probe ? sqlite3_errmsg(probe) : "out of memory";
    } else if (sqlite3_db_readonly(probe, "main") == 1) {
      why = ReadOnlyCause(path_);
    } else {
      sqlite3_busy_timeout(probe, kBusyWaitMs);
      if (sqlite3_exec(probe, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) !=
          SQLITE_OK)
        why = sqlite3_errmsg(probe);
      sqlite3_exec(probe, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    sqlite3_close(probe);
    if (!why.empty()) RaiseBackend("the database cannot be written: " + why);
  }

  void ReadTransaction(const std::function<void()>& work) override {
    if (group_->Inside()) {  // sees what the transaction wrote so far
      Using using_shared(*this, group_->Statements());
      work();
      return;
    }
    Statement(*use_, "BEGIN").Run();
    try {
      work();
      Statement(*use_, "COMMIT").Run();
    } catch (...) {
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      throw;
    }
  }

  // One writer at a time, numbering inside its transaction: every number
  // handed out is settled once the writer is done.
  int64_t SettledSeq() override { return INT64_MAX; }

  int64_t NewCallSeq() override {
    // The write transaction holds the file's write lock, and calls are
    // never deleted: the next number is one past the last.
    Statement s(*use_, "SELECT coalesce(max(seq), 0) + 1 FROM calls");
    s.Step();
    return s.Int(0);
  }
  void InsertCall(int64_t seq, const std::string&, const std::string& component,
                  int64_t time, const CallRow& row) override {
    EncodedRow encoded(row);
    Statement s(*use_,
                "INSERT INTO calls(seq, component, last_transaction_time, "
                "properties, text, solution_text) VALUES(?1, ?2, ?3, ?4, ?5, "
                "?6)");
    s.Bind(1, seq).Bind(2, component).Bind(3, time);
    encoded.BindTo(s, 4).Run();
    if (seq % kTextIndexEvery == 0) IndexTexts();
  }
  std::optional<CallRow> ReadCall(int64_t seq, bool) override {
    // A write transaction already holds the file's write lock.
    Statement s(*use_,
                "SELECT properties, text, solution_text FROM calls WHERE seq "
                "= ?1");
    s.Bind(1, seq);
    if (!s.Step()) return std::nullopt;
    CallRow row;
    row.properties = DecodeProperties(s.View(0));
    if (!s.IsNull(1)) row.text = DecodePieces(s.View(1));
    if (!s.IsNull(2)) row.solution_text = DecodePieces(s.View(2));
    return row;
  }
  void RewriteCall(int64_t seq, const std::string&, int64_t time,
                   const CallRow&, const CallRow& after,
                   const TextChanges&) override {
    EncodedRow encoded(after);
    Statement s(*use_,
                "UPDATE calls SET last_transaction_time = ?2, properties = "
                "?3, text = ?4, solution_text = ?5 WHERE seq = ?1");
    s.Bind(1, seq).Bind(2, time);
    encoded.BindTo(s, 3).Run();
  }
  std::vector<int64_t> CallPage(const CallQuery& query, int64_t after_seq,
                                int64_t limit) override {
    ListingFilters filters(query);
    if (filters.none) return {};
    Statement s(*use_, ListingStatement(filters.shape));
    s.Bind(1, after_seq).Bind(5, RowsToRead(filters.shape, limit));
    filters.Bind(s, filters.shape);
    std::vector<int64_t> out;
    while (static_cast<int64_t>(out.size()) < limit && s.Step())
      if (filters.Holds(s, filters.shape)) out.push_back(s.Int(0));
    return out;
  }

  std::vector<std::pair<int64_t, int64_t>> ChangedCallPage(
      const CallQuery& query,
      const std::optional<std::pair<int64_t, int64_t>>& before,
      int64_t limit) override {
    ListingFilters filters(query);
    if (filters.none) return {};
    unsigned shape = filters.shape | kNewestChanged | (before ? kBefore : 0u);
    Statement s(*use_, ListingStatement(shape));
    if (before) s.Bind(1, before->second).Bind(7, before->first);
    s.Bind(5, RowsToRead(shape, limit));
    filters.Bind(s, shape);
    std::vector<std::pair<int64_t, int64_t>> out;
    while (static_cast<int64_t>(out.size()) < limit && s.Step())
      if (filters.Holds(s, shape)) out.emplace_back(s.Int(0), s.Int(1));
    return out;
  }

  bool BusinessPartnerExists(const std::string& number) override {
    Statement s(*use_, "SELECT 1 FROM business_partners WHERE number = ?1");
    s.Bind(1, number);
    return s.Step();
  }
  std::optional<ServiceObjectFacts> ServiceObject(
      const std::string& object) override {
    Statement s(*use_,
                "SELECT contract, warranty, warranty_description, "
                "warranty_expiry_date FROM service_objects WHERE object = ?1");
    s.Bind(1, object);
    if (!s.Step()) return std::nullopt;
    return ServiceObjectFacts{s.Text(0), s.Text(1), s.Text(2), s.Text(3)};
  }
  int64_t EngineerMinutes(const std::string& question) override {
    Statement s(*use_,
                "SELECT minutes FROM engineer_time WHERE question_id = ?1");
    s.Bind(1, question);
    return s.Step() ? s.Int(0) : 0;
  }
  std::vector<std::vector<std::string>> MasterPage(MasterTable table,
                                                   const std::string& after,
                                                   int64_t limit) override {
    Statement s(*use_, MasterPageSql(table));
    s.Bind(1, after).Bind(2, limit);
    std::vector<std::vector<std::string>> out;
    while (s.Step()) out.push_back(Row(s, MasterWidth(table)));
    return out;
  }
  std::optional<std::vector<std::string>> MasterRowOf(
      MasterTable table, const std::string& key) override {
    Statement s(*use_, MasterRowSql(table));
    s.Bind(1, key);
    if (!s.Step()) return std::nullopt;
    return Row(s, MasterWidth(table));
  }
  static std::vector<std::string> Row(Statement& s, int width) {
    std::vector<std::string> row;
    for (int i = 0; i < width; ++i) row.push_back(s.Text(i));
    return row;
  }
  void PutMasterRow(MasterTable table,
                    const std::vector<MasterValue>& values) override {
    Statement s(*use_, MasterSql(table));
    for (size_t i = 0; i < values.size(); ++i) {
      int column = static_cast<int>(i + 1);
      if (values[i].number)
        s.Bind(column, *values[i].number);
      else
        s.Bind(column, values[i].text);
    }
    s.Run();
  }

  std::optional<std::string> ItemComponent(const std::string& serial) override {
    Statement s(*use_, "SELECT component FROM items WHERE serial = ?1");
    s.Bind(1, serial);
    if (!s.Step()) return std::nullopt;
    return s.Text(0);
  }
  void InsertItem(const std::string& serial,
                  const std::string& component) override {
    Statement s(*use_, "INSERT INTO items(serial, component) VALUES(?1, ?2)");
    s.Bind(1, serial).Bind(2, component).Run();
  }
  void TouchItem(const std::string& serial,
                 const std::string& component) override {
    Statement s(*use_,
                "UPDATE items SET component = ?2, changed_at = "
                "strftime('%Y-%m-%dT%H:%M:%fZ','now') WHERE serial = ?1");
    s.Bind(1, serial).Bind(2, component).Run();
  }
  void PutItemFields(
      const std::string& serial,
      const std::vector<std::pair<std::string, std::string>>& fields) override {
    Statement next(*use_,
                   "SELECT coalesce(max(position), 0) FROM item_fields WHERE "
                   "serial = ?1");
    next.Bind(1, serial);
    next.Step();
    int64_t position = next.Int(0);
    Statement put(*use_,
                  "INSERT INTO item_fields(serial, position, name, value) "
                  "VALUES(?1, ?2, ?3, ?4) ON CONFLICT(serial, name) DO UPDATE "
                  "SET value = excluded.value");
    for (const auto& [name, value] : fields)
      put.Bind(1, serial)
          .Bind(2, ++position)
          .Bind(3, name)
          .Bind(4, value)
          .Run();
  }
  std::vector<std::pair<std::string, std::string>> ItemFields(
      const std::string& serial) override {
    Statement s(*use_,
                "SELECT name, value FROM item_fields WHERE serial = ?1 ORDER "
                "BY position");
    s.Bind(1, serial);
    std::vector<std::pair<std::string, std::string>> out;
    while (s.Step()) out.emplace_back(s.Text(0), s.Text(1));
    return out;
  }
  std::vector<std::string> ItemPage(const std::optional<std::string>& after,
                                    int64_t limit) override {
    Statement s(*use_,
                "SELECT serial FROM items WHERE ?1 IS NULL OR serial > ?1 "
                "ORDER BY serial LIMIT ?2");
    s.Bind(1, after).Bind(2, limit);
    std::vector<std::string> out;
    while (s.Step()) out.push_back(s.Text(0));
    return out;
  }

  std::optional<KeyRecord> FindKey(const std::string& key) override {
    int64_t now = Now();
    bool expired = false;
    std::optional<KeyRecord> found;
    {
      Statement s(*use_,
                  "SELECT kind, digest, answer, expires_at <= ?2 FROM "
                  "request_keys WHERE key = ?1");
      s.Bind(1, key).Bind(2, now);
      if (!s.Step()) return std::nullopt;
      expired = s.Int(3) != 0;
      if (!expired) found = KeyRecord{s.Text(0), s.Text(1), s.Text(2)};
    }
    if (expired) {
      Statement s(*use_, "DELETE FROM request_keys WHERE key = ?1");
      s.Bind(1, key).Run();
    }
    return found;
  }
  std::optional<KeyRecord> LiveKey(const std::string& key) override {
    Statement s(*use_,
                "SELECT kind, digest, answer FROM request_keys WHERE key = ?1 "
                "AND expires_at > ?2");
    s.Bind(1, key).Bind(2, Now());
    if (!s.Step()) return std::nullopt;
    return KeyRecord{s.Text(0), s.Text(1), s.Text(2)};
  }
  void InsertKey(const std::string& key, const KeyRecord& record,
                 int64_t lifetime_seconds) override {
    int64_t now = Now();
    // Its id: its expiry, and after the keys that expire in the same
    // second (sqlite_schema.cc).
    Statement s(*use_,
                "INSERT INTO request_keys(id, key, kind, digest, answer, "
                "created_at, expires_at) VALUES((SELECT coalesce(max(id) + 1, "
                "?6 * 1048576) FROM request_keys WHERE id >= ?6 * 1048576 AND "
                "id < (?6 + 1) * 1048576), ?1, ?2, ?3, ?4, ?5, ?6)");
    s.Bind(1, key).Bind(2, record.kind).Bind(3, record.digest);
    // Bounded, so that the id stays a whole number of 64 bits.
    int64_t expires = now + std::clamp<int64_t>(lifetime_seconds, 0, 1LL << 40);
    s.Bind(4, record.answer).Bind(5, now).Bind(6, expires);
    s.Run();
  }
  std::optional<BatchRun> StandingBatchRun(
      const std::string& file_name, const std::string& identity) override {
    Statement s(*use_,
                "SELECT identity, lines, lines_done, state FROM batch_runs "
                "WHERE file_name = ?1 AND state IN (0, 1) AND identity <> ?2 "
                "ORDER BY updated_at DESC LIMIT 1");
    s.Bind(1, file_name).Bind(2, identity);
    if (!s.Step()) return std::nullopt;
    return BatchRun{s.Text(0), file_name, s.Int(1), s.Int(2), s.Int(3) == 1};
  }
  void PutBatchRun(const BatchRun& run, int64_t now) override {
    Statement s(*use_,
                "INSERT INTO batch_runs(identity, file_name, lines, "
                "lines_done, state, updated_at) VALUES(?1, ?2, ?3, ?4, ?5, "
                "?6) ON CONFLICT(identity) DO UPDATE SET file_name = "
                "excluded.file_name, lines = excluded.lines, lines_done = "
                "max(lines_done, excluded.lines_done), state = "
                "excluded.state, updated_at = excluded.updated_at");
    s.Bind(1, run.identity).Bind(2, run.file_name).Bind(3, run.lines);
    s.Bind(4, run.lines_done).Bind(5, int64_t{run.finished ? 1 : 0});
    s.Bind(6, now).Run();
  }
  void SetAsideBatchRuns(const std::string& file_name,
                         const std::string& identity) override {
    Statement s(*use_,
                "UPDATE batch_runs SET state = 2 WHERE file_name = ?1 AND "
                "state IN (0, 1) AND identity <> ?2");
    s.Bind(1, file_name).Bind(2, identity).Run();
  }
  void PruneKeys(int limit) override {
    // In id order, which is expiry order (a key an earlier Quillet wrote is
    // moved to its place as it is written: sqlite_schema.cc); the expiry
    // itself is checked too, for a key whose id is clamped.
    Statement s(*use_,
                "DELETE FROM request_keys WHERE id IN (SELECT id FROM "
                "request_keys WHERE id < (?1 + 1) * 1048576 AND expires_at <= "
                "?1 ORDER BY id LIMIT ?2)");
    s.Bind(1, Now()).Bind(2, int64_t{limit}).Run();
  }
  void PruneKeysCreatedBefore(int64_t created_before, int limit) override {
    Statement s(*use_,
                "DELETE FROM request_keys WHERE key IN (SELECT key FROM "
                "request_keys WHERE created_at < ?1 ORDER BY created_at "
                "LIMIT ?2)");
    s.Bind(1, created_before).Bind(2, int64_t{limit}).Run();
  }
  std::vector<KeyListing> KeyPage(const std::optional<std::string>& after,
                                  int64_t limit) override {
    Statement s(*use_,
                "SELECT key, kind, created_at FROM request_keys WHERE ?1 IS "
                "NULL OR key > ?1 ORDER BY key LIMIT ?2");
    if (after) s.Bind(1, *after);
    s.Bind(2, limit);
    std::vector<KeyListing> out;
    while (s.Step()) out.push_back({s.Text(0), s.Text(1), s.Int(2)});
    return out;
  }

  StoreFacts Facts() override {
    Statement s(*use_,
                "SELECT (SELECT count(*) FROM calls), (SELECT count(*) FROM "
                "items), (SELECT count(*) FROM request_keys), (SELECT "
                "min(created_at) FROM request_keys)");
    s.Step();
    StoreFacts facts;
    facts.calls = s.Int(0);
    facts.items = s.Int(1);
    facts.request_keys = s.Int(2);
    if (facts.request_keys > 0) facts.oldest_key = s.Int(3);
    return facts;
  }

 private:
  // Brings the text index up to the last call (sqlite_schema.cc says why
  // it trails): one segment for the calls since it last moved.
  void IndexTexts() {
    Statement(*use_,
              "INSERT INTO calls_text(rowid, description) SELECT seq, "
              "description FROM calls WHERE seq > (SELECT upto FROM "
              "calls_text_upto) AND description IS NOT NULL")
        .Run();
    Statement(*use_,
              "UPDATE calls_text_upto SET upto = (SELECT max(seq) FROM calls)")
        .Run();
  }

  // A text filter's rows are checked as they are read, so the statement
  // reads on until the page is full (-1: no limit).
  static int64_t RowsToRead(unsigned shape, int64_t limit) {
    return shape & (kText | kIndexedText) ? -1 : limit;
  }

  // The file lives on this machine: its clock is the host's.
  static int64_t Now() { return static_cast<int64_t>(std::time(nullptr)); }

  void Exec(const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
      // SQLite's message for the failure, or a full disk said as one.
      std::string message = SqliteCause(db_);
      sqlite3_free(error);
      RaiseBackend("database '" + path_ + "': " + message);
    }
  }

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

}  // namespace

std::unique_ptr<StorageEngine> OpenSqliteStorage(const std::string& path,
                                                 OpenMode open) {
  return std::make_unique<SqliteEngine>(path, open);
}

}  // namespace quillet::standins
