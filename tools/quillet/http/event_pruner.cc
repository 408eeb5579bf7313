#include "http/event_pruner.h"

#include <chrono>
#include <iostream>

#include "quillet/error.h"
#include "quillet/operations/events.h"
#include "quillet/text.h"

namespace quillet::cli::http {

EventPruner::EventPruner(const operations::BackendSetup& backend)
    : backend_(backend), thread_([this] { Run(); }) {}

EventPruner::~EventPruner() {
  {
    MutexLock lock(mutex_);
    stopping_ = true;
  }
  wake_.NotifyAll();
  thread_.join();
}

void EventPruner::Run() {
  constexpr auto kEvery = std::chrono::hours(1);
  MutexLock lock(mutex_);
  while (!stopping_) {
    lock.Unlock();
    try {
      operations::PruneEvents(backend_, backend_.keep_events_days);
    } catch (const Error& e) {  // tried again at the next round
      std::cerr << "quillet: pruning events: " << ToUtf8(e.info().description)
                << std::endl;
    } catch (const std::exception& e) {
      std::cerr << "quillet: pruning events: " << e.what() << std::endl;
    }
    lock.Lock();
    auto next = std::chrono::steady_clock::now() + kEvery;
    while (!stopping_ && wake_.WaitUntil(mutex_, next)) {
    }
  }
}

}  // namespace quillet::cli::http
