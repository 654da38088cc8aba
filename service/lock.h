// The scoped lock of the connection table and the uplink.
#pragma once

#include <pthread.h>

// Holds a pthread mutex for its scope. (std::mutex would pull in the C++
// runtime library, which the router does not carry for us.)
class MutexGuard {
public:
    explicit MutexGuard(pthread_mutex_t *m) : m_(m) { pthread_mutex_lock(m_); }
    ~MutexGuard() { pthread_mutex_unlock(m_); }
    MutexGuard(const MutexGuard &) = delete;
    MutexGuard &operator=(const MutexGuard &) = delete;

private:
    pthread_mutex_t *m_;
};
