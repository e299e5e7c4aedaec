// Library statuses as Python exceptions, and the module's warnings.

#include "spqr/status.hpp"

#include "common/workspace.hpp"
#include "spqr/surface.hpp"

#include <cholmod.h>

namespace spqr_module {

using namespace tarnix;

Ref new_error_map(const State& st)
{
    const struct {
        int status;
        PyObject* cls;
        const char* message;
    } table[] = {
        {CHOLMOD_NOT_INSTALLED, st.SPQRNotInstalledError, spqr_surface::not_installed},
        {CHOLMOD_OUT_OF_MEMORY, st.SPQROutOfMemoryError, spqr_surface::out_of_memory},
        {CHOLMOD_TOO_LARGE, st.SPQROverflowError, spqr_surface::integer_overflow},
        {CHOLMOD_INVALID, st.SPQRInvalidInputError, spqr_surface::invalid_input},
        {CHOLMOD_GPU_PROBLEM, st.SPQRGpuProblemError, spqr_surface::gpu_problem},
    };
    Ref map = check(PyDict_New());
    for (const auto& e : table) {
        Ref key = check(PyLong_FromLong(e.status));
        Ref value = check(Py_BuildValue("(Os)", e.cls, e.message));
        check_status(PyDict_SetItem(map.get(), key.get(), value.get()));
    }
    return map;
}

void handle_errors(const State& st, const spqr_lib::Status& outcome)
{
    const int status = outcome.out_of_memory ? CHOLMOD_OUT_OF_MEMORY : outcome.status;
    if (status == CHOLMOD_OK) {
        return;
    }
    Ref key = check(PyLong_FromLong(status));
    const Ref entry = dict_lookup(st.error_map, key.get());
    PyObject* cls = entry ? PyTuple_GET_ITEM(entry.get(), 0) : st.SPQRError;
    const char* base = entry ? PyUnicode_AsUTF8(PyTuple_GET_ITEM(entry.get(), 1)) : spqr_surface::unknown_error;
    if (base == nullptr) {
        throw PythonError{};
    }
    const double failed = status == CHOLMOD_OUT_OF_MEMORY ? outcome.failed_bytes : 0.0;
    if (failed > 0.0) {
        char amount[48];
        format_bytes(failed, amount, sizeof amount);
        raise_format(cls, spqr_surface::status_with_amount, base, status, amount);
    }
    raise_format(cls, spqr_surface::status_with_code, base, status);
}

void handle_analysis_errors(const State& st, const spqr_lib::Status& status)
{
    if (status.int32_overflow) {
        raise_format(st.SPQROverflowError, spqr_surface::int32_overflow, CHOLMOD_TOO_LARGE);
    }
    handle_errors(st, status);
}

void raise_common_not_started()
{
    raise(PyExc_MemoryError, spqr_surface::common_not_started);
}

void warn(PyObject* category, PyObject* message)
{
    const char* text = PyUnicode_AsUTF8(message);
    if (text == nullptr || PyErr_WarnEx(category, text, 1) < 0) {
        throw PythonError{};
    }
}

}  // namespace spqr_module
