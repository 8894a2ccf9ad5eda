// Clang's thread-safety analysis: which lock guards a field, which lock a
// function needs. Under other compilers the macros vanish. The annotated
// Mutex and MutexLock below stand in for std::mutex and std::lock_guard where
// the analysis should see the lock (libstdc++'s own types carry no
// annotations).
#pragma once

#include <mutex>

#if defined(__clang__)
#define VISTREL_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define VISTREL_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) VISTREL_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY VISTREL_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) VISTREL_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) VISTREL_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) VISTREL_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define REQUIRES(...) VISTREL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) VISTREL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) VISTREL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) VISTREL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS VISTREL_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace vistrel {

class CAPABILITY("mutex") Mutex {
 public:
  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }

 private:
  std::mutex mutex_;
};

// Holds the mutex for its scope. It can be let go and taken again inside
// that scope, which is what std::condition_variable_any's waits do with it.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() RELEASE() {
    if (held_) mutex_.unlock();
  }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void lock() ACQUIRE() {
    mutex_.lock();
    held_ = true;
  }
  void unlock() RELEASE() {
    held_ = false;
    mutex_.unlock();
  }

 private:
  Mutex& mutex_;
  bool held_ = true;
};

}  // namespace vistrel
