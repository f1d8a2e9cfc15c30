// fetch_array() and fetch_bed(): regions from Python into columns, the
// columnar fetch without the interpreter lock, and the SequenceArray.
#include <cstring>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
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

// Item `at` of an integer buffer as a coordinate; false for a negative one.
template <class T>
bool coordinate_at(const char* at, std::uint64_t& out) {
    T value;
    std::memcpy(&value, at, sizeof value);
    if constexpr (std::is_signed_v<T>) {
        if (value < 0) return false;
    }
    out = static_cast<std::uint64_t>(value);
    return true;
}

using ReadCoordinate = bool (*)(const char*, std::uint64_t&);

// The reader of one item for a struct-module integer code, or null.
ReadCoordinate coordinate_reader(char code, Py_ssize_t itemsize) {
    switch (code) {
        case 'b': return coordinate_at<std::int8_t>;
        case 'B': return coordinate_at<std::uint8_t>;
        case 'h': return coordinate_at<std::int16_t>;
        case 'H': return coordinate_at<std::uint16_t>;
        case 'i': case 'l': case 'q': case 'n':
            return itemsize == 4 ? coordinate_at<std::int32_t> : itemsize == 8 ? coordinate_at<std::int64_t> : nullptr;
        case 'I': case 'L': case 'Q': case 'N':
            return itemsize == 4 ? coordinate_at<std::uint32_t> : itemsize == 8 ? coordinate_at<std::uint64_t> : nullptr;
        default: return nullptr;
    }
}

// An integer buffer (numpy arrays and the like) of one dimension, any stride.
bool read_integer_buffer(const char* parameter, PyObject* object, std::vector<std::uint64_t>& out) {
    Py_buffer view;
    if (PyObject_GetBuffer(object, &view, PyBUF_RECORDS_RO) < 0) return false;
    struct Release {
        Py_buffer* view;
        ~Release() { PyBuffer_Release(view); }
    } release{&view};
    std::string_view format = view.format != nullptr ? view.format : "B";
    if (!format.empty() && (format[0] == '@' || format[0] == '=' || format[0] == '<')) format.remove_prefix(1);
    const ReadCoordinate read = format.size() == 1 ? coordinate_reader(format[0], view.itemsize) : nullptr;
    if (view.ndim != 1 || read == nullptr) {
        PyErr_Format(PyExc_TypeError, "argument '%s': expected a one-dimensional buffer of integers", parameter);
        return false;
    }
    out.resize(static_cast<std::size_t>(view.shape[0]));
    const char* at = static_cast<const char*>(view.buf);
    for (std::size_t i = 0; i < out.size(); ++i, at += view.strides[0]) {
        if (!read(at, out[i])) {
            PyErr_Format(PyExc_OverflowError, "argument '%s': item %zu is negative", parameter, i);
            return false;
        }
    }
    return true;
}

bool convert_coordinates(const char* parameter, PyObject* object, std::vector<std::uint64_t>& out) {
    if (PyObject_CheckBuffer(object) && !PyBytes_Check(object) && !PyByteArray_Check(object))
        return read_integer_buffer(parameter, object, out);
    return extract_argument(parameter, object, out);
}

// A list or tuple of exact str, which is read in place.
bool plain_names(PyObject* names) {
    if (!PyList_CheckExact(names) && !PyTuple_CheckExact(names)) return false;
    PyObject** items = PySequence_Fast_ITEMS(names);
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(names); ++i)
        if (!PyUnicode_CheckExact(items[i])) return false;
    return true;
}

bool same_lengths(std::size_t names, std::size_t starts, std::size_t ends) {
    if (names == starts && names == ends) return true;
    PyErr_Format(PyExc_ValueError, "names, starts and ends must have the same length (got %zu, %zu and %zu)",
                 names, starts, ends);
    return false;
}

// The three columns, converted in parameter order.
bool convert_columns(PyObject* names, PyObject* starts, PyObject* ends, RegionColumns& out) {
    std::vector<std::uint64_t> start_column;
    std::vector<std::uint64_t> end_column;
    if (plain_names(names)) {
        if (!convert_coordinates("starts", starts, start_column) || !convert_coordinates("ends", ends, end_column) ||
            !same_lengths(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(names)), start_column.size(),
                          end_column.size()))
            return false;
        PyObject** items = PySequence_Fast_ITEMS(names);
        std::vector<std::uint32_t> records(start_column.size());
        std::size_t i = 0;
        for (; i < records.size(); ++i) {
            if (i > 0 && items[i] == items[i - 1]) {  // the same str object: the same record, not hashed again
                records[i] = records[i - 1];
                continue;
            }
            Py_ssize_t size = 0;
            const char* text = PyUnicode_AsUTF8AndSize(items[i], &size);
            if (text == nullptr) break;  // a lone surrogate: the generic way turns it back into its byte
            records[i] = out.intern(std::string_view(text, static_cast<std::size_t>(size)));
        }
        if (i == records.size()) {
            out.assign(std::move(records), std::move(start_column), std::move(end_column));
            return true;
        }
        PyErr_Clear();
        out = RegionColumns{};
    }
    std::vector<std::string> name_column;
    if (!extract_argument("names", names, name_column)) return false;
    if (start_column.empty() && end_column.empty() &&
        (!convert_coordinates("starts", starts, start_column) || !convert_coordinates("ends", ends, end_column)))
        return false;
    if (!same_lengths(name_column.size(), start_column.size(), end_column.size())) return false;
    out.reserve(name_column.size());
    for (std::size_t i = 0; i < name_column.size(); ++i) out.add(name_column[i], start_column[i], end_column[i]);
    return true;
}

PyObject* fetch_into_array(const IndexHandle& handle, RegionColumns&& regions, Orientation orientation) {
    auto data = std::make_shared<ColumnarData>();
    data->regions = std::move(regions);
    std::optional<Result<ColumnarBatch>> batch;
    {
        WithoutInterpreterLock unlocked;
        batch.emplace(fetch_columns(handle, data->regions, orientation));
    }
    if (!*batch) return raise(batch->error());
    data->batch = batch->take();
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

    std::optional<Result<BedText>> read;
    {
        WithoutInterpreterLock unlocked;
        read.emplace(read_bed_file(path_text));
    }
    if (!*read) {
        const Error& error = read->error();
        if (error.os_error != 0) {
            errno = error.os_error;
            return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
        }
        Ref shown = Ref::steal(PyOS_FSPath(path));
        PyErr_Format(PyExc_OSError, "%S: %s", shown ? shown.get() : path, error.detail.c_str());
        return nullptr;
    }
    BedText& bed = read->value();
    if (bed.problem) {
        const std::string text = describe_bed_problem(path_text, *bed.problem);
        Ref message = Ref::steal(to_python(text));
        if (message) PyErr_SetObject(PyExc_ValueError, message.get());
        return nullptr;
    }
    return fetch_into_array(handle, std::move(bed.regions),
                            by_strand ? Orientation::by_strand : Orientation::forward);
}

}  // namespace sekvo
