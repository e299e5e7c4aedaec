// What the bare-library harnesses share: the matrices the Python side writes
// for them, and CHOLMOD headers over those matrices.
//
// A matrix file holds int64 m, n, nnz, then int32 indptr[n+1], int32
// indices[nnz] and, in files with values, float64 data[nnz].
#pragma once

#include <cholmod.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

struct Csc {
    int64_t m = 0, n = 0, nnz = 0;
    std::vector<int32_t> p, i;
    std::vector<double> x;  // empty for a pattern
};

inline Csc read_csc(const char* path, bool values)
{
    Csc A;
    std::ifstream in(path, std::ios::binary);
    in.read(reinterpret_cast<char*>(&A.m), 8);
    in.read(reinterpret_cast<char*>(&A.n), 8);
    in.read(reinterpret_cast<char*>(&A.nnz), 8);
    A.p.resize(A.n + 1);
    A.i.resize(A.nnz);
    in.read(reinterpret_cast<char*>(A.p.data()), 4 * (A.n + 1));
    in.read(reinterpret_cast<char*>(A.i.data()), 4 * A.nnz);
    if (values) {
        A.x.resize(A.nnz);
        in.read(reinterpret_cast<char*>(A.x.data()), 8 * A.nnz);
    }
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path);
        std::exit(2);
    }
    return A;
}

// A packed, sorted, unsymmetric header with int32 indices; a pattern when x
// is null.
inline cholmod_sparse csc_header(int64_t m, int64_t n, int64_t nnz, int32_t* p, int32_t* i, double* x)
{
    cholmod_sparse h{};
    h.nrow = static_cast<size_t>(m);
    h.ncol = static_cast<size_t>(n);
    h.nzmax = static_cast<size_t>(nnz);
    h.p = p;
    h.i = i;
    h.x = x;
    h.stype = 0;
    h.itype = CHOLMOD_INT;
    h.xtype = x != nullptr ? CHOLMOD_REAL : CHOLMOD_PATTERN;
    h.dtype = CHOLMOD_DOUBLE;
    h.sorted = 1;
    h.packed = 1;
    return h;
}
