// Frozen statistics records: the classes made from a field table, and their
// from_array class methods.
#include "common/record.hpp"

#include <string_view>

namespace tarnix {
namespace {

Ref from_array(PyObject* cls, const Args& args)
{
    const auto& def = *static_cast<const RecordDef*>(args.closure());
    PyObject* array = args[0];
    Ref kwargs = check(PyDict_New());
    for (int i = 0; i < def.nfields; ++i) {
        const RecordField& field = def.fields[i];
        Ref key = check(PyLong_FromSsize_t(field.index));
        Ref item = check(PyObject_GetItem(array, key.get()));
        const bool is_float = field.type[0] == 'f';
        Ref value = check(is_float ? PyNumber_Float(item.get()) : PyNumber_Long(item.get()));
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

}  // namespace

Ref add_record(PyObject* module, const RecordDef& def)
{
    Ref module_name = check(PyObject_GetAttrString(module, "__name__"));
    Ref annotations = check(PyDict_New());
    for (int i = 0; i < def.nfields; ++i) {
        Ref type = new_string(def.fields[i].type);
        check_status(PyDict_SetItemString(annotations.get(), def.fields[i].name, type.get()));
    }
    Ref ns = check(PyDict_New());
    Ref name = new_string(def.name);
    Ref doc = new_string(def.doc);
    check_status(PyDict_SetItemString(ns.get(), "__module__", module_name.get()));
    check_status(PyDict_SetItemString(ns.get(), "__qualname__", name.get()));
    check_status(PyDict_SetItemString(ns.get(), "__doc__", doc.get()));
    check_status(PyDict_SetItemString(ns.get(), "__annotations__", annotations.get()));
    Ref bases = check(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    Ref cls = check(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyType_Type), name.get(),
                                                 bases.get(), ns.get(), nullptr));

    const std::string_view arg = def.array_arg;
    if (arg != "stats" && arg != "info") {
        raise(PyExc_SystemError, "tarnix: unsupported record array name");
    }
    Ref f = add_method(module, cls.get(), arg == "stats" ? from_array_stats : from_array_info, &def);
    Ref fn_annotations = check(PyDict_New());
    Ref array_type = new_string("np.ndarray");
    check_status(PyDict_SetItemString(fn_annotations.get(), def.array_arg, array_type.get()));
    check_status(PyDict_SetItemString(fn_annotations.get(), "return", name.get()));
    check_status(PyObject_SetAttrString(f.get(), "__annotations__", fn_annotations.get()));

    Ref dataclass = import_attr("dataclasses", "dataclass");
    Ref empty = check(PyTuple_New(0));
    Ref kwargs = check(Py_BuildValue("{sO}", "frozen", Py_True));
    Ref decorator = check(PyObject_Call(dataclass.get(), empty.get(), kwargs.get()));
    Ref record = check(PyObject_CallOneArg(decorator.get(), cls.get()));
    add_object(module, def.name, record.get());
    return record;
}

Ref record_from_array(PyObject* cls, PyObject* array)
{
    Ref method = check(PyObject_GetAttrString(cls, "from_array"));
    return check(PyObject_CallOneArg(method.get(), array));
}

}  // namespace tarnix
