// The module-level functions of tarnix.spqr: spqr, spqr_factor and spqr_solve
// (oneshot.cpp), spqr_qmult and _qmult (householder.cpp), and _solve_triangular
// (triangular.cpp), the solves of tarnix.spqr_rank.
#pragma once

#include "common/function.hpp"

namespace spqr_module {

extern const tarnix::FunctionDef spqr_factor_def;
extern const tarnix::FunctionDef spqr_solve_def;
extern const tarnix::FunctionDef spqr_def;
extern const tarnix::FunctionDef qmult_private_def;
extern const tarnix::FunctionDef spqr_qmult_def;
extern const tarnix::FunctionDef solve_triangular_private_def;

}  // namespace spqr_module
