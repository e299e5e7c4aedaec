// The Function and Method types of the extension modules: argument matching
// with the interpreter's messages, the attributes that make them look like
// Python functions, and their creation from a FunctionDef.
#include "common/function.hpp"
#include "common/surface.hpp"

#include "common/critical_section.hpp"

#include <cstddef>
#include <cstring>
#include <initializer_list>

#include <structmember.h>

namespace tarnix {
namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef* def;
    const void* closure;
    int npositional;  // parameters that may be given by position
    int nrequired;    // leading parameters without a default
    PyObject* module;
    PyObject* owner;  // defining type of a method, else NULL
    PyObject* name;
    PyObject* qualname;
    PyObject* module_name;
    PyObject* doc;
    PyObject* annotations;  // dict, created on first use
    PyObject* dict;
    PyObject* weakreflist;
    PyObject* names[kMaxParams];     // interned parameter names
    PyObject* defaults[kMaxParams];  // NULL for required parameters
};

FunctionObject* as_function(PyObject* op) noexcept
{
    return reinterpret_cast<FunctionObject*>(op);
}

// The writable fields (doc, qualname, module_name, annotations) are read and
// replaced in the function's critical section: a reader takes its own
// reference before another thread can drop the field's. The reference a
// replacement drops is released after the section (it may run __del__).
Ref read_field(PyObject* op, PyObject* FunctionObject::*field) noexcept
{
    CriticalSection section(op);
    return Ref::borrow(as_function(op)->*field);
}

void replace_field(PyObject* op, PyObject* FunctionObject::*field, PyObject* value) noexcept
{
    PyObject* old;
    {
        CriticalSection section(op);
        old = as_function(op)->*field;
        as_function(op)->*field = Py_XNewRef(value);
    }
    Py_XDECREF(old);
}

// ---------------------------------------------------------------------------
// Argument matching, with the interpreter's messages.

[[noreturn]] void raise_argcount(const FunctionObject* f, Py_ssize_t given)
{
    const Py_ssize_t min = f->nrequired;
    const Py_ssize_t max = f->npositional;
    const char* more_or_less;
    Py_ssize_t expected;
    if (given < min) {
        more_or_less = surface::count_at_least;
        expected = min;
    }
    else {
        more_or_less = surface::count_at_most;
        expected = max;
    }
    if (min == max) {
        more_or_less = surface::count_exactly;
    }
    raise_format(PyExc_TypeError, surface::positional_count,
                 f->def->name, more_or_less, expected, expected == 1 ? "" : "s", given);
}

int find_param(const FunctionObject* f, PyObject* key)
{
    const int n = f->def->nparams;
    for (int i = 0; i < n; ++i) {
        if (f->names[i] == key) {
            return i;
        }
    }
    for (int i = 0; i < n; ++i) {
        int eq = PyUnicode_Compare(f->names[i], key);
        if (eq == 0) {
            return i;
        }
        if (eq == -1 && PyErr_Occurred()) {
            throw PythonError{};
        }
    }
    return -1;
}

void match_arguments(const FunctionObject* f, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** out)
{
    const FunctionDef& def = *f->def;
    if (nargs > f->npositional) {
        raise_argcount(f, nargs);
    }
    for (int i = 0; i < def.nparams; ++i) {
        out[i] = i < nargs ? args[i] : nullptr;
    }
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            if (!PyUnicode_Check(key)) {
                raise_format(PyExc_TypeError, surface::keywords_not_strings, def.name);
            }
            const int i = find_param(f, key);
            if (i < 0) {
                raise_format(PyExc_TypeError, surface::unexpected_keyword,
                             def.name, key);
            }
            if (out[i] != nullptr) {
                raise_format(PyExc_TypeError, surface::multiple_values,
                             def.name, key);
            }
            out[i] = args[nargs + k];
        }
    }
    for (int i = 0; i < def.nparams; ++i) {
        if (out[i] == nullptr) {
            if (f->defaults[i] == nullptr) {
                raise_argcount(f, nargs);
            }
            out[i] = f->defaults[i];
        }
    }
}

// Two-width functions select their specialization from one argument; without
// it there is nothing to select by.
void require_dispatch_argument(const FunctionObject* f, Py_ssize_t nargs, PyObject* kwnames)
{
    const FunctionDef& def = *f->def;
    if (nargs > def.dispatch_arg) {
        return;
    }
    if (kwnames != nullptr) {
        PyObject* wanted = f->names[def.dispatch_arg];
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            if (key == wanted || (PyUnicode_Check(key) && PyUnicode_Compare(key, wanted) == 0)) {
                return;
            }
        }
    }
    raise_format(PyExc_TypeError, surface::expected_at_least, def.dispatch_min, nargs);
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept
{
    FunctionObject* f = as_function(callable);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    return boundary([&]() -> Ref {
        const FunctionDef& def = *f->def;
        PyObject* self = f->module;
        if (def.binding != FunctionDef::Binding::Module) {
            if (nargs < 1) {
                raise_format(PyExc_TypeError, surface::unbound_method,
                             read_field(callable, &FunctionObject::qualname).get());
            }
            self = args[0];
            ++args;
            --nargs;
            if (f->owner != nullptr && !PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(f->owner))) {
                raise_format(PyExc_TypeError, surface::descriptor_mismatch,
                             f->name, reinterpret_cast<PyTypeObject*>(f->owner)->tp_name,
                             Py_TYPE(self)->tp_name);
            }
        }
        if (def.dispatch_arg >= 0) {
            require_dispatch_argument(f, nargs, kwnames);
        }
        PyObject* values[kMaxParams];
        match_arguments(f, args, nargs, kwnames, values);
        return def.impl(self, Args(values, f->closure));
    });
}

// ---------------------------------------------------------------------------
// Attributes.

// The attributes held as fields: read as they are; written as any object
// (None on deletion) or, for names, as strings only.
template <PyObject* FunctionObject::*Field>
PyObject* get_field(PyObject* op, void*) noexcept
{
    return read_field(op, Field).release();
}

template <PyObject* FunctionObject::*Field>
int set_field(PyObject* op, PyObject* value, void*) noexcept
{
    replace_field(op, Field, value != nullptr ? value : Py_None);
    return 0;
}

int set_qualname(PyObject* op, PyObject* value, void*) noexcept
{
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    replace_field(op, &FunctionObject::qualname, value);
    return 0;
}

PyObject* get_defaults(PyObject* op, void*) noexcept
{
    FunctionObject* f = as_function(op);
    const int first = f->nrequired;
    if (first >= f->npositional) {
        Py_RETURN_NONE;
    }
    PyObject* t = PyTuple_New(f->npositional - first);
    if (t == nullptr) {
        return nullptr;
    }
    for (int i = first; i < f->npositional; ++i) {
        PyTuple_SET_ITEM(t, i - first, Py_NewRef(f->defaults[i]));
    }
    return t;
}

PyObject* get_kwdefaults(PyObject* op, void*) noexcept
{
    FunctionObject* f = as_function(op);
    if (f->npositional == f->def->nparams) {
        Py_RETURN_NONE;
    }
    return boundary([&]() -> Ref {
        Ref d = check(PyDict_New());
        for (int i = f->npositional; i < f->def->nparams; ++i) {
            if (f->defaults[i] != nullptr) {
                check_status(PyDict_SetItem(d.get(), f->names[i], f->defaults[i]));
            }
        }
        return d;
    });
}

// The dict is made on first use, in the section, so that two threads asking
// at once get the same one.
PyObject* get_annotations(PyObject* op, void*) noexcept
{
    FunctionObject* f = as_function(op);
    CriticalSection section(op);
    if (f->annotations == nullptr) {
        f->annotations = PyDict_New();
        if (f->annotations == nullptr) {
            return nullptr;
        }
    }
    return Py_NewRef(f->annotations);
}

int set_annotations(PyObject* op, PyObject* value, void*) noexcept
{
    if (value == Py_None) {
        value = nullptr;
    }
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    replace_field(op, &FunctionObject::annotations, value);
    return 0;
}

PyObject* get_text_signature(PyObject*, void*) noexcept
{
    Py_RETURN_NONE;
}

// inspect.Signature built from the parameter table, so that help() and
// inspect.signature() show the real parameters, defaults and annotations.
PyObject* get_signature(PyObject* op, void*) noexcept
{
    FunctionObject* f = as_function(op);
    return boundary([&]() -> Ref {
        Ref inspect = check(PyImport_ImportModule("inspect"));
        Ref parameter = check(PyObject_GetAttrString(inspect.get(), "Parameter"));
        Ref signature = check(PyObject_GetAttrString(inspect.get(), "Signature"));
        Ref empty = check(PyObject_GetAttrString(parameter.get(), "empty"));
        Ref positional_only = check(PyObject_GetAttrString(parameter.get(), "POSITIONAL_ONLY"));
        Ref positional = check(PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD"));
        Ref keyword_only = check(PyObject_GetAttrString(parameter.get(), "KEYWORD_ONLY"));
        Ref params = check(PyList_New(0));

        // The dict as it is now (another thread may replace it), and strong
        // references from it (another may change it).
        const Ref annotations = read_field(op, &FunctionObject::annotations);
        auto annotation = [&](PyObject* key) -> Ref {
            PyObject* a = nullptr;
            if (annotations && check_status(PyDict_GetItemRef(annotations.get(), key, &a)) == 1) {
                return Ref::steal(a);
            }
            return empty;
        };
        auto add = [&](PyObject* name, PyObject* kind, PyObject* def, PyObject* ann) {
            Ref args = check(Py_BuildValue("(OO)", name, kind));
            Ref kwargs = check(Py_BuildValue("{sOsO}", "default", def, "annotation", ann));
            Ref p = check(PyObject_Call(parameter.get(), args.get(), kwargs.get()));
            check_status(PyList_Append(params.get(), p.get()));
        };

        if (f->def->binding != FunctionDef::Binding::Module) {
            const char* self_name = f->def->binding == FunctionDef::Binding::ClassMethod ? "cls" : "self";
            Ref name = check(PyUnicode_FromString(self_name));
            add(name.get(), positional_only.get(), empty.get(), empty.get());
        }
        for (int i = 0; i < f->def->nparams; ++i) {
            PyObject* kind = i < f->npositional ? positional.get() : keyword_only.get();
            PyObject* def = f->defaults[i] != nullptr ? f->defaults[i] : empty.get();
            add(f->names[i], kind, def, annotation(f->names[i]).get());
        }
        Ref return_key = check(PyUnicode_FromString("return"));
        Ref args = check(PyTuple_Pack(1, params.get()));
        Ref kwargs = check(Py_BuildValue("{sO}", "return_annotation", annotation(return_key.get()).get()));
        return check(PyObject_Call(signature.get(), args.get(), kwargs.get()));
    });
}

PyGetSetDef function_getset[] = {
    {"__doc__", get_field<&FunctionObject::doc>, set_field<&FunctionObject::doc>, nullptr, nullptr},
    {"__name__", get_field<&FunctionObject::name>, nullptr, nullptr, nullptr},
    {"__qualname__", get_field<&FunctionObject::qualname>, set_qualname, nullptr, nullptr},
    {"__module__", get_field<&FunctionObject::module_name>, set_field<&FunctionObject::module_name>, nullptr,
     nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakreflist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// Pickled by reference, like Python functions.
PyObject* function_reduce(PyObject* op, PyObject*) noexcept
{
    return read_field(op, &FunctionObject::qualname).release();
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// Type slots.

PyObject* function_repr(PyObject* op) noexcept
{
    const Ref qualname = read_field(op, &FunctionObject::qualname);
    return PyUnicode_FromFormat("<function %U at %p>", qualname.get(), op);
}

// Methods bind to instances; module functions never bind, like builtin
// functions: one stored as a class attribute is the function itself.
PyObject* function_descr_get(PyObject* op, PyObject* obj, PyObject*) noexcept
{
    FunctionObject* f = as_function(op);
    if (obj == nullptr || obj == Py_None || f->def->binding == FunctionDef::Binding::Module) {
        return Py_NewRef(op);
    }
    return PyMethod_New(op, obj);
}

// Calls f(field) for every reference field that the garbage collector may
// clear (the names are strings, which cannot take part in a cycle).
template <class F>
void for_each_collectable(FunctionObject* f, F&& visit)
{
    for (PyObject** field : {&f->module, &f->owner, &f->doc, &f->annotations, &f->dict, &f->module_name}) {
        visit(*field);
    }
    for (PyObject*& value : f->defaults) {
        visit(value);
    }
}

int function_traverse(PyObject* op, visitproc visit, void* arg) noexcept
{
    Py_VISIT(Py_TYPE(op));
    int rc = 0;
    for_each_collectable(as_function(op), [&](PyObject* obj) {
        if (rc == 0 && obj != nullptr) {
            rc = visit(obj, arg);
        }
    });
    return rc;
}

int function_clear(PyObject* op) noexcept
{
    for_each_collectable(as_function(op), [](PyObject*& obj) { Py_CLEAR(obj); });
    return 0;
}

void function_dealloc(PyObject* op) noexcept
{
    FunctionObject* f = as_function(op);
    PyTypeObject* type = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    if (f->weakreflist != nullptr) {
        PyObject_ClearWeakRefs(op);
    }
    function_clear(op);
    for (int i = 0; i < kMaxParams; ++i) {
        Py_CLEAR(f->names[i]);
    }
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    type->tp_free(op);
    Py_DECREF(type);
}

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

constexpr unsigned long kFunctionFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                                         Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;

// Module functions (and the functions inside class methods) never bind.
// Py_TPFLAGS_METHOD_DESCRIPTOR would tell the interpreter that they do: for
// `obj.f(x)` it then skips tp_descr_get and calls f(obj, x).
PyType_Spec function_spec = {
    "tarnix.function",
    sizeof(FunctionObject),
    0,
    kFunctionFlags,
    function_slots,
};

// Instance methods take `self` as their first argument, so the interpreter may
// pass it directly instead of building a bound method first.
PyType_Spec method_spec = {
    "tarnix.method",
    sizeof(FunctionObject),
    0,
    kFunctionFlags | Py_TPFLAGS_METHOD_DESCRIPTOR,
    function_slots,
};

Ref default_value(const Param& p)
{
    switch (p.def) {
    case Default::Required:
        return Ref{};
    case Default::None:
        return Ref::none();
    case Default::False:
        return Ref::borrow(Py_False);
    case Default::True:
        return Ref::borrow(Py_True);
    case Default::Int:
        return check(PyLong_FromLongLong(p.int_value));
    case Default::Str:
        return check(PyUnicode_InternFromString(p.str_value));
    }
    return Ref{};
}

// The names of a new Function: __name__, __qualname__ ("Owner.name" for
// methods), __module__, and its docstring.
void init_names(FunctionObject* f, PyObject* module, const FunctionDef& def, PyObject* owner)
{
    f->doc = def.doc != nullptr ? PyUnicode_FromString(def.doc) : Py_NewRef(Py_None);
    f->name = PyUnicode_InternFromString(def.name);
    if (f->doc == nullptr || f->name == nullptr) {
        throw_python_error();
    }
    if (owner != nullptr) {
        Ref owner_name = check(PyObject_GetAttrString(owner, "__qualname__"));
        f->qualname = PyUnicode_FromFormat("%U.%s", owner_name.get(), def.name);
    }
    else {
        f->qualname = Py_NewRef(f->name);
    }
    if (f->qualname == nullptr) {
        throw_python_error();
    }
    f->module_name = PyObject_GetAttrString(module, "__name__");
    if (f->module_name == nullptr) {
        throw_python_error();
    }
}

// The interned parameter names and the defaults, with the counts of
// positional and required parameters. The order Python requires (no
// positional parameter after a keyword-only one, no required one after an
// optional one) is checked here.
void init_parameters(FunctionObject* f, const FunctionDef& def)
{
    bool seen_keyword_only = false;
    bool seen_default = false;
    f->npositional = 0;
    f->nrequired = 0;
    for (int i = 0; i < def.nparams; ++i) {
        const Param& p = def.params[i];
        f->names[i] = PyUnicode_InternFromString(p.name);
        if (f->names[i] == nullptr) {
            throw_python_error();
        }
        f->defaults[i] = default_value(p).release();
        if (p.def != Default::Required && f->defaults[i] == nullptr) {
            throw_python_error();
        }
        if (p.keyword_only) {
            seen_keyword_only = true;
        }
        else if (seen_keyword_only) {
            raise(PyExc_SystemError, "tarnix: positional parameter after a keyword-only one");
        }
        else {
            ++f->npositional;
        }
        if (p.def == Default::Required) {
            if (seen_default || p.keyword_only) {
                raise(PyExc_SystemError, "tarnix: required parameter after an optional one");
            }
            ++f->nrequired;
        }
        else {
            seen_default = true;
        }
    }
}

}  // namespace

PyObject* new_function_type(PyObject* module, FunctionKind kind)
{
    return PyType_FromModuleAndSpec(module, kind == FunctionKind::Method ? &method_spec : &function_spec, nullptr);
}

Ref new_function(PyObject* function_type, PyObject* module, const FunctionDef& def, PyObject* owner,
                 const void* closure)
{
    if (def.nparams > kMaxParams) {
        raise(PyExc_SystemError, "tarnix: too many parameters");
    }
    auto* type = reinterpret_cast<PyTypeObject*>(function_type);
    const bool binds_self = def.binding == FunctionDef::Binding::Method;
    if (binds_self != PyType_HasFeature(type, Py_TPFLAGS_METHOD_DESCRIPTOR)) {
        raise(PyExc_SystemError, "tarnix: instance methods, and only they, need the method type");
    }
    Ref obj = check(type->tp_alloc(type, 0));
    FunctionObject* f = as_function(obj.get());
    // tp_alloc zero-fills the object, starts its GC tracking and, for heap
    // types, takes a reference to the type. A failure below leaves a
    // partly filled object, which the deallocator handles like a full one.
    f->vectorcall = function_vectorcall;
    f->def = &def;
    f->closure = closure;
    f->module = Py_NewRef(module);
    f->owner = Py_XNewRef(owner);
    init_names(f, module, def, owner);
    init_parameters(f, def);
    return obj;
}

PyObject* function_module(PyObject* function)
{
    return as_function(function)->module;
}

}  // namespace tarnix
