// Writes the service refused for a known caller, recorded in the event log
// (operations::RecordRefusal), each in its own transaction, on a thread of
// their own: the answer is decided on the I/O thread, which never waits on
// the database. At most kMostWaiting wait at once; past that a refusal is
// said on standard error and not recorded (a flood of refusals cannot hold
// the service's memory). The destructor records what waits, then returns.
#pragma once

#include <deque>
#include <nlohmann/json.hpp>
#include <thread>

#include "quillet/operations/backend.h"
#include "runtime/mutex.h"

namespace quillet::cli::http {

class RefusalRecorder {
 public:
  static constexpr size_t kMostWaiting = 1024;
  explicit RefusalRecorder(const operations::BackendSetup& backend);
  ~RefusalRecorder();
  RefusalRecorder(const RefusalRecorder&) = delete;
  RefusalRecorder& operator=(const RefusalRecorder&) = delete;

  // `refusal` as RecordRefusal takes it.
  void Record(nlohmann::ordered_json refusal);

 private:
  void Run();

  operations::BackendSetup backend_;
  Mutex mutex_;
  CondVar wake_;
  std::deque<nlohmann::ordered_json> waiting_ GUARDED_BY(mutex_);
  bool stopping_ GUARDED_BY(mutex_) = false;
  std::thread thread_;
};

}  // namespace quillet::cli::http
