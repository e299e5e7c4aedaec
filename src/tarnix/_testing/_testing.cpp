// tarnix._testing: hooks for the test suite, inert unless a test turns them on.
//
// The allocation hook replaces SuiteSparse's memory functions (the ones every
// SuiteSparse library and tarnix's SuiteSparse-owned arrays go through) by a
// counting allocator that makes the k-th allocation after installation fail
// and keeps track of the blocks it handed out. Running a call once for every
// k shows how each allocation failure surfaces and whether the call returns
// everything it allocated. The hook holds no Python objects; a mutex guards it
// because the libraries may allocate from more than one thread.
#include "cholmod/capi.hpp"
#include "common/ordering.hpp"
#include "common/tarnix.hpp"

#include <SuiteSparse_config.h>

#include <cstddef>
#include <mutex>
#include <string>
#include <unordered_set>

using namespace tarnix;

namespace {

using MallocFunc = void* (*)(size_t);
using CallocFunc = void* (*)(size_t, size_t);
using ReallocFunc = void* (*)(void*, size_t);
using FreeFunc = void (*)(void*);

struct Hook {
    std::mutex lock;
    bool installed = false;
    long long fail_at = -1;  // index of the allocation to refuse; -1: none
    long long allocations = 0;
    bool failed = false;
    std::unordered_set<void*> live;
    MallocFunc malloc_prev = nullptr;
    CallocFunc calloc_prev = nullptr;
    ReallocFunc realloc_prev = nullptr;
    FreeFunc free_prev = nullptr;
};

Hook g_hook;

// Counts an allocation; false when this is the one to refuse. Lock held.
bool admit()
{
    const bool refuse = g_hook.allocations++ == g_hook.fail_at;
    g_hook.failed |= refuse;
    return !refuse;
}

void* hook_malloc(size_t size)
{
    std::lock_guard<std::mutex> guard(g_hook.lock);
    if (!admit()) {
        return nullptr;
    }
    void* p = g_hook.malloc_prev(size);
    if (p != nullptr) {
        g_hook.live.insert(p);
    }
    return p;
}

void* hook_calloc(size_t count, size_t size)
{
    std::lock_guard<std::mutex> guard(g_hook.lock);
    if (!admit()) {
        return nullptr;
    }
    void* p = g_hook.calloc_prev(count, size);
    if (p != nullptr) {
        g_hook.live.insert(p);
    }
    return p;
}

void* hook_realloc(void* block, size_t size)
{
    std::lock_guard<std::mutex> guard(g_hook.lock);
    if (!admit()) {
        return nullptr;  // the block stays valid, as with a failing realloc
    }
    void* p = g_hook.realloc_prev(block, size);
    if (p != nullptr) {
        // A block allocated before the hook was installed stays untracked
        // when it moves.
        const bool tracked = block == nullptr || g_hook.live.erase(block) > 0;
        if (tracked) {
            g_hook.live.insert(p);
        }
    }
    return p;
}

void hook_free(void* block)
{
    std::lock_guard<std::mutex> guard(g_hook.lock);
    if (block != nullptr) {
        g_hook.live.erase(block);
    }
    g_hook.free_prev(block);
}

// fail_allocation(index)
Ref py_fail_allocation(PyObject*, const Args& a)
{
    const long long index = as_int64(a[0]);
    if (index < -1) {
        raise(PyExc_ValueError, "index must be -1 (no failure) or a non-negative allocation index");
    }
    std::lock_guard<std::mutex> guard(g_hook.lock);
    if (g_hook.installed) {
        raise(PyExc_RuntimeError, "the allocation hook is already installed");
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
    return Ref::none();
}

// allocation_report() -> (allocations, failed, live)
Ref report_locked()
{
    return check(Py_BuildValue("(LNn)", g_hook.allocations, PyBool_FromLong(g_hook.failed),
                               static_cast<Py_ssize_t>(g_hook.live.size())));
}

Ref py_allocation_report(PyObject*, const Args&)
{
    std::lock_guard<std::mutex> guard(g_hook.lock);
    if (!g_hook.installed) {
        raise(PyExc_RuntimeError, "the allocation hook is not installed");
    }
    return report_locked();
}

// restore_allocator() -> (allocations, failed, live)
Ref py_restore_allocator(PyObject*, const Args&)
{
    std::lock_guard<std::mutex> guard(g_hook.lock);
    if (!g_hook.installed) {
        raise(PyExc_RuntimeError, "the allocation hook is not installed");
    }
    SuiteSparse_config_malloc_func_set(g_hook.malloc_prev);
    SuiteSparse_config_calloc_func_set(g_hook.calloc_prev);
    SuiteSparse_config_realloc_func_set(g_hook.realloc_prev);
    SuiteSparse_config_free_func_set(g_hook.free_prev);
    g_hook.installed = false;
    return report_locked();
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
    Ref value_error = cls("ValueError");
    Ref memory_error = cls("MemoryError");
    Ref internal_error = cls("InternalError");
    Ref messages = new_colamd_status_messages();
    const StatusFamily family{library, value_error.get(), memory_error.get(), internal_error.get(), messages.get(),
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

const Param colamd_status_params[] = {{"module"}, {"ok"}, {"status"}};
const FunctionDef colamd_status_def{
    "colamd_status", py_colamd_status, colamd_status_params, count(colamd_status_params),
    "Raise what tarnix.colamd or tarnix.ccolamd (the module given) raises for a library call\n"
    "that returned `ok` with `status`; None when that is a success."};

const Param index_params[] = {{"index"}};
const FunctionDef fail_allocation_def{
    "fail_allocation", py_fail_allocation, index_params, count(index_params),
    "Install the counting allocator as SuiteSparse's memory functions. The allocation numbered\n"
    "`index` (from 0) after this call fails; with -1 none does. Raises RuntimeError when the\n"
    "hook is already installed."};
const FunctionDef allocation_report_def{
    "allocation_report", py_allocation_report, nullptr, 0,
    "(allocations, failed, live) so far: the number of allocations seen, whether the chosen one\n"
    "was refused, and the number of blocks allocated under the hook and not yet freed."};
const FunctionDef restore_allocator_def{
    "restore_allocator", py_restore_allocator, nullptr, 0,
    "Put back the memory functions the hook replaced and return the final\n"
    "(allocations, failed, live)."};

const FunctionDef fail_python_allocation_def{
    "fail_python_allocation", py_fail_python_allocation, index_params, count(index_params),
    "Make the Python object numbered `index` (from 0) that tarnix.cholmod's conversions of\n"
    "CHOLMOD results create after this call fail with MemoryError; with -1 none does."};
const FunctionDef restore_python_allocation_def{
    "restore_python_allocation", py_restore_python_allocation, nullptr, 0,
    "Stop refusing and return (allocations, failed): the number of Python objects the\n"
    "conversions created (or tried to) and whether the chosen one was refused."};

void exec_body(PyObject* m)
{
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
