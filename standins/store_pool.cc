#include "quillet/standins/store_pool.h"

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "backend_failure.h"
#include "postgres_connection.h"
#include "quillet/standins/store_metrics.h"

namespace quillet::standins {
namespace {

// Counts a wait for a store when it ends (quillet/standins/store_metrics.h).
class WaitCount {
 public:
  explicit WaitCount(std::chrono::steady_clock::time_point began)
      : began_(began), failures_(std::uncaught_exceptions()) {}
  ~WaitCount() {
    StoreMetrics& metrics = TheStoreMetrics();
    metrics.pool_wait_seconds.Observe(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began_)
            .count());
    if (std::uncaught_exceptions() > failures_)
      metrics.pool_waits_failed.fetch_add(1, std::memory_order_relaxed);
  }
  WaitCount(const WaitCount&) = delete;
  WaitCount& operator=(const WaitCount&) = delete;

 private:
  std::chrono::steady_clock::time_point began_;
  int failures_;
};

class Pool {
 public:
  ~Pool() {
    // Stores a child process inherited are its parent's connections:
    // closing them would end the parent's sessions.
    if (owner_ != getpid()) Forget();
  }

  std::unique_ptr<BackendStore> Take(const std::string& where,
                                     BackendStore::Open open) {
    std::vector<std::unique_ptr<BackendStore>> closing;  // once unlocked
    std::unique_lock lock(mutex_);
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
      if (!waited && db.idle.empty()) waited.emplace(began);
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
      if (freed_.wait_until(lock, deadline) == std::cv_status::timeout &&
          db.idle.empty() && db.open >= limit_)
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
    lock.unlock();
    closing.clear();
    try {
      auto store = std::make_unique<BackendStore>(where, open);
      std::lock_guard handing(mutex_);
      handed_[store.get()] = open;
      return store;
    } catch (...) {
      lock.lock();
      --db.open;
      freed_.notify_one();
      throw;
    }
  }

  void GiveBack(const std::string& where, std::unique_ptr<BackendStore> store) {
    if (!store) return;
    std::unique_ptr<BackendStore> closing;  // closed once the lock is let go
    std::lock_guard lock(mutex_);
    if (owner_ != getpid()) {
      store.release();  // see ~Pool
      return;
    }
    auto handed = handed_.find(store.get());
    OpenMode open =
        handed == handed_.end() ? OpenMode::kForWriting : handed->second;
    if (handed != handed_.end()) handed_.erase(handed);
    if (open == OpenMode::kForReading) {
      --databases_[where].open;  // closed: it could serve no write
      closing = std::move(store);
      freed_.notify_one();
      return;
    }
    databases_[where].idle.push_back({std::move(store), open});
    freed_.notify_one();
  }

  // Every wait for a store ends, now and from now on.
  void Stop() {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    freed_.notify_all();
  }

  void SetLimit(size_t limit) {
    std::lock_guard lock(mutex_);
    limit_ = std::max<size_t>(limit, 1);
    freed_.notify_all();
  }

 private:
  struct Idle {
    std::unique_ptr<BackendStore> store;
    OpenMode open;  // as it was opened
  };
  struct Database {
    std::vector<Idle> idle;
    size_t open = 0;
    bool was_open = false;  // a store of it was replaced: it existed
  };

  static bool Serves(OpenMode opened, OpenMode use) {
    return opened == OpenMode::kForWriting ||
           (opened == OpenMode::kAsIs && use != OpenMode::kForWriting);
  }

  // After a fork the child starts with no stores of its own.
  void Forked() {
    if (owner_ == getpid()) return;
    Forget();
    owner_ = getpid();
  }
  void Forget() {
    for (auto& [where, db] : databases_)
      for (auto& idle : db.idle) idle.store.release();
    databases_.clear();
  }

  std::mutex mutex_;
  std::condition_variable freed_;
  pid_t owner_ = getpid();
  size_t limit_ = kDefaultStoreLimit;
  bool stopping_ = false;
  std::map<std::string, Database> databases_;
  // The stores handed out, with how each was opened.
  std::map<const BackendStore*, OpenMode> handed_;
};

Pool& ThePool() {
  static Pool pool;
  return pool;
}

}  // namespace

void StopWaiting() {
  StopPostgresWaits();
  ThePool().Stop();
}

void SetStoreLimit(size_t limit) { ThePool().SetLimit(limit); }

std::unique_ptr<BackendStore> TakeStore(const std::string& where,
                                        BackendStore::Open open) {
  return ThePool().Take(where, open);
}

void GiveBackStore(const std::string& where,
                   std::unique_ptr<BackendStore> store) {
  ThePool().GiveBack(where, std::move(store));
}

}  // namespace quillet::standins
