// The bare CHOLMOD calls of tarnix.cholmod._cholesky_counts, timed without
// Python: the reference for the wrapper's cost.
//
//   cholmod_counts_bare MATRIX NORMAL REPEAT
//
// MATRIX is a binary file written by bench_cholmod.py: int64 m, n, nnz, then
// int32 indptr[n+1], int32 indices[nnz]. NORMAL is 0 (the factor of A + A')
// or 1 (of A'A). Prints the best time over REPEAT runs, in seconds of the
// thread's CPU time (user and system, so page faults count; other processes
// do not).

#include "bare_csc.hpp"

#include <cholmod.h>

#include <algorithm>
#include <ctime>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

namespace {


// transpose, A + A' (unless normal), analysis with the natural order: the
// calls and settings of the wrapper. Returns the factor's entry count.
long long analyse(const Csc& P, int32_t* p, int32_t* i, bool normal)
{
    cholmod_common cm;
    cholmod_start(&cm);
    cm.supernodal = CHOLMOD_SIMPLICIAL;
    cm.print = 0;
    cm.nmethods = 1;
    cm.method[0].ordering = CHOLMOD_NATURAL;
    cholmod_sparse A = csc_header(P.m, P.n, P.nnz, p, i, nullptr);
    cholmod_sparse* AT = cholmod_transpose(&A, 0, &cm);
    cholmod_sparse* S = nullptr;
    double one[2] = {1.0, 0.0};
    if (!normal) {
        S = cholmod_add(&A, AT, one, one, 0, 1, &cm);
        S->stype = 1;
    }
    cholmod_factor* L = cholmod_analyze_p(normal ? AT : S, nullptr, nullptr, 0, &cm);
    long long lnz = 0;
    const int32_t* colcount = static_cast<const int32_t*>(L->ColCount);
    for (size_t j = 0; j < L->n; ++j) {
        lnz += colcount[j];
    }
    cholmod_free_factor(&L, &cm);
    cholmod_free_sparse(&S, &cm);
    cholmod_free_sparse(&AT, &cm);
    cholmod_finish(&cm);
    return lnz;
}

template <class F>
double best_of(int repeat, F&& f)
{
    auto now = [] {
        timespec t;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
    };
    double best = 1e300;
    for (int r = 0; r < repeat; ++r) {
        const double start = now();
        f();
        best = std::min(best, now() - start);
    }
    return best;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s MATRIX NORMAL REPEAT\n", argv[0]);
        return 2;
    }
    Csc P = read_csc(argv[1], false);
    const bool normal = std::atoi(argv[2]) != 0;
    const int repeat = std::atoi(argv[3]);
    volatile long long sink = 0;
    const double best = best_of(repeat, [&] { sink = analyse(P, P.p.data(), P.i.data(), normal); });
    std::printf("%.9f\n", best);
    return 0;
}
