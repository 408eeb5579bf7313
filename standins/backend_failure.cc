#include "backend_failure.h"

#include <sqlite3.h>
#include <sys/statvfs.h>

#include <cctype>
#include <cerrno>
#include <string_view>

#include "quillet/adapter.h"
#include "quillet/class_registry.h"
#include "quillet/error.h"
#include "quillet/object_context.h"
#include "quillet/standins/store_types.h"
#include "quillet/text.h"

namespace quillet::standins {

void RaiseBackend(const std::string& what, FailureKind kind) {
  // The context of the request hears what the failure means; every failure
  // is told, so that the last one counts.
  if (Ref<ObjectContext> context = GetObjectContext()) {
    switch (kind) {
      case FailureKind::kNone:
        context->NoteOtherFailure();
        break;
      case FailureKind::kRetryLater:
        context->NoteRetryLater();
        break;
      case FailureKind::kOutcomeUnknown:
        context->NoteOutcomeUnknown();
        break;
      case FailureKind::kDiskFull:
        context->NoteDiskFull();
        break;
      case FailureKind::kReadOnly:
        context->NoteReadOnly();
        break;
      case FailureKind::kNotPermitted:
        context->NoteNotPermitted();
        break;
    }
  }
  Raise({.number = kBackendError,
         .source = u"Holmfast.Adapter.Boi",
         .description = u"Embedded back end: " + FromUtf8(what)});
}

bool DiskFull(sqlite3* db) {
  if (!db) return false;
  int system = sqlite3_system_errno(db);
  return (sqlite3_extended_errcode(db) & 0xFF) == SQLITE_FULL ||
         system == ENOSPC || system == EDQUOT;
}

bool Damaged(sqlite3* db) {
  if (!db) return false;
  int code = sqlite3_extended_errcode(db) & 0xFF;
  return code == SQLITE_CORRUPT || code == SQLITE_NOTADB;
}

std::string SqliteCause(sqlite3* db) {
  if (!db) return "out of memory";
  if (DiskFull(db)) return kDiskFull;
  return sqlite3_errmsg(db);
}

void RaiseSqlite(sqlite3* db, const std::string& subject,
                 const std::string& failed) {
  if (DiskFull(db))
    RaiseBackend(subject + ": " + kDiskFull, FailureKind::kDiskFull);
  // Another file was renamed onto the name while it was being opened (a
  // restore): the next open finds the new one.
  if (db && sqlite3_extended_errcode(db) == SQLITE_READONLY_DBMOVED)
    RaiseBackend(subject +
                     " was replaced by another file while it was being "
                     "opened; nothing was written; try again",
                 FailureKind::kRetryLater);
  // A file that is no database at all does not become one when tried
  // again: the operator gave the wrong file (a backup to restore, --db).
  bool not_a_database =
      db && (sqlite3_extended_errcode(db) & 0xFF) == SQLITE_NOTADB;
  RaiseBackend(subject + failed + ": " + SqliteCause(db),
               Damaged(db) && !not_a_database ? FailureKind::kRetryLater
                                              : FailureKind::kNone);
}

std::string ReadOnlyCause(const std::string& path) {
  struct statvfs fs {};
  return ::statvfs(path.c_str(), &fs) == 0 && (fs.f_flag & ST_RDONLY)
             ? "it is on a read-only file system"
             : "this user may not write the file";
}

void RaiseReadOnly(const std::string& path) {
  RaiseBackend("database '" + path + "' is read-only here (" +
                   ReadOnlyCause(path) +
                   "): it can be read, not written; nothing was written",
               FailureKind::kReadOnly);
}

namespace {

// What a statement does, in words, from its first keyword.
const char* Activity(std::string_view sql) {
  size_t start = sql.find_first_not_of(" \t\r\n");
  std::string word;
  for (size_t i = start;
       i < sql.size() && std::isalpha(static_cast<unsigned char>(sql[i])); ++i)
    word += static_cast<char>(std::toupper(static_cast<unsigned char>(sql[i])));
  if (word == "SELECT" || word == "PRAGMA") return "reading the database";
  if (word == "BEGIN") return "starting a transaction";
  if (word == "COMMIT" || word == "END") return "committing a transaction";
  if (word == "ROLLBACK") return "rolling a transaction back";
  return "writing the database";
}

// Best effort: the failure itself is what the caller hears. A dry run
// writes no log entry.
void LogDetail(const std::string& detail) {
  if (InDryRun()) return;
  try {
    Ref<Object> log = CreateObject(adapter::kLogClass);
    Variant source = u"Holmfast.Adapter.Boi", text = FromUtf8(detail),
            number = Variant::Long(kBackendError), extra;
    CallMethod(log.Get(), u"WriteEntry", source, text, number, extra);
  } catch (...) {
  }
}

}  // namespace

void RaiseStatement(sqlite3* db, const char* sql) {
  std::string message = SqliteCause(db);
  std::string activity = Activity(sql ? sql : "");
  LogDetail("Embedded back end: " + activity + ": " + message +
            " (statement: " + (sql ? sql : "") + ")");
  // Another writer held the file past the busy timeout: nothing was
  // written, and the same request may well go through a moment later.
  int code = db ? sqlite3_extended_errcode(db) & 0xFF : SQLITE_OK;
  if (code == SQLITE_BUSY || code == SQLITE_LOCKED)
    RaiseBackend(activity + ": " + message +
                     " (another writer held it past the wait); nothing was "
                     "written; try again",
                 FailureKind::kRetryLater);
  // A full disk, or a damaged file, is the server's to mend, never the
  // request's fault.
  RaiseBackend(activity + ": " + message, DiskFull(db) ? FailureKind::kDiskFull
                                          : Damaged(db)
                                              ? FailureKind::kRetryLater
                                              : FailureKind::kNone);
}

}  // namespace quillet::standins
