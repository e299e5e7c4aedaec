// Module set-up: the interpreter and re-initialisation checks of the exec
// slot, imports, the capsule binding of native entry points, and the helpers
// that fill a module's namespace. This translation unit also defines the
// NumPy API table of the module it is linked into.
#define TARNIX_DEFINE_NUMPY_API
#include "common/module.hpp"
#include "common/surface.hpp"
#include "common/csc_native.hpp"

#include <atomic>
#include <cstdint>

namespace tarnix {
namespace {

// Per extension module (the common code is linked into each one separately).
// Atomic: interpreters of their own may import the module at the same time.
std::atomic<int64_t> g_interpreter_id{-1};
std::atomic<bool> g_initialised{false};

void check_interpreter()
{
    const int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) {
        throw PythonError{};
    }
    int64_t first = -1;
    if (!g_interpreter_id.compare_exchange_strong(first, current) && first != current) {
        raise(PyExc_ImportError,
              surface::interpreter_change);
    }
}

}  // namespace

int exec_module(PyObject* module, const char* name, void (*body)(PyObject* module)) noexcept
{
    return boundary_status([&] {
        check_interpreter();
        if (g_initialised) {
            raise_format(PyExc_RuntimeError,
                         surface::reinitialisation, name);
        }
        if (PyArray_ImportNumPyAPI() < 0) {
            throw PythonError{};
        }
        auto& st = module_state<ModuleState>(module);
        st.function_type = new_function_type(module, FunctionKind::Function);
        if (st.function_type == nullptr) {
            throw PythonError{};
        }
        st.method_type = new_function_type(module, FunctionKind::Method);
        if (st.method_type == nullptr) {
            throw PythonError{};
        }
        body(module);
        bind_csc_input(module);
        g_initialised = true;
    });
}

Ref import_module(const char* name)
{
    return check(PyImport_ImportModule(name));
}

Ref import_attr(const char* module, const char* attr)
{
    Ref m = import_module(module);
    return check(PyObject_GetAttrString(m.get(), attr));
}

Ref import_relative(PyObject* module, const char* submodule, const char* attr)
{
    PyObject* globals = PyModule_GetDict(module);  // borrowed
    if (globals == nullptr) {
        throw PythonError{};
    }
    Ref name = new_string(submodule);
    Ref attr_name = new_string(attr);
    Ref fromlist = check(PyTuple_Pack(1, attr_name.get()));
    Ref sub = check(PyImport_ImportModuleLevelObject(name.get(), globals, nullptr, fromlist.get(), 1));
    PyObject* value = PyObject_GetAttr(sub.get(), attr_name.get());
    if (value == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            Ref sub_name = check(PyObject_GetAttrString(sub.get(), "__name__"));
            raise_format(PyExc_ImportError, "cannot import name '%s' from '%U'", attr, sub_name.get());
        }
        throw PythonError{};
    }
    return Ref::steal(value);
}

void* import_capi_function(PyObject* module, const char* table, const char* name, const char* signature)
{
    const char* module_name = PyModule_GetName(module);
    if (module_name == nullptr) {
        throw PythonError{};
    }
    Ref dict = check(PyObject_GetAttrString(module, table));
    Ref entry = Ref::steal(PyMapping_GetItemString(dict.get(), name));
    if (!entry) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) {
            throw PythonError{};
        }
        PyErr_Clear();
        raise_format(PyExc_ImportError, "%.200s does not export expected C %.8s %.200s", module_name, "function",
                     name);
    }
    PyObject* capsule = entry.get();
    if (!PyCapsule_IsValid(capsule, signature)) {
        const char* got = PyCapsule_CheckExact(capsule) ? PyCapsule_GetName(capsule) : "not a capsule";
        PyErr_Clear();
        raise_format(PyExc_TypeError, "C %.8s %.200s.%.200s has wrong signature (expected %.500s, got %.500s)",
                     "function", module_name, name, signature, got != nullptr ? got : "(null)");
    }
    void* fn = PyCapsule_GetPointer(capsule, signature);
    if (fn == nullptr) {
        throw PythonError{};
    }
    return fn;
}

void add_object(PyObject* module, const char* name, PyObject* obj)
{
    check_status(PyModule_AddObjectRef(module, name, obj));
}

void set_all(PyObject* module, const char* const* names, size_t count)
{
    Ref list = check(PyList_New(0));
    for (size_t i = 0; i < count; ++i) {
        Ref s = new_string(names[i]);
        check_status(PyList_Append(list.get(), s.get()));
    }
    add_object(module, "__all__", list.get());
}

Ref add_function(PyObject* module, const FunctionDef& def)
{
    auto& st = module_state<ModuleState>(module);
    Ref f = new_function(st.function_type, module, def);
    add_object(module, def.name, f.get());
    return f;
}

Ref add_method(PyObject* module, PyObject* type, const FunctionDef& def, const void* closure)
{
    auto& st = module_state<ModuleState>(module);
    PyObject* owner = def.binding == FunctionDef::Binding::Method ? type : nullptr;
    PyObject* function_type = owner != nullptr ? st.method_type : st.function_type;
    Ref f = new_function(function_type, module, def, owner, closure);
    if (owner == nullptr) {
        // Class methods get the qualified name too.
        Ref type_name = check(PyObject_GetAttrString(type, "__qualname__"));
        Ref qualname = check(PyUnicode_FromFormat("%U.%s", type_name.get(), def.name));
        check_status(PyObject_SetAttrString(f.get(), "__qualname__", qualname.get()));
    }
    Ref attr = def.binding == FunctionDef::Binding::ClassMethod ? check(PyClassMethod_New(f.get())) : f;
    check_status(PyObject_SetAttrString(type, def.name, attr.get()));
    return f;
}

Ref new_string(const char* text)
{
    return check(PyUnicode_FromString(text));
}

Ref add_string(PyObject* module, const char* name, const char* text)
{
    Ref s = new_string(text);
    add_object(module, name, s.get());
    return s;
}

Ref dict_lookup(PyObject* dict, PyObject* key)
{
    PyObject* value = nullptr;
    check_status(PyDict_GetItemRef(dict, key, &value));
    return Ref::steal(value);
}

Ref module_global(PyObject* module, PyObject* name)
{
    PyObject* globals = PyModule_GetDict(module);  // borrowed; the module keeps it
    Ref value = dict_lookup(globals, name);
    if (!value) {
        raise_format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return value;
}

Ref add_exception(PyObject* module, const char* name, const char* doc, std::initializer_list<PyObject*> bases)
{
    const char* module_name = PyModule_GetName(module);
    if (module_name == nullptr) {
        throw PythonError{};
    }
    Ref qualified = check(PyUnicode_FromFormat("%s.%s", module_name, name));
    Ref base_tuple = check(PyTuple_New(static_cast<Py_ssize_t>(bases.size())));
    Py_ssize_t i = 0;
    for (PyObject* b : bases) {
        PyTuple_SET_ITEM(base_tuple.get(), i++, Py_NewRef(b));
    }
    Ref cls = check(PyErr_NewExceptionWithDoc(PyUnicode_AsUTF8(qualified.get()), doc, base_tuple.get(), nullptr));
    add_object(module, name, cls.get());
    return cls;
}

Ref doc_intro(const char* lead, PyObject* reftag, const char* description)
{
    return check(PyUnicode_FromFormat("%s%U%s", lead, reftag, description));
}

void set_formatted_doc(PyObject* obj, PyObject* template_str,
                       std::initializer_list<std::pair<const char*, PyObject*>> fields)
{
    Ref kwargs = check(PyDict_New());
    for (const auto& [key, value] : fields) {
        check_status(PyDict_SetItemString(kwargs.get(), key, value));
    }
    Ref format = check(PyObject_GetAttrString(template_str, "format"));
    Ref empty = check(PyTuple_New(0));
    Ref doc = check(PyObject_Call(format.get(), empty.get(), kwargs.get()));
    check_status(PyObject_SetAttrString(obj, "__doc__", doc.get()));
}

}  // namespace tarnix
