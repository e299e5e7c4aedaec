// The bare library calls behind tarnix's public functions, on small matrices,
// as a shared library that bench_overhead.py loads with ctypes: the reference
// for the fixed cost that tarnix adds to a call.
//
//   bare_setup(m, n, nnz, Ap, Ai, Ax)  copies the matrix (int32 indices, float64 values)
//   bare_seconds(task, number)         seconds per call of `task`, over `number` calls
//   bare_count(task, number)           the same calls between count_begin and count_end
//   count_begin() / count_end(name)    callgrind's counting switched on / off, with a dump
//                                      named `name` (no-ops outside valgrind)
//
// A task makes what a C program needs for the one call: the workspace and
// outputs the library requires (allocated per call, as tarnix does), the
// library's default controls, and for the SPQR one-shots a CHOLMOD common
// started and finished around the call (tarnix starts one per call too).
// Tasks: colamd symamd ccolamd csymamd camd maxtrans strongcomp btf (square
// matrices for the symmetric ones), spqr (Q, R and E), spqr_factor (analysis
// and factorization), spqr_solve (factorization with singletons, Q^T b, R \ .),
// spqr_qmult (Q x from the Householder form, made by bare_setup).

#include "bare_csc.hpp"

#include <SuiteSparseQR.hpp>
#include <btf.h>
#include <camd.h>
#include <ccolamd.h>
#include <colamd.h>
#include <valgrind/callgrind.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Problem {
    int32_t m = 0, n = 0, nnz = 0;
    std::vector<int32_t> p, i, cmember;
    std::vector<double> x, b;
    cholmod_common cc{};
    cholmod_sparse* H = nullptr;
    cholmod_dense* tau = nullptr;
    int32_t* hpinv = nullptr;
};

Problem problem;

cholmod_sparse header()
{
    return csc_header(problem.m, problem.n, problem.nnz, problem.p.data(), problem.i.data(), problem.x.data());
}

cholmod_dense dense_rhs()
{
    cholmod_dense d{};
    d.nrow = problem.m;
    d.ncol = 1;
    d.d = problem.m;
    d.nzmax = problem.m;
    d.x = problem.b.data();
    d.xtype = CHOLMOD_REAL;
    d.dtype = CHOLMOD_DOUBLE;
    return d;
}

void* library_calloc(size_t count, size_t size)
{
    return std::calloc(count, size);
}

void run_colamd(bool constrained)
{
    const int32_t m = problem.m, n = problem.n, nnz = problem.nnz;
    const size_t alen = constrained ? ccolamd_recommended(nnz, m, n) : colamd_recommended(nnz, m, n);
    std::vector<int32_t> work(alen), perm(problem.p);
    std::copy(problem.i.begin(), problem.i.end(), work.begin());
    double knobs[CCOLAMD_KNOBS];
    int32_t stats[CCOLAMD_STATS];
    if (constrained) {
        ccolamd_set_defaults(knobs);
        ccolamd(m, n, static_cast<int32_t>(alen), work.data(), perm.data(), knobs, stats, problem.cmember.data());
    }
    else {
        colamd_set_defaults(knobs);
        colamd(m, n, static_cast<int32_t>(alen), work.data(), perm.data(), knobs, stats);
    }
}

void run_symamd(bool constrained)
{
    const int32_t n = problem.n;
    std::vector<int32_t> perm(n + 1);
    double knobs[CCOLAMD_KNOBS];
    int32_t stats[CCOLAMD_STATS];
    if (constrained) {
        ccolamd_set_defaults(knobs);
        csymamd(n, problem.i.data(), problem.p.data(), perm.data(), knobs, stats, library_calloc, std::free,
                problem.cmember.data(), -1);
    }
    else {
        colamd_set_defaults(knobs);
        symamd(n, problem.i.data(), problem.p.data(), perm.data(), knobs, stats, library_calloc, std::free);
    }
}

void run_camd()
{
    const int32_t n = problem.n;
    std::vector<int32_t> perm(n);
    double control[CAMD_CONTROL], info[CAMD_INFO];
    camd_defaults(control);
    camd_order(n, problem.p.data(), problem.i.data(), perm.data(), control, info, problem.cmember.data());
}

void run_btf(const std::string& task)
{
    const int32_t m = problem.m, n = problem.n;
    double work_done = 0.0;
    if (task == "maxtrans") {
        std::vector<int32_t> match(m), work(5 * n);
        btf_maxtrans(m, n, problem.p.data(), problem.i.data(), 0.0, &work_done, match.data(), work.data());
        return;
    }
    std::vector<int32_t> p(n), q(n), r(n + 1), work(5 * n);
    if (task == "strongcomp") {
        btf_strongcomp(n, problem.p.data(), problem.i.data(), nullptr, p.data(), r.data(), work.data());
        return;
    }
    int32_t nmatch = 0;
    btf_order(n, problem.p.data(), problem.i.data(), 0.0, &work_done, p.data(), q.data(), r.data(), &nmatch,
              work.data());
}

void run_spqr(const std::string& task)
{
    cholmod_sparse A = header();
    cholmod_common cc;
    cholmod_start(&cc);
    if (task == "spqr") {
        cholmod_sparse *Q = nullptr, *R = nullptr;
        int32_t* E = nullptr;
        SuiteSparseQR<double, int32_t>(SPQR_ORDERING_DEFAULT, SPQR_DEFAULT_TOL, problem.m, &A, &Q, &R, &E, &cc);
        cholmod_free_sparse(&Q, &cc);
        cholmod_free_sparse(&R, &cc);
        cholmod_free(problem.n, sizeof(int32_t), E, &cc);
    }
    else if (task == "spqr_factor") {
        auto* qr = SuiteSparseQR_symbolic<double, int32_t>(SPQR_ORDERING_DEFAULT, 0, &A, &cc);
        SuiteSparseQR_numeric<double, int32_t>(SPQR_DEFAULT_TOL, &A, qr, &cc);
        SuiteSparseQR_free(&qr, &cc);
    }
    else if (task == "spqr_solve") {
        auto* qr = SuiteSparseQR_factorize<double, int32_t>(SPQR_ORDERING_DEFAULT, SPQR_DEFAULT_TOL, &A, &cc);
        cholmod_dense B = dense_rhs();
        cholmod_dense* Y = SuiteSparseQR_qmult<double, int32_t>(SPQR_QTX, qr, &B, &cc);
        cholmod_dense* X = SuiteSparseQR_solve<double, int32_t>(SPQR_RETX_EQUALS_B, qr, Y, &cc);
        cholmod_free_dense(&Y, &cc);
        cholmod_free_dense(&X, &cc);
        SuiteSparseQR_free(&qr, &cc);
    }
    else {
        cholmod_dense B = dense_rhs();
        cholmod_dense* Y = SuiteSparseQR_qmult<double, int32_t>(SPQR_QX, problem.H, problem.tau, problem.hpinv, &B, &cc);
        cholmod_free_dense(&Y, &cc);
    }
    cholmod_finish(&cc);
}

void run(const std::string& task)
{
    if (task == "colamd" || task == "ccolamd") {
        run_colamd(task == "ccolamd");
    }
    else if (task == "symamd" || task == "csymamd") {
        run_symamd(task == "csymamd");
    }
    else if (task == "camd") {
        run_camd();
    }
    else if (task == "maxtrans" || task == "strongcomp" || task == "btf") {
        run_btf(task);
    }
    else {
        run_spqr(task);
    }
}

void drop_householder()
{
    if (problem.H != nullptr) {
        cholmod_free_sparse(&problem.H, &problem.cc);
        cholmod_free_dense(&problem.tau, &problem.cc);
        cholmod_free(problem.m, sizeof(int32_t), problem.hpinv, &problem.cc);
        cholmod_finish(&problem.cc);
    }
}

}  // namespace

extern "C" {

int bare_setup(int32_t m, int32_t n, int32_t nnz, const int32_t* p, const int32_t* i, const double* x)
{
    drop_householder();
    problem.m = m;
    problem.n = n;
    problem.nnz = nnz;
    problem.p.assign(p, p + n + 1);
    problem.i.assign(i, i + nnz);
    problem.x.assign(x, x + nnz);
    problem.b.assign(m, 1.0);
    problem.cmember.resize(n);
    for (int32_t j = 0; j < n; ++j) {
        problem.cmember[j] = j % 2;
    }
    cholmod_start(&problem.cc);
    cholmod_sparse A = header();
    cholmod_sparse* R = nullptr;
    int32_t* E = nullptr;
    SuiteSparseQR<double, int32_t>(SPQR_ORDERING_DEFAULT, SPQR_DEFAULT_TOL, m, &A, &R, &E, &problem.H, &problem.hpinv,
                                   &problem.tau, &problem.cc);
    cholmod_free_sparse(&R, &problem.cc);
    cholmod_free(n, sizeof(int32_t), E, &problem.cc);
    return problem.cc.status;
}

double bare_seconds(const char* task, int64_t number)
{
    const std::string name = task;
    const auto t0 = std::chrono::steady_clock::now();
    for (int64_t k = 0; k < number; ++k) {
        run(name);
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() / static_cast<double>(number);
}

void count_begin()
{
    CALLGRIND_ZERO_STATS;
    CALLGRIND_TOGGLE_COLLECT;
}

void count_end(const char* name)
{
    CALLGRIND_TOGGLE_COLLECT;
    CALLGRIND_DUMP_STATS_AT(name);
}

void bare_count(const char* task, int64_t number)
{
    const std::string name = task;
    const std::string label = std::string("bare:") + task;
    count_begin();
    for (int64_t k = 0; k < number; ++k) {
        run(name);
    }
    count_end(label.c_str());
}

}  // extern "C"
