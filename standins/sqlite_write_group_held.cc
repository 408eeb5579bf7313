// The held write (WriteGroup::Hold): one thread takes the group's
// transaction for itself until it commits or lets go (sqlite_write_group.h).
#include <memory>
#include <optional>
#include <utility>

#include "backend_failure.h"
#include "sqlite_write_group.h"
#include "sqlite_write_group_parts.h"

namespace quillet::standins {

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
    groups_inside.push_back(group_.get());
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
    std::erase(groups_inside, group_.get());
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
