// CCriticalSection: a recursive lock built on one plain POSIX mutex.
//
// The owning thread may enter again without blocking; the mutex is released
// when the owner has left as often as it entered. If the mutex cannot be
// created, the lock is invalid and every operation does nothing, so the
// object that holds it keeps working, unguarded.
//
// Locked regions are written with CCriticalSectionGuard below. When a region
// is left by unwinding (an exception, or the forced unwind of a cancelled
// thread), the guard runs CleanupHandlerForCritSecMutex, which releases the
// lock completely whatever the recursion depth.

#ifndef INCLUDE_LINUX_CRITICAL_SECTION_H_
#define INCLUDE_LINUX_CRITICAL_SECTION_H_

#include <pthread.h>

typedef pthread_mutex_t Mutex_t;
typedef pthread_t Thread_t;

class CCriticalSection {
 public:
  CCriticalSection();
  // Releases the lock if the calling thread still holds it, then destroys
  // the mutex. The lock is invalid afterwards.
  ~CCriticalSection();

  CCriticalSection(const CCriticalSection&) = delete;
  CCriticalSection& operator=(const CCriticalSection&) = delete;

  // Blocks until the calling thread owns the lock (at once when it already
  // does) and counts the entry.
  void Enter();
  // Counts one exit of the owner; the last one frees the lock. A thread
  // that does not own the lock changes nothing.
  void Leave();

  // Cleanup handler for a locked region left abnormally: `arg` is the
  // CCriticalSection. When the calling thread owns the lock, clears owner
  // and count and unlocks the mutex; otherwise does nothing.
  static void CleanupHandlerForCritSecMutex(void* arg);

  bool IsValid() const { return m_bIsValid; }
  int GetLockCount() const { return m_LockCount; }
  // True when the calling thread owns the lock.
  bool IsOwnedByCaller() const;

 private:
  Mutex_t m_MutexId;
  Thread_t m_Owner;  // 0 when free
  int m_LockCount;   // entries of the owner
  bool m_bIsValid;   // the mutex exists
};

// The type name under which the trace object declares its lock.
typedef CCriticalSection CSPINLOCK;

// Holds a CCriticalSection for the lifetime of the guard: Enter on
// construction, Leave on normal destruction, the cleanup handler when the
// scope is left by an exception.
class CCriticalSectionGuard {
 public:
  explicit CCriticalSectionGuard(CCriticalSection& lock);
  ~CCriticalSectionGuard();

  CCriticalSectionGuard(const CCriticalSectionGuard&) = delete;
  CCriticalSectionGuard& operator=(const CCriticalSectionGuard&) = delete;

 private:
  CCriticalSection& m_Lock;
  int m_UncaughtAtEntry;  // exceptions in flight when the region began
};

#endif  // INCLUDE_LINUX_CRITICAL_SECTION_H_
