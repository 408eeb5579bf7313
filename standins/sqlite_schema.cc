#include "sqlite_schema.h"

#include <sqlite3.h>

#include <set>
#include <vector>

#include "backend_failure.h"

namespace quillet::standins {
namespace {

// Requests made under a caller's key, with the answer they were given.
constexpr const char* kRequestKeys = R"sql(
CREATE TABLE request_keys(
  key TEXT PRIMARY KEY,
  kind TEXT NOT NULL,
  digest TEXT NOT NULL,
  answer TEXT NOT NULL,
  created_at INTEGER NOT NULL);
CREATE INDEX request_keys_by_age ON request_keys(created_at);
)sql";

// Schema version 1 without the tables that later versions add.
constexpr const char* kFirstTables = R"sql(
CREATE TABLE calls(
  seq INTEGER PRIMARY KEY AUTOINCREMENT,
  call_number TEXT UNIQUE,
  component TEXT NOT NULL,
  last_transaction_time INTEGER NOT NULL,
  created_at TEXT NOT NULL DEFAULT (strftime('%Y-%m-%dT%H:%M:%fZ','now')));
CREATE TABLE call_properties(
  call_number TEXT NOT NULL,
  name TEXT NOT NULL,
  type TEXT NOT NULL,
  value,
  PRIMARY KEY(call_number, name)) WITHOUT ROWID;
CREATE TABLE call_texts(
  call_number TEXT NOT NULL,
  kind TEXT NOT NULL,
  position INTEGER NOT NULL,
  piece TEXT NOT NULL,
  text_mode TEXT NOT NULL,
  PRIMARY KEY(call_number, kind, position)) WITHOUT ROWID;
CREATE INDEX calls_by_time ON calls(last_transaction_time);
CREATE TABLE service_objects(
  object TEXT PRIMARY KEY,
  contract TEXT NOT NULL DEFAULT '',
  warranty TEXT NOT NULL DEFAULT '',
  warranty_description TEXT NOT NULL DEFAULT '',
  warranty_expiry_date TEXT NOT NULL DEFAULT '');
CREATE TABLE business_partners(
  number TEXT PRIMARY KEY,
  name TEXT NOT NULL DEFAULT '');
CREATE TABLE engineer_time(
  question_id TEXT PRIMARY KEY,
  minutes INTEGER NOT NULL);
CREATE TABLE items(
  serial TEXT PRIMARY KEY,
  component TEXT NOT NULL,
  changed_at TEXT NOT NULL DEFAULT (strftime('%Y-%m-%dT%H:%M:%fZ','now')));
CREATE TABLE item_fields(
  serial TEXT NOT NULL,
  position INTEGER NOT NULL,
  name TEXT NOT NULL,
  value TEXT NOT NULL,
  PRIMARY KEY(serial, name));
)sql";

// The tables of a database that an earlier Quillet made before databases
// were marked (schema version 0).
const std::set<std::string> kUnmarkedTables = {
    "business_partners", "call_properties", "call_texts", "calls",
    "engineer_time",     "item_fields",     "items",      "service_objects",
    "sqlite_sequence"};

// Step N brings schema version N to N + 1.
const std::vector<const char*> kMigrations = {
    // 0 -> 1: transaction times counted from 2000 rather than 1970.
    R"sql(
UPDATE calls SET last_transaction_time = last_transaction_time - 946684800
  WHERE last_transaction_time > 946684800;
UPDATE call_properties SET value = value - 946684800
  WHERE name = 'LastTransactionTime' AND value > 946684800;
)sql",
    // 1 -> 2: request keys.
    kRequestKeys,
};
static_assert(kSchemaVersion == 2, "add a migration step with the version");

void Exec(sqlite3* db, const std::string& path, const std::string& sql) {
  char* error = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
    std::string message = error ? error : sqlite3_errmsg(db);
    sqlite3_free(error);
    RaiseBackend("database '" + path + "': " + message);
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

std::set<std::string> Tables(sqlite3* db, const std::string& path) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db,
                         "SELECT name FROM sqlite_master WHERE type = "
                         "'table'",
                         -1, &stmt, nullptr) != SQLITE_OK) {
    sqlite3_finalize(stmt);
    RaiseSqlite(db, "database '" + path + "' cannot be read");
  }
  std::set<std::string> names;
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW)
    names.insert(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)));
  sqlite3_finalize(stmt);
  if (rc != SQLITE_DONE)
    RaiseSqlite(db, "database '" + path + "' cannot be read");
  return names;
}

}  // namespace

void CheckDatabasePath(const std::string& path) {
  if (path.empty()) RaiseBackend("the database path is empty");
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

void PrepareSchema(sqlite3* db, const std::string& path,
                   BackendStore::Open open) {
  int64_t version = SchemaVersion(db, path);
  if (version == kSchemaVersion) return;
  if (open == BackendStore::Open::kForReading) {
    if (version < 0)
      RaiseBackend("database '" + path + "' is empty: nothing is stored yet");
    RaiseBackend("database '" + path +
                 "' was made by an earlier Quillet; bring it up to date with "
                 "'quillet backend migrate' first");
  }
  // Another connection may have done it meanwhile: look again once the
  // write lock is held.
  Exec(db, path, "BEGIN IMMEDIATE");
  try {
    version = SchemaVersion(db, path);
    if (version < 0) {
      Exec(db, path, std::string(kFirstTables) + kRequestKeys);
    } else {
      for (int64_t v = version; v < kSchemaVersion; ++v)
        Exec(db, path, kMigrations[static_cast<size_t>(v)]);
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
