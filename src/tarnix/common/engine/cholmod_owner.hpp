// Owners of what CHOLMOD allocates: the common record a call or a factor
// works with, and every record or index vector the library hands back.
//
// A result has one owner from the moment the library returns it: an Owned,
// made before the call with its out() slot handed to the library, frees it
// with the routine of its type and index width unless release() handed it
// on. A common is started by its constructor and finished by its destructor,
// after the records allocated through it (declare it first).
#pragma once

#include "common/cholmod_routines.hpp"

#include <cholmod.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

namespace tarnix::engine {

// Thrown when CHOLMOD cannot start a common (it could not allocate).
struct CommonNotStarted {};

// A cholmod_common of the index width of Int, started (cholmod_start or
// cholmod_l_start) for as long as the owner lives. Never copied or moved:
// the library's records keep no pointer to it, but its owners do.
template <class Int>
class CholmodCommon {
public:
    // Starts the common; its errors go to `handler` (when given) and nothing
    // is printed, so that every failure reaches the caller as a status.
    explicit CholmodCommon(void (*handler)(int, const char*, int, const char*) = nullptr)
    {
        if (!cholmod_lib<Int>.start(&cm_)) {
            throw CommonNotStarted{};
        }
        cm_.print = 0;
        cm_.error_handler = handler;
    }
    CholmodCommon(const CholmodCommon&) = delete;
    CholmodCommon& operator=(const CholmodCommon&) = delete;
    ~CholmodCommon() { cholmod_lib<Int>.finish(&cm_); }

    cholmod_common* get() noexcept { return &cm_; }
    const cholmod_common* get() const noexcept { return &cm_; }
    cholmod_common& operator*() noexcept { return cm_; }
    const cholmod_common& operator*() const noexcept { return cm_; }
    cholmod_common* operator->() noexcept { return &cm_; }
    const cholmod_common* operator->() const noexcept { return &cm_; }

private:
    cholmod_common cm_{};
};

namespace owner_detail {

// The routine that frees a T of index width Int: a record by its own free
// routine, anything else (an index vector) as a block of n entries.
template <class T, class Int>
void free_block(T*& p, size_t n, cholmod_common* cm) noexcept
{
    const auto& lib = cholmod_lib<Int>;
    if constexpr (std::is_same_v<T, cholmod_dense>) {
        lib.free_dense(&p, cm);
    }
    else if constexpr (std::is_same_v<T, cholmod_sparse>) {
        lib.free_sparse(&p, cm);
    }
    else if constexpr (std::is_same_v<T, cholmod_factor>) {
        lib.free_factor(&p, cm);
    }
    else {
        static_assert(std::is_arithmetic_v<T>, "a CHOLMOD record or a vector of numbers");
        lib.free(n, sizeof(T), p, cm);
        p = nullptr;
    }
}

}  // namespace owner_detail

// The owner of one T* CHOLMOD allocated through `cm` (a common of the index
// width of Int): cholmod_dense, cholmod_sparse, cholmod_factor, or a vector
// of n numbers (Owned<Int, Int> for a permutation of n entries).
template <class T, class Int>
class Owned {
public:
    explicit Owned(cholmod_common* cm, size_t n = 0) noexcept : cm_(cm), n_(n) {}
    Owned(T* p, cholmod_common* cm, size_t n = 0) noexcept : p_(p), cm_(cm), n_(n) {}
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    Owned(Owned&& other) noexcept : p_(std::exchange(other.p_, nullptr)), cm_(other.cm_), n_(other.n_) {}
    Owned& operator=(Owned&& other) noexcept
    {
        if (this != &other) {
            reset();
            p_ = std::exchange(other.p_, nullptr);
            cm_ = other.cm_;
            n_ = other.n_;
        }
        return *this;
    }
    ~Owned() { reset(); }

    T* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // The slot a library call writes its result to (empty beforehand).
    T** out() noexcept { return &p_; }
    size_t size() const noexcept { return n_; }
    // Hands the block over: the caller frees it from now on.
    T* release() noexcept { return std::exchange(p_, nullptr); }
    void reset() noexcept
    {
        if (p_ != nullptr) {
            owner_detail::free_block<T, Int>(p_, n_, cm_);
            p_ = nullptr;
        }
    }

private:
    T* p_ = nullptr;
    cholmod_common* cm_;
    size_t n_;
};

}  // namespace tarnix::engine
