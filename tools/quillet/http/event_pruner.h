// The service's pruning of the event log: events older than --keep-events
// days go at start and then every hour, on a thread of their own, until
// the pruner is destroyed.
#pragma once

#include <thread>

#include "quillet/operations/backend.h"
#include "runtime/mutex.h"

namespace quillet::cli::http {

class EventPruner {
 public:
  explicit EventPruner(const operations::BackendSetup& backend);
  ~EventPruner();
  EventPruner(const EventPruner&) = delete;
  EventPruner& operator=(const EventPruner&) = delete;

 private:
  void Run();

  operations::BackendSetup backend_;
  Mutex mutex_;
  CondVar wake_;
  bool stopping_ GUARDED_BY(mutex_) = false;
  std::thread thread_;
};

}  // namespace quillet::cli::http
