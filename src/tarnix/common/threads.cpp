// The lock of one object shared between threads.
#include "common/threads.hpp"

#include "common/errors.hpp"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <vector>

namespace tarnix {

namespace {

// Counts the forks this process descends from (1 in the first process), and
// the thread that made the last one (the only thread a child starts with).
std::atomic<unsigned> g_fork_generation{1};
std::atomic<std::thread::id> g_forking_thread{};

// The threads of the process that wait for an ObjectMutex now, and which.
// Only waiters use it, and each only briefly, under its own mutex (also
// held across fork(), so that a child finds it consistent).
struct Waiter {
    std::thread::id thread;
    const ObjectMutex* wants;
};
std::mutex g_waiters_mutex;
std::vector<Waiter> g_waiters;

void before_fork() noexcept
{
    g_waiters_mutex.lock();
}

void after_fork_in_parent() noexcept
{
    g_waiters_mutex.unlock();
}

void after_fork_in_child() noexcept
{
    g_waiters.clear();  // their threads are not in the child
    g_waiters_mutex.unlock();
    g_forking_thread.store(std::this_thread::get_id());
    g_fork_generation.fetch_add(1);
}

unsigned fork_generation() noexcept
{
    // Registered once per process, before the first lock is taken (the
    // registration is inherited by children).
    static const bool registered = pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) == 0;
    (void)registered;
    return g_fork_generation.load();
}

// This thread in the table of waiters for the lifetime of the record.
class WaitRecord {
public:
    explicit WaitRecord(const ObjectMutex* wants)
    {
        std::lock_guard<std::mutex> guard(g_waiters_mutex);
        g_waiters.push_back(Waiter{std::this_thread::get_id(), wants});
    }
    ~WaitRecord()
    {
        std::lock_guard<std::mutex> guard(g_waiters_mutex);
        const std::thread::id me = std::this_thread::get_id();
        g_waiters.erase(std::find_if(g_waiters.begin(), g_waiters.end(),
                                     [&](const Waiter& w) { return w.thread == me; }));
    }
    WaitRecord(const WaitRecord&) = delete;
    WaitRecord& operator=(const WaitRecord&) = delete;

    // Whether the holder of `wanted` waits, through a chain of holders and
    // the objects they wait for, for an object this thread holds. (Every
    // mutex in the table is alive: its waiter keeps its object.)
    static bool closes_a_cycle(const ObjectMutex* wanted) noexcept
    {
        std::lock_guard<std::mutex> guard(g_waiters_mutex);
        const std::thread::id me = std::this_thread::get_id();
        const ObjectMutex* m = wanted;
        for (size_t steps = 0; m != nullptr && steps <= g_waiters.size(); ++steps) {
            const std::thread::id holder = m->owner();
            if (holder == me) {
                return true;
            }
            auto next = std::find_if(g_waiters.begin(), g_waiters.end(),
                                     [&](const Waiter& w) { return w.thread == holder; });
            m = next != g_waiters.end() ? next->wants : nullptr;
        }
        return false;
    }
};

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
        wait();
    }
    owner_.store(std::this_thread::get_id());
    generation_.store(generation);
}

void ObjectMutex::wait()
{
    bool endless = false;
    {
        WaitRecord record(this);
        ReleaseGil released;
        // The deadline is on the system clock, which makes libstdc++ wait in
        // pthread_mutex_timedlock: ThreadSanitizer knows that call, not the
        // steady clock's pthread_mutex_clocklock, and would otherwise miss
        // every lock taken here. A jump of the clock only moves the next
        // look for a cycle; the mutex is taken as soon as it is free.
        while (!mutex_.try_lock_until(std::chrono::system_clock::now() + std::chrono::milliseconds(20))) {
            if (WaitRecord::closes_a_cycle(this)) {
                endless = true;
                break;
            }
        }
    }
    if (endless) {
        raise(PyExc_RuntimeError,
              "This object is held by a thread that waits for one this thread holds; the call is refused "
              "rather than wait for ever.");
    }
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
