#include "writer_turns.h"

#include <map>

namespace quillet::standins {

WriterTurn::WriterTurn(std::pair<dev_t, ino_t> file,
                       std::chrono::milliseconds wait) {
  {
    // One per file ever opened for writing: a handful in any process.
    static std::mutex mutex;
    static auto* turns =
        new std::map<std::pair<dev_t, ino_t>,
                     std::shared_ptr<std::recursive_timed_mutex>>;
    std::lock_guard lock(mutex);
    auto& turn = (*turns)[file];
    if (!turn) turn = std::make_shared<std::recursive_timed_mutex>();
    turn_ = turn;
  }
  held_ = turn_->try_lock_for(wait);
}

WriterTurn::~WriterTurn() {
  if (held_) turn_->unlock();
}

}  // namespace quillet::standins
