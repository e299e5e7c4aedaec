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
//
// Why not PyMethodDef: a builtin's __doc__ cannot be assigned (docstrings are filled from
// templates at import), it has no __defaults__, __kwdefaults__ or __annotations__, and
// PyArg_ParseTupleAndKeywords words argument errors unlike the messages callers rely on.
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

// A function's description. Tables declare it with the builder below, as a
// constexpr object, so that the parameter count and the dispatch fields are
// computed rather than written out:
//
//   constexpr Param solve_params[] = {{"b"}, kwonly("transpose", Default::False)};
//   constexpr FunctionDef solve_def = method("solve", py_solve, solve_params).with_doc(docs::solve);
//   constexpr FunctionDef private_def = function("_btf", py_private_btf, private_params).dispatch_on("Ap");
struct FunctionDef {
    const char* name;
    Impl impl;
    const Param* params;
    int nparams;
    const char* doc = nullptr;
    // Two-width functions: the position of the argument that selects the index
    // width, and the argument count reported when it is missing (the number of
    // required parameters).
    int dispatch_arg = -1;
    int dispatch_min = 0;
    // Methods receive the object as `self`; it must be an instance of the
    // owning type (checked), or any class for class methods.
    enum class Binding : unsigned char { Module, Method, ClassMethod } binding = Binding::Module;

    constexpr FunctionDef with_doc(const char* text) const
    {
        FunctionDef def = *this;
        def.doc = text;
        return def;
    }

    // Selects the index width from the parameter called `param`. A name that
    // is not a parameter makes the constexpr declaration fail to compile.
    constexpr FunctionDef dispatch_on(const char* param) const
    {
        FunctionDef def = *this;
        def.dispatch_arg = -1;
        def.dispatch_min = 0;
        for (int i = 0; i < nparams; ++i) {
            if (same_name(params[i].name, param)) {
                def.dispatch_arg = i;
            }
            if (params[i].def == Default::Required) {
                ++def.dispatch_min;
            }
        }
        if (def.dispatch_arg < 0) {
            throw "dispatch_on: no such parameter";  // compile-time only: the tables are constexpr
        }
        return def;
    }

private:
    static constexpr bool same_name(const char* a, const char* b)
    {
        while (*a != '\0' && *a == *b) {
            ++a;
            ++b;
        }
        return *a == *b;
    }
};

namespace detail {
template <std::size_t N>
constexpr FunctionDef make_def(const char* name, Impl impl, const Param (&params)[N], FunctionDef::Binding binding)
{
    static_assert(N <= kMaxParams, "too many parameters");
    FunctionDef def{name, impl, params, static_cast<int>(N)};
    def.binding = binding;
    return def;
}
}  // namespace detail

// A module-level function; without a parameter table, one that takes none.
template <std::size_t N>
constexpr FunctionDef function(const char* name, Impl impl, const Param (&params)[N])
{
    return detail::make_def(name, impl, params, FunctionDef::Binding::Module);
}
constexpr FunctionDef function(const char* name, Impl impl)
{
    return FunctionDef{name, impl, nullptr, 0};
}

// An instance method (receives the object it is looked up on as `self`) and
// a class method (receives the class).
template <std::size_t N>
constexpr FunctionDef method(const char* name, Impl impl, const Param (&params)[N])
{
    return detail::make_def(name, impl, params, FunctionDef::Binding::Method);
}
constexpr FunctionDef method(const char* name, Impl impl)
{
    FunctionDef def{name, impl, nullptr, 0};
    def.binding = FunctionDef::Binding::Method;
    return def;
}
template <std::size_t N>
constexpr FunctionDef class_method(const char* name, Impl impl, const Param (&params)[N])
{
    return detail::make_def(name, impl, params, FunctionDef::Binding::ClassMethod);
}

// The number of entries of a static table (record fields).
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
