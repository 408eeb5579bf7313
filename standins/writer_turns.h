// Writers of one SQLite file in this process take turns before they ask
// SQLite for its write lock: a waiting writer wakes as soon as the one before
// it is done, where SQLite's busy handler sleeps and polls (a millisecond and
// more at a time), which leaves the file idle between writers. A turn not
// had within `wait` goes on to SQLite's own wait; a thread that holds the
// turn may take it again.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <utility>

namespace quillet::standins {

class WriterTurn {
 public:
  WriterTurn(std::pair<dev_t, ino_t> file, std::chrono::milliseconds wait);
  ~WriterTurn();
  WriterTurn(const WriterTurn&) = delete;
  WriterTurn& operator=(const WriterTurn&) = delete;

 private:
  struct Turn;
  std::shared_ptr<Turn> turn_;
  bool held_ = false;
};

}  // namespace quillet::standins
