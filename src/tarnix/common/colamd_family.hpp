// The COLAMD family of ordering modules, tarnix.colamd (COLAMD and SYMAMD)
// and tarnix.ccolamd (CCOLAMD and CSYMAMD): one face over the family's
// engine (common/engine/colamd_family.hpp). Each module gives a struct Lib:
// its engine's description of the library, and
//
//   lu_knob_value     with an lu_knob, converts the opt_lu argument
//   the names and docstrings of the private functions and of the record
//
// ("name", "COLAMD" or "CCOLAMD", is also the prefix of the messages, the
// exceptions and the record). The public
// functions coerce their input with tarnix.utils, answer trivial shapes
// themselves, prepare the knobs, stats and constraint sets, and call the
// two-width routines.
#pragma once

#include "common/assertions.hpp"
#include "common/surface.hpp"
#include "common/engine/colamd_family.hpp"
#include "common/ordering.hpp"
#include "common/owned.hpp"
#include "common/tarnix.hpp"
#include "common/threads.hpp"

namespace tarnix {

// --- Module state -----------------------------------------------------------

struct ColamdState : ModuleState {
    PyObject* error;
    PyObject* value_error;
    PyObject* memory_error;
    PyObject* internal_error;
    PyObject* stats_record;
    PyObject* status_messages;
    bool assertions;
    static constexpr PyObject* ColamdState::*objects[] = {
        &ColamdState::error,        &ColamdState::value_error,  &ColamdState::memory_error,
        &ColamdState::internal_error, &ColamdState::stats_record, &ColamdState::status_messages};
};

// --- Signatures ---------------------------------------------------------------

// The position of parameter `name` in a table, or -1.
template <size_t N>
constexpr int param_position(const Param (&params)[N], const char* name)
{
    for (size_t i = 0; i < N; ++i) {
        const char* a = params[i].name;
        const char* b = name;
        while (*a != '\0' && *a == *b) {
            ++a;
            ++b;
        }
        if (*a == *b) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// The argument at `position`, None for a parameter the signature lacks.
inline PyObject* arg_or_none(const Args& args, int position)
{
    return position < 0 ? Py_None : args[position];
}

// The tables of the private two-width functions: (M, N, Ap, Ai, perm, knobs,
// stats), with a trailing optional constraints for CCOLAMD, whose symmetric
// form takes no M.
inline constexpr Param colamd_private_params[] = {
    {"M"}, {"N"}, {"Ap"}, {"Ai"}, {"perm"}, {"knobs"}, {"stats"},
};
inline constexpr Param ccolamd_private_params[] = {
    {"M"}, {"N"}, {"Ap"}, {"Ai"}, {"perm"}, {"knobs"}, {"stats"}, {"constraints", Default::None},
};
inline constexpr Param csymamd_private_params[] = {
    {"N"}, {"Ap"}, {"Ai"}, {"perm"}, {"knobs"}, {"stats"}, {"constraints", Default::None},
};

template <bool Constrained, bool Symmetric>
constexpr const auto& colamd_private_table()
{
    if constexpr (!Constrained) {
        return colamd_private_params;
    }
    else if constexpr (Symmetric) {
        return csymamd_private_params;
    }
    else {
        return ccolamd_private_params;
    }
}

// --- The implementation --------------------------------------------------------

template <class Lib>
class ColamdFamily {
public:
    using State = ColamdState;

    // The public functions: Call is a struct with the parameter table
    // `params` and `symmetric` (0 or 1; ignored when the table has an
    // is_symmetric parameter, whose argument decides).
    template <class Call>
    static Ref py_order(PyObject* m, const Args& a)
    {
        constexpr int is_symmetric = param_position(Call::params, "is_symmetric");
        constexpr int return_info = param_position(Call::params, "return_info");
        const bool symmetric = is_symmetric >= 0 ? truth(a[is_symmetric]) : Call::symmetric != 0;
        const bool info = truth(a[return_info]);
        const Options opt{arg_or_none(a, param_position(Call::params, "constraints")),
                          a[param_position(Call::params, "dense_row_thresh")],
                          a[param_position(Call::params, "dense_col_thresh")],
                          a[param_position(Call::params, "aggressive")],
                          arg_or_none(a, param_position(Call::params, "opt_lu"))};
        return order(m, a[0], symmetric, opt, info);
    }

    // The private two-width functions (see the parameter tables above).
    template <bool Symmetric>
    static Ref py_private(PyObject* m, const Args& a)
    {
        constexpr const auto& params = colamd_private_table<Lib::constrained, Symmetric>();
        constexpr int at_M = param_position(params, "M");
        constexpr int at_N = param_position(params, "N");
        constexpr int at_Ap = param_position(params, "Ap");
        constexpr int at_Ai = param_position(params, "Ai");
        constexpr int at_perm = param_position(params, "perm");
        constexpr int at_knobs = param_position(params, "knobs");
        constexpr int at_stats = param_position(params, "stats");
        constexpr int at_constraints = param_position(params, "constraints");
        const State& st = module_state<State>(m);
        const long long M = at_M >= 0 ? as_int64(a[at_M]) : 0;
        const long long N = as_int64(a[at_N]);
        dispatch_index_width(a[at_Ap], [&](auto index) {
            using I = decltype(index);
            auto arrays = ColamdArrays<I>::view(a[at_Ap], a[at_Ai], a[at_perm], a[at_stats]);
            Vector<double> knobs(a[at_knobs], "knobs");
            auto cmember = private_constraints<I>(a, at_constraints);
            if constexpr (Symmetric) {
                run_symmetric(st, N, arrays, knobs.data(), knobs.size(), cmember);
            }
            else {
                run_order(st, M, N, arrays, knobs.data(), knobs.size(), cmember);
            }
        });
        return Ref::none();
    }

    static Ref py_get_defaults(PyObject*, const Args&)
    {
        Ref knobs = zeros(Lib::nknobs, NPY_DOUBLE);
        Lib::set_defaults(data_of<double>(knobs));
        Ref result = check(PyDict_New());
        const char* keys[] = {surface::dense_row_thresh, surface::dense_col_thresh, surface::aggressive};
        for (Py_ssize_t i = 0; i < 3; ++i) {
            Ref value = check(PySequence_GetItem(knobs.get(), i));
            check_status(PyDict_SetItemString(result.get(), keys[i], value.get()));
        }
        if constexpr (Lib::lu_knob >= 0) {
            const bool lu = data_of<double>(knobs)[Lib::lu_knob] != 0.0;
            Ref opt_lu = new_string(lu ? surface::opt_lu_lu : surface::opt_lu_cholesky);
            check_status(PyDict_SetItemString(result.get(), surface::opt_lu, opt_lu.get()));
        }
        return result;
    }

    static constexpr FunctionDef private_order_def =
        function(Lib::private_order_name, py_private<false>, colamd_private_table<Lib::constrained, false>())
            .with_doc(Lib::private_order_doc)
            .dispatch_on("Ap");
    static constexpr FunctionDef private_symmetric_def =
        function(Lib::private_symmetric_name, py_private<true>, colamd_private_table<Lib::constrained, true>())
            .with_doc(Lib::private_symmetric_doc)
            .dispatch_on("Ap");

    // The module's own objects: numpy as np, dataclass, validate_csc_input,
    // the exception family, the stats record; and the private functions.
    static void add_library(PyObject* m, const RecordDef& stats)
    {
        State& st = module_state<State>(m);
        add_object(m, surface::numpy_alias, import_module("numpy").get());
        add_object(m, surface::dataclass_name, import_attr("dataclasses", "dataclass").get());
        add_object(m, surface::validate_csc_input, import_relative(m, "utils", "validate_csc_input").get());
        st.assertions = assertions_enabled();
        ColamdExceptions exceptions = add_colamd_exceptions(m, Lib::name);
        st.error = exceptions.error.release();
        st.value_error = exceptions.value_error.release();
        st.memory_error = exceptions.memory_error.release();
        st.internal_error = exceptions.internal_error.release();
        st.status_messages = new_colamd_status_messages().release();
        st.stats_record = add_record(m, stats).release();
        add_function(m, private_order_def);
        add_function(m, private_symmetric_def);
    }

private:
    struct Options {
        PyObject* constraints;
        PyObject* dense_row_thresh;
        PyObject* dense_col_thresh;
        PyObject* aggressive;
        PyObject* opt_lu;
    };

    // The constraint sets of a private call; none without a constraints parameter.
    template <class I>
    static Vector<I> private_constraints(const Args& a, int position)
    {
        if constexpr (Lib::constrained) {
            return Vector<I>::optional(a[position], "constraints");
        }
        else {
            static_cast<void>(a);
            static_cast<void>(position);
            return Vector<I>();
        }
    }

    static StatusFamily status_family(const State& st)
    {
        return StatusFamily{Lib::name,          st.error,           st.value_error, st.memory_error,
                            st.internal_error, st.status_messages, st.assertions};
    }

    // The knobs of a public call: the defaults, then the caller's options.
    static void options_knobs(double (&knobs)[Lib::nknobs], const Options& opt)
    {
        Lib::set_defaults(knobs);
        set_threshold_knob(knobs, engine::colamd_layout::dense_row, opt.dense_row_thresh);
        set_threshold_knob(knobs, engine::colamd_layout::dense_col, opt.dense_col_thresh);
        set_flag_knob(knobs, engine::colamd_layout::aggressive, opt.aggressive);
        if constexpr (Lib::lu_knob >= 0) {
            if (opt.opt_lu != Py_None) {
                knobs[Lib::lu_knob] = Lib::lu_knob_value(opt.opt_lu);
            }
        }
    }

    static Ref order(PyObject* m, PyObject* A, bool symmetric, const Options& opt, bool return_info)
    {
        const State& st = module_state<State>(m);
        CscInput in = coerce_csc(m, A, CoerceCall::Positional, symmetric);
        if (Ref trivial = colamd_trivial_ordering(in, symmetric)) {
            return trivial;
        }
        double knobs[Lib::nknobs] = {};
        options_knobs(knobs, opt);
        PyObject* dtype = in.index_dtype.get();
        Ref constraints = opt.constraints == Py_None
                              ? Ref::none()
                              : convert_constraints(opt.constraints, dtype, Conversion::AsArray);
        const long long M = in.nrows;
        const long long N = in.ncols;
        Ref perm = zeros(N + 1, dtype);
        Ref stats = zeros(Lib::nstats, dtype);
        Ref indptr = csc_attribute(m, in.matrix.get(), CscName::Indptr);
        Ref indices = csc_attribute(m, in.matrix.get(), CscName::Indices);
        dispatch_index_width(indptr.get(), [&](auto index) {
            using I = decltype(index);
            auto arrays = ColamdArrays<I>::view(indptr.get(), indices.get(), perm.get(), stats.get());
            auto cmember = Vector<I>::optional(constraints.get(), "constraints");
            if (symmetric) {
                run_symmetric(st, N, arrays, knobs, Lib::nknobs, cmember);
            }
            else {
                run_order(st, M, N, arrays, knobs, Lib::nknobs, cmember);
            }
        });
        Ref q = slice(perm.get(), 0, N);
        if (!return_info) {
            return q;
        }
        Ref record = record_from_array(st.stats_record, stats.get());
        return check(PyTuple_Pack(2, q.get(), record.get()));
    }

    template <class I>
    static void check_arrays(const ColamdArrays<I>& a, long long N, const double* knobs, Py_ssize_t nknobs,
                             const Vector<I>& constraints)
    {
        a.check(N, nknobs, Lib::nstats, Lib::nknobs, Lib::name);
        a.require_disjoint_outputs(knobs_span(knobs, nknobs), span_of(constraints, "constraints"));
    }

    // The calls below hand the engine arrays they own (see common/owned.hpp)
    // and run it with the interpreter lock released unless the call is small:
    // the permutation and the stats are written to owned arrays and copied
    // into the caller's afterwards; the constraint sets are checked on their
    // copy.

    // The unsymmetric ordering overwrites its input: the row indices go into
    // a work array of the recommended length, the column pointers into the
    // permutation. The library checks both itself before reading them.
    template <class I>
    static void run_order(const State& st, long long M, long long N, const ColamdArrays<I>& a, double* knobs,
                          Py_ssize_t nknobs, const Vector<I>& constraints)
    {
        check_arrays(a, N, knobs, nknobs, constraints);
        const Py_ssize_t nnz = a.Ai.size();
        const I n_row = narrow_size<I>(M, "M");
        const I n_col = narrow_size<I>(N, "N");
        const auto& lib = Lib::routines.template get<I>();
        const I alen = static_cast<I>(lib.recommended(narrow_size<I>(nnz, "nnz"), n_row, n_col));
        if (alen == 0) {
            raise(PyExc_ValueError, surface::recommended_alen_zero);
        }
        if (alen < nnz) {
            raise(st.error, surface::recommended_alen_small);
        }
        const bool release = releases_lock(nnz, N);
        const Owned<I> owned_cmember = owned_constraints(constraints, N);
        const auto work = with_workspace(WorkspaceFor{st.memory_error, Lib::name, M, N}, 0.0,
                                         [&] { return engine::colamd_work_array(a.Ai.data(), nnz, alen); });
        // The permutation starts from the column pointers.
        const Owned<I> perm = Owned<I>::copy(a.Ap, N + 1, "perm");
        double safe_knobs[Lib::nknobs];
        checked_knobs<I>(safe_knobs, knobs, M, N);
        const engine::ColamdOrder<I> in{
            n_row, n_col, alen, work.get(), {perm.data(), safe_knobs, owned_cmember.or_caller(constraints).data()}};
        const auto out = run_library(release, [&] { return engine::colamd_order<Lib>(in); });
        finish(st, out, a, perm, N, false);
    }

    // The symmetric ordering reads Ap and Ai in place: it gets copies, whose
    // column pointers are checked again. CSYMAMD is given the lower triangle.
    template <class I>
    static void run_symmetric(const State& st, long long N, const ColamdArrays<I>& a, double* knobs,
                              Py_ssize_t nknobs, const Vector<I>& constraints)
    {
        check_arrays(a, N, knobs, nknobs, constraints);
        const bool release = releases_lock(a.Ai.size(), N);
        const Owned<I> owned_cmember = owned_constraints(constraints, N);
        const I n = narrow_size<I>(N, "N");
        double safe_knobs[Lib::nknobs];
        checked_knobs<I>(safe_knobs, knobs, N, N);
        const OwnedPointers<I> pattern = OwnedPointers<I>::copy_checked(a.Ap, a.Ai);
        const Owned<I> perm = Owned<I>::uninitialised(N + 1, "perm");
        const engine::ColamdSymmetric<I> in{
            n, pattern.Ap.data(), pattern.Ai.data(), {perm.data(), safe_knobs, owned_cmember.or_caller(constraints).data()}};
        const auto out = run_library(release, [&] { return engine::colamd_symmetric<Lib>(in); });
        finish(st, out, a, perm, N, true);
    }

    // A copy of the constraint sets, checked (none for COLAMD).
    template <class I>
    static Owned<I> owned_constraints(const Vector<I>& constraints, long long N)
    {
        if constexpr (Lib::constrained) {
            Owned<I> cmember = Owned<I>::copy_optional(constraints, "constraints");
            require_constraints(cmember.or_caller(constraints), N);
            return cmember;
        }
        else {
            static_cast<void>(constraints);
            static_cast<void>(N);
            return Owned<I>{};
        }
    }

    // The library's results into the caller's arrays, then its status. The
    // permutation of a failed symmetric call was never written: the caller's
    // array is left as it was.
    template <class I>
    static void finish(const State& st, const engine::ColamdOutcome<Lib, I>& out, const ColamdArrays<I>& a,
                       const Owned<I>& perm, long long N, bool symmetric)
    {
        if (perm.array && (out.ok || !symmetric)) {
            perm.copy_to(a.perm, static_cast<Py_ssize_t>(N + 1));
        }
        std::copy_n(out.stats, Lib::nstats, a.stats.data());
        handle_colamd_status(status_family(st), out.ok, out.stats[engine::colamd_layout::status]);
    }
};

// The statistics record of both libraries.
inline constexpr RecordField colamd_stats_fields[] = {
    {"N_rows_ignored", "int", engine::colamd_layout::dense_row},
    {"N_cols_ignored", "int", engine::colamd_layout::dense_col},
    {"Ncmpa", "int", engine::colamd_layout::defrag_count},
    {"status", "int", engine::colamd_layout::status},
    {"info1", "int", engine::colamd_layout::info1},
    {"info2", "int", engine::colamd_layout::info2},
    {"info3", "int", engine::colamd_layout::info3},
};

}  // namespace tarnix
