// Statements of one SQLite connection: prepared once and kept, values only
// ever bound.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "backend_failure.h"

namespace quillet::standins {

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
    sqlite3_stmt* stmt = Find(sql);
    if (!stmt) RaiseStatement(db_, sql);
    return stmt;
  }
  // The same, nullptr when it cannot be prepared (sqlite3_errmsg says why).
  sqlite3_stmt* Find(const char* sql) {
    auto it = statements_.find(sql);
    if (it != statements_.end()) return it->second;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt,
                           nullptr) != SQLITE_OK) {
      sqlite3_finalize(stmt);
      return nullptr;
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
  // Binds without a copy: `text` must outlive this statement's use.
  Statement& BindKept(int i, const std::string& text) {
    Check(sqlite3_bind_text64(stmt_, i, text.data(), text.size(), SQLITE_STATIC,
                              SQLITE_UTF8));
    return *this;
  }
  Statement& BindKept(int i, const std::optional<std::string>& text) {
    if (text) return BindKept(i, *text);
    Check(sqlite3_bind_null(stmt_, i));
    return *this;
  }
  template <class T>
  Statement& Bind(int i, const std::optional<T>& value) {
    if (value) return Bind(i, *value);
    Check(sqlite3_bind_null(stmt_, i));
    return *this;
  }
  // True while there is a row.
  bool Step() {
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    RaiseStatement(db_, sqlite3_sql(stmt_));
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
  // The column's text, valid until the next step or reset.
  std::string_view View(int col) {
    const unsigned char* p = sqlite3_column_text(stmt_, col);
    return p ? std::string_view(
                   reinterpret_cast<const char*>(p),
                   static_cast<size_t>(sqlite3_column_bytes(stmt_, col)))
             : std::string_view();
  }
  bool IsNull(int col) {
    return sqlite3_column_type(stmt_, col) == SQLITE_NULL;
  }

 private:
  void Check(int rc) {
    if (rc != SQLITE_OK) RaiseSqlite(db_, "binding a value");
  }
  sqlite3* db_;
  sqlite3_stmt* stmt_;
};

}  // namespace quillet::standins
