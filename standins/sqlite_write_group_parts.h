// What the write group's files (sqlite_write_group.cc, its transaction in
// sqlite_write_group_transaction.cc, its held write in
// sqlite_write_group_held.cc) share: a queued writer, and the groups whose
// transaction this thread is inside.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "runtime/mutex.h"
#include "sqlite_write_group.h"

namespace quillet::standins {

// The groups whose transaction this thread is inside now, innermost last.
extern thread_local std::vector<const WriteGroup*> groups_inside;

struct WriteGroup::Writer {
  enum class State : uint8_t { kQueued, kTurn, kDone };
  CondVar wake;  // under the group's mutex_
  State state = State::kQueued;
  bool holds = false;              // takes the transaction for itself
  std::optional<Failure> failure;  // kDone: why its write is not stored
};

}  // namespace quillet::standins
