// The CHOLMOD routines of each index width, as tables of function pointers.
//
// The cholmod_* routines serve a common started by cholmod_start (32-bit
// indices), the cholmod_l_* ones a common started by cholmod_l_start (64-bit);
// a record is never handed to the routines of the other width. The width is
// chosen once, as the template argument, and every call below goes through
// the table of that width.
//
// Header-only, for the modules that link CHOLMOD (tarnix.cholmod, tarnix.spqr).
#pragma once

#include "common/width_table.hpp"

#include <cholmod.h>

#include <cstddef>

namespace tarnix {

template <class I>
struct CholmodRoutines {
    int itype;  // CHOLMOD_INT or CHOLMOD_LONG
    int (*start)(cholmod_common*);
    int (*finish)(cholmod_common*);
    void* (*malloc)(size_t n, size_t size, cholmod_common*);
    void* (*calloc)(size_t n, size_t size, cholmod_common*);
    void* (*free)(size_t n, size_t size, void* block, cholmod_common*);
    int (*free_dense)(cholmod_dense**, cholmod_common*);
    int (*free_sparse)(cholmod_sparse**, cholmod_common*);
    int (*free_factor)(cholmod_factor**, cholmod_common*);
    int (*sort)(cholmod_sparse*, cholmod_common*);
    int (*reallocate_sparse)(size_t nznew, cholmod_sparse*, cholmod_common*);
    cholmod_sparse* (*transpose)(cholmod_sparse*, int mode, cholmod_common*);
    cholmod_sparse* (*add)(cholmod_sparse* A, cholmod_sparse* B, double* alpha, double* beta, int mode, int sorted,
                           cholmod_common*);
    cholmod_factor* (*analyze_p)(cholmod_sparse*, I* perm, I* fset, size_t fsize, cholmod_common*);
};

inline constexpr WidthTable<CholmodRoutines> cholmod_routines{
    {CHOLMOD_INT, cholmod_start, cholmod_finish, cholmod_malloc, cholmod_calloc, cholmod_free, cholmod_free_dense,
     cholmod_free_sparse, cholmod_free_factor, cholmod_sort, cholmod_reallocate_sparse, cholmod_transpose, cholmod_add,
     cholmod_analyze_p},
    {CHOLMOD_LONG, cholmod_l_start, cholmod_l_finish, cholmod_l_malloc, cholmod_l_calloc, cholmod_l_free,
     cholmod_l_free_dense, cholmod_l_free_sparse, cholmod_l_free_factor, cholmod_l_sort, cholmod_l_reallocate_sparse,
     cholmod_l_transpose, cholmod_l_add, cholmod_l_analyze_p},
};

// The table of one width: cholmod_lib<int64_t>.start(&cm).
template <class I>
inline constexpr const CholmodRoutines<I>& cholmod_lib = cholmod_routines.get<I>();

}  // namespace tarnix
