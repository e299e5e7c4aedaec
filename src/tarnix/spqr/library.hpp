// SuiteSparseQR and CHOLMOD as the sparse QR module uses them: the CHOLMOD
// routines of each index width, and owners of the records the library
// allocates, so that every result is freed or handed over exactly once.
#pragma once

#include "common/tarnix.hpp"

#include <SuiteSparseQR.hpp>

#include <complex>
#include <cstdint>
#include <type_traits>
#include <utility>

namespace spqr_lib {

using Complex = std::complex<double>;

template <class Entry, class Int>
using Factorization = SuiteSparseQR_factorization<Entry, Int>;

// The CHOLMOD routines of one index width: the cholmod_* routines serve a
// common started by cholmod_start (int32), the cholmod_l_* ones a common
// started by cholmod_l_start (int64). A record is never mixed between them.
template <class Int>
struct Cholmod;

template <>
struct Cholmod<int32_t> {
    static constexpr int itype = CHOLMOD_INT;
    static int start(cholmod_common* cm) { return cholmod_start(cm); }
    static int finish(cholmod_common* cm) { return cholmod_finish(cm); }
    static void* malloc(size_t n, size_t size, cholmod_common* cm) { return cholmod_malloc(n, size, cm); }
    static void* calloc(size_t n, size_t size, cholmod_common* cm) { return cholmod_calloc(n, size, cm); }
    static void free(size_t n, size_t size, void* p, cholmod_common* cm) { cholmod_free(n, size, p, cm); }
    static void free_dense(cholmod_dense** X, cholmod_common* cm) { cholmod_free_dense(X, cm); }
    static void free_sparse(cholmod_sparse** A, cholmod_common* cm) { cholmod_free_sparse(A, cm); }
};

template <>
struct Cholmod<int64_t> {
    static constexpr int itype = CHOLMOD_LONG;
    static int start(cholmod_common* cm) { return cholmod_l_start(cm); }
    static int finish(cholmod_common* cm) { return cholmod_l_finish(cm); }
    static void* malloc(size_t n, size_t size, cholmod_common* cm) { return cholmod_l_malloc(n, size, cm); }
    static void* calloc(size_t n, size_t size, cholmod_common* cm) { return cholmod_l_calloc(n, size, cm); }
    static void free(size_t n, size_t size, void* p, cholmod_common* cm) { cholmod_l_free(n, size, p, cm); }
    static void free_dense(cholmod_dense** X, cholmod_common* cm) { cholmod_l_free_dense(X, cm); }
    static void free_sparse(cholmod_sparse** A, cholmod_common* cm) { cholmod_l_free_sparse(A, cm); }
};

// --- Running out of memory inside the library ----------------------------------
//
// CHOLMOD's allocation routines reset the common's status when they start, and
// some of SuiteSparseQR's paths (the explicit Q and the Householder form)
// allocate again after a failed allocation before they look at the status: the
// failure is forgotten and the library goes on to write through a block it
// could not allocate or grow. So every common the module starts reports its
// errors here, and while an OutOfMemoryLatch is alive on a thread, the first
// out-of-memory error closes the latch: every later SuiteSparse allocation on
// that thread fails until the latch goes out of scope. The library then meets
// the failure wherever it looks, frees what it holds and returns it.

// Wraps SuiteSparse's allocation functions (once per process, at import).
void install_out_of_memory_latch();

class OutOfMemoryLatch {
public:
    OutOfMemoryLatch() noexcept;
    ~OutOfMemoryLatch();
    OutOfMemoryLatch(const OutOfMemoryLatch&) = delete;
    OutOfMemoryLatch& operator=(const OutOfMemoryLatch&) = delete;

private:
    bool outer_armed_;
    bool outer_closed_;
};

// Whether the innermost latch of this thread has closed. A library call that
// ran out of memory may end with another status (a later step meeting the
// missing block); it is reported as out of memory all the same.
bool out_of_memory_latched() noexcept;

// The error handler of the module's commons.
void on_library_error(int status, const char* file, int line, const char* message);

// Starts a common of the given index width, its errors reported to
// on_library_error; its settings keep the library's defaults.
inline int start_common(cholmod_common* cm, bool use_int32)
{
    if (!(use_int32 ? Cholmod<int32_t>::start(cm) : Cholmod<int64_t>::start(cm))) {
        return 0;
    }
    cm->error_handler = on_library_error;
    return 1;
}

inline int finish_common(cholmod_common* cm, bool use_int32)
{
    return use_int32 ? Cholmod<int32_t>::finish(cm) : Cholmod<int64_t>::finish(cm);
}

// Calls f(Entry{}, Int{}) for the value type and index width of a record.
template <class F>
decltype(auto) dispatch_variant(bool is_real, bool use_int32, F&& f)
{
    if (is_real) {
        return use_int32 ? f(double{}, int32_t{}) : f(double{}, int64_t{});
    }
    return use_int32 ? f(Complex{}, int32_t{}) : f(Complex{}, int64_t{});
}

// A common record started for one call and finished when it goes out of
// scope (after every result it allocated has been released).
class ScopedCommon {
public:
    explicit ScopedCommon(bool use_int32) : use_int32_(use_int32)
    {
        if (!start_common(&cm_, use_int32)) {
            tarnix::raise(PyExc_MemoryError, "CHOLMOD could not start its workspace");
        }
    }
    ScopedCommon(const ScopedCommon&) = delete;
    ScopedCommon& operator=(const ScopedCommon&) = delete;
    ~ScopedCommon() { finish_common(&cm_, use_int32_); }
    cholmod_common* get() { return &cm_; }

private:
    cholmod_common cm_{};
    bool use_int32_;
};

// Owner of a dense result; release() hands it over (to the sibling module,
// which then frees it).
template <class Int>
class DenseResult {
public:
    DenseResult(cholmod_dense* X, cholmod_common* cm) noexcept : X_(X), cm_(cm) {}
    DenseResult(const DenseResult&) = delete;
    DenseResult& operator=(const DenseResult&) = delete;
    ~DenseResult() { reset(); }
    cholmod_dense* get() const noexcept { return X_; }
    cholmod_dense** out() noexcept { return &X_; }
    cholmod_dense* release() noexcept { return std::exchange(X_, nullptr); }
    void reset() noexcept
    {
        if (X_ != nullptr) {
            Cholmod<Int>::free_dense(&X_, cm_);
        }
    }

private:
    cholmod_dense* X_;
    cholmod_common* cm_;
};

template <class Int>
class SparseResult {
public:
    SparseResult(cholmod_sparse* A, cholmod_common* cm) noexcept : A_(A), cm_(cm) {}
    SparseResult(const SparseResult&) = delete;
    SparseResult& operator=(const SparseResult&) = delete;
    ~SparseResult()
    {
        if (A_ != nullptr) {
            Cholmod<Int>::free_sparse(&A_, cm_);
        }
    }
    cholmod_sparse* get() const noexcept { return A_; }
    cholmod_sparse** out() noexcept { return &A_; }
    cholmod_sparse* release() noexcept { return std::exchange(A_, nullptr); }

private:
    cholmod_sparse* A_;
    cholmod_common* cm_;
};

// An index vector the library allocated (E, HPinv): n entries of Int.
template <class Int>
class IndexResult {
public:
    IndexResult(size_t n, cholmod_common* cm) noexcept : n_(n), cm_(cm) {}
    IndexResult(const IndexResult&) = delete;
    IndexResult& operator=(const IndexResult&) = delete;
    ~IndexResult()
    {
        if (p_ != nullptr) {
            Cholmod<Int>::free(n_, sizeof(Int), p_, cm_);
        }
    }
    Int* get() const noexcept { return p_; }
    Int** out() noexcept { return &p_; }
    void set_size(size_t n) noexcept { n_ = n; }

private:
    Int* p_ = nullptr;
    size_t n_;
    cholmod_common* cm_;
};

}  // namespace spqr_lib
