// tarnix.camd: constrained approximate minimum degree ordering with CAMD.
//
// camd coerces its input with tarnix.utils, answers empty matrices itself,
// prepares the Control and Info arrays and the constraint sets, and calls the
// two-width function _camd_order, which hands checked copies to the module's
// engine (camd/engine/camd.hpp: camd_order for 32-bit indices, camd_l_order
// for 64-bit ones) and maps the library's status.

#include "common/ordering.hpp"
#include "common/owned.hpp"
#include "common/tarnix.hpp"

#include "camd/docstrings.hpp"
#include "camd/engine/camd.hpp"
#include "camd/surface.hpp"

#include <algorithm>

namespace {

using namespace tarnix;

// ---------------------------------------------------------------------------
// Module state

struct State : ModuleState {
    PyObject* CAMDError;
    PyObject* CAMDInvalidMatrixError;
    PyObject* CAMDMemoryError;
    PyObject* CAMDInfo;
    static constexpr PyObject* State::*objects[] = {&State::CAMDError, &State::CAMDInvalidMatrixError,
                                                    &State::CAMDMemoryError, &State::CAMDInfo};
};

// ---------------------------------------------------------------------------
// Library calls

// The arrays of one call. Every one may be None (a null pointer): CAMD uses
// its defaults without Control, skips the statistics without Info, and
// returns CAMD_INVALID for a missing Ap, Ai or P before reading anything.
//   Ap[N+1], Ai[>=Ap[N]], p[>=N], constraints[N]; ctrl[>=5], info[>=20]
template <class I>
struct CamdArrays {
    Vector<I> Ap;
    Vector<I> Ai;
    Vector<I> p;
    Vector<double> ctrl;
    Vector<double> info;
    Vector<I> constraints;

    static CamdArrays view(PyObject* Ap, PyObject* Ai, PyObject* p, PyObject* ctrl, PyObject* info,
                           PyObject* constraints)
    {
        return CamdArrays{Vector<I>::optional(Ap, "Ap"),         Vector<I>::optional(Ai, "Ai"),
                          Vector<I>::optional(p, "p"),           Vector<double>::optional(ctrl, "ctrl"),
                          Vector<double>::optional(info, "info"), Vector<I>::optional(constraints, "constraints")};
    }

    // CAMD checks the pattern column by column before reading it, so the
    // column pointers only have to stay inside Ai.
    void check(long long N) const
    {
        require_constraints(constraints, N);
        if (!Ap.is_null()) {
            require_length(Ap.size(), "Ap", one_more(N, "N"), "N + 1");
            if (!Ai.is_null()) {
                require_pointers_within(Ap, Ai.size());
            }
        }
        if (!p.is_null()) {
            require_min_length(p.size(), "p", N, "N");
        }
        if (!ctrl.is_null()) {
            require_min_length(ctrl.size(), "ctrl", CAMD_CONTROL, "CAMD_CONTROL");
        }
        if (!info.is_null()) {
            require_min_length(info.size(), "info", CAMD_INFO, "CAMD_INFO");
        }
        // p and Info are written while the pattern, Control and the
        // constraint sets are read.
        require_disjoint({span_of(p, "p"), span_of(info, "info")},
                         {span_of(Ap, "Ap"), span_of(Ai, "Ai"), span_of(ctrl, "ctrl"),
                          span_of(constraints, "constraints")});
    }
};

// The engine's Control array (engine::library_control); a NaN dense
// threshold is refused.
template <class I>
void checked_control(double (&out)[CAMD_CONTROL], const double* ctrl, long long N)
{
    if (!engine::library_control<I>(out, ctrl, N)) {
        raise(PyExc_ValueError, camd_surface::dense_threshold_nan);
    }
}

// CAMD reads the pattern and the constraint sets in place: it gets copies,
// checked again, and runs with the interpreter lock released unless the call
// is small (see common/owned.hpp). The permutation and Info go to owned
// arrays and are copied into the caller's afterwards (the permutation only
// when CAMD wrote it).
template <class I>
void run_camd(const State& st, long long N, const CamdArrays<I>& a)
{
    a.check(N);
    const I n = narrow_size<I>(N, "N");
    double control[CAMD_CONTROL];
    checked_control<I>(control, a.ctrl.data(), N);
    const bool release = releases_lock(a.Ai.size(), N);
    const OwnedPointers<I> pattern = OwnedPointers<I>::copy_checked(a.Ap, a.Ai);
    const Owned<I> constraints = Owned<I>::copy_optional(a.constraints, "constraints");
    require_constraints(constraints.or_caller(a.constraints), N);
    // A negative N is CAMD's to refuse; its P is then never written.
    const Py_ssize_t np = static_cast<Py_ssize_t>(N > 0 ? N : 0);
    const Owned<I> p = !a.p.is_null() ? Owned<I>::uninitialised(np, "p") : Owned<I>{};
    // Without the caller's Info the invalid-matrix message still shows the
    // statistics the library reports.
    double info[CAMD_INFO];
    const engine::CamdOrder<I> in{n,
                                  pattern.Ap.or_caller(a.Ap).data(),
                                  pattern.Ai.or_caller(a.Ai).data(),
                                  constraints.or_caller(a.constraints).data(),
                                  p.or_caller(a.p).data(),
                                  control,
                                  info};
    const int status = run_library(release, [&] { return engine::camd(in); });
    if (!a.info.is_null()) {
        std::copy_n(info, CAMD_INFO, a.info.data());
    }
    if (status == CAMD_OUT_OF_MEMORY) {
        raise(st.CAMDMemoryError, camd_surface::out_of_memory);
    }
    if (status == CAMD_INVALID) {
        Ref values = zeros(CAMD_INFO, NPY_DOUBLE);
        std::copy_n(info, CAMD_INFO, data_of<double>(values));
        Ref record = record_from_array(st.CAMDInfo, values.get());
        raise_format(st.CAMDInvalidMatrixError, camd_surface::invalid_matrix, record.get());
    }
    if (p.array) {
        p.copy_to(a.p, np);
    }
}

// ---------------------------------------------------------------------------
// Python functions

// camd(A, constraints=None, dense_thresh=None, aggressive=None, return_info=False)
Ref py_camd(PyObject* m, const Args& a)
{
    const State& st = module_state<State>(m);
    CscInput in = coerce_csc(m, a[0], CoerceCall::Keyword, true);
    PyObject* dtype = in.index_dtype.get();
    const long long N = in.nrows;
    if (N == 0) {
        return zeros(0, dtype);
    }
    if (has_no_entries(in)) {
        return arange(N, dtype);
    }
    Ref ctrl = zeros(CAMD_CONTROL, NPY_DOUBLE);
    camd_defaults(data_of<double>(ctrl));
    set_threshold_knob(data_of<double>(ctrl), CAMD_DENSE, a[2]);
    set_flag_knob(data_of<double>(ctrl), CAMD_AGGRESSIVE, a[3]);
    Ref info = zeros(CAMD_INFO, NPY_DOUBLE);
    Ref p = empty(N, dtype);
    Ref constraints =
        a[1] == Py_None ? Ref::none() : convert_constraints(a[1], dtype, Conversion::Contiguous);

    Ref indptr = csc_attribute(m, in.matrix.get(), CscName::Indptr);
    Ref indices = csc_attribute(m, in.matrix.get(), CscName::Indices);
    dispatch_index_width(indptr.get(), [&](auto index) {
        using I = decltype(index);
        auto arrays = CamdArrays<I>::view(indptr.get(), indices.get(), p.get(), ctrl.get(), info.get(),
                                          constraints.get());
        run_camd(st, N, arrays);
    });
    if (!truth(a[4])) {
        return p;
    }
    Ref record = record_from_array(st.CAMDInfo, info.get());
    return check(PyTuple_Pack(2, p.get(), record.get()));
}

// _camd_order(N, Ap, Ai, p, ctrl, info, constraints=None)
Ref py_camd_order(PyObject* m, const Args& a)
{
    const State& st = module_state<State>(m);
    const long long N = as_int64(a[0]);
    dispatch_index_width(a[1], [&](auto index) {
        using I = decltype(index);
        auto arrays = CamdArrays<I>::view(a[1], a[2], a[3], a[4], a[5], a[6]);
        run_camd(st, N, arrays);
    });
    return Ref::none();
}

Ref py_camd_default_control(PyObject*, const Args&)
{
    double control[CAMD_CONTROL];
    camd_defaults(control);
    Ref dense = check(PyFloat_FromDouble(control[CAMD_DENSE]));
    PyObject* aggressive = control[CAMD_AGGRESSIVE] != 0.0 ? Py_True : Py_False;
    return check(
        Py_BuildValue("{sOsO}", camd_surface::dense_thresh, dense.get(), camd_surface::aggressive, aggressive));
}

// ---------------------------------------------------------------------------
// Function table

constexpr FunctionDef camd_def =
    function(camd_surface::camd, py_camd, camd_surface::camd_params).with_doc(camd_docs::camd);
constexpr FunctionDef camd_order_def =
    function(camd_surface::camd_order, py_camd_order, camd_surface::camd_order_params)
        .with_doc(camd_docs::private_camd_order)
        .dispatch_on("Ap");
constexpr FunctionDef default_control_def =
    function(camd_surface::default_control, py_camd_default_control).with_doc(camd_docs::default_control);

constexpr RecordField info_fields[] = {
    {"status", "int", CAMD_STATUS},
    {"N", "int", CAMD_N},
    {"nz", "int", CAMD_NZ},
    {"symmetry", "float", CAMD_SYMMETRY},
    {"nzdiag", "int", CAMD_NZDIAG},
    {"nz_A_plus_AT", "int", CAMD_NZ_A_PLUS_AT},
    {"Ndense", "int", CAMD_NDENSE},
    {"memory", "float", CAMD_MEMORY},
    {"Ncmpa", "int", CAMD_NCMPA},
    {"Lnz", "int", CAMD_LNZ},
    {"Ndiv", "int", CAMD_NDIV},
    {"Nmultsubs_LDL", "int", CAMD_NMULTSUBS_LDL},
    {"Nmultsubs_LU", "int", CAMD_NMULTSUBS_LU},
    {"dmax", "int", CAMD_DMAX},
};
constexpr RecordDef info_def{camd_surface::info, camd_docs::info, camd_surface::info_return_name, info_fields,
                             count(info_fields)};

// ---------------------------------------------------------------------------
// Module initialisation

void exec_body(PyObject* m)
{
    State& st = module_state<State>(m);
    add_object(m, surface::numpy_alias, import_module("numpy").get());
    add_object(m, surface::dataclass_name, import_attr("dataclasses", "dataclass").get());
    add_object(m, surface::validate_csc_input, import_relative(m, "utils", "validate_csc_input").get());
    set_all(m, camd_surface::all);

    st.CAMDError = add_exception(m, camd_surface::error, camd_docs::error, {PyExc_Exception}).release();
    st.CAMDInvalidMatrixError = add_exception(m, camd_surface::invalid_matrix_error,
                                              camd_docs::invalid_matrix_error,
                                              {st.CAMDError, PyExc_ValueError})
                                    .release();
    st.CAMDMemoryError = add_exception(m, camd_surface::memory_error, camd_docs::memory_error,
                                       {st.CAMDError, PyExc_MemoryError})
                             .release();
    st.CAMDInfo = add_record(m, info_def).release();

    add_function(m, camd_def);
    add_function(m, camd_order_def);
    add_function(m, default_control_def);
}

}  // namespace

TARNIX_MODULE(camd, camd_docs::module, State, exec_body)
