#include "common/ordering.hpp"
#include "common/surface.hpp"

#include <cstdio>
#include <string>

#include "common/arrays.hpp"
#include "common/conversions.hpp"
#include "common/module.hpp"

namespace tarnix {

void set_threshold_knob(double* knobs, int index, PyObject* value)
{
    if (value != Py_None) {
        knobs[index] = as_single_precision(value);
    }
}

void set_flag_knob(double* knobs, int index, PyObject* value)
{
    if (value != Py_None) {
        knobs[index] = truth(value) ? 1.0 : 0.0;
    }
}

Ref convert_constraints(PyObject* constraints, PyObject* dtype, Conversion how)
{
    return convert_index_array(constraints, dtype, how, "constraints", surface::constraints_not_integers);
}

Ref colamd_trivial_ordering(const CscInput& in, bool symmetric)
{
    PyObject* dtype = in.index_dtype.get();
    if (in.nrows == 0 || in.ncols == 0) {
        return zeros(0, dtype);
    }
    if (has_no_entries(in) || (!symmetric && in.nrows == 1)) {
        return arange(in.ncols, dtype);
    }
    if (in.ncols == 1) {
        return zeros(1, dtype);
    }
    return Ref{};
}

Ref new_colamd_status_messages()
{
    Ref messages = check(PyDict_New());
    for (const auto& entry : surface::colamd_status_texts) {
        Ref key = check(PyLong_FromLong(entry.status));
        Ref text = check(PyUnicode_FromString(entry.text));
        check_status(PyDict_SetItem(messages.get(), key.get(), text.get()));
    }
    return messages;
}

void handle_colamd_status(const StatusFamily& family, int ok, long long status)
{
    if (ok) {
        if (family.assertions && status != 0) {
            raise_format(PyExc_AssertionError, surface::status_not_ok, family.library,
                         family.library);
        }
        return;
    }
    if (status == -10) {
        raise_format(family.memory_error, surface::ran_out_of_memory, family.library);
    }
    if (status == -999) {
        raise_format(family.internal_error, surface::internal_error, family.library);
    }
    Ref key = check(PyLong_FromLongLong(status));
    Ref text = dict_lookup(family.messages, key.get());
    if (!text) {
        raise_format(family.error, surface::status_without_message, family.library,
                     status);
    }
    raise_format(family.value_error, surface::status_error, family.library, text.get());
}

ColamdExceptions add_colamd_exceptions(PyObject* module, const char* library)
{
    const std::string lib(library);
    std::string package = "tarnix.";
    for (char c : lib) {
        package += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    // The summary line first; then an example that shows the error caught
    // through the family and, for the subclasses, through the builtin.
    auto doc = [&](const std::string& summary, const char* suffix, const char* builtin) {
        const std::string cls = lib + suffix;
        std::string text = summary + "\n\nExamples\n--------\n>>> from " + package + " import " + lib + "Error";
        if (builtin == nullptr) {
            return text + ", " + lib + "ValueError\n>>> issubclass(" + lib + "ValueError, " + lib + "Error)\nTrue";
        }
        return text + ", " + cls + "\n>>> issubclass(" + cls + ", " + lib + "Error), issubclass(" + cls + ", " +
               builtin + ")\n(True, True)";
    };
    ColamdExceptions e;
    e.error = add_exception(module, (lib + "Error").c_str(), doc("Base class for " + lib + " errors.", "Error", nullptr).c_str(),
                            {PyExc_Exception});
    e.value_error = add_exception(module, (lib + "ValueError").c_str(),
                                  doc("Raised when " + lib + " encounters a value error.", "ValueError", "ValueError").c_str(),
                                  {e.error.get(), PyExc_ValueError});
    e.memory_error = add_exception(module, (lib + "MemoryError").c_str(),
                                   doc("Raised when " + lib + " runs out of memory.", "MemoryError", "MemoryError").c_str(),
                                   {e.error.get(), PyExc_MemoryError});
    e.internal_error = add_exception(
        module, (lib + "InternalError").c_str(),
        doc("Raised when " + lib + " encounters an internal error.", "InternalError", "RuntimeError").c_str(),
        {e.error.get(), PyExc_RuntimeError});
    return e;
}

void set_ordering_doc(PyObject* module, PyObject* function, PyObject* doc_template, const OrderingDoc& doc,
                      std::initializer_list<std::pair<const char*, PyObject*>> extra)
{
    Ref reftag = add_string(module, doc.reftag.name, doc.reftag.text);
    Ref intro = doc_intro(doc.lead, reftag.get(), doc.description);
    add_object(module, doc.intro_name, intro.get());
    Ref A_param = add_string(module, doc.A_param.name, doc.A_param.text);
    Ref example = add_string(module, doc.example.name, doc.example.text);
    Ref see_also = new_string(doc.see_also);
    Ref fields = check(PyDict_New());
    for (const auto& [key, value] : extra) {
        check_status(PyDict_SetItemString(fields.get(), key, value));
    }
    check_status(PyDict_SetItemString(fields.get(), "intro", intro.get()));
    check_status(PyDict_SetItemString(fields.get(), "A_param", A_param.get()));
    check_status(PyDict_SetItemString(fields.get(), "see_also", see_also.get()));
    check_status(PyDict_SetItemString(fields.get(), "reftag", reftag.get()));
    check_status(PyDict_SetItemString(fields.get(), "example", example.get()));
    Ref format = check(PyObject_GetAttrString(doc_template, "format"));
    Ref no_args = check(PyTuple_New(0));
    Ref text = check(PyObject_Call(format.get(), no_args.get(), fields.get()));
    check_status(PyObject_SetAttrString(function, "__doc__", text.get()));
}

}  // namespace tarnix
