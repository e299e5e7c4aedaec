// The lock of one object shared between threads.
#include "common/threads.hpp"

#include "common/errors.hpp"

#include <pthread.h>

namespace tarnix {

namespace {

// Counts the forks this process descends from (1 in the first process), and
// the thread that made the last one (the only thread a child starts with).
std::atomic<unsigned> g_fork_generation{1};
std::atomic<std::thread::id> g_forking_thread{};

void after_fork_in_child() noexcept
{
    g_forking_thread.store(std::this_thread::get_id());
    g_fork_generation.fetch_add(1);
}

unsigned fork_generation() noexcept
{
    // Registered once per process, before the first lock is taken (the
    // registration is inherited by children).
    static const bool registered = pthread_atfork(nullptr, nullptr, after_fork_in_child) == 0;
    (void)registered;
    return g_fork_generation.load();
}

}  // namespace

bool ObjectMutex::orphaned() const noexcept
{
    const unsigned held_since = generation_.load();
    return held_since != 0 && held_since != fork_generation() && owner_.load() != g_forking_thread.load();
}

void ObjectMutex::lock()
{
    const unsigned generation = fork_generation();
    if (!mutex_.try_lock()) {
        if (orphaned()) {
            raise(PyExc_RuntimeError,
                  "This object was in use by another thread when the process forked; it cannot be used in "
                  "the child process.");
        }
        ReleaseGil released;
        mutex_.lock();
    }
    owner_.store(std::this_thread::get_id());
    generation_.store(generation);
}

void ObjectMutex::unlock() noexcept
{
    generation_.store(0);
    owner_.store(std::thread::id{});
    mutex_.unlock();
}

ObjectLock::ObjectLock(ObjectMutex& mutex, const char* reentry_message) : mutex_(mutex)
{
    if (mutex_.held_by_this_thread()) {
        raise(PyExc_RuntimeError, reentry_message);
    }
    mutex_.lock();
}

}  // namespace tarnix
