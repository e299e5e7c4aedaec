// The names and messages tarnix.spqr shows, SPQRFactor's included. They are
// the module's public contract (callers match on them, pickles name them) and
// must not change; the docstrings (docstrings.hpp) belong to it too, and the
// texts it shares with the other modules are in common/surface.hpp.
#pragma once

#include "common/function.hpp"

namespace spqr_surface {

using tarnix::Default;
using tarnix::kwonly;
using tarnix::Param;

inline constexpr const char* module = "spqr";
inline constexpr const char* qualified_module = "tarnix.spqr";

inline constexpr const char* all[] = {"SPQRError",         "SPQRNotInstalledError", "SPQROutOfMemoryError",
                                      "SPQROverflowError", "SPQRInvalidInputError", "SPQRGpuProblemError",
                                      "SPQRFactor",        "spqr_factor",           "spqr_solve"};

// ---------------------------------------------------------------------------
// Exceptions and warnings

inline constexpr const char* warning = "SPQRWarning";
inline constexpr const char* rank_deficiency_warning = "SPQRRankDeficiencyWarning";
inline constexpr const char* error = "SPQRError";
inline constexpr const char* not_installed_error = "SPQRNotInstalledError";
inline constexpr const char* out_of_memory_error = "SPQROutOfMemoryError";
inline constexpr const char* overflow_error = "SPQROverflowError";
inline constexpr const char* invalid_input_error = "SPQRInvalidInputError";
inline constexpr const char* gpu_problem_error = "SPQRGpuProblemError";

// _handle_errors: the texts of the library's statuses.
inline constexpr const char* not_installed = "SPQR library is not installed or not found.";
inline constexpr const char* out_of_memory = "SPQR ran out of memory.";
inline constexpr const char* integer_overflow = "SPQR encountered an integer overflow.";
inline constexpr const char* invalid_input = "SPQR received invalid input.";
inline constexpr const char* gpu_problem = "SPQR encountered a problem with CUDA.";
inline constexpr const char* unknown_error = "An unknown SPQR error occurred.";
// Formats: the status's text, the status, and what could not be allocated.
inline constexpr const char* status_with_amount = "%s (code %d): cannot allocate %s";
inline constexpr const char* status_with_code = "%s (code %d)";
// Format: the status.
inline constexpr const char* int32_overflow =
    "SPQR encountered an integer overflow. (code %d): the factorization's frontal matrices hold more entries than "
    "32-bit indices can count (2**31 - 1). The matrix has int32 indices: give it int64 indices (indptr and indices "
    "as numpy.int64) and SuiteSparseQR's 64-bit routines are used.";

// ---------------------------------------------------------------------------
// Module functions

inline constexpr const char* spqr = "spqr";
inline constexpr const char* spqr_factor = "spqr_factor";
inline constexpr const char* spqr_solve = "spqr_solve";
inline constexpr const char* spqr_qmult = "spqr_qmult";
inline constexpr const char* private_qmult = "_qmult";
inline constexpr const char* householder = "SPQRHouseholder";

inline constexpr Param spqr_params[] = {{"A"}, Param{"mode", Default::Str, true, 0, "full"},
                                        kwonly("order", Default::None), kwonly("tol", Default::None)};
inline constexpr Param spqr_factor_params[] = {{"A"}, kwonly("use_singletons", Default::False),
                                               kwonly("order", Default::None), kwonly("tol", Default::None)};
inline constexpr Param spqr_solve_params[] = {{"A"},
                                              {"b"},
                                              kwonly("transpose", Default::False),
                                              kwonly("min2norm", Default::True),
                                              Param{"rhs_batch_size", Default::Int, true, 100}};
inline constexpr Param spqr_qmult_params[] = {{"house"}, {"X"}, Param{"method", Default::Str, false, 0, "QX"}};
inline constexpr Param private_qmult_params[] = {{"method"}, {"H"}, {"tau"}, {"v"}, {"X"}};

// _solve_triangular(T, B, adjoint=False): solves with a sorted upper triangle.
inline constexpr const char* private_solve_triangular = "_solve_triangular";
inline constexpr Param private_solve_triangular_params[] = {{"T"}, {"B"}, Param{"adjoint", Default::False}};
// Format: T's type name.
inline constexpr const char* T_not_csc = "T must be a scipy.sparse csc_array or csc_matrix, got %.200s";
// Format: the two dimensions.
inline constexpr const char* T_not_square = "T must be square, got shape (%lld, %lld)";
// Format: the attribute's name.
inline constexpr const char* T_array = "T.%s must be a one-dimensional numpy.ndarray";
// Format: data's dtype.
inline constexpr const char* T_values = "T must hold float64 or complex128 values, got %S";
// Format: indptr's and indices' dtypes.
inline constexpr const char* T_indices = "T.indptr and T.indices must both be int32 or both int64, got %S and %S";
// Format: the entries wanted, the entries found.
inline constexpr const char* T_indptr_length = "T.indptr must have order + 1 = %lld entries, got %lld";
// Format: len(T.indices), len(T.data).
inline constexpr const char* T_lengths = "T.indices and T.data must have the same length, got %lld and %lld";
// Formats of the structure faults: the position and value, or the column.
inline constexpr const char* T_first_pointer = "T.indptr[0] must be 0, got %lld";
inline constexpr const char* T_decreasing = "T.indptr must be non-decreasing, but T.indptr[%lld] = %lld is smaller";
inline constexpr const char* T_past_end = "T.indptr[%lld] = %lld points past the end of T.indices";
inline constexpr const char* T_row_range = "T.indices[%lld] = %lld is out of range for order %lld";
inline constexpr const char* T_unsorted =
    "T.indices of column %lld must be sorted and without duplicates (T.indices[%lld] = %lld)";
inline constexpr const char* T_below_diagonal =
    "T must be upper triangular, but column %lld has an entry in row %lld, below the diagonal";
inline constexpr const char* T_missing_diagonal =
    "T must store the diagonal as the last entry of each column, but column %lld has none";
inline constexpr const char* T_zero_diagonal = "T is singular: its diagonal entry in column %lld is zero";
// Format: B's type name.
inline constexpr const char* B_not_array = "B must be a numpy.ndarray, got %.200s";
// Format: B's number of dimensions.
inline constexpr const char* B_ndim = "B must be one- or two-dimensional, got %d dimensions";
// Format: T's order, B's rows.
inline constexpr const char* B_rows = "B must have T's order %lld as its number of rows, got %lld";
// Format: B's dtype, T's dtype.
inline constexpr const char* B_dtype = "B's dtype %S does not cast safely to T's dtype %S";

// Format: str(house).
inline constexpr const char* invalid_house =
    "house must be a tuple of (H, tau, v) representing the Householder vectors, coefficients, and permutation. "
    "Got %U.";
inline constexpr const char* ambiguous_types = "Function call with ambiguous argument types";

// The modes of spqr(), in the order its error lists them.
inline constexpr const char* modes[] = {"full", "economic", "r", "householder"};
// Format: the mode given, the tuple of modes.
inline constexpr const char* invalid_mode = "Invalid mode '%U'. Expected one of %U.";

// ---------------------------------------------------------------------------
// SPQRFactor

inline constexpr const char* factor = "SPQRFactor";
inline constexpr const char* factor_qualified = "tarnix.spqr.SPQRFactor";

inline constexpr const char* factorize = "factorize";
inline constexpr const char* check_input_matrix = "_check_input_matrix";
inline constexpr const char* solve = "solve";
inline constexpr const char* solve_dense = "_solve_dense";
inline constexpr const char* qmult = "qmult";
inline constexpr const char* qmult_dense = "_qmult_dense";
inline constexpr const char* copy = "copy";
inline constexpr const char* as_linear_operator = "as_linear_operator";
inline constexpr const char* reduce = "__reduce__";
inline constexpr const char* setstate = "__setstate__";

inline constexpr Param factorize_params[] = {{"A"}, kwonly("tol", Default::None)};
inline constexpr Param check_params[] = {{"A"}, {"itype"}};
inline constexpr Param solve_params[] = {{"b"}, kwonly("transpose", Default::False),
                                         Param{"rhs_batch_size", Default::Int, true, 100}};
inline constexpr Param solve_dense_params[] = {{"b"}, {"transpose"}};
inline constexpr Param qmult_params[] = {{"X"}, Param{"method", Default::Str, false, 0, "QX"}};
inline constexpr Param qmult_dense_params[] = {{"method"}, {"X"}};
inline constexpr Param setstate_params[] = {{"state"}};
inline constexpr Param operator_params[] = {Param{"op", Default::Str, false, 0, "solve"}};

// The context of the unraisable AssertionError when a factor's destructor
// cannot free its factorization.
inline constexpr const char* dealloc_context = "tarnix.spqr.SPQRFactor.__dealloc__";
inline constexpr const char* no_pickle =
    "self._cm,self._common,self._factor_di,self._factor_dl,self._factor_zi,self._factor_zl cannot be converted "
    "to a Python object for pickling";
inline constexpr const char* in_use = "SPQRFactor is in use by this thread";
// Format: "symbolic" or "numeric".
inline constexpr const char* no_factorization = "The factor has no %s factorization.";

// ---------------------------------------------------------------------------
// Solving

inline constexpr const char* negative_dimensions = "negative dimensions are not allowed";
inline constexpr const char* zero_step = "range() arg 3 must not be zero";
// Format: the type returned.
inline constexpr const char* solve_dense_result = "_solve_dense must return a numpy.ndarray, got %.200s";
// Format: repr of b.dtype, repr of self.dtype.
inline constexpr const char* unsafe_cast = "Cannot safely cast b.dtype=%U to self.dtype=%U.";
inline constexpr const char* b_not_array = "b must be an ndarray or sparse matrix.";
inline constexpr const char* b_ndim = "b must be a 1D or 2D array.";
// Format: the rank, the shape (SPQRRankDeficiencyWarning).
inline constexpr const char* rank_deficient =
    "Matrix is rank deficient: rank=%U, A.shape=%U. The solution may not be unique.";

// ---------------------------------------------------------------------------
// Products with Q

// Format: the method given.
inline constexpr const char* invalid_method = "Invalid method '%U'. Expected one of ['QX', 'QTX', 'XQ', 'XQT'].";
// Format: the code given.
inline constexpr const char* invalid_method_code =
    "Invalid method code %lld. Expected 0 (QTX), 1 (QX), 2 (XQT) or 3 (XQ).";
// Format: the rows of Q, the length given.
inline constexpr const char* incompatible_shape = "Input X must have compatible shape with Q. Expected %lld, got %lld.";
// Format: repr of self.dtype, repr of X.dtype.
inline constexpr const char* dtype_mismatch = "Input and factor dtypes do not match. self.dtype=%U and X.dtype=%U";
inline constexpr const char* X_not_array = "X must be an ndarray or sparse matrix.";
inline constexpr const char* X_ndim = "X must be a 1D or 2D array.";
inline constexpr const char* tol_nan = "tol must be a number, not NaN.";

// ---------------------------------------------------------------------------
// Analysis and copies

// The warning of a re-factorization with another tolerance.
inline constexpr const char* tolerance_changed =
    "The tolerance has been changed from the one used during a previous numeric factorization. "
    "This may lead to inconsistent rank determination.";
// Format: "shape", "integer size" or "data type"; then the expected and the
// given value, each between quotes ("'" or "").
inline constexpr const char* structure_mismatch =
    "The %s of the input matrix does not match the one used for symbolic factorization. Expected %s%U%s, got %s%U%s.";
inline constexpr const char* pattern_mismatch =
    "The sparsity pattern of the input matrix does not match the one used for symbolic factorization.";
inline constexpr const char* copy_unsupported = "SPQR task parallelism and GPU not yet supported.";
inline constexpr const char* copy_relocation = "Failed to copy Rblock pointers.";
// Format: the array's name, the type given.
inline constexpr const char* not_numpy_array = "A.%s must be a NumPy array, got %.200s";
inline constexpr const char* common_not_started = "CHOLMOD could not start its workspace";
// The library named in the memory error of a work array.
inline constexpr const char* library = "SPQR";

// ---------------------------------------------------------------------------
// Products with Q of a factor and of Householder vectors, beyond the above

inline constexpr const char* X_too_many_for_factor = "X has too many entries for the factor's 32-bit indices";
inline constexpr const char* X_too_many_for_H = "X has too many entries for H's 32-bit indices";
// Formats: X's index types (values) and the factor's.
inline constexpr const char* X_index_width = "X and the factor differ in index width: X has %s indices, the factor %s";
inline constexpr const char* X_value_type = "X and the factor differ in value type: X has %s values, the factor %s";
// Format: first, second, "value type" or "index width", first, its kind, second, its kind.
inline constexpr const char* house_variant_mismatch =
    "H, tau, v and X must agree in value type and index width: %s and %s differ in %s (%s has %s, %s %s)";
// Format: "float64" or "complex128".
inline constexpr const char* X_value_kind = "X must hold %s values";
// Format: H's columns, tau's shape.
inline constexpr const char* tau_shape = "tau must have shape (1, %zu), got (%zd, %zd)";
// Format: the axis.
inline constexpr const char* out_of_bounds = "Out of bounds on buffer access (axis %d)";
// Format: H's rows, v's length.
inline constexpr const char* v_length = "v must have %zu entries (the rows of H), got %zd";
// Format: m - 1, the position, the value.
inline constexpr const char* v_not_permutation = "v must be a permutation of 0..%zd, but v[%zd] = %lld";
inline constexpr const char* X_indptr = "X.indptr must be a non-empty NumPy array";
inline constexpr const char* tau_shape_mismatch = "tau shape mismatch";
inline constexpr const char* tau_dtype_mismatch = "tau dtype mismatch";
inline constexpr const char* v_shape_mismatch = "v shape mismatch";
inline constexpr const char* v_dtype_mismatch = "v dtype mismatch";

// ---------------------------------------------------------------------------
// Tables, records and docstring templates

// _ORDERING_CODES and _ORDERING_NAMES: the names of the orderings.
inline constexpr const char* ordering_default = "default";
inline constexpr const char* ordering_fixed = "fixed";
inline constexpr const char* ordering_natural = "natural";
inline constexpr const char* ordering_colamd = "colamd";
inline constexpr const char* ordering_cholmod = "cholmod";
inline constexpr const char* ordering_amd = "amd";
inline constexpr const char* ordering_metis = "metis";
inline constexpr const char* ordering_best = "best";
inline constexpr const char* ordering_bestamd = "bestamd";
// Format: the order given, the set of names.
inline constexpr const char* unknown_ordering = "Unknown ordering method: %U. Must be one of %U.";
// Format: a code without a name.
inline constexpr const char* unknown_ordering_code = "unknown %d";

inline constexpr const char* info = "SPQRInfo";
inline constexpr const char* info_qualified = "tarnix.spqr.SPQRInfo";
inline constexpr const char* unpickle_info = "__kvt_unpickle_SPQRInfo";
inline constexpr Param unpickle_params[] = {{"__kvt_type"}, {"__kvt_checksum"}, {"__kvt_state"}};

inline constexpr const char* solve_doc_template = "_SOLVE_DOC_TEMPLATE";
inline constexpr const char* A_doc = "_A_doc";
inline constexpr const char* min2norm_doc = "_min2norm_doc";
inline constexpr const char* qmult_doc_template = "_QMULT_DOC_TEMPLATE";
inline constexpr const char* qmult_house_doc = "_qmult_house_doc";

}  // namespace spqr_surface
