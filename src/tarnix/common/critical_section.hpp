// Per-object critical sections: the object's own lock on a free-threaded
// interpreter, nothing where the interpreter lock already serialises every
// access (interpreters with the GIL, and all before 3.13).
//
// A section is suspended while its thread waits without the interpreter (for
// a lock, say) and resumed afterwards, so it protects a short read or update
// of an object's fields, not a span that runs arbitrary Python code.
#pragma once

#include "common/python.hpp"

namespace tarnix {

#if PY_VERSION_HEX >= 0x030D0000 && defined(Py_GIL_DISABLED)
#define TARNIX_CRITICAL_SECTIONS 1
#else
#define TARNIX_CRITICAL_SECTIONS 0
#endif

// Py_BEGIN_CRITICAL_SECTION(op) ... Py_END_CRITICAL_SECTION for the lifetime
// of the object; name it. A null op locks nothing.
class CriticalSection {
public:
    explicit CriticalSection(PyObject* op) noexcept
    {
#if TARNIX_CRITICAL_SECTIONS
        active_ = op != nullptr;
        if (active_) {
            PyCriticalSection_Begin(&section_, op);
        }
#else
        (void)op;
#endif
    }
    ~CriticalSection()
    {
#if TARNIX_CRITICAL_SECTIONS
        if (active_) {
            PyCriticalSection_End(&section_);
        }
#endif
    }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

private:
#if TARNIX_CRITICAL_SECTIONS
    PyCriticalSection section_;
    bool active_;
#endif
};

// The section of PySequence_Fast's result while its items are read in place:
// a list's own lock (another thread may resize or rewrite it), nothing for a
// tuple, which cannot change.
class SequenceCriticalSection : public CriticalSection {
public:
    explicit SequenceCriticalSection(PyObject* seq) noexcept : CriticalSection(PyList_Check(seq) ? seq : nullptr) {}
};

}  // namespace tarnix
