// Group commit for one SQLite file in this process. Every engine of the file
// writes through one shared connection, a writer at a time: a writer that
// finds a commit under way queues, and the next leader opens one transaction
// for every writer queued, gives each its turn on its own thread, inside a
// savepoint of its own (undone alone when it raises or is a dry run),
// commits once and then lets each writer go with its own outcome. One
// commit writes each page the group touched once, where a commit per write
// writes it again and again. Other processes still take turns through
// SQLite's lock.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <utility>

#include "quillet/standins/store_types.h"
#include "runtime/mutex.h"
#include "sqlite_statement.h"

namespace quillet::standins {

struct StoreMetrics;

class WriteGroup : public std::enable_shared_from_this<WriteGroup> {
 public:
  using File = std::pair<dev_t, ino_t>;
  // Counts its commits in `metrics` (its context's: store_metrics.h).
  WriteGroup(std::string path, File file, StoreMetrics& metrics);
  ~WriteGroup();
  WriteGroup(const WriteGroup&) = delete;
  WriteGroup& operator=(const WriteGroup&) = delete;

  // Runs `work` on the shared connection (`work` is handed its statements)
  // in a savepoint of the group's transaction, undone at the end when
  // `roll_back`. Returns once the commit that holds it is done; raises what
  // `work` raised (nothing of it written), or why the group's transaction
  // failed: nothing of it written, or FailureKind::kOutcomeUnknown.
  // Called again inside `work` (or by the thread holding the group), it
  // runs as a nested savepoint at once.
  void Write(const std::function<void(StatementCache&)>& work, bool roll_back);
  // Whether this thread is inside the group's transaction now: in its
  // turn, or holding it. Reads made then use the shared connection, which
  // sees what the transaction wrote.
  bool Inside() const;
  // The shared connection's statements; only for a thread Inside().
  StatementCache& Statements() {
    turn_.AssertHeld();
    return *statements_;
  }
  // Takes the group's transaction for this thread alone (WriteHold).
  std::unique_ptr<WriteHold> Hold();

 private:
  struct Writer;
  struct Failure {
    std::string what;
    FailureKind kind;
  };
  class Held;

  // Having the turn: the right to use the shared connection. One thread
  // has it at a time: the leader of the group under way (from Lead() to
  // StepDown()), the writer the leader lends it to for its turn, or the
  // thread holding the transaction (Hold()). It is taken and passed by the
  // protocol, not by a lock; marking where lets clang check that the
  // connection is only used with it, and a debug build checks that the
  // thread using it is the one that took it.
  class CAPABILITY("turn") TurnCapability {
   public:
    void Take() ACQUIRE() { holder_ = std::this_thread::get_id(); }
    void Pass() RELEASE() { holder_ = std::thread::id(); }
    void AssertHeld() const ASSERT_CAPABILITY(this);

   private:
    std::atomic<std::thread::id> holder_;
  };

  // Waits until `me` is at the head of the queue with no group under way,
  // and takes the lead, and with it the turn; answers false when a leader
  // ran `me` meanwhile.
  bool Lead(Writer& me) REQUIRES(mutex_) TRY_ACQUIRE(true, turn_);
  // Passes the turn on: the next writer in the queue may lead.
  void StepDown() REQUIRES(mutex_) RELEASE(turn_);
  // The leader's part: opens the transaction, gives each writer its turn,
  // commits, hands out the outcomes and steps down.
  void RunGroup(Writer& me, const std::function<void(StatementCache&)>& work,
                bool roll_back) RELEASE(turn_) EXCLUDES(mutex_);
  // One writer's turn: its savepoint, undone unless it is to be committed;
  // answers whether it is.
  bool Turn(const std::function<void(StatementCache&)>& work, bool roll_back)
      REQUIRES(turn_);
  // Why the file at path_, or its -wal, is another than the connection's
  // (kReplaced, kWalMoved); nullptr when both are its own.
  const char* Moved() const REQUIRES(turn_);
  // Closes the connection, leaving the files at the names as they are.
  void Close() REQUIRES(turn_);
  std::optional<Failure> Begin() REQUIRES(turn_);
  std::optional<Failure> Commit() REQUIRES(turn_);
  // Runs BEGIN IMMEDIATE or COMMIT prepared once (parsing them for every
  // group cost a write about a twentieth of its instructions); its result
  // code, as sqlite3_exec's.
  int RunPrepared(const char* sql) REQUIRES(turn_);
  void Exec(const char* sql) REQUIRES(turn_);
  void Undo() REQUIRES(turn_);
  // What undid the transaction, said before the rest of a message.
  std::string Undone() const REQUIRES(turn_);
  // The kind of failure that undid it.
  FailureKind UndoneKind() const REQUIRES(turn_);

  const std::string path_;
  const std::string wal_path_;
  const File file_;
  StoreMetrics& metrics_;
  TurnCapability turn_;
  // The -wal the connection has open, if known.
  std::optional<File> wal_ GUARDED_BY(turn_);
  sqlite3* db_ GUARDED_BY(turn_) = nullptr;  // opened by the first leader
  std::unique_ptr<StatementCache> statements_ GUARDED_BY(turn_);

  Mutex mutex_;
  // Waiting, first come first.
  std::deque<Writer*> queue_ GUARDED_BY(mutex_);
  bool leading_ GUARDED_BY(mutex_) = false;      // a group is under way
  Writer* leader_ GUARDED_BY(mutex_) = nullptr;  // whose turn ends wake
  // The writer in its turn is done, and whether its write is to be committed.
  bool turn_over_ GUARDED_BY(mutex_) = false;
  bool turn_kept_ GUARDED_BY(mutex_) = false;
  // Why SQLite undid the transaction under way, if a failed write made it.
  std::string undone_by_ GUARDED_BY(turn_);
};

// The write groups of one back-end context (backend_context.h).
class WriteGroups {
 public:
  // Their commits are counted in `metrics`, which outlives them.
  explicit WriteGroups(StoreMetrics& metrics) : metrics_(metrics) {}

  // The group of the file at `path`, known as `file`: one per file and
  // process, shared by every engine of it.
  std::shared_ptr<WriteGroup> Of(const std::string& path, WriteGroup::File file)
      EXCLUDES(mutex_);

 private:
  // By process too: a child after fork opens its own connection.
  using Key = std::tuple<pid_t, dev_t, ino_t>;
  StoreMetrics& metrics_;
  Mutex mutex_;
  std::map<Key, std::weak_ptr<WriteGroup>> by_file_ GUARDED_BY(mutex_);
};

}  // namespace quillet::standins
