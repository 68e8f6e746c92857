// Scoped holds of pthread locks. Module locks stay pthread ones so that creating them can fail
// visibly at start-up; these guards give them the RAII of std::lock_guard.
#pragma once
#include <pthread.h>

template <class Lock, int (*Acquire)(Lock *), int (*Release)(Lock *)>
class pthread_guard {
  public:
    explicit pthread_guard(Lock *lock) : lock_(lock) { Acquire(lock_); }
    ~pthread_guard() { Release(lock_); }
    pthread_guard(const pthread_guard &) = delete;
    pthread_guard &operator=(const pthread_guard &) = delete;

  private:
    Lock *lock_;
};

using rwlock_read_guard = pthread_guard<pthread_rwlock_t, pthread_rwlock_rdlock, pthread_rwlock_unlock>;
using rwlock_write_guard = pthread_guard<pthread_rwlock_t, pthread_rwlock_wrlock, pthread_rwlock_unlock>;
using mutex_guard = pthread_guard<pthread_mutex_t, pthread_mutex_lock, pthread_mutex_unlock>;
