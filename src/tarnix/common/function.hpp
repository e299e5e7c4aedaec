// Python-visible functions and methods of the extension modules.
//
// A Function is described by a static FunctionDef: its name, its parameters
// (with defaults and keyword-only markers) and its implementation. The
// interpreter calls it through vectorcall; the arguments are matched to the
// parameters here, with the interpreter's messages, before the implementation
// sees them. The objects behave like Python functions where users look:
// writable __doc__, __signature__ for help() and inspect, __defaults__ and
// __kwdefaults__, __annotations__, __module__ and __qualname__, and pickling
// by name.
#pragma once

#include "common/errors.hpp"

#include <cstddef>

namespace tarnix {

inline constexpr int kMaxParams = 16;

// Default of a parameter.
enum class Default : unsigned char { Required, None, False, True, Int, Str };

struct Param {
    const char* name;
    Default def = Default::Required;
    bool keyword_only = false;
    long long int_value = 0;      // Default::Int
    const char* str_value = "";   // Default::Str
};

inline constexpr Param kwonly(const char* name, Default def)
{
    return Param{name, def, true};
}

struct FunctionDef;

// The matched arguments of one call, in parameter order. Every entry is a
// borrowed reference (the caller's argument or the parameter's default).
class Args {
public:
    Args(PyObject* const* values, const void* closure) noexcept : v_(values), closure_(closure) {}
    PyObject* operator[](int i) const noexcept { return v_[i]; }
    // The data given to new_function() for generic implementations.
    const void* closure() const noexcept { return closure_; }

private:
    PyObject* const* v_;
    const void* closure_;
};

// self is the module for module-level functions, the instance (or class, for
// class methods) for methods. The result is a new reference.
using Impl = Ref (*)(PyObject* self, const Args& args);

struct FunctionDef {
    const char* name;
    Impl impl;
    const Param* params;
    int nparams;
    const char* doc = nullptr;
    // Two-width functions: the position of the argument that selects the index
    // width, and the argument count reported when it is missing.
    int dispatch_arg = -1;
    int dispatch_min = 0;
    // Methods receive the object as `self`; it must be an instance of the
    // owning type (checked), or any class for class methods.
    enum class Binding : unsigned char { Module, Method, ClassMethod } binding = Binding::Module;
};

// The number of entries of a static table (parameters, record fields).
template <class T, std::size_t N>
constexpr int count(const T (&)[N])
{
    return static_cast<int>(N);
}

// The types of Function objects, each created once per module (see
// module.hpp): Function for module functions and class methods, which never
// bind, and Method for instance methods (Binding::Method), which receive the
// object they are looked up on.
enum class FunctionKind : unsigned char { Function, Method };
PyObject* new_function_type(PyObject* module, FunctionKind kind);

// Creates a Function bound to `module` (whose state and globals it uses), of
// the type that matches def.binding.
// `owner` is the defining type for methods (NULL otherwise); the function's
// __qualname__ is then "Owner.name". `closure` is handed to every call.
Ref new_function(PyObject* function_type, PyObject* module, const FunctionDef& def,
                 PyObject* owner = nullptr, const void* closure = nullptr);

// The module a Function was created for.
PyObject* function_module(PyObject* function);

}  // namespace tarnix
