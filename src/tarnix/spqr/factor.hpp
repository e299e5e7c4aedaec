// SPQRFactor: the Python object that holds one SuiteSparseQR variant, and
// what its methods (spread over analysis.cpp, solve.cpp, qmult.cpp and
// copy.cpp) share.
#pragma once

#include "common/csc.hpp"
#include "spqr/variant.hpp"

#include <memory>
#include <optional>

namespace spqr_module {

// The object's variant is NULL until __init__ has published one. __init__
// builds a new variant apart and replaces the pointer only once the analysis
// is over, so no call ever sees one half built. The pointer is read and
// replaced in the object's critical section, never used through it: a call
// takes its own reference (a Snapshot), so a variant replaced meanwhile stays
// alive until that call is done with it.
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

// One call's view of the factor: its variant, taken once, with the variant's
// mutex held until the call returns (no lock when there is no variant). All
// that the call runs on this thread and reads of the same factor (its
// properties, an overridden _solve_dense, each batch of a sparse solve, the
// conversion of the result) sees this same variant through a nested Snapshot,
// which takes no lock. A re-initialisation meanwhile publishes a new variant
// for later calls; a re-factorization waits until the call is over (from this
// thread it is refused: see Locked).
class Snapshot {
public:
    explicit Snapshot(PyObject* self);
    ~Snapshot();
    Snapshot(const Snapshot&) = delete;
    Snapshot& operator=(const Snapshot&) = delete;
    FactorBase* get() const noexcept { return variant_.get(); }
    FactorBase* operator->() const noexcept { return variant_.get(); }
    const std::shared_ptr<FactorBase>& variant() const noexcept { return variant_; }
    // This thread's call on self that holds its lock, if any.
    static const Snapshot* enclosing(PyObject* self) noexcept;

private:
    PyObject* self_;
    std::shared_ptr<FactorBase> variant_;
    std::optional<tarnix::ObjectLock> lock_;
    const Snapshot* outer_ = nullptr;  // this thread's enclosing call, when this one holds the lock
};

// The factor's variant as it is now, with its mutex held, for a call that
// changes it (factorize). Made with the interpreter lock held, after the
// Python code the call runs, right before the state is checked and the
// library called. A call of this thread on the same variant still running
// makes it a RuntimeError.
class Locked {
public:
    explicit Locked(PyObject* self);
    FactorBase* get() const noexcept { return variant_.get(); }
    FactorBase* operator->() const noexcept { return variant_.get(); }

private:
    std::shared_ptr<FactorBase> variant_;
    std::optional<tarnix::ObjectLock> lock_;
};

// The variant this thread's call on self sees (a Snapshot's), or else the
// published one. Its constant part (value type, width, shape, whether the
// analysis succeeded) may be read without the variant's mutex.
std::shared_ptr<FactorBase> current_variant(PyObject* self);

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

// The same for the factor's current_variant, and its analysed shape ((0, 0)
// before the analysis). These read the variant's constant part: no lock.
struct Shape {
    long long rows;
    long long cols;
};
Shape shape_of(PyObject* self);
PyObject* itype_of(const State& st, PyObject* self);

// Whether self's class is the module's SPQRFactor itself: then none of its
// properties and methods is overridden, and the calls below go to them
// directly rather than through attribute lookups.
// Nor patched on the class since the module was made (factor_version).
bool is_exact_factor(PyObject* self, const State& st) noexcept;

// The version tag of the SPQRFactor type as made, recorded once at import.
unsigned int factor_version(PyObject* type);

// self.<name> for one of the properties (is_numeric, shape, rank, perm,
// info, itype, dtype): the getter called directly for the exact type.
tarnix::Ref property_of(PyObject* self, const State& st, const char* name);

// Publishes a variant (a new analysis, or a copy's) as the object's own.
void publish(PyObject* self, std::shared_ptr<FactorBase> variant);

// What SPQRFactor(A, use_singletons=..., order=..., tol=...) is given; with
// numeric_after (and without use_singletons) the numeric factorization of A
// follows the analysis, as factorize(A) would.
struct FactorArgs {
    PyObject* A;
    PyObject* use_singletons;
    PyObject* order;
    PyObject* tol;
    bool numeric_after;
    // Python code may have run since A was coerced (construct_coerced).
    bool python_ran = false;
};

// __init__'s work: converts the arguments, analyses A into a new variant and
// publishes it as self's.
void construct(PyObject* self, const Context& ctx, const FactorArgs& args);

// The same for an args.A that coerce_csc (with PatternCopy::Checked)
// returned as `in`.
void construct_coerced(PyObject* self, const Context& ctx, const tarnix::CscInput& in, const FactorArgs& args);

// A new SPQRFactor (the module's own type), constructed.
tarnix::Ref new_factor(const Context& ctx, const FactorArgs& args);
tarnix::Ref new_factor(const Context& ctx, const tarnix::CscInput& in, const FactorArgs& args);

// solve(b, transpose=..., rhs_batch_size=...) on self, its arguments converted.
tarnix::Ref solve_call(PyObject* self, const Context& ctx, PyObject* b, bool transpose, Py_ssize_t batch);

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
