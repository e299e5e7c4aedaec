// Frozen statistics records: plain classes with annotated fields and a class
// method from_array, decorated with dataclasses.dataclass(frozen=True).
#pragma once

#include "common/module.hpp"

namespace tarnix {

struct RecordField {
    const char* name;
    const char* type;    // "int" or "float": the annotation and the conversion
    Py_ssize_t index;    // position in the library's statistics array
};

struct RecordDef {
    const char* name;
    const char* doc;
    const char* array_arg;  // parameter name of from_array ("stats", "info")
    const RecordField* fields;
    int nfields;
};

// Creates the class, adds it to the module and returns it. from_array(cls, x)
// reads x[index] for every field by ordinary indexing, converts it with int()
// or float(), and calls cls(**fields).
Ref add_record(PyObject* module, const RecordDef& def);

// cls.from_array(array), looked up on the class.
Ref record_from_array(PyObject* cls, PyObject* array);

}  // namespace tarnix
