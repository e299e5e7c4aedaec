// tarnix.colamd: column approximate minimum degree orderings with COLAMD and
// SYMAMD.
//
// The public functions coerce their input with tarnix.utils, answer trivial
// shapes themselves, prepare the knobs and stats, and call the two-width
// functions _colamd and _symamd, which call colamd/symamd (32-bit indices) or
// colamd_l/symamd_l (64-bit indices).

#include "common/ordering.hpp"
#include "common/tarnix.hpp"

#include "colamd/docstrings.hpp"

#include <colamd.h>

#include <cstdlib>
#include <cstring>

namespace {

using namespace tarnix;

// ---------------------------------------------------------------------------
// Module state

struct State : ModuleState {
    PyObject* COLAMDError;
    PyObject* COLAMDValueError;
    PyObject* COLAMDMemoryError;
    PyObject* COLAMDInternalError;
    PyObject* COLAMDStats;
    PyObject* status_messages;
    bool assertions;
    static constexpr PyObject* State::*objects[] = {&State::COLAMDError,         &State::COLAMDValueError,
                                                    &State::COLAMDMemoryError,   &State::COLAMDInternalError,
                                                    &State::COLAMDStats,         &State::status_messages};
};

// ---------------------------------------------------------------------------
// Library calls

template <class I>
struct Colamd;

template <>
struct Colamd<int32_t> {
    static size_t recommended(int32_t nnz, int32_t m, int32_t n) { return colamd_recommended(nnz, m, n); }
    static int order(int32_t m, int32_t n, int32_t alen, int32_t* A, int32_t* p, double* knobs, int32_t* stats)
    {
        return colamd(m, n, alen, A, p, knobs, stats);
    }
    static int symmetric(int32_t n, int32_t* A, int32_t* p, int32_t* perm, double* knobs, int32_t* stats)
    {
        return symamd(n, A, p, perm, knobs, stats, library_calloc, library_free);
    }
};

template <>
struct Colamd<int64_t> {
    static size_t recommended(int64_t nnz, int64_t m, int64_t n) { return colamd_l_recommended(nnz, m, n); }
    static int order(int64_t m, int64_t n, int64_t alen, int64_t* A, int64_t* p, double* knobs, int64_t* stats)
    {
        return colamd_l(m, n, alen, A, p, knobs, stats);
    }
    static int symmetric(int64_t n, int64_t* A, int64_t* p, int64_t* perm, double* knobs, int64_t* stats)
    {
        return symamd_l(n, A, p, perm, knobs, stats, library_calloc, library_free);
    }
};

StatusFamily status_family(const State& st)
{
    return StatusFamily{"COLAMD", st.COLAMDError, st.COLAMDValueError, st.COLAMDMemoryError, st.COLAMDInternalError,
                        st.status_messages, st.assertions};
}

template <class I>
void check_arrays(const ColamdArrays<I>& a, long long N, const double* knobs, Py_ssize_t nknobs)
{
    a.check(N, nknobs, COLAMD_STATS, COLAMD_KNOBS, "COLAMD");
    a.require_disjoint_outputs(knobs_span(knobs, nknobs), MemorySpan{"constraints", 0, 0});
}

// COLAMD overwrites its input: the row indices go into a work array of the
// recommended length, the column pointers into perm.
template <class I>
void run_colamd(const State& st, long long M, long long N, const ColamdArrays<I>& a, double* knobs,
                Py_ssize_t nknobs)
{
    check_arrays(a, N, knobs, nknobs);
    const Py_ssize_t nnz = a.Ai.size();
    const I n_row = narrow_size<I>(M, "M");
    const I n_col = narrow_size<I>(N, "N");
    const I alen = static_cast<I>(Colamd<I>::recommended(narrow_size<I>(nnz, "nnz"), n_row, n_col));
    if (alen == 0) {
        raise(PyExc_ValueError, "Recommended Alen is zero: one of {A.nnz, M, N} is erroneous.");
    }
    if (alen < nnz) {
        raise(st.COLAMDError, "Recommended Alen is less than nnz.");
    }
    auto work = colamd_work_array(a.Ai, alen);
    I* Ai_work = work.get();
    std::memcpy(a.perm.data(), a.Ap.data(), static_cast<size_t>(N + 1) * sizeof(I));
    double safe_knobs[COLAMD_KNOBS];
    library_knobs<I>(safe_knobs, knobs, M, N);
    const int ok = Colamd<I>::order(n_row, n_col, alen, Ai_work, a.perm.data(), safe_knobs, a.stats.data());
    handle_colamd_status(status_family(st), ok, a.stats[COLAMD_STATUS]);
}

// SYMAMD reads Ap and Ai in place.
template <class I>
void run_symamd(const State& st, long long N, const ColamdArrays<I>& a, double* knobs, Py_ssize_t nknobs)
{
    check_arrays(a, N, knobs, nknobs);
    const I n = narrow_size<I>(N, "N");
    double safe_knobs[COLAMD_KNOBS];
    library_knobs<I>(safe_knobs, knobs, N, N);
    const int ok = Colamd<I>::symmetric(n, a.Ai.data(), a.Ap.data(), a.perm.data(), safe_knobs, a.stats.data());
    handle_colamd_status(status_family(st), ok, a.stats[COLAMD_STATUS]);
}

// ---------------------------------------------------------------------------
// Python functions

// _colamd_base(A, *, is_symmetric, dense_row_thresh, dense_col_thresh, aggressive, return_info)
Ref colamd_base(PyObject* m, PyObject* A, bool symmetric, PyObject* dense_row_thresh, PyObject* dense_col_thresh,
                PyObject* aggressive, bool return_info)
{
    const State& st = module_state<State>(m);
    CscInput in = coerce_csc(m, A, CoerceCall::Positional, symmetric);
    if (Ref trivial = colamd_trivial_ordering(in, symmetric)) {
        return trivial;
    }
    double knobs[COLAMD_KNOBS] = {};
    colamd_set_defaults(knobs);
    set_threshold_knob(knobs, COLAMD_DENSE_ROW, dense_row_thresh);
    set_threshold_knob(knobs, COLAMD_DENSE_COL, dense_col_thresh);
    set_flag_knob(knobs, COLAMD_AGGRESSIVE, aggressive);

    const long long M = in.nrows;
    const long long N = in.ncols;
    Ref perm = zeros(N + 1, in.index_dtype.get());
    Ref stats = zeros(COLAMD_STATS, in.index_dtype.get());
    Ref indptr = check(PyObject_GetAttrString(in.matrix.get(), "indptr"));
    Ref indices = check(PyObject_GetAttrString(in.matrix.get(), "indices"));
    dispatch_index_width(indptr.get(), [&](auto index) {
        using I = decltype(index);
        auto arrays = ColamdArrays<I>::view(indptr.get(), indices.get(), perm.get(), stats.get());
        if (symmetric) {
            run_symamd(st, N, arrays, knobs, COLAMD_KNOBS);
        }
        else {
            run_colamd(st, M, N, arrays, knobs, COLAMD_KNOBS);
        }
    });
    Ref q = slice(perm.get(), 0, N);
    if (!return_info) {
        return q;
    }
    Ref record = record_from_array(st.COLAMDStats, stats.get());
    return check(PyTuple_Pack(2, q.get(), record.get()));
}

Ref py_colamd_base(PyObject* m, const Args& a)
{
    const bool symmetric = truth(a[1]);
    const bool return_info = truth(a[5]);
    return colamd_base(m, a[0], symmetric, a[2], a[3], a[4], return_info);
}

Ref py_colamd(PyObject* m, const Args& a)
{
    return colamd_base(m, a[0], false, a[1], a[2], a[3], truth(a[4]));
}

Ref py_symamd(PyObject* m, const Args& a)
{
    return colamd_base(m, a[0], true, a[1], a[2], a[3], truth(a[4]));
}

// _colamd(M, N, Ap, Ai, perm, knobs, stats) and _symamd(...)
template <bool Symmetric>
Ref py_private(PyObject* m, const Args& a)
{
    const State& st = module_state<State>(m);
    const long long M = as_int64(a[0]);
    const long long N = as_int64(a[1]);
    dispatch_index_width(a[2], [&](auto index) {
        using I = decltype(index);
        auto arrays = ColamdArrays<I>::view(a[2], a[3], a[4], a[6]);
        Vector<double> knobs(a[5], "knobs");
        if constexpr (Symmetric) {
            run_symamd(st, N, arrays, knobs.data(), knobs.size());
        }
        else {
            run_colamd(st, M, N, arrays, knobs.data(), knobs.size());
        }
    });
    return Ref::none();
}

Ref py_colamd_get_defaults(PyObject*, const Args&)
{
    Ref knobs = zeros(COLAMD_KNOBS, NPY_DOUBLE);
    colamd_set_defaults(data_of<double>(knobs));
    Ref result = check(PyDict_New());
    const char* keys[] = {"dense_row_thresh", "dense_col_thresh", "aggressive"};
    for (Py_ssize_t i = 0; i < 3; ++i) {
        Ref value = check(PySequence_GetItem(knobs.get(), i));
        check_status(PyDict_SetItemString(result.get(), keys[i], value.get()));
    }
    return result;
}

// ---------------------------------------------------------------------------
// Function table

const Param ordering_params[] = {
    {"A"},
    {"dense_row_thresh", Default::None},
    {"dense_col_thresh", Default::None},
    {"aggressive", Default::None},
    {"return_info", Default::False},
};

const Param base_params[] = {
    {"A"},
    kwonly("is_symmetric", Default::False),
    kwonly("dense_row_thresh", Default::None),
    kwonly("dense_col_thresh", Default::None),
    kwonly("aggressive", Default::None),
    kwonly("return_info", Default::False),
};

const Param private_params[] = {
    {"M"}, {"N"}, {"Ap"}, {"Ai"}, {"perm"}, {"knobs"}, {"stats"},
};

const FunctionDef colamd_base_def{"_colamd_base", py_colamd_base, base_params, count(base_params),
                                  colamd_docs::base};
const FunctionDef colamd_private_def{"_colamd", py_private<false>, private_params, count(private_params),
                                     colamd_docs::private_colamd, 2, 7};
const FunctionDef symamd_private_def{"_symamd", py_private<true>, private_params, count(private_params),
                                     colamd_docs::private_symamd, 2, 7};
const FunctionDef colamd_def{"colamd", py_colamd, ordering_params, count(ordering_params)};
const FunctionDef symamd_def{"symamd", py_symamd, ordering_params, count(ordering_params)};
const FunctionDef get_defaults_def{"colamd_get_defaults", py_colamd_get_defaults, nullptr, 0,
                                   colamd_docs::get_defaults};

const RecordField stats_fields[] = {
    {"N_rows_ignored", "int", COLAMD_DENSE_ROW},
    {"N_cols_ignored", "int", COLAMD_DENSE_COL},
    {"Ncmpa", "int", COLAMD_DEFRAG_COUNT},
    {"status", "int", COLAMD_STATUS},
    {"info1", "int", COLAMD_INFO1},
    {"info2", "int", COLAMD_INFO2},
    {"info3", "int", COLAMD_INFO3},
};
const RecordDef stats_def{"COLAMDStats", colamd_docs::stats, "stats", stats_fields, 7};

// ---------------------------------------------------------------------------
// Module initialisation

void exec_body(PyObject* m)
{
    State& st = module_state<State>(m);
    add_object(m, "np", import_module("numpy").get());
    add_object(m, "dataclass", import_attr("dataclasses", "dataclass").get());
    add_object(m, "validate_csc_input", import_relative(m, "utils", "validate_csc_input").get());
    set_all(m, {"COLAMDError", "COLAMDValueError", "COLAMDMemoryError", "COLAMDInternalError", "COLAMDStats",
                "colamd", "symamd", "colamd_get_defaults"});

    st.assertions = assertions_enabled();
    ColamdExceptions exceptions = add_colamd_exceptions(m, "COLAMD");
    st.COLAMDError = exceptions.error.release();
    st.COLAMDValueError = exceptions.value_error.release();
    st.COLAMDMemoryError = exceptions.memory_error.release();
    st.COLAMDInternalError = exceptions.internal_error.release();
    st.status_messages = new_colamd_status_messages().release();
    st.COLAMDStats = add_record(m, stats_def).release();

    add_function(m, colamd_base_def);
    add_function(m, colamd_private_def);
    add_function(m, symamd_private_def);
    Ref colamd_fn = add_function(m, colamd_def);
    Ref symamd_fn = add_function(m, symamd_def);

    Ref doc_template = add_string(m, "_COLAMD_DOC_TEMPLATE", colamd_docs::doc_template);
    set_ordering_doc(m, colamd_fn.get(), doc_template.get(),
                     {{"_colamd_reftag", colamd_docs::colamd_reftag}, "_colamd_intro", colamd_docs::colamd_lead,
                      colamd_docs::colamd_description, {"_colamd_A_param", colamd_docs::colamd_A_param},
                      {"_colamd_example", colamd_docs::colamd_example},
                      "symamd, ~tarnix.ccolamd.ccolamd, ~tarnix.ccolamd.csymamd"});
    set_ordering_doc(m, symamd_fn.get(), doc_template.get(),
                     {{"_symamd_reftag", colamd_docs::symamd_reftag}, "_symamd_intro", colamd_docs::symamd_lead,
                      colamd_docs::symamd_description, {"_symamd_A_param", colamd_docs::symamd_A_param},
                      {"_symamd_example", colamd_docs::symamd_example},
                      "colamd, ~tarnix.ccolamd.ccolamd, ~tarnix.ccolamd.csymamd"});

    add_function(m, get_defaults_def);
    Ref tests = check(PyDict_New());
    add_object(m, "__test__", tests.get());
}

}  // namespace

TARNIX_MODULE(colamd, colamd_docs::module, State, exec_body)
