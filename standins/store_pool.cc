#include "quillet/standins/store_pool.h"

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "backend_failure.h"
#include "postgres_connection.h"

namespace quillet::standins {
namespace {

class Pool {
 public:
  ~Pool() {
    // Stores a child process inherited are its parent's connections:
    // closing them would end the parent's sessions.
    if (owner_ != getpid()) Forget();
  }

  std::unique_ptr<BackendStore> Take(const std::string& where,
                                     BackendStore::Open open) {
    std::unique_lock lock(mutex_);
    Forked();
    Database& db = databases_[where];
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::seconds(kStoreWaitSeconds);
    while (db.idle.empty() && db.open >= limit_) {
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
    while (!db.idle.empty()) {
      std::unique_ptr<BackendStore> store = std::move(db.idle.back());
      db.idle.pop_back();
      if (!store->Replaced()) return store;
      // Its file is gone or another: open the one there now, but never make
      // a new, empty database where one was in use.
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
    try {
      auto store = std::make_unique<BackendStore>(where, open);
      if (open == BackendStore::Open::kForReading) {
        std::lock_guard reading(mutex_);
        read_only_.insert(store.get());
      }
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
    if (read_only_.erase(store.get())) {
      --databases_[where].open;  // closed: it could not serve a write
      closing = std::move(store);
      freed_.notify_one();
      return;
    }
    databases_[where].idle.push_back(std::move(store));
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
  struct Database {
    std::vector<std::unique_ptr<BackendStore>> idle;
    size_t open = 0;
    bool was_open = false;  // a store of it was replaced: it existed
  };

  // After a fork the child starts with no stores of its own.
  void Forked() {
    if (owner_ == getpid()) return;
    Forget();
    owner_ = getpid();
  }
  void Forget() {
    for (auto& [where, db] : databases_)
      for (auto& store : db.idle) store.release();
    databases_.clear();
  }

  std::mutex mutex_;
  std::condition_variable freed_;
  pid_t owner_ = getpid();
  size_t limit_ = kDefaultStoreLimit;
  bool stopping_ = false;
  std::map<std::string, Database> databases_;
  std::set<const BackendStore*> read_only_;  // handed out, opened for reading
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
