// The Arrow C data and C stream interfaces, handed out through the
// PyCapsule protocol: the residues as one large_string array whose
// buffers are the batch's own offsets and bytes.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <limits>
#include <new>
#include <optional>
#include <string_view>
#include <vector>

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

const char* format_of(ArrowLayout layout) {
    switch (layout) {
        case ArrowLayout::string: return "u";
        case ArrowLayout::large_binary: return "Z";
        case ArrowLayout::binary: return "z";
        case ArrowLayout::large_string: break;
    }
    return "U";
}

bool has_32_bit_offsets(ArrowLayout layout) { return layout == ArrowLayout::string || layout == ArrowLayout::binary; }

void fill_schema(ArrowSchema* schema, ArrowLayout layout) {
    *schema = ArrowSchema{format_of(layout), "", nullptr, ARROW_FLAG_NULLABLE, 0, nullptr, nullptr, release_schema,
                          nullptr};
}

// What an exported array keeps: the data (by counted pointer, so any
// thread may release it without the interpreter), its buffer list and,
// for the 32-bit layouts, its own narrowed copy of the offsets.
struct ArrayHold {
    std::shared_ptr<const ColumnarData> data;
    std::vector<std::int32_t> narrow_offsets;
    const void* buffers[3];
};

void release_array(ArrowArray* array) {
    delete static_cast<ArrayHold*>(array->private_data);
    array->release = nullptr;
}

// The caller has checked that 32-bit offsets can hold the residues.
void fill_array(ArrowArray* array, const std::shared_ptr<const ColumnarData>& data, ArrowLayout layout) {
    auto hold = std::make_unique<ArrayHold>();
    hold->data = data;
    const void* offsets = data->batch.offsets.data();
    if (has_32_bit_offsets(layout)) {
        hold->narrow_offsets.assign(data->batch.offsets.begin(), data->batch.offsets.end());
        offsets = hold->narrow_offsets.data();
    }
    hold->buffers[0] = nullptr;
    hold->buffers[1] = offsets;
    hold->buffers[2] = data->batch.residues.data();
    ArrayHold* held = hold.release();
    *array = ArrowArray{static_cast<int64_t>(data->batch.size()), 0, 0, 3, 0, held->buffers, nullptr, nullptr,
                        release_array, held};
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
    ArrowLayout layout;
    bool sent = false;
};

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
    fill_schema(out, static_cast<StreamHold*>(stream->private_data)->layout);
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
        fill_array(out, hold->data, hold->layout);
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

PyObject* schema_capsule(ArrowLayout layout) {
    auto schema = std::make_unique<ArrowSchema>();
    fill_schema(schema.get(), layout);
    return capsule_of(std::move(schema), "arrow_schema", schema_capsule_destructor);
}

// Strings must be UTF-8; 32-bit offsets must reach the last residue.
bool exportable(const ColumnarData& data, ArrowLayout layout) {
    if (has_32_bit_offsets(layout) && data.batch.offsets.back() > std::numeric_limits<std::int32_t>::max()) {
        PyErr_Format(PyExc_ValueError,
                     "the %lld residues of this SequenceArray do not fit the 32-bit offsets of an Arrow %s "
                     "array; ask for large_%s instead",
                     static_cast<long long>(data.batch.offsets.back()),
                     layout == ArrowLayout::string ? "string" : "binary",
                     layout == ArrowLayout::string ? "string" : "binary");
        return false;
    }
    if (layout == ArrowLayout::large_binary || layout == ArrowLayout::binary) return true;
    return check_utf8(data);
}

}  // namespace

PyObject* arrow_schema_capsule() { return schema_capsule(ArrowLayout::large_string); }

std::optional<ArrowLayout> requested_layout(PyObject* requested_schema) {
    if (requested_schema == nullptr || requested_schema == Py_None) return ArrowLayout::large_string;
    if (!PyCapsule_IsValid(requested_schema, "arrow_schema")) {
        PyErr_Format(PyExc_TypeError, "requested_schema must be an 'arrow_schema' PyCapsule, not %T",
                     requested_schema);
        return std::nullopt;
    }
    const auto* schema = static_cast<const ArrowSchema*>(PyCapsule_GetPointer(requested_schema, "arrow_schema"));
    // Any other type is answered with large_string: the interface lets a
    // producer give another schema than the one asked for.
    if (schema == nullptr || schema->release == nullptr || schema->format == nullptr || schema->n_children != 0 ||
        schema->dictionary != nullptr)
        return ArrowLayout::large_string;
    const std::string_view format = schema->format;
    if (format == "u") return ArrowLayout::string;
    if (format == "Z") return ArrowLayout::large_binary;
    if (format == "z") return ArrowLayout::binary;
    return ArrowLayout::large_string;
}

PyObject* arrow_array_capsules(const std::shared_ptr<const ColumnarData>& data, ArrowLayout layout) {
    if (!exportable(*data, layout)) return nullptr;
    Ref schema = Ref::steal(schema_capsule(layout));
    if (!schema) return nullptr;
    auto array = std::make_unique<ArrowArray>();
    fill_array(array.get(), data, layout);
    Ref capsule = Ref::steal(capsule_of(std::move(array), "arrow_array", array_capsule_destructor));
    if (!capsule) return nullptr;
    return PyTuple_Pack(2, schema.get(), capsule.get());
}

PyObject* arrow_stream_capsule(const std::shared_ptr<const ColumnarData>& data, ArrowLayout layout) {
    if (!exportable(*data, layout)) return nullptr;
    auto stream = std::make_unique<ArrowArrayStream>();
    *stream = ArrowArrayStream{stream_get_schema, stream_get_next, stream_get_last_error, release_stream,
                               new StreamHold{data, layout}};
    return capsule_of(std::move(stream), "arrow_array_stream", stream_capsule_destructor);
}

}  // namespace sekvo
