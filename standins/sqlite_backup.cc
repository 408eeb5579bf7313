// Copies of a live SQLite database with SQLite's online backup, their
// checks, and a database held by one process alone.
#include "quillet/standins/sqlite_backup.h"

#include <sqlite3.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "backend_failure.h"
#include "quillet/error.h"
#include "quillet/object_context.h"
#include "sqlite_schema.h"

namespace quillet::standins {
namespace {

// Pages copied a step: 4 MiB of 2 KiB pages, a progress report each.
constexpr int kStepPages = 2048;
constexpr int kBusyWaitMs = 10000;

struct Closer {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};
using Connection = std::unique_ptr<sqlite3, Closer>;

Connection Open(const std::string& path, int flags, int busy_ms) {
  sqlite3* raw = nullptr;
  int rc =
      sqlite3_open_v2(path.c_str(), &raw, flags | SQLITE_OPEN_NOMUTEX, nullptr);
  Connection db(raw);
  if (rc != SQLITE_OK)
    RaiseBackend("cannot open database '" + path +
                 "': " + (raw ? SqliteCause(raw) : "out of memory"));
  sqlite3_busy_timeout(raw, busy_ms);
  sqlite3_extended_result_codes(raw, 1);
  return db;
}

// An existing database, never made: a missing file is said to be missing.
Connection OpenExisting(const std::string& path, int busy_ms) {
  CheckDatabasePath(path);
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec))
    RaiseBackend("no database '" + path + "'");
  return Open(path, SQLITE_OPEN_READWRITE, busy_ms);
}

bool Busy(sqlite3* db) {
  int code = sqlite3_errcode(db) & 0xff;
  return code == SQLITE_BUSY || code == SQLITE_LOCKED;
}

[[noreturn]] void RaiseInUse(const std::string& path) {
  RaiseBackend("database '" + path +
               "' is open in another process (a service or a batch?): "
               "stop it first; nothing was changed");
}

void Exec(sqlite3* db, const std::string& path, const char* sql) {
  if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
    RaiseSqlite(db, "database '" + path + "'");
}

// The first column of each row of `sql`, as text.
std::vector<std::string> Column(sqlite3* db, const std::string& path,
                                const char* sql) {
  sqlite3_stmt* stmt = nullptr;
  std::vector<std::string> rows;
  int rc = sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
  while (rc == SQLITE_OK && (rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    const unsigned char* text = sqlite3_column_text(stmt, 0);
    rows.emplace_back(text ? reinterpret_cast<const char*>(text) : "");
    rc = SQLITE_OK;
  }
  sqlite3_finalize(stmt);
  if (rc != SQLITE_DONE) RaiseSqlite(db, "database '" + path + "'");
  return rows;
}

int64_t Number(sqlite3* db, const std::string& path, const char* sql) {
  std::vector<std::string> rows = Column(db, path, sql);
  return rows.empty() ? 0 : std::stoll(rows[0]);
}

}  // namespace

void CopySqliteDatabase(const std::string& from, const std::string& to,
                        const CopyProgress& progress) {
  Connection source = OpenExisting(from, kBusyWaitMs);
  // The snapshot the copy is of: held to the end, so that the writers'
  // commits meanwhile neither restart the copy nor land in it.
  try {
    Exec(source.get(), from, "BEGIN");
    PrepareSchema(source.get(), from, OpenMode::kForReading);
    Number(source.get(), from, "SELECT count(*) FROM sqlite_master");
  } catch (const Error&) {
    // A file copied from that is no database needs another file, not
    // another try.
    if (Damaged(source.get()))
      if (Ref<ObjectContext> context = GetObjectContext())
        context->NoteOtherFailure();
    throw;
  }
  Connection target =
      Open(to, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, kBusyWaitMs);
  sqlite3_backup* backup =
      sqlite3_backup_init(target.get(), "main", source.get(), "main");
  if (!backup) RaiseSqlite(target.get(), "the copy '" + to + "'");
  int rc = SQLITE_OK;
  while (rc == SQLITE_OK) {
    rc = sqlite3_backup_step(backup, kStepPages);
    if (progress && (rc == SQLITE_OK || rc == SQLITE_DONE)) {
      int total = sqlite3_backup_pagecount(backup);
      progress(total - sqlite3_backup_remaining(backup), total);
    }
  }
  sqlite3_backup_finish(backup);  // the step's failure is on the target
  if (rc != SQLITE_DONE)
    RaiseSqlite(target.get(), "copying database '" + from + "'");
  Exec(source.get(), from, "COMMIT");
  // One file, readable without a write-ahead log or its index beside it.
  std::vector<std::string> mode =
      Column(target.get(), to, "PRAGMA journal_mode=DELETE");
  if (mode.empty() || mode[0] != "delete")
    RaiseBackend("the copy '" + to + "' cannot be made a single file");
}

CopyFacts CheckSqliteCopy(const std::string& path) {
  Connection db = OpenExisting(path, kBusyWaitMs);
  sqlite3* c = db.get();
  auto fail = [&](const std::string& why) {
    RaiseBackend("'" + path + "' is not a sound Quillet database: " + why);
  };
  std::vector<std::string> integrity =
      Column(c, path, "PRAGMA integrity_check");
  if (integrity.size() != 1 || integrity[0] != "ok")
    fail("integrity_check found " + std::to_string(integrity.size()) +
         " problem(s), the first: " +
         (integrity.empty() ? "none said" : integrity[0]));
  if (Number(c, path, "PRAGMA application_id") != kApplicationId)
    fail("it is not marked as Quillet's");
  CopyFacts facts;
  facts.schema_version = Number(c, path, "PRAGMA user_version");
  if (facts.schema_version != kSchemaVersion)
    fail("its schema version is " + std::to_string(facts.schema_version) +
         ", this Quillet's " + std::to_string(kSchemaVersion));
  facts.calls = Number(c, path, "SELECT count(*) FROM calls");
  if (Number(c, path, "SELECT coalesce(max(seq), 0) FROM calls") != facts.calls)
    fail("its calls are not numbered without a gap");
  facts.items = Number(c, path, "SELECT count(*) FROM items");
  facts.request_keys = Number(c, path, "SELECT count(*) FROM request_keys");
  return facts;
}

SqliteSoleHold::SqliteSoleHold(const std::string& path) {
  Connection db = OpenExisting(path, 0);  // no waiting: held or in use
  sqlite3* c = db.get();
  auto run = [&](const char* sql) {
    std::vector<std::string> rows;
    try {
      rows = Column(c, path, sql);
    } catch (...) {
      if (Busy(c)) RaiseInUse(path);
      throw;
    }
    return rows;
  };
  // Every lock taken from here on is kept until the connection closes. A
  // connection of another process in WAL mode keeps a shared lock on the
  // file for as long as it is open, so the first read fails as busy.
  run("PRAGMA locking_mode=EXCLUSIVE");
  run("SELECT count(*) FROM sqlite_master");
  std::vector<std::string> id = run("PRAGMA application_id");
  if (id.empty() || std::stoll(id[0]) != kApplicationId)
    RaiseBackend("database '" + path +
                 "' is not a Quillet database; it was left untouched");
  std::vector<std::string> mode = run("PRAGMA journal_mode=DELETE");
  if (mode.empty() || mode[0] != "delete") RaiseInUse(path);
  run("BEGIN EXCLUSIVE");  // a rollback-journal file's lock, kept
  run("COMMIT");
  db_ = db.release();
}

SqliteSoleHold::~SqliteSoleHold() { sqlite3_close(db_); }

}  // namespace quillet::standins
