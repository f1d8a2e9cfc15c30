// The Arrow C data and C stream interfaces, handed out through the
// PyCapsule protocol: the residues as one large_string array whose
// buffers are the batch's own offsets and bytes.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>

#include "faidx/utf8.hpp"
#include "lib/columnar_objects.hpp"

// The structures of the Arrow C data and C stream interfaces, with the
// canonical guards so that another copy of them cannot clash.
extern "C" {
#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE
#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4
struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    int64_t flags;
    int64_t n_children;
    struct ArrowSchema** children;
    struct ArrowSchema* dictionary;
    void (*release)(struct ArrowSchema*);
    void* private_data;
};
struct ArrowArray {
    int64_t length;
    int64_t null_count;
    int64_t offset;
    int64_t n_buffers;
    int64_t n_children;
    const void** buffers;
    struct ArrowArray** children;
    struct ArrowArray* dictionary;
    void (*release)(struct ArrowArray*);
    void* private_data;
};
#endif
#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE
struct ArrowArrayStream {
    int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
    int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
    const char* (*get_last_error)(struct ArrowArrayStream*);
    void (*release)(struct ArrowArrayStream*);
    void* private_data;
};
#endif
}

namespace sekvo {

namespace {

using namespace binding;

// Static strings only, so the schema owns nothing.
void release_schema(ArrowSchema* schema) { schema->release = nullptr; }

void fill_schema(ArrowSchema* schema) {
    *schema = ArrowSchema{"U", "", nullptr, ARROW_FLAG_NULLABLE, 0, nullptr, nullptr, release_schema, nullptr};
}

// What an exported array keeps: the data (by counted pointer, so any
// thread may release it without the interpreter) and its buffer list.
struct ArrayHold {
    std::shared_ptr<const ColumnarData> data;
    const void* buffers[3];
};

void release_array(ArrowArray* array) {
    delete static_cast<ArrayHold*>(array->private_data);
    array->release = nullptr;
}

void fill_array(ArrowArray* array, const std::shared_ptr<const ColumnarData>& data) {
    auto* hold = new ArrayHold{data, {nullptr, data->batch.offsets.data(), data->batch.residues.data()}};
    *array = ArrowArray{static_cast<int64_t>(data->batch.size()), 0, 0, 3, 0, hold->buffers, nullptr, nullptr,
                        release_array, hold};
}

// Arrow strings are UTF-8, region by region.
bool check_utf8(const ColumnarData& data) {
    if (data.batch.ascii) return true;
    for (std::size_t i = 0; i < data.batch.size(); ++i) {
        const std::string_view text = data.batch.residues_of(i);
        if (!is_valid_utf8(reinterpret_cast<const unsigned char*>(text.data()), text.size())) {
            PyErr_Format(PyExc_ValueError,
                         "the residues of region %zu are not valid UTF-8, which an Arrow string column "
                         "needs; use .data and .offsets",
                         i);
            return false;
        }
    }
    return true;
}

void schema_capsule_destructor(PyObject* capsule) {
    auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, "arrow_schema"));
    if (schema == nullptr) return;
    if (schema->release != nullptr) schema->release(schema);
    delete schema;
}

void array_capsule_destructor(PyObject* capsule) {
    auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(capsule, "arrow_array"));
    if (array == nullptr) return;
    if (array->release != nullptr) array->release(array);
    delete array;
}

struct StreamHold {
    std::shared_ptr<const ColumnarData> data;
    bool sent = false;
};

int stream_get_schema(ArrowArrayStream*, ArrowSchema* out) {
    fill_schema(out);
    return 0;
}

// One array, then the end of the stream (a released array).
int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) {
    auto* hold = static_cast<StreamHold*>(stream->private_data);
    if (hold->sent) {
        *out = ArrowArray{};
        out->release = nullptr;
        return 0;
    }
    try {
        fill_array(out, hold->data);
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
    hold->sent = true;
    return 0;
}

const char* stream_get_last_error(ArrowArrayStream*) { return nullptr; }

void release_stream(ArrowArrayStream* stream) {
    delete static_cast<StreamHold*>(stream->private_data);
    stream->release = nullptr;
}

void stream_capsule_destructor(PyObject* capsule) {
    auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, "arrow_array_stream"));
    if (stream == nullptr) return;
    if (stream->release != nullptr) stream->release(stream);
    delete stream;
}

// A capsule owning `pointer`, deleted (after releasing) if the capsule
// cannot be made.
template <class T>
PyObject* capsule_of(std::unique_ptr<T> pointer, const char* name, PyCapsule_Destructor destructor) {
    PyObject* capsule = PyCapsule_New(pointer.get(), name, destructor);
    if (capsule == nullptr) {
        if (pointer->release != nullptr) pointer->release(pointer.get());
        return nullptr;
    }
    pointer.release();
    return capsule;
}

}  // namespace

PyObject* arrow_schema_capsule() {
    auto schema = std::make_unique<ArrowSchema>();
    fill_schema(schema.get());
    return capsule_of(std::move(schema), "arrow_schema", schema_capsule_destructor);
}

PyObject* arrow_array_capsules(const std::shared_ptr<const ColumnarData>& data) {
    if (!check_utf8(*data)) return nullptr;
    Ref schema = Ref::steal(arrow_schema_capsule());
    if (!schema) return nullptr;
    auto array = std::make_unique<ArrowArray>();
    fill_array(array.get(), data);
    Ref capsule = Ref::steal(capsule_of(std::move(array), "arrow_array", array_capsule_destructor));
    if (!capsule) return nullptr;
    return PyTuple_Pack(2, schema.get(), capsule.get());
}

PyObject* arrow_stream_capsule(const std::shared_ptr<const ColumnarData>& data) {
    if (!check_utf8(*data)) return nullptr;
    auto stream = std::make_unique<ArrowArrayStream>();
    *stream = ArrowArrayStream{stream_get_schema, stream_get_next, stream_get_last_error, release_stream,
                               new StreamHold{data}};
    return capsule_of(std::move(stream), "arrow_array_stream", stream_capsule_destructor);
}

}  // namespace sekvo
