// csc_array results from a prototype of SciPy's instance attributes, or from
// SciPy's constructor where the prototype does not fit.
#include "common/csc_result.hpp"

#include <iterator>

namespace tarnix {
namespace {

constexpr const char* prototype_keys[] = {"_shape", "maxprint", "data", "indices", "indptr"};

Ref constructed(PyObject* type, PyObject* shape, PyObject* data, PyObject* indices, PyObject* indptr)
{
    PyObject* dtype = reinterpret_cast<PyObject*>(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(data)));
    Ref args = check(PyTuple_Pack(1, shape));
    Ref kwargs = check(Py_BuildValue("{sO}", "dtype", dtype));
    Ref result = check(PyObject_Call(type, args.get(), kwargs.get()));
    check_status(PyObject_SetAttrString(result.get(), "data", data));
    check_status(PyObject_SetAttrString(result.get(), "indices", indices));
    check_status(PyObject_SetAttrString(result.get(), "indptr", indptr));
    return result;
}

}  // namespace

Ref csc_prototype(PyObject* csc_array_type)
{
    Ref shape = check(Py_BuildValue("(ii)", 0, 0));
    Ref empty = check(PyObject_CallOneArg(csc_array_type, shape.get()));
    Ref dict = check(PyObject_GenericGetDict(empty.get(), nullptr));
    if (Py_TYPE(empty.get()) != reinterpret_cast<PyTypeObject*>(csc_array_type) || !PyDict_CheckExact(dict.get()) ||
        PyDict_GET_SIZE(dict.get()) != static_cast<Py_ssize_t>(std::size(prototype_keys))) {
        return Ref::none();
    }
    for (const char* key : prototype_keys) {
        Ref name = check(PyUnicode_FromString(key));
        if (check_status(PyDict_Contains(dict.get(), name.get())) == 0) {
            return Ref::none();
        }
    }
    return check(PyDict_Copy(dict.get()));
}

Ref new_csc_array(PyObject* csc_array_type, PyObject* prototype, Py_ssize_t nrow, Py_ssize_t ncol, PyObject* data,
                  PyObject* indices, PyObject* indptr)
{
    Ref shape = check(Py_BuildValue("(nn)", nrow, ncol));
    if (prototype == nullptr || !PyDict_CheckExact(prototype)) {
        return constructed(csc_array_type, shape.get(), data, indices, indptr);
    }
    // object.__new__, as the class has no __new__ of its own; then the
    // attributes in the constructor's order, ours in place of the empty ones.
    auto* type = reinterpret_cast<PyTypeObject*>(csc_array_type);
    Ref no_args = check(PyTuple_New(0));
    Ref result = check(type->tp_new(type, no_args.get(), nullptr));
    Ref dict = check(PyObject_GenericGetDict(result.get(), nullptr));
    check_status(PyDict_Update(dict.get(), prototype));
    PyObject* values[] = {shape.get(), nullptr, data, indices, indptr};
    for (size_t k = 0; k < std::size(prototype_keys); ++k) {
        if (values[k] != nullptr) {
            check_status(PyDict_SetItemString(dict.get(), prototype_keys[k], values[k]));
        }
    }
    return result;
}

}  // namespace tarnix
