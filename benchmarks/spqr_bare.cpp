// The bare SuiteSparseQR calls that tarnix.spqr makes, timed without Python:
// the reference for the wrapper's cost.
//
//   spqr_bare MATRIX TASK K REPEAT
//
// MATRIX is a binary file written by bench_spqr.py: int64 m, n, nnz, then
// int32 indptr[n+1], int32 indices[nnz], float64 data[nnz]. TASK is one of
//   analyze      SuiteSparseQR_symbolic (default ordering)
//   factorize    SuiteSparseQR_numeric after one analysis
//   solve        Q^T B then E (R \ .) for K dense right-hand sides of ones
//   spqr_solve   SuiteSparseQR_factorize (singletons), then the solve above
//   qr_r         SuiteSparseQR returning R and E
//   qr_full      SuiteSparseQR returning Q, R and E
// Prints the best time over REPEAT runs, in seconds.

#include "bare_csc.hpp"

#include <SuiteSparseQR.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace {


double seconds(const std::function<void()>& f)
{
    auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

using QR = SuiteSparseQR_factorization<double, int32_t>;

void solve(QR* qr, cholmod_dense* B, cholmod_common* cm)
{
    cholmod_dense* Y = SuiteSparseQR_qmult<double, int32_t>(SPQR_QTX, qr, B, cm);
    cholmod_dense* X = SuiteSparseQR_solve<double, int32_t>(SPQR_RETX_EQUALS_B, qr, Y, cm);
    cholmod_free_dense(&Y, cm);
    cholmod_free_dense(&X, cm);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: spqr_bare MATRIX TASK K REPEAT\n");
        return 2;
    }
    Csc A = read_csc(argv[1], true);
    const std::string task = argv[2];
    const int k = std::atoi(argv[3]);
    const int repeat = std::atoi(argv[4]);
    cholmod_sparse Ah = csc_header(A.m, A.n, A.nnz, A.p.data(), A.i.data(), A.x.data());
    cholmod_common common;
    cholmod_start(&common);
    cholmod_common* cm = &common;

    std::vector<double> ones(static_cast<size_t>(A.m) * std::max(k, 1), 1.0);
    cholmod_dense B{};
    B.nrow = A.m;
    B.ncol = k;
    B.d = A.m;
    B.nzmax = A.m * k;
    B.x = ones.data();
    B.xtype = CHOLMOD_REAL;
    B.dtype = CHOLMOD_DOUBLE;

    QR* analysed = nullptr;
    if (task == "factorize" || task == "solve") {
        analysed = SuiteSparseQR_symbolic<double, int32_t>(SPQR_ORDERING_DEFAULT, 1, &Ah, cm);
        SuiteSparseQR_numeric<double, int32_t>(SPQR_DEFAULT_TOL, &Ah, analysed, cm);
    }
    double best = 1e300;
    for (int r = 0; r < repeat; ++r) {
        double t = 0.0;
        if (task == "analyze") {
            QR* qr = nullptr;
            t = seconds([&] { qr = SuiteSparseQR_symbolic<double, int32_t>(SPQR_ORDERING_DEFAULT, 1, &Ah, cm); });
            SuiteSparseQR_free(&qr, cm);
        }
        else if (task == "factorize") {
            t = seconds([&] { SuiteSparseQR_numeric<double, int32_t>(SPQR_DEFAULT_TOL, &Ah, analysed, cm); });
        }
        else if (task == "solve") {
            t = seconds([&] { solve(analysed, &B, cm); });
        }
        else if (task == "spqr_solve") {
            t = seconds([&] {
                QR* qr = SuiteSparseQR_factorize<double, int32_t>(SPQR_ORDERING_DEFAULT, SPQR_DEFAULT_TOL, &Ah, cm);
                solve(qr, &B, cm);
                SuiteSparseQR_free(&qr, cm);
            });
        }
        else if (task == "qr_r" || task == "qr_full") {
            cholmod_sparse *Q = nullptr, *R = nullptr;
            int32_t* E = nullptr;
            t = seconds([&] {
                if (task == "qr_r") {
                    SuiteSparseQR<double, int32_t>(SPQR_ORDERING_DEFAULT, SPQR_DEFAULT_TOL, A.m, &Ah, &R, &E, cm);
                }
                else {
                    SuiteSparseQR<double, int32_t>(SPQR_ORDERING_DEFAULT, SPQR_DEFAULT_TOL, A.m, &Ah, &Q, &R, &E, cm);
                }
            });
            cholmod_free_sparse(&Q, cm);
            cholmod_free_sparse(&R, cm);
            cholmod_free(A.n, sizeof(int32_t), E, cm);
        }
        else {
            std::fprintf(stderr, "unknown task %s\n", task.c_str());
            return 2;
        }
        if (cm->status != CHOLMOD_OK) {
            std::fprintf(stderr, "library status %d\n", cm->status);
            return 1;
        }
        best = std::min(best, t);
    }
    SuiteSparseQR_free(&analysed, cm);
    cholmod_finish(cm);
    std::printf("%.9f\n", best);
    return 0;
}
