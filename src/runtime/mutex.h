// A mutex whose locking clang checks: members marked GUARDED_BY(mutex_) may
// only be touched with the mutex held, and a build with -Wthread-safety
// (QUILLET_THREAD_SAFETY) fails where they are not. std::mutex carries no
// such annotations in libstdc++, hence this thin wrapper.
#pragma once

#include <mutex>

#if defined(__clang__)
#define QUILLET_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QUILLET_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) QUILLET_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY QUILLET_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) QUILLET_THREAD_ANNOTATION(guarded_by(x))
#define REQUIRES(...) \
  QUILLET_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) QUILLET_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) QUILLET_THREAD_ANNOTATION(release_capability(__VA_ARGS__))

namespace quillet {

class CAPABILITY("mutex") Mutex {
 public:
  void Lock() ACQUIRE() { mutex_.lock(); }
  void Unlock() RELEASE() { mutex_.unlock(); }

 private:
  std::mutex mutex_;
};

// Holds `mutex` for the life of the scope.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) {
    mutex_.Lock();
  }
  ~MutexLock() RELEASE() { mutex_.Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

}  // namespace quillet
