#include "writer_turns.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

namespace quillet::standins {

// A recursive turn made of a mutex and a condition variable rather than a
// timed mutex, whose timed lock ThreadSanitizer cannot see.
struct WriterTurn::Turn {
  std::mutex mutex;
  std::condition_variable free;
  std::thread::id owner;
  int depth = 0;
};

WriterTurn::WriterTurn(std::pair<dev_t, ino_t> file,
                       std::chrono::milliseconds wait) {
  {
    // One per file ever opened for writing: a handful in any process.
    static std::mutex mutex;
    static auto* turns =
        new std::map<std::pair<dev_t, ino_t>, std::shared_ptr<Turn>>;
    std::lock_guard lock(mutex);
    auto& turn = (*turns)[file];
    if (!turn) turn = std::make_shared<Turn>();
    turn_ = turn;
  }
  std::unique_lock lock(turn_->mutex);
  std::thread::id me = std::this_thread::get_id();
  bool mine = turn_->depth > 0 && turn_->owner == me;  // taken again
  if (!mine &&
      !turn_->free.wait_for(lock, wait, [&] { return turn_->depth == 0; }))
    return;  // not had in time: SQLite's own wait decides
  turn_->owner = me;
  ++turn_->depth;
  held_ = true;
}

WriterTurn::~WriterTurn() {
  if (!held_) return;
  {
    std::lock_guard lock(turn_->mutex);
    if (--turn_->depth > 0) return;
    turn_->owner = std::thread::id();
  }
  turn_->free.notify_one();
}

}  // namespace quillet::standins
