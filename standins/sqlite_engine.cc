// The SQLite engine: one database file, one connection per BackendStore.
// Write transactions are BEGIN IMMEDIATE ... COMMIT (the file's one writer
// at a time; others wait up to the busy timeout), statements are prepared
// once per connection, and values are only ever bound.
#include <sqlite3.h>

#include <filesystem>
#include <unordered_map>

#include "backend_failure.h"
#include "sqlite_schema.h"
#include "storage_engine.h"

namespace quillet::standins {
namespace {

// Prepared statements of one connection, prepared once and reused; keyed by
// the address of their SQL text (always a literal).
class StatementCache {
 public:
  explicit StatementCache(sqlite3* db) : db_(db) {}
  ~StatementCache() {
    for (auto& [sql, stmt] : statements_) sqlite3_finalize(stmt);
  }
  sqlite3* db() const { return db_; }
  sqlite3_stmt* Get(const char* sql) {
    auto it = statements_.find(sql);
    if (it != statements_.end()) return it->second;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt,
                           nullptr) != SQLITE_OK) {
      sqlite3_finalize(stmt);
      RaiseSqlite(db_, std::string("preparing \"") + sql + "\"");
    }
    statements_.emplace(sql, stmt);
    return stmt;
  }

 private:
  sqlite3* db_;
  std::unordered_map<const char*, sqlite3_stmt*> statements_;
};

// One use of a cached statement; values are only ever bound, never spliced
// in. Reset when the use ends.
class Statement {
 public:
  Statement(StatementCache& cache, const char* sql)
      : db_(cache.db()), stmt_(cache.Get(sql)) {}
  ~Statement() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& Bind(int i, const std::string& text) {
    Check(sqlite3_bind_text(stmt_, i, text.data(),
                            static_cast<int>(text.size()), SQLITE_TRANSIENT));
    return *this;
  }
  Statement& Bind(int i, int64_t n) {
    Check(sqlite3_bind_int64(stmt_, i, n));
    return *this;
  }
  template <class T>
  Statement& Bind(int i, const std::optional<T>& value) {
    if (value) return Bind(i, *value);
    Check(sqlite3_bind_null(stmt_, i));
    return *this;
  }
  Statement& Bind(int i, const StoredValue& v) {
    return v.type == "String" ? Bind(i, v.text) : Bind(i, v.number);
  }
  // True while there is a row.
  bool Step() {
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    RaiseSqlite(db_, std::string("running \"") + sqlite3_sql(stmt_) + "\"");
  }
  // Runs to the end; the statement can be bound and run again.
  void Run() {
    while (Step()) {
    }
    sqlite3_reset(stmt_);
  }
  std::string Text(int col) {
    const unsigned char* p = sqlite3_column_text(stmt_, col);
    return p ? std::string(
                   reinterpret_cast<const char*>(p),
                   static_cast<size_t>(sqlite3_column_bytes(stmt_, col)))
             : std::string();
  }
  int64_t Int(int col) { return sqlite3_column_int64(stmt_, col); }

 private:
  void Check(int rc) {
    if (rc != SQLITE_OK) RaiseSqlite(db_, "binding a value");
  }
  sqlite3* db_;
  sqlite3_stmt* stmt_;
};

const char* MasterSql(MasterTable table) {
  switch (table) {
    case MasterTable::kServiceObjects:
      return "INSERT OR REPLACE INTO service_objects(object, contract, "
             "warranty, warranty_description, warranty_expiry_date) "
             "VALUES(?1, ?2, ?3, ?4, ?5)";
    case MasterTable::kBusinessPartners:
      return "INSERT OR REPLACE INTO business_partners(number, name) "
             "VALUES(?1, ?2)";
    case MasterTable::kEngineerTime:
      return "INSERT OR REPLACE INTO engineer_time(question_id, minutes) "
             "VALUES(?1, ?2)";
  }
  return "";
}

class SqliteEngine final : public StorageEngine {
 public:
  SqliteEngine(const std::string& path, BackendStore::Open open) : path_(path) {
    CheckDatabasePath(path);
    bool reading = open == BackendStore::Open::kForReading;
    std::error_code ec;
    if (reading && !std::filesystem::exists(path, ec))
      RaiseBackend("no database '" + path + "'");
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX;
    if (!reading) flags |= SQLITE_OPEN_CREATE;
    if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
      std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
      sqlite3_close(db_);
      RaiseBackend("cannot open database '" + path + "': " + message);
    }
    sqlite3_busy_timeout(db_, 10000);
    sqlite3_extended_result_codes(db_, 1);
    try {
      // Nothing is written before the file is known to be Quillet's.
      PrepareSchema(db_, path, open);
      // WAL with NORMAL sync: a commit survives a crash of the process; the
      // last commits may be lost if the machine loses power.
      if (!reading) Exec("PRAGMA journal_mode=WAL");
      Exec("PRAGMA synchronous=NORMAL");
      cache_ = std::make_unique<StatementCache>(db_);
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
    Statement(*cache_, "BEGIN IMMEDIATE").Run();
    try {
      work();
      Statement(*cache_, ending == Ending::kCommit ? "COMMIT" : "ROLLBACK")
          .Run();
    } catch (...) {
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      throw;
    }
  }

  int64_t InsertCall(const std::string& component, int64_t time) override {
    Statement s(*cache_,
                "INSERT INTO calls(component, last_transaction_time) "
                "VALUES(?1, ?2)");
    s.Bind(1, component).Bind(2, time).Run();
    return sqlite3_last_insert_rowid(db_);
  }
  void NameCall(int64_t seq, const std::string& number) override {
    Statement s(*cache_, "UPDATE calls SET call_number = ?1 WHERE seq = ?2");
    s.Bind(1, number).Bind(2, seq).Run();
  }
  std::optional<int64_t> FindCall(const std::string& number, bool) override {
    // The write transaction already holds the file's write lock.
    Statement s(*cache_, "SELECT seq FROM calls WHERE call_number = ?1");
    s.Bind(1, number);
    if (!s.Step()) return std::nullopt;
    return s.Int(0);
  }
  std::map<std::string, StoredValue> CallProperties(
      const std::string& number) override {
    std::map<std::string, StoredValue> out;
    Statement s(*cache_,
                "SELECT name, type, value FROM call_properties WHERE "
                "call_number = ?1");
    s.Bind(1, number);
    while (s.Step()) {
      StoredValue v{s.Text(1), "", 0};
      if (v.type == "String")
        v.text = s.Text(2);
      else
        v.number = s.Int(2);
      out[s.Text(0)] = std::move(v);
    }
    return out;
  }
  TextPieces CallTexts(const std::string& number) override {
    TextPieces out;
    Statement s(*cache_,
                "SELECT kind, piece FROM call_texts WHERE call_number = ?1 "
                "ORDER BY kind, position");
    s.Bind(1, number);
    while (s.Step()) out.emplace_back(s.Text(0), s.Text(1));
    return out;
  }
  void PutProperty(const std::string& number, const std::string& name,
                   const StoredValue& value, bool is_new) override {
    Statement s(*cache_,
                is_new ? "INSERT INTO call_properties(call_number, name, type, "
                         "value) VALUES(?1, ?2, ?3, ?4)"
                       : "INSERT INTO call_properties(call_number, name, type, "
                         "value) VALUES(?1, ?2, ?3, ?4) ON CONFLICT("
                         "call_number, name) DO UPDATE SET type = "
                         "excluded.type, value = excluded.value");
    s.Bind(1, number).Bind(2, name).Bind(3, value.type).Bind(4, value).Run();
  }
  void PutText(const std::string& number, const std::string& kind,
               const StoredText& text) override {
    if (text.text_mode != "a") {
      Statement clear(
          *cache_,
          "DELETE FROM call_texts WHERE call_number = ?1 AND kind = ?2");
      clear.Bind(1, number).Bind(2, kind).Run();
    }
    Statement next(*cache_,
                   "SELECT coalesce(max(position), 0) FROM call_texts WHERE "
                   "call_number = ?1 AND kind = ?2");
    next.Bind(1, number).Bind(2, kind);
    next.Step();
    int64_t position = next.Int(0);
    Statement insert(*cache_,
                     "INSERT INTO call_texts(call_number, kind, position, "
                     "piece, text_mode) VALUES(?1, ?2, ?3, ?4, ?5)");
    for (const std::string& piece : text.pieces) {
      insert.Bind(1, number).Bind(2, kind).Bind(3, ++position);
      insert.Bind(4, piece).Bind(5, text.text_mode).Run();
    }
  }
  void StampCall(const std::string& number, int64_t time) override {
    Statement s(*cache_,
                "UPDATE calls SET last_transaction_time = ?1 WHERE "
                "call_number = ?2");
    s.Bind(1, time).Bind(2, number).Run();
  }
  std::vector<std::pair<int64_t, std::string>> CallPage(
      const CallQuery& query, int64_t after_seq, int64_t limit) override {
    // Filtered through the rows' own indexes.
    Statement s(*cache_,
                "SELECT seq, call_number FROM calls WHERE seq > ?1 "
                "AND (?2 IS NULL OR last_transaction_time >= ?2) "
                "AND (?3 IS NULL OR EXISTS(SELECT 1 FROM call_properties p "
                "WHERE p.call_number = calls.call_number AND p.name = "
                "'Status' AND p.value = ?3)) "
                "AND (?4 IS NULL OR EXISTS(SELECT 1 FROM call_properties p "
                "WHERE p.call_number = calls.call_number AND p.name = "
                "'SoldToBusinessPartner' AND p.value = ?4)) "
                "AND (?6 IS NULL OR EXISTS(SELECT 1 FROM call_properties p "
                "WHERE p.call_number = calls.call_number AND p.name = "
                "'CallDescription' AND instr(p.value, ?6) > 0)) "
                "ORDER BY seq LIMIT ?5");
    s.Bind(1, after_seq).Bind(2, query.changed_since).Bind(3, query.status);
    s.Bind(4, query.sold_to).Bind(5, limit).Bind(6, query.text);
    std::vector<std::pair<int64_t, std::string>> out;
    while (s.Step()) out.emplace_back(s.Int(0), s.Text(1));
    return out;
  }

  bool BusinessPartnerExists(const std::string& number) override {
    Statement s(*cache_, "SELECT 1 FROM business_partners WHERE number = ?1");
    s.Bind(1, number);
    return s.Step();
  }
  std::optional<ServiceObjectFacts> ServiceObject(
      const std::string& object) override {
    Statement s(*cache_,
                "SELECT contract, warranty, warranty_description, "
                "warranty_expiry_date FROM service_objects WHERE object = ?1");
    s.Bind(1, object);
    if (!s.Step()) return std::nullopt;
    return ServiceObjectFacts{s.Text(0), s.Text(1), s.Text(2), s.Text(3)};
  }
  int64_t EngineerMinutes(const std::string& question) override {
    Statement s(*cache_,
                "SELECT minutes FROM engineer_time WHERE question_id = ?1");
    s.Bind(1, question);
    return s.Step() ? s.Int(0) : 0;
  }
  void PutMasterRow(MasterTable table,
                    const std::vector<MasterValue>& values) override {
    Statement s(*cache_, MasterSql(table));
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
    Statement s(*cache_, "SELECT component FROM items WHERE serial = ?1");
    s.Bind(1, serial);
    if (!s.Step()) return std::nullopt;
    return s.Text(0);
  }
  void InsertItem(const std::string& serial,
                  const std::string& component) override {
    Statement s(*cache_, "INSERT INTO items(serial, component) VALUES(?1, ?2)");
    s.Bind(1, serial).Bind(2, component).Run();
  }
  void TouchItem(const std::string& serial,
                 const std::string& component) override {
    Statement s(*cache_,
                "UPDATE items SET component = ?2, changed_at = "
                "strftime('%Y-%m-%dT%H:%M:%fZ','now') WHERE serial = ?1");
    s.Bind(1, serial).Bind(2, component).Run();
  }
  void PutItemFields(
      const std::string& serial,
      const std::vector<std::pair<std::string, std::string>>& fields) override {
    Statement next(*cache_,
                   "SELECT coalesce(max(position), 0) FROM item_fields WHERE "
                   "serial = ?1");
    next.Bind(1, serial);
    next.Step();
    int64_t position = next.Int(0);
    Statement put(*cache_,
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
    Statement s(*cache_,
                "SELECT name, value FROM item_fields WHERE serial = ?1 ORDER "
                "BY position");
    s.Bind(1, serial);
    std::vector<std::pair<std::string, std::string>> out;
    while (s.Step()) out.emplace_back(s.Text(0), s.Text(1));
    return out;
  }
  std::vector<std::string> ItemPage(const std::optional<std::string>& after,
                                    int64_t limit) override {
    Statement s(*cache_,
                "SELECT serial FROM items WHERE ?1 IS NULL OR serial > ?1 "
                "ORDER BY serial LIMIT ?2");
    s.Bind(1, after).Bind(2, limit);
    std::vector<std::string> out;
    while (s.Step()) out.push_back(s.Text(0));
    return out;
  }

  std::optional<KeyRecord> FindKey(const std::string& key) override {
    Statement s(*cache_,
                "SELECT kind, digest, answer FROM request_keys WHERE key = ?1");
    s.Bind(1, key);
    if (!s.Step()) return std::nullopt;
    return KeyRecord{s.Text(0), s.Text(1), s.Text(2)};
  }
  void InsertKey(const std::string& key, const KeyRecord& record,
                 int64_t created_at) override {
    Statement s(*cache_,
                "INSERT INTO request_keys(key, kind, digest, answer, "
                "created_at) VALUES(?1, ?2, ?3, ?4, ?5)");
    s.Bind(1, key).Bind(2, record.kind).Bind(3, record.digest);
    s.Bind(4, record.answer).Bind(5, created_at).Run();
  }
  void PruneKeys(int64_t created_before, int limit) override {
    Statement s(*cache_,
                "DELETE FROM request_keys WHERE key IN (SELECT key FROM "
                "request_keys WHERE created_at < ?1 ORDER BY created_at "
                "LIMIT ?2)");
    s.Bind(1, created_before).Bind(2, int64_t{limit}).Run();
  }

 private:
  void Exec(const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
      std::string message = error ? error : sqlite3_errmsg(db_);
      sqlite3_free(error);
      RaiseBackend("database '" + path_ + "': " + message);
    }
  }

  std::string path_;
  sqlite3* db_ = nullptr;
  std::unique_ptr<StatementCache> cache_;
};

}  // namespace

std::unique_ptr<StorageEngine> OpenSqliteStorage(const std::string& path,
                                                 BackendStore::Open open) {
  return std::make_unique<SqliteEngine>(path, open);
}

}  // namespace quillet::standins
