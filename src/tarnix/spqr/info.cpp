// SPQRInfo: sixteen object slots holding the statistics SuiteSparseQR leaves
// in a cholmod_common, with the behaviour of a frozen dataclass (read-only
// fields, repr, ==, hash, dataclass metadata) and checked pickling.

#include "spqr/info.hpp"

#include "spqr/docstrings.hpp"
#include "spqr/orderings.hpp"

#include "common/critical_section.hpp"

#include <array>

#include <cstddef>
#include <cstdio>

#include <structmember.h>

namespace spqr_module {

using namespace tarnix;

namespace {

constexpr int kFields = 16;

enum class Kind : unsigned char { Int, Float, Str };

struct Field {
    const char* name;
    Kind kind;
    const char* type;  // the declared type string
    const char* doc;
};

// Declaration order: constructor parameters, __match_args__, repr, ==, hash.
const Field fields[kFields] = {
    {"nnzR_upper_bound", Kind::Int, "int | None", "Upper bound on the number of entries of R."},
    {"nnzH_upper_bound", Kind::Int, "int | None", "Upper bound on the number of entries of the Householder vectors."},
    {"nf", Kind::Int, "int | None", "Number of frontal matrices."},
    {"rank_A_estimate", Kind::Int, "int | None", "Estimated rank of A."},
    {"n1cols", Kind::Int, "int | None", "Number of column singletons."},
    {"n1rows", Kind::Int, "int | None", "Number of singleton rows."},
    {"ordering", Kind::Str, "str | None", "Fill-reducing ordering actually used."},
    {"memory", Kind::Int, "int | None", "Peak memory use in bytes."},
    {"flops_upper_bound", Kind::Int, "int | None", "Upper bound on the flop count."},
    {"tol", Kind::Float, "float | None", "Tolerance used for rank detection."},
    {"norm_E_fro", Kind::Float, "float | None", "Frobenius norm of the dropped entries."},
    {"analyze_time", Kind::Float, "float | None", "Analysis time in seconds."},
    {"factorize_time", Kind::Float, "float | None", "Factorization time in seconds."},
    {"solve_time", Kind::Float, "float | None", "Solve time in seconds."},
    {"total_time", Kind::Float, "float | None", "Total time in seconds."},
    {"flops", Kind::Int, "int | None", "Flop count of the factorization."},
};

enum Index {
    NNZR, NNZH, NF, RANK, N1COLS, N1ROWS, ORDERING, MEMORY, FLOPS_BOUND, TOL, NORM_E, ANALYZE, FACTORIZE, SOLVE,
    TOTAL, FLOPS,
};

// Pickle state: the fields in the ASCII order of their names.
const int state_order[kFields] = {ANALYZE, FACTORIZE, FLOPS, FLOPS_BOUND, MEMORY, N1COLS, N1ROWS, NF, NNZH,
                                  NNZR,    NORM_E,    ORDERING, RANK, SOLVE, TOL, TOTAL};

// The layout checksums are those of the pickle format that SPQRInfo records
// have always been written in: each is the first seven hex digits of a digest
// of the state's field names, in the order below, joined by single spaces
// ("analyze_time factorize_time ... total_time"): SHA-256 gives 0x4fe1628
// (written), SHA-1 0x7e9e7b5 and MD5 0xd5b19e3 (also accepted on load).
constexpr long long kChecksum = 0x4fe1628;
constexpr long long kAcceptedChecksums[] = {0x4fe1628, 0x7e9e7b5, 0xd5b19e3};
constexpr const char* kStateNames =
    "analyze_time, factorize_time, flops, flops_upper_bound, memory, n1cols, n1rows, nf, nnzH_upper_bound, "
    "nnzR_upper_bound, norm_E_fro, ordering, rank_A_estimate, solve_time, tol, total_time";

struct InfoObject {
    PyObject_HEAD
    PyObject* values[kFields];
};

InfoObject* as_info(PyObject* op)
{
    return reinterpret_cast<InfoObject*>(op);
}

// The coercion every stored value goes through: int fields hold int or None,
// float fields float or None, ordering str or None.
Ref coerce(Kind kind, PyObject* value)
{
    if (value == Py_None) {
        return Ref::none();
    }
    switch (kind) {
    case Kind::Int:
        if (PyLong_CheckExact(value)) {
            return Ref::borrow(value);
        }
        if (PyNumber_Check(value)) {
            return check(PyNumber_Long(value));
        }
        raise_format(PyExc_TypeError, "Expected %s, got %.200s", "int", Py_TYPE(value)->tp_name);
    case Kind::Float:
        if (PyFloat_CheckExact(value)) {
            return Ref::borrow(value);
        }
        if (PyNumber_Check(value)) {
            return check(PyNumber_Float(value));
        }
        raise_format(PyExc_TypeError, "Expected %s, got %.200s", "float", Py_TYPE(value)->tp_name);
    case Kind::Str:
        if (PyUnicode_CheckExact(value)) {
            return Ref::borrow(value);
        }
        raise_format(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(value)->tp_name);
    }
    return Ref{};
}

// The fields are read and written in the record's critical section (the
// read-only member descriptors take it too when they meet a writer), all of
// them at once, so that a reader sees the record before or after a
// __setstate__ or __init__, never half of each. A stored pointer is
// published with a release store: the descriptors read it without the
// section first. That is what the descriptors of T_OBJECT_EX members do on
// free-threaded builds (they take the reference only if the field still
// holds the object); plain T_OBJECT members read the pointer and take a
// reference to what may already have been released by a writer, so the
// fields are T_OBJECT_EX (never NULL: info_new fills them with None).
using Values = std::array<Ref, kFields>;

Values values_of(PyObject* op) noexcept
{
    Values out;
    CriticalSection section(op);
    for (int i = 0; i < kFields; ++i) {
        out[i] = Ref::borrow(as_info(op)->values[i]);
    }
    return out;
}

// Stores every field (new references taken from `values`); the previous
// ones are released after the section.
void store_values(PyObject* op, Values values) noexcept
{
    {
        CriticalSection section(op);
        for (int i = 0; i < kFields; ++i) {
            PyObject* fresh = values[i].release();
            values[i] = Ref::steal(as_info(op)->values[i]);
            __atomic_store_n(&as_info(op)->values[i], fresh, __ATOMIC_RELEASE);
        }
    }
}

void set_state(PyObject* self, PyObject* state)
{
    if (!PyTuple_Check(state)) {
        raise_format(PyExc_TypeError, "SPQRInfo state must be a tuple, got %.200s", Py_TYPE(state)->tp_name);
    }
    if (PyTuple_GET_SIZE(state) != kFields) {
        raise_format(PyExc_ValueError, "SPQRInfo state must have %d items, got %zd", kFields, PyTuple_GET_SIZE(state));
    }
    // All converted before any is stored, so that a failure changes nothing.
    Values values;
    for (int k = 0; k < kFields; ++k) {
        const int index = state_order[k];
        values[index] = coerce(fields[index].kind, PyTuple_GET_ITEM(state, k));
    }
    store_values(self, std::move(values));
}

Ref state_tuple(const Values& values)
{
    Ref state = check(PyTuple_New(kFields));
    for (int k = 0; k < kFields; ++k) {
        PyTuple_SET_ITEM(state.get(), k, Py_NewRef(values[state_order[k]].get()));
    }
    return state;
}

// ---------------------------------------------------------------------------
// Type slots

PyObject* info_new(PyTypeObject* type, PyObject*, PyObject*) noexcept
{
    PyObject* op = type->tp_alloc(type, 0);
    if (op == nullptr) {
        return nullptr;
    }
    for (PyObject*& v : as_info(op)->values) {
        v = Py_NewRef(Py_None);
    }
    return op;
}

int info_init(PyObject* op, PyObject* args, PyObject* kwargs) noexcept
{
    const char* keywords[kFields + 1];  // per call: the parser takes a mutable array
    for (int i = 0; i < kFields; ++i) {
        keywords[i] = fields[i].name;
    }
    keywords[kFields] = nullptr;
    PyObject* values[kFields] = {};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOOOOOOOOOOOOOOO:__init__", const_cast<char**>(keywords),
                                     &values[0], &values[1], &values[2], &values[3], &values[4], &values[5],
                                     &values[6], &values[7], &values[8], &values[9], &values[10], &values[11],
                                     &values[12], &values[13], &values[14], &values[15])) {
        return -1;
    }
    return boundary_status([&] {
        // Coerce all before storing any, so that a failed call changes nothing.
        Values coerced;
        for (int i = 0; i < kFields; ++i) {
            coerced[i] = coerce(fields[i].kind, values[i] != nullptr ? values[i] : Py_None);
        }
        store_values(op, std::move(coerced));
    });
}

int info_traverse(PyObject* op, visitproc visit, void* arg) noexcept
{
    Py_VISIT(Py_TYPE(op));
    for (PyObject* v : as_info(op)->values) {
        Py_VISIT(v);
    }
    return 0;
}

int info_clear(PyObject* op) noexcept
{
    for (PyObject*& v : as_info(op)->values) {
        Py_CLEAR(v);
    }
    return 0;
}

void info_dealloc(PyObject* op) noexcept
{
    PyTypeObject* type = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    info_clear(op);
    type->tp_free(op);
    Py_DECREF(type);
}

PyObject* info_repr(PyObject* op) noexcept
{
    return boundary([&]() -> Ref {
        auto* type = reinterpret_cast<PyObject*>(Py_TYPE(op));
        Ref name = Ref::steal(PyObject_GetAttrString(type, "__qualname__"));
        if (!name || !truth(name.get())) {
            PyErr_Clear();
            name = check(PyObject_GetAttrString(type, "__name__"));
        }
        Ref parts = check(PyList_New(0));
        const Values values = values_of(op);
        for (int i = 0; i < kFields; ++i) {
            Ref item = check(PyUnicode_FromFormat("%s=%R", fields[i].name, values[i].get()));
            check_status(PyList_Append(parts.get(), item.get()));
        }
        Ref sep = new_string(", ");
        Ref body = check(PyUnicode_Join(sep.get(), parts.get()));
        return check(PyUnicode_FromFormat("%S(%U)", name.get(), body.get()));
    });
}

// Only == is defined; != is its inversion, ordering is not supported.
PyObject* info_richcompare(PyObject* self, PyObject* other, int op) noexcept
{
    if (op != Py_EQ && op != Py_NE) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    return boundary([&]() -> Ref {
        Ref self_class = check(PyObject_GetAttrString(self, "__class__"));
        Ref other_class = check(PyObject_GetAttrString(other, "__class__"));
        if (self_class.get() != other_class.get()) {
            return Ref::borrow(Py_NotImplemented);
        }
        bool equal = true;
        const Values mine = values_of(self);
        const Values theirs = values_of(other);
        for (int i = 0; i < kFields && equal; ++i) {
            Ref differs = check(PyObject_RichCompare(mine[i].get(), theirs[i].get(), Py_NE));
            equal = !truth(differs.get());
        }
        return Ref::borrow((equal == (op == Py_EQ)) ? Py_True : Py_False);
    });
}

Py_hash_t info_hash(PyObject* op) noexcept
{
    PyObject* t = PyTuple_New(kFields);
    if (t == nullptr) {
        return -1;
    }
    const Values values = values_of(op);
    for (int i = 0; i < kFields; ++i) {
        PyTuple_SET_ITEM(t, i, Py_NewRef(values[i].get()));
    }
    Py_hash_t h = PyObject_Hash(t);
    Py_DECREF(t);
    return h;
}

PyMemberDef info_members[kFields + 1];

Ref py_reduce(PyObject* self, const Args&)
{
    PyObject* module = PyType_GetModuleByDef(Py_TYPE(self), &module_def);
    if (module == nullptr) {
        throw PythonError{};
    }
    Ref name = new_string("__kvt_unpickle_SPQRInfo");
    Ref unpickle = module_global(module, name.get());
    const Values values = values_of(self);
    Ref state = state_tuple(values);
    bool all_none = true;
    for (const Ref& v : values) {
        all_none = all_none && v.get() == Py_None;
    }
    auto* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
    if (all_none) {
        return check(Py_BuildValue("(O(OlO))", unpickle.get(), type, static_cast<long>(kChecksum), state.get()));
    }
    return check(Py_BuildValue("(O(OlO)O)", unpickle.get(), type, static_cast<long>(kChecksum), Py_None,
                               state.get()));
}

Ref py_setstate(PyObject* self, const Args& a)
{
    set_state(self, a[0]);
    return Ref::none();
}

constexpr Param setstate_params[] = {{"state"}};
constexpr FunctionDef reduce_def = method("__reduce__", py_reduce);
constexpr FunctionDef setstate_def = method("__setstate__", py_setstate, setstate_params);

Ref py_unpickle(PyObject* module, const Args& a)
{
    const long long checksum = as_int64(a[1]);
    PyObject* state = a[2];
    if (state != Py_None && !PyTuple_CheckExact(state)) {
        raise_format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                     "__kvt_state", "tuple", Py_TYPE(state)->tp_name);
    }
    bool accepted = false;
    for (long long c : kAcceptedChecksums) {
        accepted = accepted || c == checksum;
    }
    if (!accepted) {
        Ref pickle_error = import_attr("pickle", "PickleError");
        char text[512];
        std::snprintf(text, sizeof text, "Incompatible checksums (0x%llx vs (0x%llx, 0x%llx, 0x%llx) = (%s))",
                      static_cast<unsigned long long>(checksum), static_cast<unsigned long long>(kAcceptedChecksums[0]),
                      static_cast<unsigned long long>(kAcceptedChecksums[1]),
                      static_cast<unsigned long long>(kAcceptedChecksums[2]), kStateNames);
        Ref message = new_string(text);
        PyErr_SetObject(pickle_error.get(), message.get());
        throw PythonError{};
    }
    const State& st = state_of(module);
    Ref new_method = check(PyObject_GetAttrString(st.info_type, "__new__"));
    Ref obj = check(PyObject_CallOneArg(new_method.get(), a[0]));
    if (!PyObject_TypeCheck(obj.get(), reinterpret_cast<PyTypeObject*>(st.info_type))) {
        raise(PyExc_TypeError, "__kvt_type must be SPQRInfo or a subclass of it");
    }
    if (state != Py_None) {
        set_state(obj.get(), state);
    }
    return obj;
}

constexpr Param unpickle_params[] = {{"__kvt_type"}, {"__kvt_checksum"}, {"__kvt_state"}};

// The dataclass description, so that dataclasses.fields(), asdict(),
// replace() and the like work on the record.
void add_dataclass_metadata(PyObject* type)
{
    Ref dataclasses = import_module("dataclasses");
    Ref params_class = check(PyObject_GetAttrString(dataclasses.get(), "_DataclassParams"));
    Ref params_kwargs = check(Py_BuildValue("{sOsOsOsOsOsOsOsOsOsO}", "init", Py_True, "repr", Py_True, "eq", Py_True,
                                            "order", Py_False, "unsafe_hash", Py_False, "frozen", Py_True,
                                            "match_args", Py_True, "kw_only", Py_False, "slots", Py_False,
                                            "weakref_slot", Py_False));
    Ref empty = check(PyTuple_New(0));
    Ref params = Ref::steal(PyObject_Call(params_class.get(), empty.get(), params_kwargs.get()));
    if (!params) {
        // Python 3.11 knows only the first six parameters.
        PyErr_Clear();
        Ref classic = check(Py_BuildValue("{sOsOsOsOsOsO}", "init", Py_True, "repr", Py_True, "eq", Py_True, "order",
                                          Py_False, "unsafe_hash", Py_False, "frozen", Py_True));
        params = check(PyObject_Call(params_class.get(), empty.get(), classic.get()));
    }
    check_status(PyObject_SetAttrString(type, "__dataclass_params__", params.get()));

    Ref field_fn = check(PyObject_GetAttrString(dataclasses.get(), "field"));
    Ref field_marker = check(PyObject_GetAttrString(dataclasses.get(), "_FIELD"));
    Ref field_kwargs = check(Py_BuildValue("{sOsOsOsOsOsO}", "repr", Py_True, "hash", Py_None, "init", Py_True,
                                           "compare", Py_True, "metadata", Py_None, "default", Py_None));
    Ref field_dict = check(PyDict_New());
    Ref match_args = check(PyTuple_New(kFields));
    for (int i = 0; i < kFields; ++i) {
        Ref f = check(PyObject_Call(field_fn.get(), empty.get(), field_kwargs.get()));
        Ref name = new_string(fields[i].name);
        Ref declared = new_string(fields[i].type);
        check_status(PyObject_SetAttrString(f.get(), "name", name.get()));
        check_status(PyObject_SetAttrString(f.get(), "type", declared.get()));
        check_status(PyObject_SetAttrString(f.get(), "_field_type", field_marker.get()));
        check_status(PyDict_SetItem(field_dict.get(), name.get(), f.get()));
        PyTuple_SET_ITEM(match_args.get(), i, name.release());
    }
    check_status(PyObject_SetAttrString(type, "__dataclass_fields__", field_dict.get()));
    check_status(PyObject_SetAttrString(type, "__match_args__", match_args.get()));
}

PyType_Slot info_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(info_new)},
    {Py_tp_init, reinterpret_cast<void*>(info_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(info_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(info_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(info_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(info_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(info_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(info_hash)},
    {Py_tp_members, info_members},
    {Py_tp_doc, const_cast<char*>(spqr_docs::info)},
    {0, nullptr},
};

PyType_Spec info_spec = {
    "tarnix.spqr.SPQRInfo",
    sizeof(InfoObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    info_slots,
};

}  // namespace

const FunctionDef unpickle_info_def = function("__kvt_unpickle_SPQRInfo", py_unpickle, unpickle_params)
                                          .with_doc("Rebuild an SPQRInfo from its pickled state (checked by layout checksum).");

Ref add_info_type(PyObject* module)
{
    for (int i = 0; i < kFields; ++i) {
        info_members[i] = PyMemberDef{fields[i].name, T_OBJECT_EX, static_cast<Py_ssize_t>(
                                          offsetof(InfoObject, values) + i * sizeof(PyObject*)),
                                      READONLY, fields[i].doc};
    }
    info_members[kFields] = PyMemberDef{nullptr, 0, 0, 0, nullptr};
    Ref type = check(PyType_FromModuleAndSpec(module, &info_spec, nullptr));
    add_method(module, type.get(), reduce_def);
    add_method(module, type.get(), setstate_def);
    add_dataclass_metadata(type.get());
    add_object(module, "SPQRInfo", type.get());
    return type;
}

Ref info_from_common(const State& st, const cholmod_common* cm)
{
    if (cm == nullptr) {
        raise(PyExc_AssertionError, "");
    }
    Ref obj = check(PyObject_CallNoArgs(st.info_type));
    InfoObject* info = as_info(obj.get());
    auto set = [&](int index, Ref value) { Py_XSETREF(info->values[index], value.release()); };
    const int64_t* istat = cm->SPQR_istat;
    set(NNZR, check(PyLong_FromLongLong(istat[0])));
    set(NNZH, check(PyLong_FromLongLong(istat[1])));
    set(NF, check(PyLong_FromLongLong(istat[2])));
    set(RANK, check(PyLong_FromLongLong(istat[4])));
    set(N1COLS, check(PyLong_FromLongLong(istat[5])));
    set(N1ROWS, check(PyLong_FromLongLong(istat[6])));
    set(ORDERING, ordering_name(st, static_cast<int32_t>(istat[7])));
    set(MEMORY, check(PyLong_FromSize_t(cm->memory_usage)));
    set(FLOPS_BOUND, check(PyLong_FromDouble(cm->SPQR_flopcount_bound)));
    set(TOL, check(PyFloat_FromDouble(cm->SPQR_tol_used)));
    set(NORM_E, check(PyFloat_FromDouble(cm->SPQR_norm_E_fro)));
    set(ANALYZE, check(PyFloat_FromDouble(cm->SPQR_analyze_time)));
    set(FACTORIZE, check(PyFloat_FromDouble(cm->SPQR_factorize_time)));
    set(SOLVE, check(PyFloat_FromDouble(cm->SPQR_solve_time)));
    set(TOTAL, check(PyFloat_FromDouble(cm->SPQR_analyze_time + cm->SPQR_factorize_time + cm->SPQR_solve_time)));
    set(FLOPS, check(PyLong_FromDouble(cm->SPQR_flopcount)));
    return obj;
}

}  // namespace spqr_module
