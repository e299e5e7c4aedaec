// The fill-reducing orderings SuiteSparseQR offers, by name and by code.

#include "spqr/orderings.hpp"
#include "spqr/surface.hpp"

#include <cholmod.h>
#include <SuiteSparseQR_definitions.h>

namespace spqr_module {

using namespace tarnix;

void build_ordering_tables(State& st)
{
    const struct {
        const char* name;
        int code;
    } table[] = {
        {spqr_surface::ordering_default, SPQR_ORDERING_DEFAULT}, {spqr_surface::ordering_fixed, SPQR_ORDERING_FIXED},
        {spqr_surface::ordering_natural, SPQR_ORDERING_NATURAL}, {spqr_surface::ordering_colamd, SPQR_ORDERING_COLAMD},
        {spqr_surface::ordering_cholmod, SPQR_ORDERING_CHOLMOD}, {spqr_surface::ordering_amd, SPQR_ORDERING_AMD},
        {spqr_surface::ordering_metis, SPQR_ORDERING_METIS},     {spqr_surface::ordering_best, SPQR_ORDERING_BEST},
        {spqr_surface::ordering_bestamd, SPQR_ORDERING_BESTAMD},
    };
    Ref codes = check(PyDict_New());
    Ref names = check(PyDict_New());
    for (const auto& e : table) {
        Ref name = new_string(e.name);
        Ref code = check(PyLong_FromLong(e.code));
        check_status(PyDict_SetItem(codes.get(), name.get(), code.get()));
        check_status(PyDict_SetItem(names.get(), code.get(), name.get()));
    }
    st.ordering_codes = codes.release();
    st.ordering_names = names.release();
}

int ordering_code(const State& st, PyObject* order)
{
    if (order == Py_None) {
        return SPQR_ORDERING_DEFAULT;
    }
    const Ref code = dict_lookup(st.ordering_codes, order);  // TypeError when unhashable
    if (!code) {
        Ref names = check(PySet_New(st.ordering_codes));
        Ref order_str = check(PyObject_Format(order, nullptr));
        Ref names_str = check(PyObject_Format(names.get(), nullptr));
        Ref message = check(PyUnicode_FromFormat(spqr_surface::unknown_ordering, order_str.get(), names_str.get()));
        PyErr_SetObject(PyExc_KeyError, order);
        raise_chained(PyExc_ValueError, message.get());
    }
    return static_cast<int>(PyLong_AsLong(code.get()));
}

Ref ordering_name(const State& st, int code)
{
    Ref key = check(PyLong_FromLong(code));
    Ref name = dict_lookup(st.ordering_names, key.get());
    if (name) {
        return name;
    }
    return check(PyUnicode_FromFormat(spqr_surface::unknown_ordering_code, code));
}

}  // namespace spqr_module
