// The engines: what each module computes, as library calls on memory the call owns or has
// checked, with plain structs in and out. Engine code lives in common/engine/ and in each
// module's engine/ folder, and is compiled without Python's and NumPy's headers
// (cmake/TarnixEngine.cmake): nothing in it can run Python code or touch a Python object, so
// an engine call may run with the interpreter lock released, and the reasoning about threads,
// callbacks and caller memory stays in the faces.
//
// A face converts its arguments once, calls the engine (lock released), and converts the
// results. An engine reports failure by a status in its result or by throwing a type of
// common/engine/; the face turns either into the module's own exception and message. No
// exception is thrown through a library's C frames.
#pragma once

namespace tarnix::engine {
}  // namespace tarnix::engine
