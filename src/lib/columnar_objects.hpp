// What a SequenceArray holds, and the read-only views of its columns.
//
// The regions and their residues live in one immutable object shared by
// counted pointer: the SequenceArray, every memoryview handed out and
// every Arrow array exported hold it, so each stays valid while anything
// uses it, whatever becomes of the SequenceArray, Faidx or Fasta.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>

#include "faidx/columnar_fetch.hpp"
#include "faidx/region_columns.hpp"
#include "lib/binding/binding.hpp"

namespace sekvo {

struct ColumnarData {
    RegionColumns regions;
    ColumnarBatch batch;
};

struct SequenceArrayValue {
    std::shared_ptr<const ColumnarData> data;
    std::optional<std::size_t> common_length;  // every region's length, when they agree
    Py_ssize_t shape[2] = {0, 0};              // (regions, length) for the buffer protocol
    Py_ssize_t strides[2] = {0, 1};
};

// Releases the interpreter lock for work that touches no Python object;
// an exception leaving the scope finds the lock taken again.
class WithoutInterpreterLock {
public:
    WithoutInterpreterLock() : state_(PyEval_SaveThread()) {}
    ~WithoutInterpreterLock() { PyEval_RestoreThread(state_); }
    WithoutInterpreterLock(const WithoutInterpreterLock&) = delete;
    WithoutInterpreterLock& operator=(const WithoutInterpreterLock&) = delete;

private:
    PyThreadState* state_;
};

// A new SequenceArray; NULL with the error set.
PyObject* new_sequence_array(std::shared_ptr<const ColumnarData> data);

// A read-only memoryview of `ndim` dimensions over memory that `owner`
// keeps alive; `format` is a struct-module code ("B", "q", "Q").
struct ColumnView {
    std::shared_ptr<const void> owner;
    const void* data = nullptr;
    const char* format = "B";
    Py_ssize_t itemsize = 1;
    int ndim = 1;
    Py_ssize_t shape[3] = {0, 0, 0};
};
PyObject* memoryview_of(ColumnView&& view);

// The Arrow PyCapsule interface over a batch's residues as one
// large_string array (format "U"), without copying. ValueError when a
// region's residues are not UTF-8, which Arrow strings must be.
PyObject* arrow_schema_capsule();

// The layouts a consumer may ask for with requested_schema: the 64-bit
// ones share the batch's offsets, the 32-bit ones get a narrowed copy
// (ValueError when the residues pass 2^31 - 1 bytes); binary skips the
// UTF-8 check. Other requests are answered with large_string.
enum class ArrowLayout { large_string, string, large_binary, binary };
// The layout for a requested_schema argument (None or absent: large_string);
// nullopt with TypeError set when it is not an arrow_schema capsule.
std::optional<ArrowLayout> requested_layout(PyObject* requested_schema);
// fetch_array() and fetch_bed() of Faidx and Fasta: convert the arguments
// (naming the parameter on failure), fetch, and make the SequenceArray.
PyObject* call_fetch_array(const IndexHandle& handle, PyObject* regions, PyObject* rc, PyObject* names,
                           PyObject* starts, PyObject* ends);
PyObject* call_fetch_bed(const IndexHandle& handle, PyObject* path, PyObject* strand);

// Pickling by value (lib/sequence_array_pickling.cpp): __reduce_ex__ for
// `protocol`, and the SequenceArray made again from that state.
PyObject* reduce_sequence_array(const std::shared_ptr<const ColumnarData>& data, int protocol);
PyObject* rebuild_sequence_array(PyObject* state);

PyObject* arrow_array_capsules(const std::shared_ptr<const ColumnarData>& data, ArrowLayout layout);
PyObject* arrow_stream_capsule(const std::shared_ptr<const ColumnarData>& data, ArrowLayout layout);

}  // namespace sekvo
