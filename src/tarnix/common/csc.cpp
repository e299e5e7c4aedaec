// The call of validate_csc_input and the unpacking of its result.
#include "common/csc.hpp"
#include "common/surface.hpp"
#include "common/csc_native.hpp"
#include "common/conversions.hpp"
#include "common/critical_section.hpp"
#include "common/module.hpp"

namespace tarnix {
namespace {

[[noreturn]] void raise_too_many(Py_ssize_t expected)
{
    raise_format(PyExc_ValueError, surface::too_many_values, expected);
}

[[noreturn]] void raise_need_more(Py_ssize_t found)
{
    raise_format(PyExc_ValueError, surface::too_few_values, found, found == 1 ? "" : "s");
}

long long dimension(PyObject* shape, Py_ssize_t axis)
{
    Ref d = check(PySequence_GetItem(shape, axis));
    return as_int64(d.get());
}

}  // namespace

void unpack_exact(PyObject* seq, Ref* out, Py_ssize_t n)
{
    if (PyTuple_CheckExact(seq) || PyList_CheckExact(seq)) {
        // Another thread may resize a list: its size and items are read in
        // its critical section, each item then held by a reference of ours.
        SequenceCriticalSection section(seq);
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(seq);
        if (size > n) {
            raise_too_many(n);
        }
        if (size < n) {
            raise_need_more(size);
        }
        PyObject** items = PySequence_Fast_ITEMS(seq);
        for (Py_ssize_t i = 0; i < n; ++i) {
            out[i] = Ref::borrow(items[i]);
        }
        return;
    }
    Ref it = check(PyObject_GetIter(seq));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyIter_Next(it.get());
        if (item == nullptr) {
            if (PyErr_Occurred()) {
                throw PythonError{};
            }
            raise_need_more(i);
        }
        out[i] = Ref::steal(item);
    }
    PyObject* extra = PyIter_Next(it.get());
    if (extra != nullptr) {
        Py_DECREF(extra);
        raise_too_many(n);
    }
    if (PyErr_Occurred()) {
        throw PythonError{};
    }
}

bool has_no_entries(PyObject* matrix)
{
    Ref nnz = check(PyObject_GetAttrString(matrix, "nnz"));
    Ref zero = check(PyLong_FromLong(0));
    return check_status(PyObject_RichCompareBool(nnz.get(), zero.get(), Py_EQ)) != 0;
}

bool has_no_entries(const CscInput& in)
{
    return in.nnz >= 0 ? in.nnz == 0 : has_no_entries(in.matrix.get());
}

CscInput coerce_csc(PyObject* module, PyObject* A, CoerceCall call, bool require_square, PatternCopy copy)
{
    static_assert(sizeof(long long) == 8, "64-bit sizes");
    Ref validate = module_global(module, csc_name(module, CscName::Validate));
    CscInput in;
    if (take_canonical_csc(module, validate.get(), A, require_square, copy, in)) {
        return in;
    }
    Ref result;
    switch (call) {
    case CoerceCall::Plain:
        result = check(PyObject_CallOneArg(validate.get(), A));
        break;
    case CoerceCall::Positional: {
        PyObject* args[] = {A, require_square ? Py_True : Py_False};
        result = check(PyObject_Vectorcall(validate.get(), args, 2, nullptr));
        break;
    }
    case CoerceCall::Keyword: {
        Ref kwnames = check(Py_BuildValue("(s)", "require_square"));
        PyObject* args[] = {A, require_square ? Py_True : Py_False};
        result = check(PyObject_Vectorcall(validate.get(), args, 1, kwnames.get()));
        break;
    }
    }
    Ref items[3];
    unpack_exact(result.get(), items, 3);
    in.matrix = items[0];
    in.index_dtype = items[2];
    Ref shape = csc_attribute(module, in.matrix.get(), CscName::Shape);
    in.nrows = dimension(shape.get(), 0);
    in.ncols = dimension(shape.get(), 1);
    return in;
}

}  // namespace tarnix
