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

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "quillet/standins/store_types.h"
#include "sqlite_statement.h"

namespace quillet::standins {

class WriteGroup : public std::enable_shared_from_this<WriteGroup> {
 public:
  using File = std::pair<dev_t, ino_t>;
  // The group of the file at `path`, known as `file`: one per file and
  // process, shared by every engine of it.
  static std::shared_ptr<WriteGroup> Of(const std::string& path, File file);
  WriteGroup(std::string path, File file);
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
  StatementCache& Statements() { return *statements_; }
  // Takes the group's transaction for this thread alone (WriteHold).
  std::unique_ptr<WriteHold> Hold();

 private:
  struct Writer;
  struct Failure {
    std::string what;
    FailureKind kind;
  };
  class Held;

  // Waits until `me` is at the head of the queue with no group under way,
  // and takes the lead; answers false when a leader ran `me` meanwhile.
  bool Lead(std::unique_lock<std::mutex>& lock, Writer& me);
  // Lets the next writer in the queue lead.
  void StepDown();
  // The leader's part: opens the transaction, gives each writer its turn,
  // commits and hands out the outcomes.
  void RunGroup(Writer& me, const std::function<void(StatementCache&)>& work,
                bool roll_back);
  // One writer's turn: its savepoint, undone unless it is to be committed;
  // answers whether it is.
  bool Turn(const std::function<void(StatementCache&)>& work, bool roll_back);
  // Why the file at path_, or its -wal, is another than the connection's
  // (kReplaced, kWalMoved); nullptr when both are its own.
  const char* Moved() const;
  // Closes the connection, leaving the files at the names as they are.
  void Close();
  std::optional<Failure> Begin();
  std::optional<Failure> Commit();
  void Exec(const char* sql);
  void Undo();
  // What undid the transaction, said before the rest of a message.
  std::string Undone() const;
  // The kind of failure that undid it.
  FailureKind UndoneKind() const;

  const std::string path_;
  const std::string wal_path_;
  const File file_;
  std::optional<File> wal_;  // the -wal the connection has open, if known
  sqlite3* db_ = nullptr;    // opened by the first leader
  std::unique_ptr<StatementCache> statements_;

  std::mutex mutex_;
  std::deque<Writer*> queue_;  // waiting, first come first
  bool leading_ = false;       // a group is under way
  Writer* leader_ = nullptr;   // whose turn ends wake
  bool turn_over_ = false;     // the writer in its turn is done
  bool turn_kept_ = false;     // and its write is to be committed
  // Why SQLite undid the transaction under way, if a failed write made it.
  std::string undone_by_;
};

}  // namespace quillet::standins
