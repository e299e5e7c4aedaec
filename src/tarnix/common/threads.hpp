// Threads: releasing the interpreter lock around library work, and a lock of
// one object that several Python threads may use at once.
//
// While the interpreter lock is released, no Python object may be touched: no
// Ref is made or dropped, no exception is raised, no NumPy function is called.
// The library may then only use memory that no other thread can change or
// free: arrays the call owns, or caller arrays that nothing can change under
// it. Failures found meanwhile are kept as C++ values and turned into Python
// exceptions (and warnings) after the lock is taken back.
#pragma once

#include "common/python.hpp"

#include <atomic>
#include <mutex>
#include <thread>
#include <utility>

namespace tarnix {

// Releases the interpreter lock for its lifetime (PyEval_SaveThread on
// construction, PyEval_RestoreThread on destruction, also when a C++
// exception unwinds through it). Made with the lock held; name it.
class ReleaseGil {
public:
    ReleaseGil() noexcept : state_(PyEval_SaveThread()) {}
    ~ReleaseGil() { PyEval_RestoreThread(state_); }
    ReleaseGil(const ReleaseGil&) = delete;
    ReleaseGil& operator=(const ReleaseGil&) = delete;

private:
    PyThreadState* state_;
};

// f() run with the interpreter lock released; its result is returned once
// the lock is held again. f must not touch Python objects (see above).
template <class F>
decltype(auto) without_gil(F&& f)
{
    ReleaseGil released;
    return std::forward<F>(f)();
}

// A lock of one object (a factor, say), so that calls from several threads
// on it run one at a time. It is taken with the interpreter lock held; a
// thread that must wait for it waits with the interpreter lock released, so
// the holder, which needs the interpreter lock to finish its call, and the
// waiter never deadlock. The holder's thread is recorded: Python code run by
// the holder's own call (a callback re-entering the object) cannot take it
// again and is refused instead of waiting for itself.
//
// The holder may run Python code that waits for another object (an
// overridden method of one factor using another): two threads doing so in
// opposite orders would wait for each other for ever. A waiter therefore
// looks, while it waits, for a chain of holders and waiters that leads back
// to itself, and refuses (RuntimeError) when it finds one.
//
// fork() copies a mutex that another thread holds into a child where that
// thread does not exist: nothing would ever release it. So each holder also
// records the process's fork generation, and in a child a mutex held since
// before the fork by any thread but the forking one is refused at once
// (RuntimeError) rather than waited for: what that thread was changing may be
// half done.
class ObjectMutex {
public:
    ObjectMutex() noexcept = default;
    ObjectMutex(const ObjectMutex&) = delete;
    ObjectMutex& operator=(const ObjectMutex&) = delete;

    bool held_by_this_thread() const noexcept { return owner_.load() == std::this_thread::get_id(); }
    std::thread::id owner() const noexcept { return owner_.load(); }
    // Held by a thread of the parent process that the child has not.
    bool orphaned() const noexcept;
    // lock() is called with the interpreter lock held; unlock() with or without it.
    void lock();
    void unlock() noexcept;

private:
    // Waits for the mutex with the interpreter lock released; RuntimeError
    // when the wait would never end.
    void wait();

    std::timed_mutex mutex_;
    std::atomic<std::thread::id> owner_{};
    // The fork generation of the holder; 0 while free.
    std::atomic<unsigned> generation_{0};
};

// Holds an ObjectMutex for its lifetime; name it. Made with the interpreter
// lock held. When this thread holds the object already, RuntimeError(message)
// is raised and nothing is locked.
class ObjectLock {
public:
    ObjectLock(ObjectMutex& mutex, const char* reentry_message);
    ~ObjectLock() { mutex_.unlock(); }
    ObjectLock(const ObjectLock&) = delete;
    ObjectLock& operator=(const ObjectLock&) = delete;

private:
    ObjectMutex& mutex_;
};

}  // namespace tarnix
