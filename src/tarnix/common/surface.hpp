// The names and messages every module shows the same way: the index-width
// selection, argument matching, the import guard and the ordering family's
// errors. They are the package's public contract (callers match on them,
// the modules' own surface.hpp files build on them) and must not change;
// each module's docstrings.hpp belongs to the same contract.
#pragma once

namespace tarnix::surface {

// ---------------------------------------------------------------------------
// The choice between the 32-bit and the 64-bit routines

inline constexpr const char* no_matching_signature = "No matching signature found";
// Format: the required count, the count given.
inline constexpr const char* expected_at_least = "Expected at least %d arguments, got %zd";

// ---------------------------------------------------------------------------
// Argument matching, worded as the interpreter words it

// Format: function, "at least"/"at most"/"exactly", count, plural "s" or "", count given.
inline constexpr const char* positional_count = "%.200s() takes %.8s %zd positional argument%.1s (%zd given)";
inline constexpr const char* count_at_least = "at least";
inline constexpr const char* count_at_most = "at most";
inline constexpr const char* count_exactly = "exactly";
inline constexpr const char* keywords_not_strings = "%.200s() keywords must be strings";
inline constexpr const char* unexpected_keyword = "%s() got an unexpected keyword argument '%U'";
inline constexpr const char* multiple_values = "%s() got multiple values for keyword argument '%U'";
inline constexpr const char* unbound_method = "unbound method %U() needs an argument";
inline constexpr const char* descriptor_mismatch = "descriptor '%U' for '%s' objects doesn't apply to a '%s' object";

// ---------------------------------------------------------------------------
// Array arguments and CSC input

// Format: the dimensions expected, those given, argument.
inline constexpr const char* buffer_dimensions =
    "Buffer has wrong number of dimensions (expected %d, got %d) for argument '%s'";
// Format: argument, the expected element type, the dtype given.
inline constexpr const char* buffer_dtype_mismatch =
    "Buffer dtype mismatch for argument '%s', expected '%s' but got %R";
inline constexpr const char* layout_c = "C-contiguous";
inline constexpr const char* layout_fortran = "Fortran contiguous";
// Formats: the layout (where there is one), the argument.
inline constexpr const char* ndarray_layout = "ndarray is not %s (argument '%s')";
inline constexpr const char* ndarray_unaligned = "ndarray is not aligned (argument '%s')";
inline constexpr const char* read_only = "buffer source array is read-only (argument '%s')";
inline constexpr const char* buffer_layout = "buffer is not %s (argument '%s')";
inline constexpr const char* buffer_unaligned = "buffer is not aligned (argument '%s')";
// Formats: argument, what the length is named after, that length, the length given.
inline constexpr const char* length_exact = "%s must have %s = %lld entries, got %zd";
inline constexpr const char* length_at_least = "%s must have at least %s = %lld entries, got %zd";
// Format: the size's name, its value, its name again.
inline constexpr const char* size_too_large = "%s = %lld is too large: no array has %s + 1 entries";
inline constexpr const char* negative_size = "%s must be non-negative, got %lld";
inline constexpr const char* negative_shape = "shape must not be negative, got (%lld, %lld)";
// Format: the array's name, the index dtype.
inline constexpr const char* index_range = "Values in %s exceed the range of the index dtype %S.";
// The unpacking of validate_csc_input's result, worded as the interpreter words it.
inline constexpr const char* too_many_values = "too many values to unpack (expected %zd)";
inline constexpr const char* too_few_values = "need more than %zd value%.1s to unpack";
// Format: the library, the amount, the matrix's rows and columns.
inline constexpr const char* workspace_memory = "%s: cannot allocate %s of workspace for a %lld x %lld matrix";
// Format: the expected type's name, the type given.
inline constexpr const char* expected_type = "Expected %s, got %.200s";

// ---------------------------------------------------------------------------
// Statistics records rebuilt from pickles

// Formats: the record's name first.
inline constexpr const char* state_not_tuple = "%s state must be a tuple, got %.200s";
inline constexpr const char* state_length = "%s state must have %d items, got %zd";
inline constexpr const char* wrong_instance = "%s() returned %.200s instead of %s";
inline constexpr const char* kvt_type = "__kvt_type must be %s or a subclass of it";
inline constexpr const char* kvt_state = "__kvt_state";
// Format: argument, expected type, type given.
inline constexpr const char* argument_type = "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)";

// ---------------------------------------------------------------------------
// The import guard

inline constexpr const char* interpreter_change =
    "Interpreter change detected - this module can only be loaded into one interpreter per process.";
// Format: the module's name.
inline constexpr const char* reinitialisation =
    "Module '%s' has already been imported. Re-initialisation is not supported.";

// ---------------------------------------------------------------------------
// Names every ordering module binds

inline constexpr const char* numpy_alias = "np";
inline constexpr const char* dataclass_name = "dataclass";
inline constexpr const char* validate_csc_input = "validate_csc_input";
inline constexpr const char* doctest_table = "__test__";

// ---------------------------------------------------------------------------
// The COLAMD family (colamd, ccolamd): errors and arguments

// Format: "row" or "column", the knob's index.
inline constexpr const char* dense_threshold_nan = "The dense %s threshold (knobs[%zu]) must not be NaN.";
inline constexpr const char* constraints_not_integers = "Constraints must be an array of integers.";
inline constexpr const char* constraints_length = "Constraints must have the same length as the matrix size.";
// Format: N - 1, the position, the value.
inline constexpr const char* constraints_range =
    "Constraints must lie in 0..N-1 = 0..%lld, got constraints[%zd] = %lld";
inline constexpr const char* recommended_alen_zero = "Recommended Alen is zero: one of {A.nnz, M, N} is erroneous.";
inline constexpr const char* recommended_alen_small = "Recommended Alen is less than nnz.";
// Formats: the library's name ("COLAMD", "CCOLAMD"), twice where it names a status constant.
inline constexpr const char* status_not_ok = "%s returned OK but status is not %s_OK.";
inline constexpr const char* ran_out_of_memory = "%s ran out of memory.";
inline constexpr const char* internal_error = "%s encountered an internal error.";
inline constexpr const char* status_without_message = "%s returned an error with status %lld, which has no message.";
inline constexpr const char* status_error = "%s returned an error:%U.";

// The library's statuses as the errors above word them.
struct StatusText {
    int status;
    const char* text;
};
inline constexpr StatusText colamd_status_texts[] = {
    {0, "ok"},
    {1, "ok but A has unsorted columns or duplicate entries"},
    {-1, "A is a null pointer"},
    {-2, "p is a null pointer"},
    {-3, "nrow is negative"},
    {-4, "ncol is negative"},
    {-5, "nnz is negative"},
    {-6, "p[0] is nonzero"},
    {-7, "A is too small"},
    {-8, "column has a negative number of entries"},
    {-9, "row index out of bounds"},
    {-10, "out of memory"},
    {-999, "internal error"},
};

// The keys of the *_get_defaults() dictionaries.
inline constexpr const char* dense_row_thresh = "dense_row_thresh";
inline constexpr const char* dense_col_thresh = "dense_col_thresh";
inline constexpr const char* aggressive = "aggressive";
inline constexpr const char* opt_lu = "opt_lu";
inline constexpr const char* opt_lu_lu = "lu";
inline constexpr const char* opt_lu_cholesky = "cholesky";

}  // namespace tarnix::surface
