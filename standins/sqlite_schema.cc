#include "sqlite_schema.h"

#include <sqlite3.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "backend_failure.h"
#include "sqlite_schema_steps.h"

namespace quillet::standins {
namespace {

using sqlite_steps::kMigrations;
using sqlite_steps::kPageSize;
using sqlite_steps::kSearchFillBatch;
using sqlite_steps::kTables;
using sqlite_steps::kTablesVersion;
using sqlite_steps::kUnmarkedTables;

void Exec(sqlite3* db, const std::string& path, const std::string& sql) {
  char* error = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
    sqlite3_free(error);
    RaiseSqlite(db, "database '" + path + "'");
  }
}

int64_t Pragma(sqlite3* db, const std::string& path, const char* name) {
  sqlite3_stmt* stmt = nullptr;
  std::string sql = std::string("PRAGMA ") + name;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
    sqlite3_finalize(stmt);
    RaiseSqlite(db, "database '" + path + "'");
  }
  int64_t value =
      sqlite3_step(stmt) == SQLITE_ROW ? sqlite3_column_int64(stmt, 0) : 0;
  sqlite3_finalize(stmt);
  return value;
}

// Fills the search index with the calls the description's index holds, a
// bounded batch a statement.
void FillSearchIndex(sqlite3* db, const std::string& path) {
  sqlite3_stmt* stmt = nullptr;
  int64_t upto = -1;
  if (sqlite3_prepare_v2(db, "SELECT upto FROM calls_text_upto", -1, &stmt,
                         nullptr) == SQLITE_OK &&
      sqlite3_step(stmt) == SQLITE_ROW)
    upto = sqlite3_column_int64(stmt, 0);
  sqlite3_finalize(stmt);
  if (upto < 0) RaiseSqlite(db, "database '" + path + "'", " cannot be read");
  for (int64_t low = 0; low < upto; low += kSearchFillBatch)
    Exec(db, path,
         "INSERT INTO calls_search(rowid, body) SELECT seq, body FROM "
         "calls_search_body WHERE seq > " +
             std::to_string(low) + " AND seq <= " +
             std::to_string(std::min(upto, low + kSearchFillBatch)));
}

std::set<std::string> Tables(sqlite3* db, const std::string& path) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db,
                         "SELECT name FROM sqlite_master WHERE type = "
                         "'table'",
                         -1, &stmt, nullptr) != SQLITE_OK) {
    sqlite3_finalize(stmt);
    RaiseSqlite(db, "database '" + path + "'", " cannot be read");
  }
  std::set<std::string> names;
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW)
    names.insert(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)));
  sqlite3_finalize(stmt);
  if (rc != SQLITE_DONE)
    RaiseSqlite(db, "database '" + path + "'", " cannot be read");
  return names;
}

// Before calls are keyed by their sequence number alone: every stored call
// number must be the one its sequence number spells.
void RequireSpelledCallNumbers(sqlite3* db, const std::string& path) {
  sqlite3_stmt* stmt = nullptr;
  int64_t odd = -1;
  if (sqlite3_prepare_v2(db,
                         "SELECT count(*) FROM calls WHERE call_number IS NOT "
                         "'SC' || printf('%06d', seq)",
                         -1, &stmt, nullptr) == SQLITE_OK &&
      sqlite3_step(stmt) == SQLITE_ROW)
    odd = sqlite3_column_int64(stmt, 0);
  sqlite3_finalize(stmt);
  if (odd < 0) RaiseSqlite(db, "database '" + path + "'", " cannot be read");
  if (odd > 0)
    RaiseBackend("database '" + path + "' holds " + std::to_string(odd) +
                 " call(s) whose number does not follow their sequence "
                 "number; it was left untouched");
}

}  // namespace

void CheckDatabasePath(const std::string& path) {
  if (path.empty()) RaiseBackend("the database path is empty");
  if (path == "-")
    RaiseBackend("'-' is refused: give the database as a file path");
  if (path == ":memory:")
    RaiseBackend(
        "':memory:' is refused: everything stored there is lost at exit");
  if (path.rfind("file:", 0) == 0)
    RaiseBackend("'" + path +
                 "' is refused: give the database as a plain file path");
}

namespace {

// The schema version of the open database: -1 when it is empty. Raises for
// a database that is not Quillet's or is newer than this build.
int64_t SchemaVersion(sqlite3* db, const std::string& path) {
  int64_t id = Pragma(db, path, "application_id");
  int64_t version = Pragma(db, path, "user_version");
  std::set<std::string> tables = Tables(db, path);
  if (id == kApplicationId) {
    if (version > kSchemaVersion)
      RaiseBackend("database '" + path + "' has schema version " +
                   std::to_string(version) + ", newer than this Quillet's (" +
                   std::to_string(kSchemaVersion) + "); it was left untouched");
    return version;
  }
  if (id == 0 && version == 0 && tables.empty()) return -1;
  if (id == 0 && version == 0 && tables == kUnmarkedTables)
    return 0;  // made by an earlier Quillet, before databases were marked
  RaiseBackend("database '" + path +
               "' is not a Quillet database; it was left untouched");
}

}  // namespace

void PrepareSchema(sqlite3* db, const std::string& path, OpenMode open) {
  int64_t version = SchemaVersion(db, path);
  if (version == kSchemaVersion) return;
  if (open != OpenMode::kForWriting) {
    if (version < 0)
      RaiseBackend("database '" + path + "' is empty: nothing is stored yet");
    RaiseBackend("database '" + path +
                 "' was made by an earlier Quillet; bring it up to date with "
                 "'quillet backend migrate' first");
  }
  // The page size of a new file (no effect on one that has pages).
  if (version < 0)
    Exec(db, path, "PRAGMA page_size = " + std::to_string(kPageSize));
  // Another connection may have done it meanwhile: look again once the
  // write lock is held.
  Exec(db, path, "BEGIN IMMEDIATE");
  try {
    version = SchemaVersion(db, path);
    if (version < 0) {
      Exec(db, path, kTables);
      version = kTablesVersion;
    }
    for (int64_t v = version; v < kSchemaVersion; ++v) {
      if (v == 2) RequireSpelledCallNumbers(db, path);
      Exec(db, path, kMigrations[static_cast<size_t>(v)]);
      if (v == 8) FillSearchIndex(db, path);
    }
    Exec(db, path,
         "PRAGMA application_id = " + std::to_string(kApplicationId) +
             "; PRAGMA user_version = " + std::to_string(kSchemaVersion));
    Exec(db, path, "COMMIT");
  } catch (...) {
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

}  // namespace quillet::standins
