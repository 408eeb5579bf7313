#include "http/refusal_recorder.h"

#include <iostream>

#include "quillet/error.h"
#include "quillet/operations/events.h"
#include "quillet/text.h"

namespace quillet::cli::http {

RefusalRecorder::RefusalRecorder(const operations::BackendSetup& backend)
    : backend_(backend), thread_([this] { Run(); }) {}

RefusalRecorder::~RefusalRecorder() {
  {
    MutexLock lock(mutex_);
    stopping_ = true;
  }
  wake_.NotifyAll();
  thread_.join();
}

void RefusalRecorder::Record(nlohmann::ordered_json refusal) {
  {
    MutexLock lock(mutex_);
    if (waiting_.size() < kMostWaiting) {
      waiting_.push_back(std::move(refusal));
      wake_.NotifyOne();
      return;
    }
  }
  std::cerr << "quillet: too many refusals waiting to be recorded; one was "
               "not"
            << std::endl;
}

void RefusalRecorder::Run() {
  MutexLock lock(mutex_);
  for (;;) {
    while (!stopping_ && waiting_.empty()) wake_.Wait(mutex_);
    if (waiting_.empty()) return;  // stopping, all recorded
    nlohmann::ordered_json refusal = std::move(waiting_.front());
    waiting_.pop_front();
    lock.Unlock();
    try {
      operations::RecordRefusal(backend_, refusal);
    } catch (const Error& e) {
      std::cerr << "quillet: recording a refusal: "
                << ToUtf8(e.info().description) << std::endl;
    } catch (const std::exception& e) {
      std::cerr << "quillet: recording a refusal: " << e.what() << std::endl;
    }
    lock.Lock();
  }
}

}  // namespace quillet::cli::http
