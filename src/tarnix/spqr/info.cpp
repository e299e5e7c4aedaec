// SPQRInfo: the frozen record of the statistics SuiteSparseQR leaves in a
// cholmod_common, a native record (common/record.hpp) that pickles by value
// with a layout checksum.

#include "spqr/info.hpp"

#include "spqr/docstrings.hpp"
#include "spqr/orderings.hpp"
#include "spqr/surface.hpp"

namespace spqr_module {

using namespace tarnix;

namespace {

// Declaration order: constructor parameters, __match_args__, repr, ==, hash.
constexpr RecordField fields[] = {
    {"nnzR_upper_bound", "int | None", -1, "Upper bound on the number of entries of R."},
    {"nnzH_upper_bound", "int | None", -1, "Upper bound on the number of entries of the Householder vectors."},
    {"nf", "int | None", -1, "Number of frontal matrices."},
    {"rank_A_estimate", "int | None", -1, "Estimated rank of A."},
    {"n1cols", "int | None", -1, "Number of column singletons."},
    {"n1rows", "int | None", -1, "Number of singleton rows."},
    {"ordering", "str | None", -1, "Fill-reducing ordering actually used."},
    {"memory", "int | None", -1, "Peak memory use in bytes."},
    {"flops_upper_bound", "int | None", -1, "Upper bound on the flop count."},
    {"tol", "float | None", -1, "Tolerance used for rank detection."},
    {"norm_E_fro", "float | None", -1, "Frobenius norm of the dropped entries."},
    {"analyze_time", "float | None", -1, "Analysis time in seconds."},
    {"factorize_time", "float | None", -1, "Factorization time in seconds."},
    {"solve_time", "float | None", -1, "Solve time in seconds."},
    {"total_time", "float | None", -1, "Total time in seconds."},
    {"flops", "int | None", -1, "Flop count of the factorization."},
};

enum Index {
    NNZR, NNZH, NF, RANK, N1COLS, N1ROWS, ORDERING, MEMORY, FLOPS_BOUND, TOL, NORM_E, ANALYZE, FACTORIZE, SOLVE,
    TOTAL, FLOPS,
};

// The layout checksums are those of the pickle format that SPQRInfo records
// have always been written in: each is the first seven hex digits of a digest
// of the state's field names, in the ASCII order of the names, joined by
// single spaces ("analyze_time factorize_time ... total_time"): SHA-256 gives
// 0x4fe1628 (written), SHA-1 0x7e9e7b5 and MD5 0xd5b19e3 (also accepted on
// load).
constexpr long long accepted_checksums[] = {0x4fe1628, 0x7e9e7b5, 0xd5b19e3};
constexpr NativeRecord native{spqr_surface::info_qualified, spqr_surface::unpickle_info, 0x4fe1628, accepted_checksums,
                              count(accepted_checksums)};
constexpr RecordDef info_def{spqr_surface::info, spqr_docs::info, nullptr, fields, count(fields), &native};

Ref py_unpickle(PyObject* module, const Args& a)
{
    return unpickle_record(state_of(module).info_type, info_def, a[0], a[1], a[2]);
}

}  // namespace

const FunctionDef unpickle_info_def = function(spqr_surface::unpickle_info, py_unpickle, spqr_surface::unpickle_params)
                                          .with_doc("Rebuild an SPQRInfo from its pickled state (checked by layout checksum).");

Ref add_info_type(PyObject* module)
{
    return add_record<info_def>(module);
}

Ref info_from_common(const State& st, const cholmod_common* cm)
{
    if (cm == nullptr) {
        raise(PyExc_AssertionError, "");
    }
    RecordValues v;
    const int64_t* istat = cm->SPQR_istat;
    v[NNZR] = check(PyLong_FromLongLong(istat[0]));
    v[NNZH] = check(PyLong_FromLongLong(istat[1]));
    v[NF] = check(PyLong_FromLongLong(istat[2]));
    v[RANK] = check(PyLong_FromLongLong(istat[4]));
    v[N1COLS] = check(PyLong_FromLongLong(istat[5]));
    v[N1ROWS] = check(PyLong_FromLongLong(istat[6]));
    v[ORDERING] = ordering_name(st, static_cast<int32_t>(istat[7]));
    v[MEMORY] = check(PyLong_FromSize_t(cm->memory_usage));
    v[FLOPS_BOUND] = check(PyLong_FromDouble(cm->SPQR_flopcount_bound));
    v[TOL] = check(PyFloat_FromDouble(cm->SPQR_tol_used));
    v[NORM_E] = check(PyFloat_FromDouble(cm->SPQR_norm_E_fro));
    v[ANALYZE] = check(PyFloat_FromDouble(cm->SPQR_analyze_time));
    v[FACTORIZE] = check(PyFloat_FromDouble(cm->SPQR_factorize_time));
    v[SOLVE] = check(PyFloat_FromDouble(cm->SPQR_solve_time));
    v[TOTAL] = check(PyFloat_FromDouble(cm->SPQR_analyze_time + cm->SPQR_factorize_time + cm->SPQR_solve_time));
    v[FLOPS] = check(PyLong_FromDouble(cm->SPQR_flopcount));
    return make_record(st.info_type, info_def, std::move(v));
}

}  // namespace spqr_module
