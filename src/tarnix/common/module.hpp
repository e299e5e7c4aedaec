// Module set-up: state, the once-per-process import guard, and the helpers
// that module exec functions use to fill their namespace.
//
// Every module is initialised once per process (multi-phase init, with the
// checks below) and keeps its Python objects in its module state, a struct
// that starts with ModuleState. A module's traverse and clear functions list
// the same fields.
#pragma once

#include "common/function.hpp"

#include <cstddef>
#include <initializer_list>
#include <type_traits>
#include <utility>

namespace tarnix {

// The part of every module's state that the common code uses.
struct ModuleState {
    PyObject* function_type;
    PyObject* method_type;
    // SciPy's CSC classes, and what coerce_csc's native path uses
    // (common/csc_native.hpp; validate_csc_input stays null in a module
    // without that binding) and new csc_array results are made from
    // (common/csc_result.hpp).
    PyObject* csc_array_type;
    PyObject* csc_matrix_type;
    PyObject* csc_names;
    PyObject* validate_csc_input;
    PyObject* csc_prototype;
    static constexpr PyObject* ModuleState::*objects[] = {
        &ModuleState::function_type, &ModuleState::method_type,     &ModuleState::csc_array_type,
        &ModuleState::csc_matrix_type, &ModuleState::csc_names,     &ModuleState::validate_csc_input,
        &ModuleState::csc_prototype};
};

// Garbage-collection support of a module state. A state lists the objects it
// holds once, beside their declarations:
//     static constexpr PyObject* State::*objects[] = {&State::a, &State::b};
// and the module definition names state_traverse<State>, state_clear<State>
// and state_free<State>; the shared part is visited and cleared with it.
// Calls f(field) for every object field of the state, its own and the shared ones.
template <class State, class F>
void for_each_state_object(State& st, F&& f)
{
    if constexpr (!std::is_same_v<State, ModuleState>) {
        for (auto field : State::objects) {
            f(st.*field);
        }
    }
    for (auto field : ModuleState::objects) {
        f(st.*field);
    }
}

template <class State>
int state_traverse(PyObject* module, visitproc visit, void* arg)
{
    auto* st = static_cast<State*>(PyModule_GetState(module));
    int rc = 0;
    if (st != nullptr) {
        for_each_state_object(*st, [&](PyObject* obj) {
            if (rc == 0 && obj != nullptr) {
                rc = visit(obj, arg);
            }
        });
    }
    return rc;
}

template <class State>
int state_clear(PyObject* module)
{
    auto* st = static_cast<State*>(PyModule_GetState(module));
    if (st != nullptr) {
        for_each_state_object(*st, [](PyObject*& obj) { Py_CLEAR(obj); });
    }
    return 0;
}

template <class State>
void state_free(void* module)
{
    state_clear<State>(static_cast<PyObject*>(module));
}

template <class State>
State& module_state(PyObject* module)
{
    return *static_cast<State*>(PyModule_GetState(module));
}

// Runs the body of a module's exec slot. Before it: the interpreter check
// ("Interpreter change detected - ..."), the re-initialisation check
// ("Module '<name>' has already been imported. ..."), NumPy's C API and the
// module's function type; after it, the binding of the native CSC check. After
// it succeeds the module counts as initialised.
int exec_module(PyObject* module, const char* name, void (*body)(PyObject* module)) noexcept;

// The slot that lets a free-threaded interpreter keep the GIL off while the
// module is loaded: the modules rely on it for nothing (their shared state is
// set at import, a factor is used through its own lock, other objects
// through critical sections). Interpreters before 3.13 know no such slot.
#if PY_VERSION_HEX >= 0x030D0000
#define TARNIX_GIL_NOT_USED_SLOT {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#else
#define TARNIX_GIL_NOT_USED_SLOT
#endif

// The definition of extension module tarnix.NAME and its entry point
// PyInit_NAME: multi-phase initialisation whose exec slot runs BODY under
// exec_module, with a STATE that lists its objects (see state_traverse).
// Used at namespace scope, outside unnamed namespaces.
#define TARNIX_MODULE(NAME, DOC, STATE, BODY)                                                                     \
    static int tarnix_exec_##NAME(PyObject* module)                                                               \
    {                                                                                                             \
        return ::tarnix::exec_module(module, #NAME, BODY);                                                        \
    }                                                                                                             \
    static PyModuleDef_Slot tarnix_slots_##NAME[] = {                                                             \
        {Py_mod_exec, reinterpret_cast<void*>(tarnix_exec_##NAME)},                                               \
        TARNIX_GIL_NOT_USED_SLOT{0, nullptr},                                                                     \
    };                                                                                                            \
    static PyModuleDef tarnix_module_##NAME = {                                                                   \
        PyModuleDef_HEAD_INIT,         "tarnix." #NAME,                 DOC, sizeof(STATE), nullptr,              \
        tarnix_slots_##NAME,           ::tarnix::state_traverse<STATE>, ::tarnix::state_clear<STATE>,             \
        ::tarnix::state_free<STATE>,                                                                              \
    };                                                                                                            \
    PyMODINIT_FUNC PyInit_##NAME()                                                                                \
    {                                                                                                             \
        return PyModuleDef_Init(&tarnix_module_##NAME);                                                           \
    }

// Imports.
Ref import_module(const char* name);
Ref import_attr(const char* module, const char* attr);
// from .<submodule> import <attr>, relative to the module's package.
Ref import_relative(PyObject* module, const char* submodule, const char* attr);

// A native function exported by another extension module in its table
// attribute (a dict of PyCapsules named with the signature text). Raises
// ImportError when the entry is missing and TypeError when its signature text
// differs from `signature`.
void* import_capi_function(PyObject* module, const char* table, const char* name, const char* signature);

// Namespace.
void add_object(PyObject* module, const char* name, PyObject* obj);
// __all__, from a module's list in its surface.hpp.
void set_all(PyObject* module, const char* const* names, size_t count);
template <size_t N>
void set_all(PyObject* module, const char* const (&names)[N])
{
    set_all(module, names, N);
}
Ref add_function(PyObject* module, const FunctionDef& def);
// A method (or class method) of `type`, created as a Function and set as its
// attribute.
Ref add_method(PyObject* module, PyObject* type, const FunctionDef& def, const void* closure = nullptr);
Ref new_string(const char* text);
Ref add_string(PyObject* module, const char* name, const char* text);

// The module-level binding of `name`, looked up at call time as Python code
// would; NameError when unbound.
Ref module_global(PyObject* module, PyObject* name);

// dict[key] as a strong reference (another thread, or the key's own __eq__,
// may change the dict meanwhile); an empty Ref when the key is missing.
Ref dict_lookup(PyObject* dict, PyObject* key);

// An exception class "<module>.<name>" with the given bases (in order) and a
// docstring, added to the module.
Ref add_exception(PyObject* module, const char* name, const char* doc, std::initializer_list<PyObject*> bases);

// "<lead><reftag><description>": the opening of an assembled docstring, whose
// reference tag is also a piece of its own.
Ref doc_intro(const char* lead, PyObject* reftag, const char* description);

// obj.__doc__ = template.format(**fields)
void set_formatted_doc(PyObject* obj, PyObject* template_str,
                       std::initializer_list<std::pair<const char*, PyObject*>> fields);

}  // namespace tarnix
