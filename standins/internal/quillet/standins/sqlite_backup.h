// A SQLite database of the embedded back end copied whole while it is in
// use, a copy checked, and a database held against every other connection,
// for the operator's backups and restores (quillet/operations/backup.h
// says what is done with them). Every failure raises kBackendError naming
// what failed.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

struct sqlite3;

namespace quillet::standins {

// What a checked copy holds.
struct CopyFacts {
  int64_t schema_version = 0;
  int64_t calls = 0;
  int64_t items = 0;
  int64_t request_keys = 0;
};

// Told the pages copied so far and the pages in all, after each step.
using CopyProgress = std::function<void(int64_t done, int64_t total)>;

// Copies the Quillet database `from` into the empty or new file `to` as it
// stood when the copy began, while writers of `from` (of any process) go on:
// one read transaction is held over every step, so no write restarts the
// copy and none waits for it. The copy is one file in rollback-journal
// mode, with no companion. Refuses a `from` that is missing, empty, not
// Quillet's or of another schema version than this build's.
void CopySqliteDatabase(const std::string& from, const std::string& to,
                        const CopyProgress& progress);

// Checks a copy that nothing else has open: PRAGMA integrity_check answers
// ok, it is marked as Quillet's at this build's schema version, and its
// calls are numbered 1..n without a gap (calls are never deleted); answers
// what it holds. May leave the file in rollback-journal mode.
CopyFacts CheckSqliteCopy(const std::string& path);

// The database at `path` held by this process alone while the object
// lives: raises, changing nothing, when any other connection (any process)
// has it open, or when it is not Quillet's. Held, its write-ahead log is
// folded into the file, which is switched to rollback-journal mode (a
// writer that opens it again switches it back), so that the file alone is
// the whole database: it can be set aside, or another put in its place.
class SqliteSoleHold {
 public:
  explicit SqliteSoleHold(const std::string& path);
  ~SqliteSoleHold();
  SqliteSoleHold(const SqliteSoleHold&) = delete;
  SqliteSoleHold& operator=(const SqliteSoleHold&) = delete;

 private:
  sqlite3* db_ = nullptr;
};

}  // namespace quillet::standins
