#include "quillet/standins/store_pool.h"

#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <map>
#include <vector>

#include "backend_failure.h"
#include "postgres_connection.h"
#include "runtime/mutex.h"

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
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::seconds(kStoreWaitSeconds);
    while (serving() == db.idle.size() && db.open >= limit_) {
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
      auto store = std::make_unique<BackendStore>(where, open);
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

  void GiveBack(const std::string& where, std::unique_ptr<BackendStore> store) {
    if (!store) return;
    std::unique_ptr<BackendStore> closing;  // closed once the lock is let go
    MutexLock lock(mutex_);
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
      freed_.NotifyOne();
      return;
    }
    databases_[where].idle.push_back({std::move(store), open});
    freed_.NotifyOne();
  }

  // Every wait for a store ends, now and from now on.
  void Stop() {
    MutexLock lock(mutex_);
    stopping_ = true;
    freed_.NotifyAll();
  }

  void SetLimit(size_t limit) {
    MutexLock lock(mutex_);
    limit_ = std::max<size_t>(limit, 1);
    freed_.NotifyAll();
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
  void Forked() REQUIRES(mutex_) {
    if (owner_ == getpid()) return;
    Forget();
    owner_ = getpid();
  }
  void Forget() REQUIRES(mutex_) {
    for (auto& [where, db] : databases_)
      for (auto& idle : db.idle) idle.store.release();
    databases_.clear();
  }

  Mutex mutex_;
  CondVar freed_;  // a store handed back or closed, or the limit raised
  pid_t owner_ GUARDED_BY(mutex_) = getpid();
  size_t limit_ GUARDED_BY(mutex_) = kDefaultStoreLimit;
  bool stopping_ GUARDED_BY(mutex_) = false;
  std::map<std::string, Database> databases_ GUARDED_BY(mutex_);
  // The stores handed out, with how each was opened.
  std::map<const BackendStore*, OpenMode> handed_ GUARDED_BY(mutex_);
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
