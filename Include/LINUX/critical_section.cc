#include "critical_section.h"

#include <exception>

CCriticalSection::CCriticalSection() : m_Owner(0), m_LockCount(0) {
  m_bIsValid = pthread_mutex_init(&m_MutexId, nullptr) == 0;
}

CCriticalSection::~CCriticalSection() {
  if (!m_bIsValid) return;
  CleanupHandlerForCritSecMutex(this);  // released when the caller holds it
  pthread_mutex_destroy(&m_MutexId);
  m_bIsValid = false;
}

bool CCriticalSection::IsOwnedByCaller() const {
  return m_Owner != 0 && pthread_equal(m_Owner, pthread_self());
}

void CCriticalSection::Enter() {
  if (!m_bIsValid) return;
  if (!IsOwnedByCaller()) {
    pthread_mutex_lock(&m_MutexId);
    m_Owner = pthread_self();
  }
  ++m_LockCount;
}

void CCriticalSection::Leave() {
  if (!m_bIsValid || !IsOwnedByCaller()) return;
  if (--m_LockCount <= 0) {
    m_LockCount = 0;
    m_Owner = 0;
    pthread_mutex_unlock(&m_MutexId);
  }
}

void CCriticalSection::CleanupHandlerForCritSecMutex(void* arg) {
  CCriticalSection* lock = static_cast<CCriticalSection*>(arg);
  // Only the owner may unlock; a second handler run by an outer region
  // during the same unwind then finds the lock free and does nothing.
  if (lock == nullptr || !lock->m_bIsValid || !lock->IsOwnedByCaller()) return;
  lock->m_Owner = 0;
  lock->m_LockCount = 0;
  pthread_mutex_unlock(&lock->m_MutexId);
}

CCriticalSectionGuard::CCriticalSectionGuard(CCriticalSection& lock)
    : m_Lock(lock), m_UncaughtAtEntry(std::uncaught_exceptions()) {
  m_Lock.Enter();
}

CCriticalSectionGuard::~CCriticalSectionGuard() {
  if (std::uncaught_exceptions() > m_UncaughtAtEntry) {
    CCriticalSection::CleanupHandlerForCritSecMutex(&m_Lock);
  } else {
    m_Lock.Leave();
  }
}
