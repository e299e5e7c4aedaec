// SPQRFactor: the Python object that holds one SuiteSparseQR variant, and
// what its methods (spread over analysis.cpp, solve.cpp, qmult.cpp and
// copy.cpp) share.
#pragma once

#include "spqr/variant.hpp"

#include <memory>
#include <optional>

namespace spqr_module {

// The object's variant is NULL until __init__ has started one. __init__
// replaces it; a call that uses it holds its own reference (see Locked), so
// a variant replaced meanwhile stays alive until that call is done with it.
// The pointer itself is read and replaced only with the interpreter lock held.
struct FactorObject {
    PyObject_HEAD
    std::shared_ptr<FactorBase> variant;
};

inline FactorObject* as_factor(PyObject* op)
{
    return reinterpret_cast<FactorObject*>(op);
}

struct Context {
    PyObject* module;
    const State& st;
};

// The module and state of the type that defined self's class.
Context context_of(PyObject* self);

// The factor's variant as it is now, with its mutex held for one call (no
// lock when there is no variant). Made with the interpreter lock held, after
// the Python code a call runs (conversions, lookups, warnings), right before
// the state is checked and the library called.
class Locked {
public:
    explicit Locked(PyObject* self);
    FactorBase* get() const noexcept { return variant_.get(); }
    FactorBase* operator->() const noexcept { return variant_.get(); }

private:
    std::shared_ptr<FactorBase> variant_;
    std::optional<tarnix::ObjectLock> lock_;
};

bool has_symbolic(const FactorBase* v) noexcept;
bool has_numeric(const FactorBase* v) noexcept;

// A missing part is an AssertionError while assertions are on; without them
// the operation still refuses, since no library routine may see it.
void require_symbolic(const State& st, const FactorBase* v);
void require_numeric(const State& st, const FactorBase* v);

// The index and value dtypes of a variant (None before the analysis), as
// borrowed references.
PyObject* itype_of(const State& st, const FactorBase* v);
PyObject* dtype_of(const State& st, const FactorBase* v);

// The same for the factor as it is now, and its analysed shape ((0, 0)
// before the analysis). These read the variant's constant part: no lock.
struct Shape {
    long long rows;
    long long cols;
};
Shape shape_of(PyObject* self);
PyObject* itype_of(const State& st, PyObject* self);

// The methods, each in the file of its concern.
tarnix::Ref py_factorize(PyObject* self, const tarnix::Args& a);
tarnix::Ref py_check_input_matrix(PyObject* self, const tarnix::Args& a);
tarnix::Ref py_solve(PyObject* self, const tarnix::Args& a);
tarnix::Ref py_solve_dense(PyObject* self, const tarnix::Args& a);
tarnix::Ref py_qmult(PyObject* self, const tarnix::Args& a);
tarnix::Ref py_qmult_dense(PyObject* self, const tarnix::Args& a);
tarnix::Ref py_copy(PyObject* self, const tarnix::Args& a);
int factor_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept;

// Creates the SPQRFactor type with its methods and adds it to the module.
tarnix::Ref add_factor_type(PyObject* module);

// Fills the docstrings of solve and qmult from the templates.
void set_factor_docstrings(PyObject* type, PyObject* solve_doc, PyObject* qmult_doc);

}  // namespace spqr_module
