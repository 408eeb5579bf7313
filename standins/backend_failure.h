// How the embedded back end fails: one runtime error number
// (kBackendError), source "Holmfast.Adapter.Boi", and a description that
// names what failed.
#pragma once

#include <string>

#include "quillet/standins/store_types.h"

struct sqlite3;

namespace quillet::standins {

// Raises, telling the object context of the calling thread (when there is
// one) what the failure means: NoteRetryLater(), NoteOutcomeUnknown(),
// NoteDiskFull(), NoteReadOnly() or, for kNone, NoteOtherFailure().
[[noreturn]] void RaiseBackend(const std::string& what,
                               FailureKind kind = FailureKind::kNone);
// How a full disk (or quota) is said.
inline constexpr const char* kDiskFull =
    "the disk holding the database is full";
// Whether the connection's last failure was a full disk (or quota).
bool DiskFull(sqlite3* db);
// Whether it was a damaged file (malformed, or not a database).
bool Damaged(sqlite3* db);
// SQLite's cause of the connection's last failure, in words: its own
// message, or kDiskFull for a full disk, whatever SQLite calls it
// ("disk I/O error" when the -shm file cannot grow).
std::string SqliteCause(sqlite3* db);
// `subject`, `failed` (" cannot be read") and the cause; for a full disk,
// `subject` and that the disk is full.
[[noreturn]] void RaiseSqlite(sqlite3* db, const std::string& subject,
                              const std::string& failed = "");
// The database at `path` may be read here, not written: says why (a
// read-only file system, or a file this user may not write), with
// FailureKind::kReadOnly.
[[noreturn]] void RaiseReadOnly(const std::string& path);
// Why a database that opened read-only is so, in words.
std::string ReadOnlyCause(const std::string& path);
// A statement that failed: the caller hears what was being done, in words
// ("writing the database: the disk is full"); the statement itself
// goes to the log (adapter.h's log class), for whoever looks into it.
[[noreturn]] void RaiseStatement(sqlite3* db, const char* sql);

}  // namespace quillet::standins
