#include "lib/binding/convert.hpp"

#include <cstring>

namespace sekvo::binding {

namespace {

// "int", "NoneType", "ndarray": the name CPython's own messages show.
Ref type_name(PyObject* object) {
    return Ref::steal(PyType_GetQualName(Py_TYPE(object)));
}

bool is_numpy_bool(PyTypeObject* type, Ref& full_name) {
    full_name = Ref::steal(PyType_GetFullyQualifiedName(type));
    if (!full_name) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_EqualToUTF8(full_name.get(), "numpy.bool_") ||
           PyUnicode_EqualToUTF8(full_name.get(), "numpy.bool");
}

}  // namespace

void downcast_error(PyObject* object, const char* target) {
    Ref name = type_name(object);
    if (!name) return;
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), target);
}

void name_argument_error(const char* parameter) {
    PyObject* error = PyErr_GetRaisedException();
    if (error == nullptr || !Py_IS_TYPE(error, reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
        PyErr_SetRaisedException(error);
        return;
    }
    Ref original = Ref::steal(error);
    Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %S", parameter, original.get()));
    if (!message) return;
    Ref renamed = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!renamed) return;
    if (PyObject* cause = PyException_GetCause(original.get())) {
        PyException_SetCause(renamed.get(), cause);  // steals `cause`
    }
    PyErr_SetRaisedException(renamed.release());
}

bool extract(PyObject* object, std::string& out) {
    if (!PyUnicode_Check(object)) {
        downcast_error(object, "PyString");
        return false;
    }
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size)) {
        out.assign(utf8, static_cast<std::size_t>(size));
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
    // Lone surrogates: give back the bytes that to_python() escaped.
    PyErr_Clear();
    Ref bytes = Ref::steal(PyUnicode_AsEncodedString(object, "utf-8", "surrogateescape"));
    if (!bytes) return false;
    out.assign(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
    return true;
}

bool extract_path(PyObject* object, std::string& out) {
    if (PyUnicode_Check(object)) return extract(object, out);
    // Only objects whose type defines __fspath__ are paths; the rest keep
    // the str conversion's own error.
    PyObject* method = nullptr;
    if (PyObject_GetOptionalAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__fspath__", &method) < 0) {
        return false;
    }
    if (method == nullptr) return extract(object, out);
    Py_DECREF(method);
    Ref path = Ref::steal(PyOS_FSPath(object));
    if (!path) return false;
    if (PyBytes_Check(path.get())) {
        out.assign(PyBytes_AS_STRING(path.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(path.get())));
        return true;
    }
    return extract(path.get(), out);
}

bool extract_path_argument(const char* parameter, PyObject* object, std::string& out) {
    if (object == nullptr || extract_path(object, out)) return true;
    name_argument_error(parameter);
    return false;
}

bool extract_path_argument(const char* parameter, PyObject* object, std::optional<std::string>& out) {
    if (object == nullptr) return true;
    if (object == Py_None) {
        out.reset();
        return true;
    }
    std::string path;
    if (!extract_path_argument(parameter, object, path)) return false;
    out = std::move(path);
    return true;
}

bool extract(PyObject* object, bool& out) {
    if (PyBool_Check(object)) {
        out = object == Py_True;
        return true;
    }
    Ref full_name;
    if (is_numpy_bool(Py_TYPE(object), full_name)) {
        PyNumberMethods* number = Py_TYPE(object)->tp_as_number;
        if (number == nullptr || number->nb_bool == nullptr) {
            PyErr_Format(PyExc_TypeError, "object of type '%U' does not define a '__bool__' conversion",
                         full_name.get());
            return false;
        }
        const int truth = number->nb_bool(object);
        if (truth < 0) return false;
        out = truth != 0;
        return true;
    }
    downcast_error(object, "PyBool");
    return false;
}

bool extract(PyObject* object, std::int64_t& out) {
    const long long value = PyLong_AsLongLong(object);
    if (value == -1 && PyErr_Occurred()) return false;
    out = value;
    return true;
}

bool extract(PyObject* object, std::uint64_t& out) {
    Ref index = Ref::steal(PyNumber_Index(object));
    if (!index) return false;
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = value;
    return true;
}

bool extract(PyObject* object, Ref& out) {
    out = Ref::borrow(object);
    return true;
}

bool check_tuple_length(PyObject* object, Py_ssize_t expected) {
    if (!PyTuple_Check(object)) {
        downcast_error(object, "PyTuple");
        return false;
    }
    const Py_ssize_t actual = PyTuple_GET_SIZE(object);
    if (actual != expected) {
        PyErr_Format(PyExc_ValueError, "expected tuple of length %zd, but got tuple of length %zd", expected,
                     actual);
        return false;
    }
    return true;
}

PyObject* sequence_iterator(PyObject* object, std::size_t& hint) {
    if (PyUnicode_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return nullptr;
    }
    if (!PySequence_Check(object)) {
        downcast_error(object, "Sequence");
        return nullptr;
    }
    const Py_ssize_t size = PySequence_Size(object);
    if (size < 0) PyErr_Clear();  // only a hint
    hint = size > 0 ? static_cast<std::size_t>(size) : 0;
    return PyObject_GetIter(object);
}

PyObject* to_python(std::string_view text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape");
}

Py_ssize_t length_result(std::uint64_t length) {
    if (length > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
        PyErr_SetNone(PyExc_OverflowError);
        return -1;
    }
    return static_cast<Py_ssize_t>(length);
}

}  // namespace sekvo::binding
