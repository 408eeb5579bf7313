// The write group's queue and the leader's group: writers queue, the one at
// the head leads, runs every writer queued in one transaction and hands
// out the outcomes (sqlite_write_group.h). The transaction itself is in
// sqlite_write_group_transaction.cc, the held write in
// sqlite_write_group_held.cc.
#include "sqlite_write_group.h"

#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <chrono>
#include <exception>
#include <map>
#include <tuple>
#include <vector>

#include "backend_failure.h"
#include "process_id.h"
#include "quillet/standins/store_metrics.h"
#include "sqlite_write_group_parts.h"

namespace quillet::standins {
namespace {

// Writers committed together at most: a group's last writer waits for every
// turn before its own.
constexpr size_t kMaxGroup = 64;

}  // namespace

thread_local std::vector<const WriteGroup*> groups_inside;

std::shared_ptr<WriteGroup> WriteGroups::Of(const std::string& path,
                                            WriteGroup::File file) {
  MutexLock lock(mutex_);
  std::erase_if(by_file_,
                [](const auto& entry) { return entry.second.expired(); });
  std::weak_ptr<WriteGroup>& known =
      by_file_[{ProcessId(), file.first, file.second}];
  std::shared_ptr<WriteGroup> group = known.lock();
  if (!group) {
    group = std::make_shared<WriteGroup>(path, file, metrics_);
    known = group;
  }
  return group;
}

WriteGroup::WriteGroup(std::string path, File file, StoreMetrics& metrics)
    : path_(std::move(path)),
      wal_path_(path_ + "-wal"),
      file_(file),
      metrics_(metrics) {}

WriteGroup::~WriteGroup() {
  statements_.reset();
  sqlite3_close(db_);
}

void WriteGroup::TurnCapability::AssertHeld() const {
  assert(holder_ == std::this_thread::get_id());
}

bool WriteGroup::Inside() const {
  return std::find(groups_inside.begin(), groups_inside.end(), this) !=
         groups_inside.end();
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
    metrics_.commit_seconds.Observe(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
            .count());
    metrics_.group_writes.Observe(
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

}  // namespace quillet::standins
