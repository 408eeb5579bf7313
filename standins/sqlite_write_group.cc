#include "sqlite_write_group.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <chrono>
#include <exception>
#include <map>
#include <tuple>
#include <vector>

#include "backend_failure.h"
#include "quillet/standins/store_metrics.h"

namespace quillet::standins {
namespace {

// How long a statement waits for another process's lock.
constexpr int kBusyWaitMs = 10000;
// Writers committed together at most: a group's last writer waits for every
// turn before its own.
constexpr size_t kMaxGroup = 64;
constexpr const char* kReplaced =
    "the database file was moved or replaced while in use";
constexpr const char* kWalMoved =
    "the database's -wal file was moved or deleted while in use";

// The groups whose transaction this thread is inside now, innermost last.
thread_local std::vector<const WriteGroup*> inside;

class InsideScope {
 public:
  explicit InsideScope(const WriteGroup* group) { inside.push_back(group); }
  ~InsideScope() { inside.pop_back(); }
  InsideScope(const InsideScope&) = delete;
  InsideScope& operator=(const InsideScope&) = delete;
};

}  // namespace

struct WriteGroup::Writer {
  enum class State : uint8_t { kQueued, kTurn, kDone };
  CondVar wake;  // under the group's mutex_
  State state = State::kQueued;
  bool holds = false;              // takes the transaction for itself
  std::optional<Failure> failure;  // kDone: why its write is not stored
};

std::shared_ptr<WriteGroup> WriteGroups::Of(const std::string& path,
                                            WriteGroup::File file) {
  MutexLock lock(mutex_);
  std::erase_if(by_file_,
                [](const auto& entry) { return entry.second.expired(); });
  std::weak_ptr<WriteGroup>& known =
      by_file_[{getpid(), file.first, file.second}];
  std::shared_ptr<WriteGroup> group = known.lock();
  if (!group) {
    group = std::make_shared<WriteGroup>(path, file);
    known = group;
  }
  return group;
}

WriteGroup::WriteGroup(std::string path, File file)
    : path_(std::move(path)), wal_path_(path_ + "-wal"), file_(file) {}

WriteGroup::~WriteGroup() {
  statements_.reset();
  sqlite3_close(db_);
}

void WriteGroup::TurnCapability::AssertHeld() const {
  assert(holder_ == std::this_thread::get_id());
}

bool WriteGroup::Inside() const {
  return std::find(inside.begin(), inside.end(), this) != inside.end();
}

void WriteGroup::Write(const std::function<void(StatementCache&)>& work,
                       bool roll_back) {
  if (Inside()) {  // a write within a write, or by the holder
    turn_.AssertHeld();
    Turn(work, roll_back);
    return;
  }
  Writer me;
  MutexLock lock(mutex_);
  queue_.push_back(&me);
  if (Lead(me)) {
    lock.Unlock();
    RunGroup(me, work, roll_back);
    return;
  }
  if (me.state == Writer::State::kTurn) {
    lock.Unlock();
    bool kept = false;
    std::exception_ptr raised;
    turn_.Take();  // lent by the leader, which waits for it
    try {
      kept = Turn(work, roll_back);
    } catch (...) {
      raised = std::current_exception();
    }
    turn_.Pass();
    lock.Lock();
    turn_over_ = true;
    turn_kept_ = kept;
    leader_->wake.NotifyOne();  // under the lock: the leader waits for it
    if (raised) {
      lock.Unlock();
      std::rethrow_exception(raised);  // undone: nothing of it to wait for
    }
    if (!kept) return;  // a dry run: nothing of it is committed
    while (me.state != Writer::State::kDone) me.wake.Wait(mutex_);
  }
  if (me.failure) {
    Failure failure = std::move(*me.failure);
    lock.Unlock();
    RaiseBackend(failure.what, failure.kind);
  }
}

bool WriteGroup::Lead(Writer& me) {
  while (me.state == Writer::State::kQueued &&
         (leading_ || queue_.empty() || queue_.front() != &me))
    me.wake.Wait(mutex_);
  if (me.state != Writer::State::kQueued) return false;
  leading_ = true;
  leader_ = &me;
  turn_.Take();
  return true;
}

void WriteGroup::StepDown() {
  turn_.Pass();
  leading_ = false;
  leader_ = nullptr;
  if (!queue_.empty()) queue_.front()->wake.NotifyOne();
}

void WriteGroup::RunGroup(Writer& me,
                          const std::function<void(StatementCache&)>& work,
                          bool roll_back) {
  // The writers queued, up to one that holds the transaction for itself;
  // answers whether it took any.
  std::vector<Writer*> group;
  auto gather = [&] {
    MutexLock lock(mutex_);
    size_t before = group.size();
    while (!queue_.empty() && group.size() < kMaxGroup &&
           (group.empty() || !queue_.front()->holds)) {
      group.push_back(queue_.front());
      queue_.pop_front();
    }
    return group.size() > before;
  };
  gather();
  std::optional<Failure> failure = Begin();
  if (failure && RetryLater(failure->kind)) {
    // The writers that queued during the wait (holders too) would only
    // wait as long again: they get the same answer now.
    MutexLock lock(mutex_);
    group.insert(group.end(), queue_.begin(), queue_.end());
    queue_.clear();
  }
  std::vector<Writer*> kept;  // waiting for the commit
  bool mine_kept = false;
  std::exception_ptr mine_raised;
  size_t ran = 0;
  // Before the commit, the writers that came meanwhile join it: they would
  // only wait for the next one.
  while (!failure) {
    if (ran == group.size() && !gather()) break;
    for (; ran < group.size() && !failure; ++ran) {
      Writer* writer = group[ran];
      if (writer == &me) {
        try {
          mine_kept = Turn(work, roll_back);
        } catch (...) {
          mine_raised = std::current_exception();
        }
      } else {
        MutexLock lock(mutex_);
        turn_over_ = false;
        turn_.Pass();  // lent for the writer's turn
        writer->state = Writer::State::kTurn;
        writer->wake.NotifyOne();
        while (!turn_over_) me.wake.Wait(mutex_);
        turn_.Take();
        if (turn_kept_) kept.push_back(writer);
      }
      // A failure SQLite answers by rolling the whole transaction back (a full
      // disk, say) undid the writes before it too.
      if (sqlite3_get_autocommit(db_))
        failure = Failure{"writing the database: " + Undone() +
                              "another write in the same transaction "
                              "failed and took this one with it; nothing was "
                              "written; try again",
                          UndoneKind()};
    }
  }
  if (failure) {
    // Known undone: Begin failed, or SQLite rolled the transaction back.
  } else if (kept.empty() && !mine_kept) {
    // Nothing to keep (dry runs, raised writes): a commit would still mark
    // a rollback-journal file changed.
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  } else {
    auto start = std::chrono::steady_clock::now();
    failure = Commit();
    StoreMetrics& metrics = TheStoreMetrics();
    metrics.commit_seconds.Observe(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
            .count());
    metrics.group_writes.Observe(
        static_cast<double>(kept.size() + (mine_kept ? 1 : 0)));
  }
  {
    MutexLock lock(mutex_);
    auto settle = [&](Writer* writer) {
      writer->failure = failure;
      writer->state = Writer::State::kDone;
      writer->wake.NotifyOne();
    };
    for (Writer* writer : kept) settle(writer);
    for (size_t i = ran; i < group.size(); ++i)  // never had their turn
      if (group[i] != &me) settle(group[i]);
    StepDown();
  }
  if (mine_raised) std::rethrow_exception(mine_raised);
  bool mine_ran = !group.empty() && group[0] == &me && ran > 0;
  if (failure && (mine_kept || !mine_ran))
    RaiseBackend(failure->what, failure->kind);
}

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
  if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) ==
      SQLITE_OK) {
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

std::optional<WriteGroup::Failure> WriteGroup::Commit() {
  if (const char* moved = Moved()) {  // its pages would go astray
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return Failure{std::string("committing a transaction: ") + moved +
                       "; nothing was written; try again",
                   FailureKind::kRetryLater};
  }
  if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK)
    return std::nullopt;
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

class WriteGroup::Held final : public WriteHold {
 public:
  explicit Held(std::shared_ptr<WriteGroup> group) : group_(std::move(group)) {
    // The turn taken here stays with this thread until Commit() or the
    // end, past this constructor (which clang does not check): those
    // assert it before they use the connection.
    me_.holds = true;
    {
      MutexLock lock(group_->mutex_);
      group_->queue_.push_back(&me_);
      if (!group_->Lead(me_)) {  // a busy leader's answer
        done_ = true;
        Failure failure = std::move(*me_.failure);
        lock.Unlock();
        RaiseBackend(failure.what, failure.kind);
      }
      group_->queue_.pop_front();  // leaders leave a holder in the queue
    }
    if (std::optional<Failure> failure = group_->Begin()) {
      MutexLock lock(group_->mutex_);
      group_->StepDown();
      done_ = true;
      RaiseBackend(failure->what, failure->kind);
    }
    inside.push_back(group_.get());
  }
  ~Held() override {
    if (done_) return;
    End();
    group_->turn_.AssertHeld();
    if (!sqlite3_get_autocommit(group_->db_))
      sqlite3_exec(group_->db_, "ROLLBACK", nullptr, nullptr, nullptr);
    MutexLock lock(group_->mutex_);
    group_->StepDown();
  }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;

  bool Undone() const override {
    if (done_) return false;
    group_->turn_.AssertHeld();
    return sqlite3_get_autocommit(group_->db_) != 0;
  }

  void Commit() override {
    if (done_) return;
    End();
    group_->turn_.AssertHeld();
    std::optional<Failure> failure;
    if (sqlite3_get_autocommit(group_->db_))  // undone by a failed write
      failure = Failure{"writing the database: " + group_->Undone() +
                            "a failed write took the writes held with it; "
                            "nothing was written; try again",
                        group_->UndoneKind()};
    else
      failure = group_->Commit();
    {
      MutexLock lock(group_->mutex_);
      group_->StepDown();
    }
    if (failure) RaiseBackend(failure->what, failure->kind);
  }

 private:
  void End() {
    done_ = true;
    std::erase(inside, group_.get());
  }

  std::shared_ptr<WriteGroup> group_;
  Writer me_;
  bool done_ = false;
};

std::unique_ptr<WriteHold> WriteGroup::Hold() {
  if (Inside()) return nullptr;  // held already, or within a write
  return std::make_unique<Held>(shared_from_this());
}

}  // namespace quillet::standins
