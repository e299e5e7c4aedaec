// Mechanisms shared by the fill-reducing ordering modules (COLAMD/SYMAMD,
// CCOLAMD/CSYMAMD, CAMD): trivial-input answers, knob conversion, constraint
// vectors, the COLAMD family's array checks and its status-to-exception
// mapping.
#pragma once

#include "common/arrays.hpp"
#include "common/surface.hpp"
#include "common/csc.hpp"
#include "common/engine/colamd_family.hpp"
#include "common/workspace.hpp"

#include <initializer_list>
#include <utility>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <type_traits>

namespace tarnix {

// --- Knobs -----------------------------------------------------------------

// knobs[index] = float(value) rounded to single precision; None leaves it.
void set_threshold_knob(double* knobs, int index, PyObject* value);
// knobs[index] = 1.0 or 0.0 by the truth of value; None leaves it.
void set_flag_knob(double* knobs, int index, PyObject* value);

// The knobs handed to COLAMD or CCOLAMD (and their symmetric forms): the
// engine's safe copy of the caller's K knobs (engine::library_knobs); a NaN
// dense threshold is refused.
template <class I, size_t K>
void checked_knobs(double (&out)[K], const double* knobs, long long M, long long N)
{
    const int nan = engine::library_knobs<I>(out, knobs, M, N);
    if (nan >= 0) {
        raise_format(PyExc_ValueError, surface::dense_threshold_nan,
                     nan == 0 ? "row" : "column", static_cast<size_t>(nan));
    }
}

// --- Constraint vectors of CCOLAMD, CSYMAMD and CAMD ---------------------------

// The caller's constraints as an index array (np.asarray for CCOLAMD,
// np.ascontiguousarray for CAMD); a TypeError of the conversion becomes
// TypeError("Constraints must be an array of integers.").
Ref convert_constraints(PyObject* constraints, PyObject* dtype, Conversion how);

// A constraint vector (null: none given) has N entries, each a set number in
// 0..N-1. The libraries index their work arrays by these values, so they are
// checked before any call.
template <class I>
void require_constraints(const Vector<I>& constraints, long long N)
{
    if (constraints.is_null()) {
        return;
    }
    if (constraints.size() != N) {
        raise(PyExc_ValueError, surface::constraints_length);
    }
    const engine::IndexFault fault = engine::find_out_of_range(constraints.data(), constraints.size(), N);
    if (fault) {
        raise_format(PyExc_ValueError, surface::constraints_range, N - 1,
                     static_cast<Py_ssize_t>(fault.at), fault.value);
    }
}

// --- Arrays of COLAMD and CCOLAMD ----------------------------------------------

// The integer arrays of one call, in one index width:
//   Ap[N+1]      column pointers
//   Ai[>=Ap[N]]  row indices
//   perm[N+1]    output permutation (first N entries)
//   stats[>=20]  output statistics
template <class I>
struct ColamdArrays {
    Vector<I> Ap;
    Vector<I> Ai;
    Vector<I> perm;
    Vector<I> stats;

    static ColamdArrays view(PyObject* Ap, PyObject* Ai, PyObject* perm, PyObject* stats)
    {
        return ColamdArrays{Vector<I>(Ap, "Ap"), Vector<I>(Ai, "Ai"), Vector<I>(perm, "perm"),
                            Vector<I>(stats, "stats")};
    }

    // Lengths, before any library call. The libraries check the pattern
    // themselves, column by column, reading only inside [0, max(Ap)).
    // `library` names the sizes in messages ("COLAMD" -> COLAMD_STATS).
    void check(long long N, Py_ssize_t nknobs, long long nstats_required, long long nknobs_required,
               const char* library) const
    {
        char stats_name[32];
        char knobs_name[32];
        std::snprintf(stats_name, sizeof stats_name, "%s_STATS", library);
        std::snprintf(knobs_name, sizeof knobs_name, "%s_KNOBS", library);
        require_length(Ap.size(), "Ap", one_more(N, "N"), "N + 1");
        require_length(perm.size(), "perm", N + 1, "N + 1");
        require_min_length(stats.size(), "stats", nstats_required, stats_name);
        require_min_length(nknobs, "knobs", nknobs_required, knobs_name);
        require_pointers_within(Ap, Ai.size());
    }

    // perm and stats are written while Ap, Ai, the knobs and the
    // constraint sets are read.
    void require_disjoint_outputs(const MemorySpan& knobs, const MemorySpan& constraints) const
    {
        require_disjoint({span_of(perm, "perm"), span_of(stats, "stats")},
                         {span_of(Ap, "Ap"), span_of(Ai, "Ai"), knobs, constraints});
    }
};

// The knobs of a call as a span, for the overlap check: the caller's array,
// or the module's own (not overlapping anything the caller passed).
inline MemorySpan knobs_span(const double* knobs, Py_ssize_t nknobs) noexcept
{
    const auto begin = reinterpret_cast<uintptr_t>(knobs);
    return MemorySpan{"knobs", begin, begin + static_cast<uintptr_t>(nknobs) * sizeof(double)};
}

// --- Trivial inputs of COLAMD and CCOLAMD ------------------------------------

// The answer for inputs the library is not called for, or an empty Ref:
//   no rows or no columns                               -> []
//   no stored entries, or one row (unsymmetric ordering) -> arange(N)
//   one column                                          -> [0]
Ref colamd_trivial_ordering(const CscInput& in, bool symmetric);

// --- Status of COLAMD and CCOLAMD ---------------------------------------------

// Both libraries report failure with the same status codes; each module maps
// them to its own exception family, with its library's name in the messages.
struct StatusFamily {
    const char* library;     // "COLAMD" or "CCOLAMD"
    PyObject* error;         // the family's base class
    PyObject* value_error;
    PyObject* memory_error;
    PyObject* internal_error;
    PyObject* messages;      // dict: status -> text
    bool assertions;         // __debug__ at import
};

// The status-message table, in the libraries' order.
Ref new_colamd_status_messages();

// The exception family of COLAMD or CCOLAMD (library "COLAMD" or "CCOLAMD"),
// added to the module with their docstrings: <library>Error (an Exception)
// and its subclasses <library>ValueError (also a ValueError),
// <library>MemoryError (also a MemoryError) and <library>InternalError (also
// a RuntimeError).
struct ColamdExceptions {
    Ref error;
    Ref value_error;
    Ref memory_error;
    Ref internal_error;
};
ColamdExceptions add_colamd_exceptions(PyObject* module, const char* library);

// The docstring pieces of one ordering function. Each piece is bound in the
// module under its name; the intro is lead + reftag + description.
struct DocPiece {
    const char* name;
    const char* text;
};
struct OrderingDoc {
    DocPiece reftag;
    const char* intro_name;
    const char* lead;
    const char* description;
    DocPiece A_param;
    DocPiece example;
    const char* see_also;
};

// function.__doc__ = template.format(intro=..., A_param=..., see_also=...,
// reftag=..., example=..., **extra), the pieces bound in the module first.
void set_ordering_doc(PyObject* module, PyObject* function, PyObject* doc_template, const OrderingDoc& doc,
                      std::initializer_list<std::pair<const char*, PyObject*>> extra = {});

// Returns when the call succeeded; raises the family's exception otherwise.
// A success whose status is not 0 is an AssertionError while assertions are on.
// A failure status the message table lacks (CCOLAMD's -11, for constraint
// sets out of range) raises the family's base class with the code.
void handle_colamd_status(const StatusFamily& family, int ok, long long status);

}  // namespace tarnix
