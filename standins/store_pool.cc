#include "quillet/standins/store_pool.h"

#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <map>
#include <optional>
#include <vector>

#include "backend_failure.h"
#include "postgres_connection.h"
#include "process_id.h"
#include "quillet/standins/store_metrics.h"
#include "runtime/mutex.h"

namespace quillet::standins {
namespace {

// Counts a wait for a store when it ends (quillet/standins/store_metrics.h).
class WaitCount {
 public:
  WaitCount(StoreMetrics& metrics, std::chrono::steady_clock::time_point began)
      : metrics_(metrics),
        began_(began),
        failures_(std::uncaught_exceptions()) {}
  ~WaitCount() {
    metrics_.pool_wait_seconds.Observe(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began_)
            .count());
    if (std::uncaught_exceptions() > failures_)
      metrics_.pool_waits_failed.fetch_add(1, std::memory_order_relaxed);
  }
  WaitCount(const WaitCount&) = delete;
  WaitCount& operator=(const WaitCount&) = delete;

 private:
  StoreMetrics& metrics_;
  std::chrono::steady_clock::time_point began_;
  int failures_;
};

}  // namespace

StorePool::~StorePool() {
  // Stores a child process inherited are its parent's connections:
  // closing them would end the parent's sessions.
  if (owner_ != ProcessId()) Forget();
}

std::unique_ptr<BackendStore> StorePool::Take(const std::string& where,
                                              OpenMode open) {
  std::vector<std::unique_ptr<BackendStore>> closing;  // once unlocked
  MutexLock lock(mutex_);
  Forked();
  Database& db = databases_[where];
  // A store for writing serves any use; one opened as it is (kAsIs) serves
  // such uses and reads. When every store is open and none idle serves this
  // use, an idle one that cannot is closed to make room.
  auto serving = [&] {
    for (size_t i = db.idle.size(); i-- > 0;)
      if (Serves(db.idle[i].open, open)) return i;
    return db.idle.size();
  };
  auto began = std::chrono::steady_clock::now();
  auto deadline = began + std::chrono::seconds(kStoreWaitSeconds);
  // A wait, counted however it ends.
  std::optional<WaitCount> waited;
  while (serving() == db.idle.size() && db.open >= limit_) {
    if (!waited && db.idle.empty()) waited.emplace(context_.Metrics(), began);
    if (!db.idle.empty()) {
      closing.push_back(std::move(db.idle.front().store));
      db.idle.erase(db.idle.begin());
      --db.open;
      break;
    }
    if (stopping_)
      RaiseBackend(
          "the service is stopping: the wait for a connection to the "
          "database ended and nothing was written; try again",
          FailureKind::kRetryLater);
    if (!freed_.WaitUntil(mutex_, deadline) && db.idle.empty() &&
        db.open >= limit_)
      RaiseBackend("all " + std::to_string(limit_) +
                       " connections to the database stayed in use; "
                       "nothing was written; try again",
                   FailureKind::kRetryLater);
  }
  waited.reset();
  for (size_t i = serving(); i < db.idle.size(); i = serving()) {
    Idle idle = std::move(db.idle[i]);
    db.idle.erase(db.idle.begin() + static_cast<std::ptrdiff_t>(i));
    if (!idle.store->Replaced()) {
      handed_[idle.store.get()] = idle.open;
      return std::move(idle.store);
    }
    // Its file is gone or another: open the one there now, but never make
    // a new, empty database where one was in use.
    closing.push_back(std::move(idle.store));
    --db.open;
    db.was_open = true;
  }
  if (db.was_open && !std::filesystem::exists(where))
    RaiseBackend(
        "the database file was moved or deleted while in use; nothing was "
        "written",
        FailureKind::kRetryLater);
  ++db.open;
  lock.Unlock();
  closing.clear();
  try {
    auto store = std::make_unique<BackendStore>(context_, where, open);
    MutexLock handing(mutex_);
    handed_[store.get()] = open;
    return store;
  } catch (...) {
    lock.Lock();
    --db.open;
    freed_.NotifyOne();
    throw;
  }
}

void StorePool::GiveBack(const std::string& where,
                         std::unique_ptr<BackendStore> store) {
  if (!store) return;
  std::unique_ptr<BackendStore> closing;  // closed once the lock is let go
  MutexLock lock(mutex_);
  if (owner_ != ProcessId()) {
    store.release();  // see ~StorePool
    return;
  }
  auto handed = handed_.find(store.get());
  OpenMode open =
      handed == handed_.end() ? OpenMode::kForWriting : handed->second;
  if (handed != handed_.end()) handed_.erase(handed);
  if (open == OpenMode::kForReading) {
    --databases_[where].open;  // closed: it could serve no write
    closing = std::move(store);
    freed_.NotifyOne();
    return;
  }
  databases_[where].idle.push_back({std::move(store), open});
  freed_.NotifyOne();
}

void StorePool::Stop() {
  MutexLock lock(mutex_);
  stopping_ = true;
  freed_.NotifyAll();
}

void StorePool::SetLimit(size_t limit) {
  MutexLock lock(mutex_);
  limit_ = std::max<size_t>(limit, 1);
  freed_.NotifyAll();
}

bool StorePool::Serves(OpenMode opened, OpenMode use) {
  return opened == OpenMode::kForWriting ||
         (opened == OpenMode::kAsIs && use != OpenMode::kForWriting);
}

void StorePool::Forked() {
  if (owner_ == ProcessId()) return;
  Forget();
  owner_ = ProcessId();
}
void StorePool::Forget() {
  for (auto& [where, db] : databases_)
    for (auto& idle : db.idle) idle.store.release();
  databases_.clear();
}

void StopWaiting() { StopWaiting(BackendContext::Default()); }

void StopWaiting(BackendContext& context) {
  StopPostgresWaits();
  context.Stores().Stop();
}

void SetStoreLimit(size_t limit) {
  BackendContext::Default().Stores().SetLimit(limit);
}

}  // namespace quillet::standins
