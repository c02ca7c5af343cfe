// What threads share and wait on, over the threads library's own calls: a mutex, a condition to
// wait for, and values computed once per process.
//
// The C++ library's counterparts (std::mutex, std::condition_variable, thread-safe function-local
// statics) are compiled into its runtime, which reports errors by throwing. The modules link no
// C++ runtime, so that they load on every C library the wheels promise; these need none.
#pragma once

#include <pthread.h>

namespace vexora::core::sync {

class Mutex {
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;
    ~Mutex() { pthread_mutex_destroy(&mutex_); }

    /// In a child forked while another thread held it: that thread does not exist there.
    void forget_other_threads() { mutex_ = PTHREAD_MUTEX_INITIALIZER; }

private:
    friend class Lock;
    pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
};

/// Holds a Mutex for its scope.
class Lock {
public:
    explicit Lock(Mutex& mutex) noexcept : mutex_(mutex.mutex_) { pthread_mutex_lock(&mutex_); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    ~Lock() { pthread_mutex_unlock(&mutex_); }

private:
    friend class Condition;
    pthread_mutex_t& mutex_;
};

/// What threads holding one Mutex wait for until another tells them that it may have changed.
class Condition {
public:
    Condition() = default;
    Condition(const Condition&) = delete;
    Condition& operator=(const Condition&) = delete;
    ~Condition() { pthread_cond_destroy(&condition_); }

    /// In a child forked while other threads waited: they do not exist there, and destroying the
    /// copy as it is would wait for them forever.
    void forget_other_threads() { condition_ = PTHREAD_COND_INITIALIZER; }

    /// Waits, holding `lock` whenever it looks, until `ready()` is true.
    template <class Ready>
    void wait(Lock& lock, Ready&& ready) {
        while (!ready()) {
            pthread_cond_wait(&condition_, &lock.mutex_);
        }
    }
    void notify_one() noexcept { pthread_cond_signal(&condition_); }
    void notify_all() noexcept { pthread_cond_broadcast(&condition_); }

private:
    pthread_cond_t condition_ = PTHREAD_COND_INITIALIZER;
};

/// compute()'s result, computed at the first call in the process, whichever thread makes it (the
/// others wait for it) and returned by every later call. For results of trivial type.
template <auto compute>
auto computed_once() {
    static pthread_once_t done = PTHREAD_ONCE_INIT;
    static decltype(compute()) value;
    pthread_once(&done, [] { value = compute(); });
    return value;
}

}  // namespace vexora::core::sync
