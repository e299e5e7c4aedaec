// SPQRFactor: a SuiteSparseQR factorization held by a Python object.
#pragma once

#include "spqr/state.hpp"

namespace spqr_module {

// Creates the SPQRFactor type with its methods and adds it to the module.
tarnix::Ref add_factor_type(PyObject* module);

// Fills the docstrings of solve and qmult from the templates.
void set_factor_docstrings(PyObject* type, PyObject* solve_doc, PyObject* qmult_doc);

// The product code of a method string ("QX", "QTX", "XQ", "XQT"); anything
// else raises ValueError.
int qmult_code(PyObject* method);

// method must be a str or None ("Expected str, got ...").
void require_method_type(PyObject* method);

}  // namespace spqr_module
