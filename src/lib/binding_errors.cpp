#include "lib/binding/errors.hpp"

#include <exception>
#include <new>
#include <stdexcept>
#include <string>

namespace sekvo::binding {

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

void raise_current_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

}  // namespace sekvo::binding
