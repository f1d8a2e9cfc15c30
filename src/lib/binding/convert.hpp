// Conversions between Python objects and C++ values at the module's
// boundary. Every extract() returns false with a Python exception set.
#pragma once

#include "common/huge_pages.hpp"
#include "lib/binding/object.hpp"
#include "lib/binding/python.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

namespace sekvo::binding {

// TypeError "'<type>' object cannot be converted to '<target>'".
void downcast_error(PyObject* object, const char* target);

// If the pending exception is exactly TypeError, replaces it by
// TypeError "argument '<parameter>': <message>" that keeps the first
// error's cause; any other exception is left as it is.
void name_argument_error(const char* parameter);

// --- Python -> C++ ---------------------------------------------------------
// text: a str (or subclass), as UTF-8; lone surrogates from undecodable
// bytes (see to_python) are turned back into those bytes.
bool extract(PyObject* object, std::string& out);
// a file path: a str as above, or an os.PathLike object (pathlib.Path)
// through its __fspath__, whose bytes result is taken as it is. Anything
// else is refused exactly as extract() to std::string refuses it.
bool extract_path(PyObject* object, std::string& out);
// flag: True/False, or a numpy bool through its __bool__.
bool extract(PyObject* object, bool& out);
// integers: int or any object with __index__; the interpreter's own
// TypeError/OverflowError otherwise (negative values for unsigned).
bool extract(PyObject* object, std::int64_t& out);
bool extract(PyObject* object, std::uint64_t& out);
// any object, kept as a counted reference.
bool extract(PyObject* object, Ref& out);
// None -> empty, otherwise the inner conversion.
template <class T>
bool extract(PyObject* object, std::optional<T>& out);
// a tuple (or subclass) of exactly sizeof...(T) items; ValueError
// "expected tuple of length N, but got tuple of length M" otherwise.
template <class... T>
bool extract(PyObject* object, std::tuple<T...>& out);
// any sequence except str, item by item.
template <class T>
bool extract(PyObject* object, std::vector<T>& out);

// An instance of one of the module's classes (or a subtype); the downcast
// message names the class otherwise.
template <class T>
bool extract_instance(PyObject* object, PyTypeObject* type, Box<T>*& out) {
    if (!PyObject_TypeCheck(object, type)) {
        Ref name = Ref::steal(PyType_GetName(type));
        if (!name) return false;
        const char* text = PyUnicode_AsUTF8(name.get());
        if (text == nullptr) return false;
        downcast_error(object, text);
        return false;
    }
    out = box_of<T>(object);
    return true;
}

// Converts one parsed argument: leaves `out` (its default) alone when the
// argument was not given (NULL); names the parameter in a TypeError.
template <class T>
bool extract_argument(const char* parameter, PyObject* object, T& out) {
    if (object == nullptr || extract(object, out)) return true;
    name_argument_error(parameter);
    return false;
}

// extract_argument for a path parameter (see extract_path).
bool extract_path_argument(const char* parameter, PyObject* object, std::string& out);
bool extract_path_argument(const char* parameter, PyObject* object, std::optional<std::string>& out);

// --- C++ -> Python ---------------------------------------------------------
// Text becomes str from its UTF-8 bytes; a byte that is not part of valid
// UTF-8 (a slice that cut a multi-byte character) becomes a lone surrogate
// U+DC80..U+DCFF ("surrogateescape"), which extract() turns back into it.
PyObject* to_python(std::string_view text);
inline PyObject* to_python(const std::string& text) { return to_python(std::string_view(text)); }
inline PyObject* to_python(const char* text) { return to_python(std::string_view(text)); }
inline PyObject* to_python(bool flag) { return PyBool_FromLong(flag); }
inline PyObject* to_python(std::int64_t value) { return PyLong_FromLongLong(value); }
inline PyObject* to_python(std::uint64_t value) { return PyLong_FromUnsignedLongLong(value); }
inline PyObject* to_python(double value) { return PyFloat_FromDouble(value); }
template <class T>
PyObject* to_python(const std::optional<T>& value) {
    if (!value) Py_RETURN_NONE;
    return to_python(*value);
}

// A new list of `size` items, item i made by make_item(i) (a new
// reference, or NULL with the error set); no partial list on failure.
template <class MakeItem>
PyObject* list_from(std::size_t size, MakeItem make_item) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(size)));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < size; ++i) {
        PyObject* item = make_item(i);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

// Result of mp_length/sq_length: OverflowError (no message) above the
// largest signed 64-bit value.
Py_ssize_t length_result(std::uint64_t length);

// --- template definitions -------------------------------------------------

template <class T>
bool extract(PyObject* object, std::optional<T>& out) {
    if (object == Py_None) {
        out.reset();
        return true;
    }
    T value{};
    if (!extract(object, value)) return false;
    out = std::move(value);
    return true;
}

bool check_tuple_length(PyObject* object, Py_ssize_t expected);

template <class... T>
bool extract(PyObject* object, std::tuple<T...>& out) {
    if (!check_tuple_length(object, sizeof...(T))) return false;
    return std::apply(
        [object](auto&... items) {
            Py_ssize_t index = 0;
            return (extract(PyTuple_GET_ITEM(object, index++), items) && ...);
        },
        out);
}

// Checks that `object` is a sequence other than str; returns a new
// iterator over it and a capacity hint, or NULL with the error set.
PyObject* sequence_iterator(PyObject* object, std::size_t& hint);

template <class T>
bool extract(PyObject* object, std::vector<T>& out) {
    std::size_t hint = 0;
    Ref iterator = Ref::steal(sequence_iterator(object, hint));
    if (!iterator) return false;
    std::vector<T> items;
    // A lying __len__ must not reserve absurd amounts of memory.
    reserve_on_huge_pages(items, std::min<std::size_t>(hint, std::size_t{1} << 20));
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        T value{};
        if (!extract(item.get(), value)) return false;
        items.push_back(std::move(value));
    }
    if (PyErr_Occurred()) return false;
    out = std::move(items);
    return true;
}

}  // namespace sekvo::binding
