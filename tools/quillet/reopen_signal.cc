#include "reopen_signal.h"

#include <signal.h>

#include <atomic>

namespace quillet::cli {
namespace {

std::atomic<unsigned> requests{0};  // lock-free: safe in a handler
static_assert(std::atomic<unsigned>::is_always_lock_free);

void Count(int) { requests.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

void ReopenOnSighup() {
  struct sigaction action {};
  action.sa_handler = Count;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGHUP, &action, nullptr);
}

unsigned ReopenRequests() { return requests.load(std::memory_order_relaxed); }

}  // namespace quillet::cli
