// The write group's transaction: opening the shared connection and
// beginning, each writer's turn in its savepoint, undoing, committing, and
// the checks that the file and its -wal are still the connection's
// (sqlite_write_group.h).
#include <sys/stat.h>

#include <string>

#include "backend_failure.h"
#include "sqlite_write_group.h"
#include "sqlite_write_group_parts.h"

namespace quillet::standins {
namespace {

// How long a statement waits for another process's lock.
constexpr int kBusyWaitMs = 10000;
constexpr const char* kReplaced =
    "the database file was moved or replaced while in use";
constexpr const char* kWalMoved =
    "the database's -wal file was moved or deleted while in use";

class InsideScope {
 public:
  explicit InsideScope(const WriteGroup* group) {
    groups_inside.push_back(group);
  }
  ~InsideScope() { groups_inside.pop_back(); }
  InsideScope(const InsideScope&) = delete;
  InsideScope& operator=(const InsideScope&) = delete;
};

}  // namespace

bool WriteGroup::Turn(const std::function<void(StatementCache&)>& work,
                      bool roll_back) {
  // Outside a transaction a savepoint would begin one of its own, and its
  // release commit it: a held transaction that a failed write undid takes
  // no more writes.
  if (sqlite3_get_autocommit(db_))
    RaiseBackend("writing the database: " + Undone() +
                     "a failed write undid the transaction this one was to "
                     "join; nothing was written; try again",
                 UndoneKind());
  InsideScope scope(this);
  Statement(*statements_, "SAVEPOINT write").Run();
  try {
    work(*statements_);
  } catch (...) {
    // Said while SQLite still knows it: the writes after it are refused
    // for it, and the commit.
    if (sqlite3_get_autocommit(db_)) undone_by_ = SqliteCause(db_);
    Undo();
    throw;
  }
  if (roll_back) {
    Undo();
    return false;
  }
  try {
    Statement(*statements_, "RELEASE write").Run();
  } catch (...) {
    if (sqlite3_get_autocommit(db_)) undone_by_ = SqliteCause(db_);
    Undo();
    throw;
  }
  return true;
}

std::string WriteGroup::Undone() const {
  return undone_by_.empty() ? "" : undone_by_ + "; ";
}

FailureKind WriteGroup::UndoneKind() const {
  return undone_by_ == kDiskFull ? FailureKind::kDiskFull
                                 : FailureKind::kRetryLater;
}

void WriteGroup::Undo() {
  if (sqlite3_get_autocommit(db_)) return;  // SQLite undid it all already
  sqlite3_exec(db_, "ROLLBACK TO write", nullptr, nullptr, nullptr);
  sqlite3_exec(db_, "RELEASE write", nullptr, nullptr, nullptr);
}

const char* WriteGroup::Moved() const {
  struct stat now {};
  if (::stat(path_.c_str(), &now) != 0 || File{now.st_dev, now.st_ino} != file_)
    return kReplaced;
  if (wal_ && (::stat(wal_path_.c_str(), &now) != 0 ||
               File{now.st_dev, now.st_ino} != *wal_))
    return kWalMoved;
  return nullptr;
}

void WriteGroup::Close() {
  // Closed without a checkpoint, which would write the file at the name
  // and remove the -wal there, another's now.
  sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  statements_.reset();
  sqlite3_close(db_);
  db_ = nullptr;
  wal_.reset();
}

std::optional<WriteGroup::Failure> WriteGroup::Begin() {
  // Checked once a group, not once a write: a stat costs a write's tenth.
  if (const char* moved = db_ ? Moved() : nullptr) {
    // Another file under the name now: writing on through this connection
    // would put the old file's pages into the new one's -wal. With the
    // -wal gone and the file still there, what this connection committed
    // to the -wal is first copied into the file, so that it is not lost
    // with it.
    if (moved == kWalMoved)
      sqlite3_wal_checkpoint_v2(db_, "main", SQLITE_CHECKPOINT_PASSIVE, nullptr,
                                nullptr);
    Close();
    // Refused: the writers of the group hear that it is away, and the next
    // one opens the file anew.
    return Failure{std::string("cannot write the database: ") + moved +
                       "; nothing was written; try again",
                   FailureKind::kRetryLater};
  }
  if (!db_) {
    sqlite3* db = nullptr;
    int rc =
        sqlite3_open_v2(path_.c_str(), &db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    std::string why;
    if (rc != SQLITE_OK)
      why = SqliteCause(db);
    else if (Moved())
      why = kReplaced;
    else if (sqlite3_db_readonly(db, "main") == 1)
      why = "this user may not write the file";
    if (!why.empty()) {
      sqlite3_close(db);
      // A file replaced is away for this writer, as a deleted one is.
      return Failure{
          "cannot write the database: " + why + "; nothing was written",
          why == kReplaced ? FailureKind::kRetryLater : FailureKind::kNone};
    }
    sqlite3_busy_timeout(db, kBusyWaitMs);
    sqlite3_extended_result_codes(db, 1);
    sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
    db_ = db;
    statements_ = std::make_unique<StatementCache>(db_);
  }
  if (RunPrepared("BEGIN IMMEDIATE") == SQLITE_OK) {
    undone_by_.clear();
    // The -wal this connection has open (in WAL mode it opens one as it
    // begins): the one at the name, while no one moves it.
    struct stat wal {};
    if (!wal_ && ::stat(wal_path_.c_str(), &wal) == 0)
      wal_ = File{wal.st_dev, wal.st_ino};
    return std::nullopt;
  }
  int code = sqlite3_extended_errcode(db_) & 0xFF;
  if (code == SQLITE_BUSY || code == SQLITE_LOCKED)
    return Failure{"starting a transaction: " + SqliteCause(db_) +
                       " (another writer held it past the wait); nothing "
                       "was written; try again",
                   FailureKind::kRetryLater};
  return Failure{
      "starting a transaction: " + SqliteCause(db_) + "; nothing was written",
      FailureKind::kNone};
}

int WriteGroup::RunPrepared(const char* sql) {
  sqlite3_stmt* stmt = statements_->Find(sql);
  if (!stmt) return sqlite3_extended_errcode(db_);
  int rc = sqlite3_step(stmt);
  // Reset at once: a statement left running would keep its transaction.
  sqlite3_reset(stmt);
  return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

std::optional<WriteGroup::Failure> WriteGroup::Commit() {
  if (const char* moved = Moved()) {  // its pages would go astray
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return Failure{std::string("committing a transaction: ") + moved +
                       "; nothing was written; try again",
                   FailureKind::kRetryLater};
  }
  if (RunPrepared("COMMIT") == SQLITE_OK) return std::nullopt;
  std::string cause = SqliteCause(db_);
  // Known not written: still open and undone here, or undone by SQLite for
  // a full disk (the commit could not grow a file, so none of it is in).
  // Other causes that undid it (I/O errors) may have reached the file.
  bool known_undone = sqlite3_get_autocommit(db_)
                          ? DiskFull(db_)
                          : sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr,
                                         nullptr) == SQLITE_OK;
  if (known_undone)
    return Failure{
        "committing a transaction: " + cause +
            "; nothing was written; try again",
        DiskFull(db_) ? FailureKind::kDiskFull : FailureKind::kRetryLater};
  return Failure{"committing a transaction: " + cause +
                     "; whether it was written is not known",
                 FailureKind::kOutcomeUnknown};
}

}  // namespace quillet::standins
