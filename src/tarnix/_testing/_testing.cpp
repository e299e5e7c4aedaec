// tarnix._testing: hooks for the test suite, inert unless a test turns them on.
//
// The allocation hook replaces SuiteSparse's memory functions (the ones every
// SuiteSparse library and tarnix's SuiteSparse-owned arrays go through) by a
// counting allocator that makes the k-th allocation after installation fail
// and keeps track of the blocks it handed out. Running a call once for every
// k shows how each allocation failure surfaces and whether the call returns
// everything it allocated.
//
// The memory functions are called from SuiteSparse's C frames, so they are
// noexcept and cannot throw: the table of live blocks is allocated when the
// hook is installed (in Python, where failing is allowed), and the lock is a
// spin lock on an atomic flag, whose operations do not throw. A block the
// full table could not track is refused, like the chosen allocation, and
// counted as a refusal. The hook holds no Python objects; the lock is there
// because the libraries may allocate from more than one thread.
//
// The other hooks: the refusal of Python objects made by tarnix.cholmod's
// hand-offs, the status mapping of the COLAMD family, and a probe object
// whose lock is the one factors take when several threads use them.
#include "cholmod/capi.hpp"
#include "common/ordering.hpp"
#include "common/tarnix.hpp"

#include <SuiteSparse_config.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <thread>

using namespace tarnix;

namespace {

using MallocFunc = void* (*)(size_t);
using CallocFunc = void* (*)(size_t, size_t);
using ReallocFunc = void* (*)(void*, size_t);
using FreeFunc = void (*)(void*);

// The addresses of the live blocks: a fixed open-addressing table (linear
// probing, deletion by backward shift), so that neither insertion nor removal
// ever allocates.
class BlockSet {
public:
    static constexpr size_t kCapacity = size_t{1} << 18;  // slots; at most 3/4 of them used

    // Allocates the table once; throws (in Python context) when that fails.
    void reserve()
    {
        if (!slots_) {
            slots_.reset(new void*[kCapacity]());
        }
    }
    void clear() noexcept
    {
        for (size_t i = 0; i < kCapacity; ++i) {
            slots_[i] = nullptr;
        }
        size_ = 0;
    }
    size_t size() const noexcept { return size_; }
    bool full() const noexcept { return size_ >= kCapacity / 4 * 3; }

    // False (and nothing stored) when the table is full.
    bool insert(void* p) noexcept
    {
        if (full()) {
            return false;
        }
        size_t i = home(p);
        while (slots_[i] != nullptr) {
            if (slots_[i] == p) {
                return true;
            }
            i = (i + 1) & kMask;
        }
        slots_[i] = p;
        ++size_;
        return true;
    }
    // True when p was tracked.
    bool erase(void* p) noexcept
    {
        size_t i = home(p);
        while (slots_[i] != p) {
            if (slots_[i] == nullptr) {
                return false;
            }
            i = (i + 1) & kMask;
        }
        // Move later entries of the probe run back into the hole, so that
        // every entry stays reachable from its home slot.
        size_t hole = i;
        for (size_t j = (i + 1) & kMask; slots_[j] != nullptr; j = (j + 1) & kMask) {
            const size_t h = home(slots_[j]);
            const bool movable = hole <= j ? (h <= hole || h > j) : (h <= hole && h > j);
            if (movable) {
                slots_[hole] = slots_[j];
                hole = j;
            }
        }
        slots_[hole] = nullptr;
        --size_;
        return true;
    }

private:
    static constexpr size_t kMask = kCapacity - 1;
    static size_t home(void* p) noexcept
    {
        // Fibonacci hashing of the address; blocks are at least 16-byte aligned.
        const auto bits = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p) >> 4);
        return static_cast<size_t>((bits * 0x9E3779B97F4A7C15ull) >> 46) & kMask;
    }

    std::unique_ptr<void*[]> slots_;
    size_t size_ = 0;
};

static_assert(BlockSet::kCapacity == size_t{1} << 18, "home() keeps 18 bits");

// A lock whose operations cannot throw (std::mutex::lock may).
class SpinLock {
public:
    void lock() noexcept
    {
        while (flag_.test_and_set(std::memory_order_acquire)) {
            std::this_thread::yield();
        }
    }
    void unlock() noexcept { flag_.clear(std::memory_order_release); }

private:
    std::atomic_flag flag_ = ATOMIC_FLAG_INIT;
};

class Locked {
public:
    explicit Locked(SpinLock& lock) noexcept : lock_(lock) { lock_.lock(); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
    ~Locked() { lock_.unlock(); }

private:
    SpinLock& lock_;
};

struct Hook {
    SpinLock lock;
    bool installed = false;
    long long fail_at = -1;  // index of the allocation to refuse; -1: none
    long long allocations = 0;
    bool failed = false;
    BlockSet live;
    MallocFunc malloc_prev = nullptr;
    CallocFunc calloc_prev = nullptr;
    ReallocFunc realloc_prev = nullptr;
    FreeFunc free_prev = nullptr;
};

Hook g_hook;

// Counts an allocation; false when it is refused: the chosen one, or one that
// needs a slot in a full table. Lock held.
bool admit(bool needs_slot) noexcept
{
    const bool refuse = g_hook.allocations++ == g_hook.fail_at || (needs_slot && g_hook.live.full());
    g_hook.failed |= refuse;
    return !refuse;
}

void* hook_malloc(size_t size) noexcept
{
    Locked guard(g_hook.lock);
    if (!admit(true)) {
        return nullptr;
    }
    void* p = g_hook.malloc_prev(size);
    if (p != nullptr) {
        g_hook.live.insert(p);  // room was checked by admit()
    }
    return p;
}

void* hook_calloc(size_t count, size_t size) noexcept
{
    Locked guard(g_hook.lock);
    if (!admit(true)) {
        return nullptr;
    }
    void* p = g_hook.calloc_prev(count, size);
    if (p != nullptr) {
        g_hook.live.insert(p);
    }
    return p;
}

void* hook_realloc(void* block, size_t size) noexcept
{
    Locked guard(g_hook.lock);
    // A tracked block gives its slot to the moved one; a new block needs one.
    if (!admit(block == nullptr)) {
        return nullptr;  // the block stays valid, as with a failing realloc
    }
    void* p = g_hook.realloc_prev(block, size);
    if (p != nullptr) {
        // A block allocated before the hook was installed stays untracked
        // when it moves.
        const bool tracked = block == nullptr || g_hook.live.erase(block);
        if (tracked) {
            g_hook.live.insert(p);
        }
    }
    return p;
}

void hook_free(void* block) noexcept
{
    Locked guard(g_hook.lock);
    if (block != nullptr) {
        g_hook.live.erase(block);
    }
    g_hook.free_prev(block);
}

bool install(long long index) noexcept;

// fail_allocation(index)
Ref py_fail_allocation(PyObject*, const Args& a)
{
    const long long index = as_int64(a[0]);
    if (index < -1) {
        raise(PyExc_ValueError, "index must be -1 (no failure) or a non-negative allocation index");
    }
    g_hook.live.reserve();  // before the lock: this may throw
    if (!install(index)) {
        raise(PyExc_RuntimeError, "the allocation hook is already installed");
    }
    return Ref::none();
}

// False when the hook is installed already. Nothing that may run Python code
// happens under the lock (see read_report).
bool install(long long index) noexcept
{
    Locked guard(g_hook.lock);
    if (g_hook.installed) {
        return false;
    }
    g_hook.malloc_prev = SuiteSparse_config_malloc_func_get();
    g_hook.calloc_prev = SuiteSparse_config_calloc_func_get();
    g_hook.realloc_prev = SuiteSparse_config_realloc_func_get();
    g_hook.free_prev = SuiteSparse_config_free_func_get();
    g_hook.fail_at = index;
    g_hook.allocations = 0;
    g_hook.failed = false;
    g_hook.live.clear();
    g_hook.installed = true;
    SuiteSparse_config_malloc_func_set(hook_malloc);
    SuiteSparse_config_calloc_func_set(hook_calloc);
    SuiteSparse_config_realloc_func_set(hook_realloc);
    SuiteSparse_config_free_func_set(hook_free);
    return true;
}

// (allocations, failed, live), read under the lock and built into a tuple
// after it is released: building Python objects may run a collection, whose
// finalizers may free SuiteSparse memory through the hook.
struct Report {
    bool installed;
    long long allocations;
    bool failed;
    size_t live;
};

Report read_report_locked(bool restore) noexcept
{
    Locked guard(g_hook.lock);
    if (!g_hook.installed) {
        return Report{false, 0, false, 0};
    }
    if (restore) {
        SuiteSparse_config_malloc_func_set(g_hook.malloc_prev);
        SuiteSparse_config_calloc_func_set(g_hook.calloc_prev);
        SuiteSparse_config_realloc_func_set(g_hook.realloc_prev);
        SuiteSparse_config_free_func_set(g_hook.free_prev);
        g_hook.installed = false;
    }
    return Report{true, g_hook.allocations, g_hook.failed, g_hook.live.size()};
}

Report read_report(bool restore)
{
    const Report r = read_report_locked(restore);
    if (!r.installed) {
        raise(PyExc_RuntimeError, "the allocation hook is not installed");
    }
    return r;
}

Ref report_tuple(const Report& r)
{
    return check(Py_BuildValue("(LNn)", r.allocations, PyBool_FromLong(r.failed), static_cast<Py_ssize_t>(r.live)));
}

// allocation_report() -> (allocations, failed, live)
Ref py_allocation_report(PyObject*, const Args&)
{
    return report_tuple(read_report(false));
}

// restore_allocator() -> (allocations, failed, live)
Ref py_restore_allocator(PyObject*, const Args&)
{
    return report_tuple(read_report(true));
}

// colamd_status(module, ok, status): the exception the status routine shared
// by tarnix.colamd and tarnix.ccolamd raises for a library result, with the
// module's exception classes (returns None for success).
Ref py_colamd_status(PyObject*, const Args& a)
{
    PyObject* module = a[0];
    Ref name = check(PyObject_GetAttrString(module, "__name__"));
    const char* library = PyUnicode_CompareWithASCIIString(name.get(), "tarnix.ccolamd") == 0 ? "CCOLAMD" : "COLAMD";
    auto cls = [&](const char* suffix) {
        return check(PyObject_GetAttrString(module, (std::string(library) + suffix).c_str()));
    };
    Ref error = cls("Error");
    Ref value_error = cls("ValueError");
    Ref memory_error = cls("MemoryError");
    Ref internal_error = cls("InternalError");
    Ref messages = new_colamd_status_messages();
    const StatusFamily family{library, error.get(), value_error.get(), memory_error.get(), internal_error.get(), messages.get(),
                              true};
    handle_colamd_status(family, truth(a[1]), as_int64(a[2]));
    return Ref::none();
}

// The Python-side allocations of tarnix.cholmod's hand-offs (the owners and
// arrays made for the blocks of a CHOLMOD result) can be refused too: the
// hand-off code counts them and consults the index set here.
struct PythonAllocationHooks {
    cholmod_capi::RefusePythonAllocation refuse;
    cholmod_capi::PythonAllocationReport report;
};

PythonAllocationHooks python_allocation_hooks()
{
    Ref cholmod = import_module(cholmod_capi::kModule);
    PythonAllocationHooks hooks;
    hooks.refuse = reinterpret_cast<cholmod_capi::RefusePythonAllocation>(
        import_capi_function(cholmod.get(), cholmod_capi::kCapiTable, cholmod_capi::kRefusePythonAllocationName,
                             cholmod_capi::kRefusePythonAllocationSig));
    hooks.report = reinterpret_cast<cholmod_capi::PythonAllocationReport>(
        import_capi_function(cholmod.get(), cholmod_capi::kCapiTable, cholmod_capi::kPythonAllocationReportName,
                             cholmod_capi::kPythonAllocationReportSig));
    return hooks;
}

// fail_python_allocation(index)
Ref py_fail_python_allocation(PyObject*, const Args& a)
{
    const long long index = as_int64(a[0]);
    if (index < -1) {
        raise(PyExc_ValueError, "index must be -1 (no failure) or a non-negative allocation index");
    }
    python_allocation_hooks().refuse(index);
    return Ref::none();
}

// restore_python_allocation() -> (allocations, failed)
Ref py_restore_python_allocation(PyObject*, const Args&)
{
    const PythonAllocationHooks hooks = python_allocation_hooks();
    int failed = 0;
    const long long count = hooks.report(&failed);
    hooks.refuse(-1);
    return check(Py_BuildValue("(LN)", count, PyBool_FromLong(failed)));
}

// The lock of one object, as factors use it: with_object_lock(f) holds it
// while f() runs. A second thread waits for it with the interpreter lock
// released; f() of the holding thread calling in again is refused.
ObjectMutex g_probe_mutex;

// with_object_lock(f) -> f()
Ref py_with_object_lock(PyObject*, const Args& a)
{
    ObjectLock lock(g_probe_mutex, "the probe object is in use by this thread");
    return check(PyObject_CallNoArgs(a[0]));
}

constexpr Param colamd_status_params[] = {{"module"}, {"ok"}, {"status"}};
constexpr FunctionDef colamd_status_def = function("colamd_status", py_colamd_status, colamd_status_params)
    .with_doc("Raise what tarnix.colamd or tarnix.ccolamd (the module given) raises for a library call\n"
              "that returned `ok` with `status`; None when that is a success.");

constexpr Param index_params[] = {{"index"}};
constexpr FunctionDef fail_allocation_def = function("fail_allocation", py_fail_allocation, index_params)
    .with_doc("Install the counting allocator as SuiteSparse's memory functions. The allocation numbered\n"
              "`index` (from 0) after this call fails; with -1 none does. Raises RuntimeError when the\n"
              "hook is already installed.");
constexpr FunctionDef allocation_report_def = function("allocation_report", py_allocation_report)
    .with_doc("(allocations, failed, live) so far: the number of allocations seen, whether the chosen one\n"
              "was refused, and the number of blocks allocated under the hook and not yet freed.");
constexpr FunctionDef restore_allocator_def = function("restore_allocator", py_restore_allocator)
    .with_doc("Put back the memory functions the hook replaced and return the final\n"
              "(allocations, failed, live).");

constexpr FunctionDef fail_python_allocation_def = function("fail_python_allocation", py_fail_python_allocation,
                                                            index_params)
    .with_doc("Make the Python object numbered `index` (from 0) that tarnix.cholmod's conversions of\n"
              "CHOLMOD results create after this call fail with MemoryError; with -1 none does.");
constexpr FunctionDef restore_python_allocation_def = function("restore_python_allocation",
                                                               py_restore_python_allocation)
    .with_doc("Stop refusing and return (allocations, failed): the number of Python objects the\n"
              "conversions created (or tried to) and whether the chosen one was refused.");

constexpr Param with_object_lock_params[] = {{"f"}};
constexpr FunctionDef with_object_lock_def = function("with_object_lock", py_with_object_lock,
                                                      with_object_lock_params)
    .with_doc("Call f() holding the lock of a probe object, as a factor's methods hold the factor's.\n"
              "Another thread waits for the lock without the interpreter lock; a call from f()\n"
              "itself raises RuntimeError.");

void exec_body(PyObject* m)
{
    add_function(m, with_object_lock_def);
    add_function(m, fail_python_allocation_def);
    add_function(m, restore_python_allocation_def);
    add_function(m, fail_allocation_def);
    add_function(m, allocation_report_def);
    add_function(m, restore_allocator_def);
    add_function(m, colamd_status_def);
}

}  // namespace

TARNIX_MODULE(_testing, "Hooks for tarnix's test suite. Nothing here is active unless a test turns it on.",
              ModuleState, exec_body)
