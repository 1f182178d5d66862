// Mutex and MutexLock: a mutex whose locking rules the compiler checks.
// Members are marked QUILLFEN_GUARDED_BY(mutex_), functions that expect a
// lock held QUILLFEN_REQUIRES(mutex_), and a lock order
// QUILLFEN_ACQUIRED_BEFORE(other_); clang's thread-safety analysis
// (-Wthread-safety, on in every clang build) then holds the code to the
// prose. Other compilers see a plain std::mutex. Thread-safe by nature.
#ifndef QUILLFEN_BASE_MUTEX_H_
#define QUILLFEN_BASE_MUTEX_H_

#include <mutex>

#if defined(__clang__)
#define QUILLFEN_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QUILLFEN_THREAD_ANNOTATION(x)
#endif

#define QUILLFEN_CAPABILITY(x) QUILLFEN_THREAD_ANNOTATION(capability(x))
#define QUILLFEN_SCOPED_CAPABILITY QUILLFEN_THREAD_ANNOTATION(scoped_lockable)
#define QUILLFEN_GUARDED_BY(x) QUILLFEN_THREAD_ANNOTATION(guarded_by(x))
#define QUILLFEN_ACQUIRED_BEFORE(...) \
  QUILLFEN_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define QUILLFEN_REQUIRES(...) \
  QUILLFEN_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define QUILLFEN_EXCLUDES(...) \
  QUILLFEN_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define QUILLFEN_ACQUIRE(...) \
  QUILLFEN_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define QUILLFEN_RELEASE(...) \
  QUILLFEN_THREAD_ANNOTATION(release_capability(__VA_ARGS__))

namespace quillfen {

class QUILLFEN_CAPABILITY("mutex") Mutex {
 public:
  void Lock() QUILLFEN_ACQUIRE() { mutex_.lock(); }
  void Unlock() QUILLFEN_RELEASE() { mutex_.unlock(); }

 private:
  std::mutex mutex_;
};

// Holds |mutex| from its construction to its end.
class QUILLFEN_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) QUILLFEN_ACQUIRE(mutex) : mutex_(mutex) {
    mutex_.Lock();
  }
  ~MutexLock() QUILLFEN_RELEASE() { mutex_.Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

}  // namespace quillfen

#endif  // QUILLFEN_BASE_MUTEX_H_
