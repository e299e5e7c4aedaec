// tarnix.ccolamd: constrained column approximate minimum degree orderings
// with CCOLAMD and CSYMAMD.
//
// The public functions coerce their input with tarnix.utils, answer trivial
// shapes themselves, prepare the knobs, stats and constraint sets, and call
// the two-width functions _ccolamd and _csymamd, which call ccolamd/csymamd
// (32-bit indices) or ccolamd_l/csymamd_l (64-bit indices).

#include "common/ordering.hpp"
#include "common/tarnix.hpp"

#include "ccolamd/docstrings.hpp"

#include <ccolamd.h>

#include <cstdlib>
#include <cstring>

namespace {

using namespace tarnix;

// ---------------------------------------------------------------------------
// Module state

struct State : ModuleState {
    PyObject* CCOLAMDError;
    PyObject* CCOLAMDValueError;
    PyObject* CCOLAMDMemoryError;
    PyObject* CCOLAMDInternalError;
    PyObject* CCOLAMDStats;
    PyObject* status_messages;
    bool assertions;
    static constexpr PyObject* State::*objects[] = {&State::CCOLAMDError,       &State::CCOLAMDValueError,
                                                    &State::CCOLAMDMemoryError, &State::CCOLAMDInternalError,
                                                    &State::CCOLAMDStats,       &State::status_messages};
};

// ---------------------------------------------------------------------------
// Library calls

template <class I>
struct Ccolamd;

template <>
struct Ccolamd<int32_t> {
    static size_t recommended(int32_t nnz, int32_t m, int32_t n) { return ccolamd_recommended(nnz, m, n); }
    static int order(int32_t m, int32_t n, int32_t alen, int32_t* A, int32_t* p, double* knobs, int32_t* stats,
                     int32_t* cmember)
    {
        return ccolamd(m, n, alen, A, p, knobs, stats, cmember);
    }
    // stype -1: the library reads the lower triangle.
    static int symmetric(int32_t n, int32_t* A, int32_t* p, int32_t* perm, double* knobs, int32_t* stats,
                         int32_t* cmember)
    {
        return csymamd(n, A, p, perm, knobs, stats, library_calloc, library_free, cmember, -1);
    }
};

template <>
struct Ccolamd<int64_t> {
    static size_t recommended(int64_t nnz, int64_t m, int64_t n) { return ccolamd_l_recommended(nnz, m, n); }
    static int order(int64_t m, int64_t n, int64_t alen, int64_t* A, int64_t* p, double* knobs, int64_t* stats,
                     int64_t* cmember)
    {
        return ccolamd_l(m, n, alen, A, p, knobs, stats, cmember);
    }
    static int symmetric(int64_t n, int64_t* A, int64_t* p, int64_t* perm, double* knobs, int64_t* stats,
                         int64_t* cmember)
    {
        return csymamd_l(n, A, p, perm, knobs, stats, library_calloc, library_free, cmember, -1);
    }
};

StatusFamily status_family(const State& st)
{
    return StatusFamily{"CCOLAMD", st.CCOLAMDError, st.CCOLAMDValueError, st.CCOLAMDMemoryError, st.CCOLAMDInternalError,
                        st.status_messages, st.assertions};
}

template <class I>
void check_arrays(const ColamdArrays<I>& a, long long N, const double* knobs, Py_ssize_t nknobs,
                  const Vector<I>& constraints)
{
    a.check(N, nknobs, CCOLAMD_STATS, CCOLAMD_KNOBS, "CCOLAMD");
    a.require_disjoint_outputs(knobs_span(knobs, nknobs), span_of(constraints, "constraints"));
}

// CCOLAMD overwrites its input: the row indices go into a work array of the
// recommended length, the column pointers into perm.
template <class I>
void run_ccolamd(const State& st, long long M, long long N, const ColamdArrays<I>& a, double* knobs,
                 Py_ssize_t nknobs, const Vector<I>& constraints)
{
    check_arrays(a, N, knobs, nknobs, constraints);
    const Py_ssize_t nnz = a.Ai.size();
    const I n_row = narrow_size<I>(M, "M");
    const I n_col = narrow_size<I>(N, "N");
    const I alen = static_cast<I>(Ccolamd<I>::recommended(narrow_size<I>(nnz, "nnz"), n_row, n_col));
    if (alen == 0) {
        raise(PyExc_ValueError, "Recommended Alen is zero: one of {A.nnz, M, N} is erroneous.");
    }
    if (alen < nnz) {
        raise(st.CCOLAMDError, "Recommended Alen is less than nnz.");
    }
    require_constraints(constraints, N);
    auto work = colamd_work_array(a.Ai, alen);
    I* Ai_work = work.get();
    std::memcpy(a.perm.data(), a.Ap.data(), static_cast<size_t>(N + 1) * sizeof(I));
    double safe_knobs[CCOLAMD_KNOBS];
    library_knobs<I>(safe_knobs, knobs, M, N);
    const int ok = Ccolamd<I>::order(n_row, n_col, alen, Ai_work, a.perm.data(), safe_knobs, a.stats.data(),
                                     constraints.data());
    handle_colamd_status(status_family(st), ok, a.stats[CCOLAMD_STATUS]);
}

// CSYMAMD reads Ap and Ai in place.
template <class I>
void run_csymamd(const State& st, long long N, const ColamdArrays<I>& a, double* knobs, Py_ssize_t nknobs,
                 const Vector<I>& constraints)
{
    check_arrays(a, N, knobs, nknobs, constraints);
    require_constraints(constraints, N);
    const I n = narrow_size<I>(N, "N");
    double safe_knobs[CCOLAMD_KNOBS];
    library_knobs<I>(safe_knobs, knobs, N, N);
    const int ok = Ccolamd<I>::symmetric(n, a.Ai.data(), a.Ap.data(), a.perm.data(), safe_knobs, a.stats.data(),
                                         constraints.data());
    handle_colamd_status(status_family(st), ok, a.stats[CCOLAMD_STATUS]);
}

// ---------------------------------------------------------------------------
// Python functions

// knobs[CCOLAMD_LU] for opt_lu "lu" or "cholesky", compared as Python does.
double opt_lu_knob(PyObject* opt_lu)
{
    Ref lu = new_string("lu");
    if (check_status(PyObject_RichCompareBool(opt_lu, lu.get(), Py_EQ))) {
        return 1.0;
    }
    Ref cholesky = new_string("cholesky");
    if (check_status(PyObject_RichCompareBool(opt_lu, cholesky.get(), Py_EQ))) {
        return 0.0;
    }
    raise(PyExc_ValueError, "opt_lu must be either 'lu' or 'cholesky'.");
}

struct Options {
    PyObject* constraints;
    PyObject* dense_row_thresh;
    PyObject* dense_col_thresh;
    PyObject* aggressive;
    PyObject* opt_lu;
};

// _ccolamd_base(A, *, constraints, is_symmetric, dense_row_thresh,
//               dense_col_thresh, aggressive, opt_lu, return_info)
Ref ccolamd_base(PyObject* m, PyObject* A, bool symmetric, const Options& opt, bool return_info)
{
    const State& st = module_state<State>(m);
    CscInput in = coerce_csc(m, A, CoerceCall::Positional, symmetric);
    if (Ref trivial = colamd_trivial_ordering(in, symmetric)) {
        return trivial;
    }
    double knobs[CCOLAMD_KNOBS] = {};
    ccolamd_set_defaults(knobs);
    set_threshold_knob(knobs, CCOLAMD_DENSE_ROW, opt.dense_row_thresh);
    set_threshold_knob(knobs, CCOLAMD_DENSE_COL, opt.dense_col_thresh);
    set_flag_knob(knobs, CCOLAMD_AGGRESSIVE, opt.aggressive);
    if (opt.opt_lu != Py_None) {
        knobs[CCOLAMD_LU] = opt_lu_knob(opt.opt_lu);
    }
    PyObject* dtype = in.index_dtype.get();
    Ref constraints = opt.constraints == Py_None
                          ? Ref::none()
                          : convert_constraints(opt.constraints, dtype, Conversion::AsArray);

    const long long M = in.nrows;
    const long long N = in.ncols;
    Ref perm = zeros(N + 1, dtype);
    Ref stats = zeros(CCOLAMD_STATS, dtype);
    Ref indptr = check(PyObject_GetAttrString(in.matrix.get(), "indptr"));
    Ref indices = check(PyObject_GetAttrString(in.matrix.get(), "indices"));
    dispatch_index_width(indptr.get(), [&](auto index) {
        using I = decltype(index);
        auto arrays = ColamdArrays<I>::view(indptr.get(), indices.get(), perm.get(), stats.get());
        auto cmember = Vector<I>::optional(constraints.get(), "constraints");
        if (symmetric) {
            run_csymamd(st, N, arrays, knobs, CCOLAMD_KNOBS, cmember);
        }
        else {
            run_ccolamd(st, M, N, arrays, knobs, CCOLAMD_KNOBS, cmember);
        }
    });
    Ref q = slice(perm.get(), 0, N);
    if (!return_info) {
        return q;
    }
    Ref record = record_from_array(st.CCOLAMDStats, stats.get());
    return check(PyTuple_Pack(2, q.get(), record.get()));
}

Ref py_ccolamd_base(PyObject* m, const Args& a)
{
    const bool symmetric = truth(a[2]);
    const bool return_info = truth(a[7]);
    return ccolamd_base(m, a[0], symmetric, Options{a[1], a[3], a[4], a[5], a[6]}, return_info);
}

Ref py_ccolamd(PyObject* m, const Args& a)
{
    return ccolamd_base(m, a[0], false, Options{a[1], a[2], a[3], a[4], a[5]}, truth(a[6]));
}

Ref py_csymamd(PyObject* m, const Args& a)
{
    return ccolamd_base(m, a[0], true, Options{a[1], a[2], a[3], a[4], Py_None}, truth(a[5]));
}

// _ccolamd(M, N, Ap, Ai, perm, knobs, stats, constraints=None)
Ref py_private_ccolamd(PyObject* m, const Args& a)
{
    const State& st = module_state<State>(m);
    const long long M = as_int64(a[0]);
    const long long N = as_int64(a[1]);
    dispatch_index_width(a[2], [&](auto index) {
        using I = decltype(index);
        auto arrays = ColamdArrays<I>::view(a[2], a[3], a[4], a[6]);
        Vector<double> knobs(a[5], "knobs");
        auto cmember = Vector<I>::optional(a[7], "constraints");
        run_ccolamd(st, M, N, arrays, knobs.data(), knobs.size(), cmember);
    });
    return Ref::none();
}

// _csymamd(N, Ap, Ai, perm, knobs, stats, constraints=None)
Ref py_private_csymamd(PyObject* m, const Args& a)
{
    const State& st = module_state<State>(m);
    const long long N = as_int64(a[0]);
    dispatch_index_width(a[1], [&](auto index) {
        using I = decltype(index);
        auto arrays = ColamdArrays<I>::view(a[1], a[2], a[3], a[5]);
        Vector<double> knobs(a[4], "knobs");
        auto cmember = Vector<I>::optional(a[6], "constraints");
        run_csymamd(st, N, arrays, knobs.data(), knobs.size(), cmember);
    });
    return Ref::none();
}

Ref py_ccolamd_get_defaults(PyObject*, const Args&)
{
    Ref knobs = zeros(CCOLAMD_KNOBS, NPY_DOUBLE);
    ccolamd_set_defaults(data_of<double>(knobs));
    Ref result = check(PyDict_New());
    const char* keys[] = {"dense_row_thresh", "dense_col_thresh", "aggressive"};
    for (Py_ssize_t i = 0; i < 3; ++i) {
        Ref value = check(PySequence_GetItem(knobs.get(), i));
        check_status(PyDict_SetItemString(result.get(), keys[i], value.get()));
    }
    Ref opt_lu = new_string(data_of<double>(knobs)[CCOLAMD_LU] != 0.0 ? "lu" : "cholesky");
    check_status(PyDict_SetItemString(result.get(), "opt_lu", opt_lu.get()));
    return result;
}

// ---------------------------------------------------------------------------
// Function table

const Param ccolamd_params[] = {
    {"A"},
    {"constraints", Default::None},
    {"dense_row_thresh", Default::None},
    {"dense_col_thresh", Default::None},
    {"aggressive", Default::None},
    {"opt_lu", Default::None},
    {"return_info", Default::False},
};

const Param csymamd_params[] = {
    {"A"},
    {"constraints", Default::None},
    {"dense_row_thresh", Default::None},
    {"dense_col_thresh", Default::None},
    {"aggressive", Default::None},
    {"return_info", Default::False},
};

const Param base_params[] = {
    {"A"},
    kwonly("constraints", Default::None),
    kwonly("is_symmetric", Default::False),
    kwonly("dense_row_thresh", Default::None),
    kwonly("dense_col_thresh", Default::None),
    kwonly("aggressive", Default::None),
    kwonly("opt_lu", Default::None),
    kwonly("return_info", Default::False),
};

const Param private_ccolamd_params[] = {
    {"M"}, {"N"}, {"Ap"}, {"Ai"}, {"perm"}, {"knobs"}, {"stats"}, {"constraints", Default::None},
};

const Param private_csymamd_params[] = {
    {"N"}, {"Ap"}, {"Ai"}, {"perm"}, {"knobs"}, {"stats"}, {"constraints", Default::None},
};

const FunctionDef ccolamd_base_def{"_ccolamd_base", py_ccolamd_base, base_params, count(base_params),
                                   ccolamd_docs::base};
const FunctionDef ccolamd_private_def{"_ccolamd", py_private_ccolamd, private_ccolamd_params,
                                      count(private_ccolamd_params), ccolamd_docs::private_ccolamd, 2, 7};
const FunctionDef csymamd_private_def{"_csymamd", py_private_csymamd, private_csymamd_params,
                                      count(private_csymamd_params), ccolamd_docs::private_csymamd, 1, 6};
const FunctionDef ccolamd_def{"ccolamd", py_ccolamd, ccolamd_params, count(ccolamd_params)};
const FunctionDef csymamd_def{"csymamd", py_csymamd, csymamd_params, count(csymamd_params)};
const FunctionDef get_defaults_def{"ccolamd_get_defaults", py_ccolamd_get_defaults, nullptr, 0,
                                   ccolamd_docs::get_defaults};

const RecordField stats_fields[] = {
    {"N_rows_ignored", "int", CCOLAMD_DENSE_ROW},
    {"N_cols_ignored", "int", CCOLAMD_DENSE_COL},
    {"Ncmpa", "int", CCOLAMD_DEFRAG_COUNT},
    {"status", "int", CCOLAMD_STATUS},
    {"info1", "int", CCOLAMD_INFO1},
    {"info2", "int", CCOLAMD_INFO2},
    {"info3", "int", CCOLAMD_INFO3},
};
const RecordDef stats_def{"CCOLAMDStats", ccolamd_docs::stats, "stats", stats_fields, 7};

// ---------------------------------------------------------------------------
// Module initialisation

void exec_body(PyObject* m)
{
    State& st = module_state<State>(m);
    add_object(m, "np", import_module("numpy").get());
    add_object(m, "dataclass", import_attr("dataclasses", "dataclass").get());
    add_object(m, "validate_csc_input", import_relative(m, "utils", "validate_csc_input").get());
    set_all(m, {"CCOLAMDError", "CCOLAMDValueError", "CCOLAMDMemoryError", "CCOLAMDInternalError",
                "CCOLAMDStats", "ccolamd", "csymamd", "ccolamd_get_defaults"});

    st.assertions = assertions_enabled();
    ColamdExceptions exceptions = add_colamd_exceptions(m, "CCOLAMD");
    st.CCOLAMDError = exceptions.error.release();
    st.CCOLAMDValueError = exceptions.value_error.release();
    st.CCOLAMDMemoryError = exceptions.memory_error.release();
    st.CCOLAMDInternalError = exceptions.internal_error.release();
    st.status_messages = new_colamd_status_messages().release();
    st.CCOLAMDStats = add_record(m, stats_def).release();

    add_function(m, ccolamd_base_def);
    add_function(m, ccolamd_private_def);
    add_function(m, csymamd_private_def);
    Ref ccolamd_fn = add_function(m, ccolamd_def);
    Ref csymamd_fn = add_function(m, csymamd_def);

    Ref doc_template = add_string(m, "_CCOLAMD_DOC_TEMPLATE", ccolamd_docs::doc_template);
    Ref opt_lu = add_string(m, "ccolamd_opt_lu_param", ccolamd_docs::ccolamd_opt_lu_param);
    Ref no_opt_lu = new_string("");
    set_ordering_doc(m, ccolamd_fn.get(), doc_template.get(),
                     {{"ccolamd_reftag", ccolamd_docs::ccolamd_reftag}, "ccolamd_intro", ccolamd_docs::ccolamd_lead,
                      ccolamd_docs::ccolamd_description, {"ccolamd_A_param", ccolamd_docs::ccolamd_A_param},
                      {"_ccolamd_example", ccolamd_docs::ccolamd_example},
                      "csymamd, ~tarnix.colamd.colamd, ~tarnix.colamd.symamd"},
                     {{"opt_lu_param", opt_lu.get()}});
    set_ordering_doc(m, csymamd_fn.get(), doc_template.get(),
                     {{"csymamd_reftag", ccolamd_docs::csymamd_reftag}, "csymamd_intro", ccolamd_docs::csymamd_lead,
                      ccolamd_docs::csymamd_description, {"csymamd_A_param", ccolamd_docs::csymamd_A_param},
                      {"_csymamd_example", ccolamd_docs::csymamd_example},
                      "ccolamd, ~tarnix.colamd.colamd, ~tarnix.colamd.symamd"},
                     {{"opt_lu_param", no_opt_lu.get()}});

    add_function(m, get_defaults_def);
    Ref tests = check(PyDict_New());
    add_object(m, "__test__", tests.get());
}

}  // namespace

TARNIX_MODULE(ccolamd, ccolamd_docs::module, State, exec_body)
