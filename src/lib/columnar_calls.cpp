// fetch_array() and fetch_bed(): regions from Python into columns, the
// columnar fetch without the interpreter lock, and the SequenceArray.
#include <cstring>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "faidx/bed_reader.hpp"
#include "lib/core_values.hpp"
#include "lib/index_calls.hpp"
#include "lib/columnar_objects.hpp"

namespace sekvo {

namespace {

using namespace binding;

// The common case, read without converting item by item through the
// generic path: a list or tuple of exact (str, int, int) tuples. Anything
// else answers false with no error set, and the generic conversion then
// gives the same errors as fetch_many().
bool read_plain_tuples(PyObject* regions, RegionColumns& out) {
    if (!PyList_CheckExact(regions) && !PyTuple_CheckExact(regions)) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(regions);
    PyObject** items = PySequence_Fast_ITEMS(regions);
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = items[i];
        if (!PyTuple_CheckExact(item) || PyTuple_GET_SIZE(item) != 3) return false;
        PyObject* name = PyTuple_GET_ITEM(item, 0);
        PyObject* start = PyTuple_GET_ITEM(item, 1);
        PyObject* end = PyTuple_GET_ITEM(item, 2);
        if (!PyUnicode_CheckExact(name) || !PyLong_CheckExact(start) || !PyLong_CheckExact(end)) return false;
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(name, &size);
        const unsigned long long s = PyLong_AsUnsignedLongLong(start);
        const unsigned long long e = PyLong_AsUnsignedLongLong(end);
        if (text == nullptr || PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        out.add(std::string_view(text, static_cast<std::size_t>(size)), s, e);
    }
    return true;
}

bool convert_region_tuples(PyObject* regions, RegionColumns& out) {
    if (read_plain_tuples(regions, out)) return true;
    out = RegionColumns{};
    std::vector<std::tuple<std::string, std::uint64_t, std::uint64_t>> items;
    if (!extract_argument("regions", regions, items)) return false;
    out.reserve(items.size());
    for (const auto& [name, start, end] : items) out.add(name, start, end);
    return true;
}

// An integer buffer (numpy arrays and the like) of one dimension.
bool read_integer_buffer(const char* parameter, PyObject* object, std::vector<std::uint64_t>& out) {
    Py_buffer view;
    if (PyObject_GetBuffer(object, &view, PyBUF_RECORDS_RO) < 0) return false;
    struct Release {
        Py_buffer* view;
        ~Release() { PyBuffer_Release(view); }
    } release{&view};
    std::string_view format = view.format != nullptr ? view.format : "B";
    if (!format.empty() && (format[0] == '@' || format[0] == '=' || format[0] == '<')) format.remove_prefix(1);
    if (view.ndim != 1 || format.size() != 1 || std::strchr("bBhHiIlLqQnN", format[0]) == nullptr) {
        PyErr_Format(PyExc_TypeError, "argument '%s': expected a one-dimensional buffer of integers", parameter);
        return false;
    }
    const bool is_signed = std::strchr("bhilqn", format[0]) != nullptr;
    const auto n = static_cast<std::size_t>(view.shape[0]);
    out.resize(n);
    const char* base = static_cast<const char*>(view.buf);
    for (std::size_t i = 0; i < n; ++i) {
        const char* at = base + static_cast<Py_ssize_t>(i) * view.strides[0];
        std::int64_t signed_value = 0;
        std::uint64_t value = 0;
        switch (view.itemsize) {
            case 1: is_signed ? (void)(signed_value = *reinterpret_cast<const std::int8_t*>(at)) : (void)(value = *reinterpret_cast<const std::uint8_t*>(at)); break;
            case 2: { std::uint16_t v; std::memcpy(&v, at, 2); is_signed ? (void)(signed_value = static_cast<std::int16_t>(v)) : (void)(value = v); break; }
            case 4: { std::uint32_t v; std::memcpy(&v, at, 4); is_signed ? (void)(signed_value = static_cast<std::int32_t>(v)) : (void)(value = v); break; }
            case 8: { std::uint64_t v; std::memcpy(&v, at, 8); is_signed ? (void)(signed_value = static_cast<std::int64_t>(v)) : (void)(value = v); break; }
            default:
                PyErr_Format(PyExc_TypeError, "argument '%s': expected a one-dimensional buffer of integers", parameter);
                return false;
        }
        if (is_signed) {
            if (signed_value < 0) {
                PyErr_Format(PyExc_OverflowError, "argument '%s': item %zu is negative", parameter, i);
                return false;
            }
            value = static_cast<std::uint64_t>(signed_value);
        }
        out[i] = value;
    }
    return true;
}

bool convert_coordinates(const char* parameter, PyObject* object, std::vector<std::uint64_t>& out) {
    if (PyObject_CheckBuffer(object) && !PyBytes_Check(object) && !PyByteArray_Check(object))
        return read_integer_buffer(parameter, object, out);
    return extract_argument(parameter, object, out);
}

bool convert_names(PyObject* names, std::vector<std::string>& out) {
    return extract_argument("names", names, out);
}

bool convert_columns(PyObject* names, PyObject* starts, PyObject* ends, RegionColumns& out) {
    std::vector<std::string> name_column;
    std::vector<std::uint64_t> start_column;
    std::vector<std::uint64_t> end_column;
    if (!convert_names(names, name_column) || !convert_coordinates("starts", starts, start_column) ||
        !convert_coordinates("ends", ends, end_column))
        return false;
    if (name_column.size() != start_column.size() || name_column.size() != end_column.size()) {
        PyErr_Format(PyExc_ValueError, "names, starts and ends must have the same length (got %zu, %zu and %zu)",
                     name_column.size(), start_column.size(), end_column.size());
        return false;
    }
    out.reserve(name_column.size());
    for (std::size_t i = 0; i < name_column.size(); ++i) out.add(name_column[i], start_column[i], end_column[i]);
    return true;
}

PyObject* fetch_into_array(const IndexHandle& handle, RegionColumns&& regions, Orientation orientation) {
    auto data = std::make_shared<ColumnarData>();
    data->regions = std::move(regions);
    Result<ColumnarBatch> batch = Error{ErrorKind::IO, ""};
    {
        WithoutInterpreterLock unlocked;
        batch = fetch_columns(handle, data->regions, orientation);
    }
    if (!batch) return raise(batch.error());
    data->batch = batch.take();
    return new_sequence_array(std::move(data));
}

}  // namespace

PyObject* call_fetch_array(const IndexHandle& handle, PyObject* regions, PyObject* rc, PyObject* names,
                           PyObject* starts, PyObject* ends) {
    const bool has_regions = regions != nullptr && regions != Py_None;
    const int columns = (names != nullptr && names != Py_None) + (starts != nullptr && starts != Py_None) +
                        (ends != nullptr && ends != Py_None);
    if (has_regions && columns > 0) {
        PyErr_SetString(PyExc_TypeError, "fetch_array() takes regions or names=, starts= and ends=, not both");
        return nullptr;
    }
    if (!has_regions && columns != 3) {
        PyErr_SetString(PyExc_TypeError,
                        columns == 0 ? "fetch_array() missing regions (or names=, starts= and ends=)"
                                     : "fetch_array() needs names=, starts= and ends= together");
        return nullptr;
    }
    RegionColumns columns_read;
    if (has_regions ? !convert_region_tuples(regions, columns_read)
                    : !convert_columns(names, starts, ends, columns_read))
        return nullptr;
    bool reverse = false;
    if (!extract_rc(rc, reverse)) return nullptr;
    return fetch_into_array(handle, std::move(columns_read), reverse ? Orientation::reverse_all : Orientation::forward);
}

PyObject* call_fetch_bed(const IndexHandle& handle, PyObject* path, PyObject* strand) {
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(path, &encoded)) {
        name_argument_error("path");
        return nullptr;
    }
    Ref path_bytes = Ref::steal(encoded);
    bool by_strand = false;
    if (!extract_argument("strand", strand, by_strand)) return nullptr;
    const std::string path_text(PyBytes_AS_STRING(encoded), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded)));

    Result<BedText> read = Error{ErrorKind::IO, ""};
    {
        WithoutInterpreterLock unlocked;
        read = read_bed_file(path_text);
    }
    if (!read) {
        const Error& error = read.error();
        if (error.os_error != 0) {
            errno = error.os_error;
            return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
        }
        Ref shown = Ref::steal(PyOS_FSPath(path));
        PyErr_Format(PyExc_OSError, "%S: %s", shown ? shown.get() : path, error.detail.c_str());
        return nullptr;
    }
    if (read.value().problem) {
        const std::string text = describe_bed_problem(path_text, *read.value().problem);
        Ref message = Ref::steal(to_python(text));
        if (message) PyErr_SetObject(PyExc_ValueError, message.get());
        return nullptr;
    }
    return fetch_into_array(handle, std::move(read.value().regions),
                            by_strand ? Orientation::by_strand : Orientation::forward);
}

}  // namespace sekvo
