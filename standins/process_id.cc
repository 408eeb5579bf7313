#include "process_id.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>

namespace quillet::standins {
namespace {

std::atomic<pid_t> cached{0};

void ChildForked() { cached.store(getpid(), std::memory_order_relaxed); }

}  // namespace

pid_t ProcessId() {
  pid_t pid = cached.load(std::memory_order_relaxed);
  if (pid != 0) return pid;
  // Registered once, before the id is first kept: a fork after it runs
  // the handler in the child.
  static const bool registered = [] {
    pthread_atfork(nullptr, nullptr, ChildForked);
    return true;
  }();
  (void)registered;
  pid = getpid();
  cached.store(pid, std::memory_order_relaxed);
  return pid;
}

}  // namespace quillet::standins
