// A mutex whose locking clang checks: members marked GUARDED_BY(mutex_) may
// only be touched with the mutex held, functions marked REQUIRES(mutex_) only
// be called with it held, and a build with -Wthread-safety
// (QUILLET_THREAD_SAFETY) fails where they are not. std::mutex and
// std::condition_variable carry no such annotations in libstdc++, hence
// these thin wrappers; product code locks with nothing else.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define QUILLET_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QUILLET_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) QUILLET_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY QUILLET_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) QUILLET_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) QUILLET_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) \
  QUILLET_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) QUILLET_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) QUILLET_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) QUILLET_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) \
  QUILLET_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) QUILLET_THREAD_ANNOTATION(assert_capability(x))

namespace quillet {

class CAPABILITY("mutex") Mutex {
 public:
  void Lock() ACQUIRE() { mutex_.lock(); }
  void Unlock() RELEASE() { mutex_.unlock(); }
  bool TryLock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }

 private:
  friend class CondVar;
  std::mutex mutex_;
};

// Holds `mutex` for the life of the scope. Unlock() lets it go for a part
// of the scope (work done without it) and Lock() takes it again; the scope's
// end lets it go only when it is held.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) {
    mutex_.Lock();
  }
  ~MutexLock() RELEASE() {
    if (held_) mutex_.Unlock();
  }
  void Unlock() RELEASE() {
    mutex_.Unlock();
    held_ = false;
  }
  void Lock() ACQUIRE() {
    mutex_.Lock();
    held_ = true;
  }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
  bool held_ = true;
};

// A condition variable for a Mutex: each wait lets the mutex go while it
// waits and holds it again when it returns. Wakes may be spurious, so a
// caller waits in a loop on what it waits for.
class CondVar {
 public:
  void Wait(Mutex& mutex) REQUIRES(mutex) {
    std::unique_lock<std::mutex> lock(mutex.mutex_, std::adopt_lock);
    cv_.wait(lock);
    lock.release();  // still held, by the caller
  }
  // False once `deadline` has passed.
  bool WaitUntil(Mutex& mutex, std::chrono::steady_clock::time_point deadline)
      REQUIRES(mutex) {
    std::unique_lock<std::mutex> lock(mutex.mutex_, std::adopt_lock);
    bool woken = cv_.wait_until(lock, deadline) == std::cv_status::no_timeout;
    lock.release();
    return woken;
  }
  void NotifyOne() { cv_.notify_one(); }
  void NotifyAll() { cv_.notify_all(); }

 private:
  std::condition_variable cv_;
};

}  // namespace quillet
