// The lock of one object shared between threads.
#include "common/threads.hpp"

#include "common/errors.hpp"

namespace tarnix {

void ObjectMutex::lock()
{
    if (!mutex_.try_lock()) {
        ReleaseGil released;
        mutex_.lock();
    }
    owner_.store(std::this_thread::get_id());
}

void ObjectMutex::unlock() noexcept
{
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
