#include "lib/str_residues.hpp"

#include <cstdint>
#include <new>
#include <utility>

namespace sekvo {

namespace {

void release_str(void* owner) noexcept { Py_DECREF(static_cast<PyObject*>(owner)); }

// A new str of `size` ASCII characters, contents to be written by the caller.
PyObject* new_ascii_str(std::size_t size) {
    if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
    PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(size), 127);
    if (text == nullptr) throw std::bad_alloc();
    return text;
}

char* storage_of(PyObject* text) { return static_cast<char*>(PyUnicode_DATA(text)); }

// Hands the reference to `text` to the residues.
Residues lend(PyObject* text) {
    return Residues::lend(storage_of(text), static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)), text,
                          release_str);
}

}  // namespace

Result<SequenceValue> complete_in_str(const IndexHandle& handle, RegionPlan&& plan) {
    const std::size_t size = buffer_size(handle, plan);
    if (size >= kStrStorageThreshold) {
        PyObject* text = new_ascii_str(size);
        Result<bool> filled = fill_buffer(handle, plan, storage_of(text));
        if (!filled || !filled.value()) Py_DECREF(text);
        if (!filled) return std::move(filled.error());
        if (filled.value()) {
            plan.value.seq = lend(text);
            return std::move(plan.value);
        }
    }
    return complete(handle, std::move(plan));
}

Result<SequenceValue> complete_in_str(const IndexHandle& handle, Result<RegionPlan>&& plan) {
    if (!plan) return std::move(plan.error());
    return complete_in_str(handle, plan.take());
}

PyObject* lending_str(const Residues& residues) {
    return residues.releaser() == release_str ? static_cast<PyObject*>(residues.owner()) : nullptr;
}

StrBuffers::~StrBuffers() {
    for (PyObject* text : texts_) Py_XDECREF(text);
}

char* StrBuffers::provide(std::size_t index, std::size_t size) {
    PyObject* text = new_ascii_str(size);
    Py_XSETREF(texts_[index], text);
    return storage_of(text);
}

void StrBuffers::lend_to(BatchResult& batch) {
    for (std::size_t i : batch.in_buffer) batch.values[i].seq = lend(std::exchange(texts_[i], nullptr));
}

}  // namespace sekvo
