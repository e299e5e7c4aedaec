// The index width chosen from the column pointers Ap.
#include "common/dispatch.hpp"
#include "common/surface.hpp"

namespace tarnix {

IndexWidth select_index_width(PyObject* Ap)
{
    int itemsize = 0;
    if (Ap == Py_None) {
        return IndexWidth::I32;
    }
    if (PyArray_Check(Ap)) {
        auto* arr = reinterpret_cast<PyArrayObject*>(Ap);
        PyArray_Descr* descr = PyArray_DESCR(arr);
        if (PyArray_NDIM(arr) == 1 && descr->kind == 'i') {
            itemsize = static_cast<int>(PyDataType_ELSIZE(descr));
        }
    }
    else if (PyObject_CheckBuffer(Ap)) {
        Py_buffer view;
        if (PyObject_GetBuffer(Ap, &view, PyBUF_FORMAT | PyBUF_STRIDES) == 0) {
            FormatInfo info = parse_format(view.format);
            if (view.ndim == 1 && info.kind == 'i' && info.itemsize == view.itemsize) {
                itemsize = info.itemsize;
            }
            PyBuffer_Release(&view);
        }
        else {
            PyErr_Clear();
        }
    }
    if (itemsize == 4) {
        return IndexWidth::I32;
    }
    if (itemsize == 8) {
        return IndexWidth::I64;
    }
    raise(PyExc_TypeError, surface::no_matching_signature);
}

}  // namespace tarnix
