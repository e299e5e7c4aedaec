// Statistics records, all made by one builder from a field table and finished
// by dataclasses.dataclass(frozen=True): the standard library writes their
// metadata. SPQRInfo alone is native (coerced fields in read-only slots, under
// its critical section), because __setstate__ may rewrite one others read.
#pragma once

#include "common/module.hpp"

#include <array>

namespace tarnix {

inline constexpr int kMaxRecordFields = 16;

struct RecordField {
    const char* name;
    // The annotation; its first letter is the kind ("int", "float", and for
    // native records "int | None", "float | None", "str | None").
    const char* type;
    Py_ssize_t index = -1;      // position in the library's statistics array
    const char* doc = nullptr;  // of the attribute, for native records
};

// What a native record is beyond its fields: its type name and its pickles.
// A pickle calls the module-level function `unpickler` with the type, the
// layout checksum and the state, the fields in the ASCII order of their
// names; a load accepts any of the `accepted` checksums.
struct NativeRecord {
    const char* type_name;  // "<module>.<name>"
    const char* unpickler;
    long long checksum;
    const long long* accepted;
    int naccepted;
};

struct RecordDef {
    const char* name;
    const char* doc;
    const char* array_arg;  // parameter of from_array ("stats", "info"); nullptr: none
    const RecordField* fields;
    int nfields;
    const NativeRecord* native = nullptr;
};

// A plain record: creates the class, adds it to the module and returns it.
// from_array(cls, x) reads x[index] for every field by ordinary indexing,
// converts it with int() or float(), and calls cls(**fields).
Ref add_record(PyObject* module, const RecordDef& def);

// cls.from_array(array), looked up on the class.
Ref record_from_array(PyObject* cls, PyObject* array);

// The fields of a native record, new references in field order.
using RecordValues = std::array<Ref, kMaxRecordFields>;

// cls() of a native record, holding `values` (already of the declared types).
Ref make_record(PyObject* cls, const RecordDef& def, RecordValues values);

// The module-level reconstruction function of pickles: cls.__new__(type)
// given the state of __reduce__, after checking the checksum.
Ref unpickle_record(PyObject* cls, const RecordDef& def, PyObject* type, PyObject* checksum, PyObject* state);

namespace detail {

// The slot functions of one native record type (`dealloc` also identifies
// the type among an object's bases) and its __reduce__.
struct NativeSlots {
    newfunc new_;
    initproc init;
    reprfunc repr;
    richcmpfunc richcompare;
    hashfunc hash;
    traverseproc traverse;
    destructor dealloc;
    const FunctionDef* reduce;
};

PyObject* record_new(PyTypeObject* type, const RecordDef& def) noexcept;
int record_init(PyObject* self, PyObject* args, PyObject* kwargs, const RecordDef& def) noexcept;
PyObject* record_repr(PyObject* self, const RecordDef& def) noexcept;
PyObject* record_richcompare(PyObject* self, PyObject* other, int op, const RecordDef& def, destructor id) noexcept;
Py_hash_t record_hash(PyObject* self, const RecordDef& def) noexcept;
int record_traverse(PyObject* self, visitproc visit, void* arg, const RecordDef& def) noexcept;
void record_dealloc(PyObject* self, const RecordDef& def) noexcept;
Ref record_reduce(PyObject* self, const RecordDef& def, destructor id);

Ref build_record(PyObject* module, const RecordDef& def, const NativeSlots* native);

template <const RecordDef& Def>
struct NativeType {
    static PyObject* new_(PyTypeObject* t, PyObject*, PyObject*) noexcept { return record_new(t, Def); }
    static int init(PyObject* s, PyObject* a, PyObject* k) noexcept { return record_init(s, a, k, Def); }
    static PyObject* repr(PyObject* s) noexcept { return record_repr(s, Def); }
    static PyObject* richcompare(PyObject* s, PyObject* o, int op) noexcept
    {
        return record_richcompare(s, o, op, Def, &dealloc);
    }
    static Py_hash_t hash(PyObject* s) noexcept { return record_hash(s, Def); }
    static int traverse(PyObject* s, visitproc v, void* a) noexcept { return record_traverse(s, v, a, Def); }
    static void dealloc(PyObject* s) noexcept { record_dealloc(s, Def); }
    static Ref reduce(PyObject* s, const Args&) { return record_reduce(s, Def, &dealloc); }
    static constexpr FunctionDef reduce_def = method("__reduce__", &reduce);
    static constexpr NativeSlots slots{&new_, &init, &repr, &richcompare, &hash, &traverse, &dealloc, &reduce_def};
};

}  // namespace detail

// A native record (Def.native set): creates the type, adds it to the module
// and returns it, as add_record does for plain ones.
template <const RecordDef& Def>
Ref add_record(PyObject* module)
{
    static_assert(Def.native != nullptr && Def.nfields <= kMaxRecordFields, "not a native record");
    return detail::build_record(module, Def, &detail::NativeType<Def>::slots);
}

}  // namespace tarnix
