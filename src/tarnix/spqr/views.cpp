// Matrices handed to SuiteSparseQR: views over Python-owned arrays and
// private copies of the arrays the library indexes with.

#include "spqr/views.hpp"

namespace spqr_module {

using namespace tarnix;

namespace {

// A private, C-ordered copy of one of a matrix's arrays, of `type` (-1: its
// own), that no other reference reaches.
Ref private_copy(const Ref& array, const char* name, int type = -1)
{
    if (!PyArray_Check(array.get())) {
        raise_format(PyExc_ValueError, "A.%s must be a NumPy array, got %.200s", name, Py_TYPE(array.get())->tp_name);
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
    Ref name = new_string("_cholmod_sparse_from_csc");
    return module_global(module, name.get());
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

Ref private_csc_copy(PyObject* module, PyObject* matrix)
{
    const State& st = state_of(module);
    CscParts parts = CscParts::of(matrix);
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
    // An empty csc_array of the shape and dtype, then the copies: the
    // constructor would otherwise scan int64 indices and narrow them.
    Ref shape = check(Py_BuildValue("((LL))", nrow, ncol));
    Ref dtype = Ref::borrow(reinterpret_cast<PyObject*>(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(data.get()))));
    Ref kwargs = check(Py_BuildValue("{sO}", "dtype", dtype.get()));
    Ref result = check(PyObject_Call(st.csc_array, shape.get(), kwargs.get()));
    check_status(PyObject_SetAttrString(result.get(), "data", data.get()));
    check_status(PyObject_SetAttrString(result.get(), "indices", indices.get()));
    check_status(PyObject_SetAttrString(result.get(), "indptr", indptr.get()));
    return result;
}

}  // namespace spqr_module
