#include "lib/core_values.hpp"

#include "lib/binding/binding.hpp"
#include "lib/str_residues.hpp"

#include <string>
#include <utility>

namespace sekvo {

using binding::raise_current_exception;

namespace {

void set_error_text(PyObject* type, const std::string& text) {
    // Messages embed record names and paths, which are meant to be UTF-8;
    // an odd byte must not turn the error into a UnicodeDecodeError.
    PyObject* message = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                             "surrogateescape");
    if (message == nullptr) return;
    PyErr_SetObject(type, message);
    Py_DECREF(message);
}

}  // namespace

PyObject* raise(const Error& error) {
    try {
        switch (error.kind) {
            case ErrorKind::OutOfRange: set_error_text(PyExc_IndexError, error.detail); break;
            case ErrorKind::BatchFailed: set_error_text(PyExc_RuntimeError, error.detail); break;
            default: set_error_text(PyExc_Exception, error.exception_message()); break;
        }
    } catch (...) {
        raise_current_exception();
    }
    return nullptr;
}

bool extract(PyObject* object, Residues& out) {
    std::string text;
    if (!binding::extract(object, text)) return false;
    out = std::move(text);
    return true;
}

PyObject* to_python(const Residues& residues) {
    if (PyObject* text = lending_str(residues)) return Py_NewRef(text);
    return binding::to_python(residues.view());
}

}  // namespace sekvo
