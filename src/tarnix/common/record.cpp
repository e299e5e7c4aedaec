// Statistics records: the builder, from_array, and the fields, slots and
// pickles of native records.
#include "common/record.hpp"
#include "common/surface.hpp"

#include "common/conversions.hpp"
#include "common/critical_section.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <string>
#include <string_view>

#include <structmember.h>

namespace tarnix {
namespace {

// ---------------------------------------------------------------------------
// from_array

Ref from_array(PyObject* cls, const Args& args)
{
    const auto& def = *static_cast<const RecordDef*>(args.closure());
    PyObject* array = args[0];
    Ref kwargs = check(PyDict_New());
    for (int i = 0; i < def.nfields; ++i) {
        const RecordField& field = def.fields[i];
        Ref key = check(PyLong_FromSsize_t(field.index));
        Ref item = check(PyObject_GetItem(array, key.get()));
        Ref value = check(field.type[0] == 'f' ? PyNumber_Float(item.get()) : PyNumber_Long(item.get()));
        check_status(PyDict_SetItemString(kwargs.get(), field.name, value.get()));
    }
    Ref empty = check(PyTuple_New(0));
    return check(PyObject_Call(cls, empty.get(), kwargs.get()));
}

// The parameter is named after the record's statistics array; both names in
// use get their own definition.
constexpr Param stats_params[] = {{"stats"}};
constexpr Param info_params[] = {{"info"}};
constexpr const char* from_array_doc =
    "Build the record from the library's statistics array.\n\n"
    "Reads the entries by ordinary indexing, so any indexable sequence works.";
constexpr FunctionDef from_array_stats = class_method("from_array", from_array, stats_params).with_doc(from_array_doc);
constexpr FunctionDef from_array_info = class_method("from_array", from_array, info_params).with_doc(from_array_doc);

void add_from_array(PyObject* module, PyObject* cls, const RecordDef& def)
{
    const std::string_view arg = def.array_arg;
    if (arg != "stats" && arg != "info") {
        raise(PyExc_SystemError, "tarnix: unsupported record array name");
    }
    Ref f = add_method(module, cls, arg == "stats" ? from_array_stats : from_array_info, &def);
    Ref annotations = check(PyDict_New());
    Ref array_type = new_string("np.ndarray");
    Ref name = new_string(def.name);
    check_status(PyDict_SetItemString(annotations.get(), def.array_arg, array_type.get()));
    check_status(PyDict_SetItemString(annotations.get(), "return", name.get()));
    check_status(PyObject_SetAttrString(f.get(), "__annotations__", annotations.get()));
}

// ---------------------------------------------------------------------------
// Native fields: object slots right after the object header, never NULL
// (record_new fills them with None), and only ints, floats, strs and None,
// which cannot take part in a reference cycle: the type needs no tp_clear.
//
// They are read and written in the record's critical section, all of them
// at once, so that a reader sees the record before or after a __setstate__
// or __init__, never half of each. A stored pointer is published with a
// release store: the read-only T_OBJECT_EX member descriptors read it
// without the section first on free-threaded builds, taking the reference
// only if the field still holds the object.

PyObject** fields_of(PyObject* op) noexcept
{
    return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(op) + sizeof(PyObject));
}

RecordValues values_of(PyObject* op, int n) noexcept
{
    RecordValues out;
    CriticalSection section(op);
    PyObject** fields = fields_of(op);
    for (int i = 0; i < n; ++i) {
        out[i] = Ref::borrow(fields[i]);
    }
    return out;
}

// Stores the first n values (none may be empty); the previous ones are
// released after the section.
void store_values(PyObject* op, int n, RecordValues values) noexcept
{
    CriticalSection section(op);
    PyObject** fields = fields_of(op);
    for (int i = 0; i < n; ++i) {
        PyObject* fresh = values[i].release();
        values[i] = Ref::steal(fields[i]);
        __atomic_store_n(&fields[i], fresh, __ATOMIC_RELEASE);
    }
}

// The coercion every value stored by __init__ or __setstate__ goes through:
// an int field holds int or None, a float field float or None, a str field
// an exact str or None.
Ref coerce(const RecordField& field, PyObject* value)
{
    if (value == Py_None) {
        return Ref::none();
    }
    const char kind = field.type[0];
    const bool exact = kind == 'i' ? PyLong_CheckExact(value) : kind == 'f' ? PyFloat_CheckExact(value)
                                                                           : PyUnicode_CheckExact(value);
    if (exact) {
        return Ref::borrow(value);
    }
    if (kind != 's' && PyNumber_Check(value)) {
        return check(kind == 'i' ? PyNumber_Long(value) : PyNumber_Float(value));
    }
    const char* expected = kind == 'i' ? "int" : kind == 'f' ? "float" : "str";
    raise_format(PyExc_TypeError, surface::expected_type, expected, Py_TYPE(value)->tp_name);
}

// The native record type among the bases of obj's type, or null.
PyTypeObject* native_type(PyObject* obj, destructor id) noexcept
{
    PyTypeObject* t = Py_TYPE(obj);
    while (t != nullptr && t->tp_dealloc != id) {
        t = t->tp_base;
    }
    return t;
}

// ---------------------------------------------------------------------------
// Pickles: the fields in the ASCII order of their names.

using Order = std::array<int, kMaxRecordFields>;

Order state_order(const RecordDef& def)
{
    Order order{};
    std::iota(order.begin(), order.begin() + def.nfields, 0);
    std::sort(order.begin(), order.begin() + def.nfields,
              [&](int a, int b) { return std::strcmp(def.fields[a].name, def.fields[b].name) < 0; });
    return order;
}

Ref state_tuple(const RecordValues& values, const RecordDef& def)
{
    const Order order = state_order(def);
    Ref state = check(PyTuple_New(def.nfields));
    for (int k = 0; k < def.nfields; ++k) {
        PyTuple_SET_ITEM(state.get(), k, Py_NewRef(values[order[k]].get()));
    }
    return state;
}

void set_state(PyObject* self, PyObject* state, const RecordDef& def)
{
    if (!PyTuple_Check(state)) {
        raise_format(PyExc_TypeError, surface::state_not_tuple, def.name, Py_TYPE(state)->tp_name);
    }
    if (PyTuple_GET_SIZE(state) != def.nfields) {
        raise_format(PyExc_ValueError, surface::state_length, def.name, def.nfields, PyTuple_GET_SIZE(state));
    }
    // All converted before any is stored, so that a failure changes nothing.
    const Order order = state_order(def);
    RecordValues values;
    for (int k = 0; k < def.nfields; ++k) {
        values[order[k]] = coerce(def.fields[order[k]], PyTuple_GET_ITEM(state, k));
    }
    store_values(self, def.nfields, std::move(values));
}

Ref py_setstate(PyObject* self, const Args& a)
{
    set_state(self, a[0], *static_cast<const RecordDef*>(a.closure()));
    return Ref::none();
}

constexpr Param setstate_params[] = {{"state"}};
constexpr FunctionDef setstate_def = method("__setstate__", py_setstate, setstate_params);

[[noreturn]] void raise_checksum(long long checksum, const RecordDef& def)
{
    std::string text = "Incompatible checksums (";
    auto hex = [&](long long value, const char* after) {
        char digits[24];
        std::snprintf(digits, sizeof digits, "0x%llx", static_cast<unsigned long long>(value));
        (text += digits) += after;
    };
    hex(checksum, " vs (");
    for (int i = 0; i < def.native->naccepted; ++i) {
        hex(def.native->accepted[i], i + 1 < def.native->naccepted ? ", " : ") = (");
    }
    const Order order = state_order(def);
    for (int k = 0; k < def.nfields; ++k) {
        (text += def.fields[order[k]].name) += k + 1 < def.nfields ? ", " : "))";
    }
    Ref pickle_error = import_attr("pickle", "PickleError");
    Ref message = check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    PyErr_SetObject(pickle_error.get(), message.get());
    throw PythonError{};
}

// ---------------------------------------------------------------------------
// The class

Ref annotations_of(const RecordDef& def)
{
    Ref annotations = check(PyDict_New());
    for (int i = 0; i < def.nfields; ++i) {
        Ref type = new_string(def.fields[i].type);
        check_status(PyDict_SetItemString(annotations.get(), def.fields[i].name, type.get()));
    }
    return annotations;
}

Ref plain_class(PyObject* module, const RecordDef& def)
{
    Ref module_name = check(PyObject_GetAttrString(module, "__name__"));
    Ref ns = check(PyDict_New());
    Ref name = new_string(def.name);
    Ref doc = new_string(def.doc);
    check_status(PyDict_SetItemString(ns.get(), "__module__", module_name.get()));
    check_status(PyDict_SetItemString(ns.get(), "__qualname__", name.get()));
    check_status(PyDict_SetItemString(ns.get(), "__doc__", doc.get()));
    check_status(PyDict_SetItemString(ns.get(), "__annotations__", annotations_of(def).get()));
    Ref bases = check(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    return check(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyType_Type), name.get(), bases.get(),
                                              ns.get(), nullptr));
}

Ref native_class(PyObject* module, const RecordDef& def, const detail::NativeSlots& s)
{
    // The type copies its members; names and docs are static.
    std::array<PyMemberDef, kMaxRecordFields + 1> members{};
    for (int i = 0; i < def.nfields; ++i) {
        const auto offset = static_cast<Py_ssize_t>(sizeof(PyObject) + i * sizeof(PyObject*));
        members[i] = PyMemberDef{def.fields[i].name, T_OBJECT_EX, offset, READONLY, def.fields[i].doc};
    }
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(s.new_)},
        {Py_tp_init, reinterpret_cast<void*>(s.init)},
        {Py_tp_dealloc, reinterpret_cast<void*>(s.dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(s.traverse)},
        {Py_tp_repr, reinterpret_cast<void*>(s.repr)},
        {Py_tp_richcompare, reinterpret_cast<void*>(s.richcompare)},
        {Py_tp_hash, reinterpret_cast<void*>(s.hash)},
        {Py_tp_members, members.data()},
        {Py_tp_doc, const_cast<char*>(def.doc)},
        {0, nullptr},
    };
    PyType_Spec type_spec = {def.native->type_name,
                             static_cast<int>(sizeof(PyObject) + def.nfields * sizeof(PyObject*)), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots};
    Ref type = check(PyType_FromModuleAndSpec(module, &type_spec, nullptr));
    check_status(PyObject_SetAttrString(type.get(), "__annotations__", annotations_of(def).get()));
    return type;
}

Ref frozen_dataclass(PyObject* cls)
{
    Ref dataclass = import_attr("dataclasses", "dataclass");
    Ref empty = check(PyTuple_New(0));
    Ref kwargs = check(Py_BuildValue("{sO}", "frozen", Py_True));
    Ref decorator = check(PyObject_Call(dataclass.get(), empty.get(), kwargs.get()));
    return check(PyObject_CallOneArg(decorator.get(), cls));
}

// What the decorator cannot know of a native record: its read-only slots
// refuse assignment themselves (AttributeError, as any read-only attribute),
// every field defaults to None, and it pickles by value.
void finish_native(PyObject* module, PyObject* record, const RecordDef& def, const detail::NativeSlots& s)
{
    check_status(PyObject_DelAttrString(record, "__setattr__"));
    check_status(PyObject_DelAttrString(record, "__delattr__"));
    Ref fields = check(PyObject_GetAttrString(record, "__dataclass_fields__"));
    for (int i = 0; i < def.nfields; ++i) {
        Ref field = check(PyMapping_GetItemString(fields.get(), def.fields[i].name));
        check_status(PyObject_SetAttrString(field.get(), "default", Py_None));
    }
    add_method(module, record, *s.reduce);
    add_method(module, record, setstate_def, &def);
}

}  // namespace

Ref add_record(PyObject* module, const RecordDef& def)
{
    return detail::build_record(module, def, nullptr);
}

Ref record_from_array(PyObject* cls, PyObject* array)
{
    Ref method = check(PyObject_GetAttrString(cls, "from_array"));
    return check(PyObject_CallOneArg(method.get(), array));
}

Ref make_record(PyObject* cls, const RecordDef& def, RecordValues values)
{
    Ref record = check(PyObject_CallNoArgs(cls));
    if (!PyObject_TypeCheck(record.get(), reinterpret_cast<PyTypeObject*>(cls))) {
        raise_format(PyExc_TypeError, surface::wrong_instance, def.name, Py_TYPE(record.get())->tp_name, def.name);
    }
    for (int i = 0; i < def.nfields; ++i) {
        if (!values[i]) {
            values[i] = Ref::none();
        }
    }
    store_values(record.get(), def.nfields, std::move(values));
    return record;
}

Ref unpickle_record(PyObject* cls, const RecordDef& def, PyObject* type, PyObject* checksum, PyObject* state)
{
    const long long given = as_int64(checksum);
    if (state != Py_None && !PyTuple_CheckExact(state)) {
        raise_format(PyExc_TypeError, surface::argument_type, surface::kvt_state, "tuple", Py_TYPE(state)->tp_name);
    }
    const long long* accepted = def.native->accepted;
    if (std::find(accepted, accepted + def.native->naccepted, given) == accepted + def.native->naccepted) {
        raise_checksum(given, def);
    }
    Ref new_method = check(PyObject_GetAttrString(cls, "__new__"));
    Ref obj = check(PyObject_CallOneArg(new_method.get(), type));
    if (!PyObject_TypeCheck(obj.get(), reinterpret_cast<PyTypeObject*>(cls))) {
        raise_format(PyExc_TypeError, surface::kvt_type, def.name);
    }
    if (state != Py_None) {
        set_state(obj.get(), state, def);
    }
    return obj;
}

namespace detail {

PyObject* record_new(PyTypeObject* type, const RecordDef& def) noexcept
{
    PyObject* op = type->tp_alloc(type, 0);
    if (op != nullptr) {
        PyObject** fields = fields_of(op);
        for (int i = 0; i < def.nfields; ++i) {
            fields[i] = Py_NewRef(Py_None);
        }
    }
    return op;
}

int record_init(PyObject* self, PyObject* args, PyObject* kwargs, const RecordDef& def) noexcept
{
    const int n = def.nfields;
    const char* keywords[kMaxRecordFields + 1] = {};  // per call: the parser takes a mutable array
    char format[1 + kMaxRecordFields + sizeof ":__init__"] = "|";
    for (int i = 0; i < n; ++i) {
        keywords[i] = def.fields[i].name;
        format[1 + i] = 'O';
    }
    std::strcpy(format + 1 + n, ":__init__");
    // The format takes the first n pointers, those of the fields.
    PyObject* v[kMaxRecordFields] = {};
    static_assert(kMaxRecordFields == 16, "one pointer per field below");
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &v[0], &v[1], &v[2],
                                     &v[3], &v[4], &v[5], &v[6], &v[7], &v[8], &v[9], &v[10], &v[11], &v[12],
                                     &v[13], &v[14], &v[15])) {
        return -1;
    }
    return boundary_status([&] {
        // Coerce all before storing any, so that a failed call changes nothing.
        RecordValues coerced;
        for (int i = 0; i < n; ++i) {
            coerced[i] = coerce(def.fields[i], v[i] != nullptr ? v[i] : Py_None);
        }
        store_values(self, n, std::move(coerced));
    });
}

PyObject* record_repr(PyObject* self, const RecordDef& def) noexcept
{
    return boundary([&]() -> Ref {
        auto* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
        Ref name = Ref::steal(PyObject_GetAttrString(type, "__qualname__"));
        if (!name || !truth(name.get())) {
            PyErr_Clear();
            name = check(PyObject_GetAttrString(type, "__name__"));
        }
        Ref parts = check(PyList_New(0));
        const RecordValues values = values_of(self, def.nfields);
        for (int i = 0; i < def.nfields; ++i) {
            Ref item = check(PyUnicode_FromFormat("%s=%R", def.fields[i].name, values[i].get()));
            check_status(PyList_Append(parts.get(), item.get()));
        }
        Ref sep = new_string(", ");
        Ref body = check(PyUnicode_Join(sep.get(), parts.get()));
        return check(PyUnicode_FromFormat("%S(%U)", name.get(), body.get()));
    });
}

// Only == is defined; != is its inversion, ordering is not supported.
PyObject* record_richcompare(PyObject* self, PyObject* other, int op, const RecordDef& def, destructor id) noexcept
{
    if (op != Py_EQ && op != Py_NE) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    return boundary([&]() -> Ref {
        Ref self_class = check(PyObject_GetAttrString(self, "__class__"));
        Ref other_class = check(PyObject_GetAttrString(other, "__class__"));
        // __class__ is only what an object says it is; the fields are read
        // from objects that have them.
        if (self_class.get() != other_class.get() || native_type(other, id) == nullptr) {
            return Ref::borrow(Py_NotImplemented);
        }
        bool equal = true;
        const RecordValues mine = values_of(self, def.nfields);
        const RecordValues theirs = values_of(other, def.nfields);
        for (int i = 0; i < def.nfields && equal; ++i) {
            Ref differs = check(PyObject_RichCompare(mine[i].get(), theirs[i].get(), Py_NE));
            equal = !truth(differs.get());
        }
        return Ref::borrow((equal == (op == Py_EQ)) ? Py_True : Py_False);
    });
}

Py_hash_t record_hash(PyObject* self, const RecordDef& def) noexcept
{
    PyObject* t = PyTuple_New(def.nfields);
    if (t == nullptr) {
        return -1;
    }
    const RecordValues values = values_of(self, def.nfields);
    for (int i = 0; i < def.nfields; ++i) {
        PyTuple_SET_ITEM(t, i, Py_NewRef(values[i].get()));
    }
    Py_hash_t h = PyObject_Hash(t);
    Py_DECREF(t);
    return h;
}

int record_traverse(PyObject* self, visitproc visit, void* arg, const RecordDef& def) noexcept
{
    Py_VISIT(Py_TYPE(self));
    PyObject** fields = fields_of(self);
    for (int i = 0; i < def.nfields; ++i) {
        Py_VISIT(fields[i]);
    }
    return 0;
}

void record_dealloc(PyObject* self, const RecordDef& def) noexcept
{
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    PyObject** fields = fields_of(self);
    for (int i = 0; i < def.nfields; ++i) {
        Py_CLEAR(fields[i]);
    }
    type->tp_free(self);
    Py_DECREF(type);
}

// (unpickler, (type(self), checksum, None), state), or (unpickler, (type(self),
// checksum, state)) when every field is None.
Ref record_reduce(PyObject* self, const RecordDef& def, destructor id)
{
    PyObject* module = PyType_GetModule(native_type(self, id));  // borrowed; self is a record
    if (module == nullptr) {
        throw PythonError{};
    }
    Ref name = new_string(def.native->unpickler);
    Ref unpickle = module_global(module, name.get());
    const RecordValues values = values_of(self, def.nfields);
    Ref state = state_tuple(values, def);
    const bool all_none = std::all_of(values.begin(), values.begin() + def.nfields,
                                      [](const Ref& v) { return v.get() == Py_None; });
    auto* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
    const long long checksum = def.native->checksum;
    if (all_none) {
        return check(Py_BuildValue("(O(OLO))", unpickle.get(), type, checksum, state.get()));
    }
    return check(Py_BuildValue("(O(OLO)O)", unpickle.get(), type, checksum, Py_None, state.get()));
}

Ref build_record(PyObject* module, const RecordDef& def, const NativeSlots* native)
{
    Ref cls = native != nullptr ? native_class(module, def, *native) : plain_class(module, def);
    if (def.array_arg != nullptr) {
        add_from_array(module, cls.get(), def);
    }
    Ref record = frozen_dataclass(cls.get());
    if (native != nullptr) {
        finish_native(module, record.get(), def, *native);
    }
    add_object(module, def.name, record.get());
    return record;
}

}  // namespace detail
}  // namespace tarnix
