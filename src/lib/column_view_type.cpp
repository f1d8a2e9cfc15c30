// The exporter behind the memoryviews of columnar data: a small private
// class (not in the module) whose buffer is a column it keeps alive.
#include <utility>

#include "lib/columnar_objects.hpp"

namespace sekvo {

namespace {

using namespace binding;

struct ColumnViewValue {
    ColumnView view;
    Py_ssize_t strides[3] = {0, 0, 0};
};

int column_view_getbuffer(PyObject* self, Py_buffer* buffer, int flags) {
    ColumnViewValue& value = box_of<ColumnViewValue>(self)->value;
    if (flags & PyBUF_WRITABLE) {
        PyErr_SetString(PyExc_BufferError, "columnar data is read-only");
        return -1;
    }
    const ColumnView& view = value.view;
    Py_ssize_t items = 1;
    for (int d = 0; d < view.ndim; ++d) items *= view.shape[d];
    buffer->buf = const_cast<void*>(view.data);
    buffer->obj = Py_NewRef(self);
    buffer->len = items * view.itemsize;
    buffer->readonly = 1;
    buffer->itemsize = view.itemsize;
    buffer->format = (flags & PyBUF_FORMAT) ? const_cast<char*>(view.format) : nullptr;
    buffer->ndim = view.ndim;
    buffer->shape = (flags & PyBUF_ND) ? const_cast<Py_ssize_t*>(view.shape) : nullptr;
    buffer->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? value.strides : nullptr;
    buffer->suboffsets = nullptr;
    buffer->internal = nullptr;
    return 0;
}

void column_view_releasebuffer(PyObject*, Py_buffer*) {}

ClassDef column_view_class() {
    return define_class<ColumnViewValue>("SequenceArrayColumn", nullptr,
                                         {
                                             {Py_bf_getbuffer, slot<column_view_getbuffer>()},
                                             {Py_bf_releasebuffer, reinterpret_cast<void*>(column_view_releasebuffer)},
                                         });
}

PyTypeObject* column_view_type() {
    static PyTypeObject* type = nullptr;
    return cached_class(type, column_view_class);
}

}  // namespace

PyObject* memoryview_of(ColumnView&& view) {
    PyTypeObject* type = column_view_type();
    if (type == nullptr) return nullptr;
    ColumnViewValue value;
    value.view = std::move(view);
    Py_ssize_t stride = value.view.itemsize;
    for (int d = value.view.ndim - 1; d >= 0; --d) {
        value.strides[d] = stride;
        stride *= value.view.shape[d];
    }
    Ref exporter = Ref::steal(box_new(type, std::move(value)));
    if (!exporter) return nullptr;
    return PyMemoryView_FromObject(exporter.get());
}

}  // namespace sekvo
