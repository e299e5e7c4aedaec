// Matrices handed to SuiteSparseQR: views over Python-owned arrays and
// private copies of the arrays the library indexes with.

#include "spqr/views.hpp"

#include "common/csc_result.hpp"
#include "spqr/arguments.hpp"
#include "spqr/surface.hpp"

namespace spqr_module {

using namespace tarnix;

namespace {

// A private, C-ordered copy of one of a matrix's arrays, of `type` (-1: its
// own), that no other reference reaches.
Ref private_copy(const Ref& array, const char* name, int type = -1)
{
    if (!PyArray_Check(array.get())) {
        raise_format(PyExc_ValueError, spqr_surface::not_numpy_array, name, Py_TYPE(array.get())->tp_name);
    }
    auto* a = reinterpret_cast<PyArrayObject*>(array.get());
    if (type < 0 || type == PyArray_TYPE(a)) {
        return check(PyArray_NewCopy(a, NPY_CORDER));
    }
    return check(PyArray_CastToType(a, PyArray_DescrFromType(type), 0));
}

}  // namespace

Ref module_fill(PyObject* module)
{
    return module_global(module, interned_name("_cholmod_sparse_from_csc"));
}

bool trusted_fill(const State& st, PyObject* fill)
{
    return fill == st.sparse_from_csc;
}

SparseView sparse_view(PyObject* module, CscParts parts)
{
    const State& st = state_of(module);
    Ref fill = module_fill(module);
    return SparseView(std::move(parts), fill.get(), trusted_fill(st, fill.get()));
}

CscParts private_indices(CscParts parts, int index_type)
{
    Ref indptr = private_copy(parts.indptr, "indptr", index_type);
    Ref indices = private_copy(parts.indices, "indices", index_type);
    return CscParts::with_indices(std::move(parts), indptr, indices);
}

SparseView owned_sparse_view(PyObject* module, CscParts parts, int index_type)
{
    return sparse_view(module, private_indices(std::move(parts), index_type));
}

SparseView input_view(PyObject* module, const CscInput& in)
{
    if (in.indptr_copy) {
        Ref fill = module_fill(module);
        if (trusted_fill(state_of(module), fill.get())) {
            if (std::optional<SparseView> view = SparseView::over_checked(module, in)) {
                return std::move(*view);
            }
        }
    }
    return owned_sparse_view(module, CscParts::of(module, in.matrix.get()));
}

Ref private_csc_copy(PyObject* module, PyObject* matrix)
{
    const State& st = state_of(module);
    CscParts parts = CscParts::of(module, matrix);
    Ref indptr = private_copy(parts.indptr, "indptr");
    Ref indices = private_copy(parts.indices, "indices");
    Ref data = private_copy(parts.data, "data");
    parts.indptr = indptr;
    parts.indices = indices;
    parts.data = data;
    const long long nrow = parts.nrow;
    const long long ncol = parts.ncol;
    {
        // The module's own fill checks the structure of the copies.
        SparseView checked(std::move(parts), st.sparse_from_csc, true);
    }
    return new_csc_array(st.csc_array_type, st.csc_prototype, static_cast<Py_ssize_t>(nrow),
                         static_cast<Py_ssize_t>(ncol), data.get(), indices.get(), indptr.get());
}

}  // namespace spqr_module
