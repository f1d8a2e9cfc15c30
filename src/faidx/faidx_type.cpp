// The Python class Faidx: the thin face of one index handle.
#include <string>
#include <utility>

#include "lib/binding/binding.hpp"
#include "lib/classes.hpp"
#include "lib/columnar_objects.hpp"
#include "lib/index_calls.hpp"
#include "lib/index_settings.hpp"
#include "lib/pickling.hpp"

namespace sekvo {

namespace {

using namespace binding;

using FaidxValue = OpenedIndex;

// The constructor's parameters, the sixteen settings in this class's order,
// then the keyword-only block index path.
const Signature kConstructor{
    "Faidx.__new__()",
    {"filename", "indexname", "as_raw", "strict_bounds", "sequence_always_upper", "rebuild",
     "build_index", "one_based_attributes", "default_seq", "mutable", "key_function",
     "split_char", "filt_function", "read_long_names", "duplicate_action", "read_ahead", "gziname"},
    1, 1};

PyObject* faidx_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* argv[kSettingCount];
    if (!parse_arguments(kConstructor, args, kwargs, argv)) return nullptr;
    FaidxValue value;
    if (!open_index(kConstructor.parameters, argv, value)) return nullptr;
    return box_new(type, std::move(value));
}

PyObject* faidx_fetch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature{"Faidx.fetch()", {"name", "start", "end"}, 3};
    PyObject* argv[3];
    if (!parse_arguments(signature, args, nargs, kwnames, argv)) return nullptr;
    auto faidx = borrow_shared<FaidxValue>(self);
    if (!faidx) return nullptr;
    return call_fetch(*faidx->handle, argv[0], argv[1], argv[2], nullptr);
}

PyObject* faidx_fetch_entire_sequence(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
    static const Signature signature{"Faidx.fetch_entire_sequence()", {"name"}, 1};
    PyObject* argv[1];
    if (!parse_arguments(signature, args, nargs, kwnames, argv)) return nullptr;
    auto faidx = borrow_shared<FaidxValue>(self);
    if (!faidx) return nullptr;
    return call_fetch_entire_sequence(*faidx->handle, argv[0]);
}

PyObject* faidx_fetch_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature{"Faidx.fetch_many()", {"regions"}, 1};
    PyObject* argv[1];
    if (!parse_arguments(signature, args, nargs, kwnames, argv)) return nullptr;
    auto faidx = borrow_shared<FaidxValue>(self);
    if (!faidx) return nullptr;
    return call_fetch_many(*faidx->handle, argv[0], nullptr);
}

PyObject* faidx_fetch_many_same_chr(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    static const Signature signature{"Faidx.fetch_many_same_chr()", {"name", "regions"}, 2};
    PyObject* argv[2];
    if (!parse_arguments(signature, args, nargs, kwnames, argv)) return nullptr;
    auto faidx = borrow_shared<FaidxValue>(self);
    if (!faidx) return nullptr;
    return call_fetch_many_same_chr(*faidx->handle, argv[0], argv[1], nullptr);
}

PyObject* faidx_keys(PyObject* self) {
    auto faidx = borrow_shared<FaidxValue>(self);
    if (!faidx) return nullptr;
    return names_list(*faidx->handle);
}

int faidx_contains(PyObject* self, PyObject* name) {
    auto faidx = borrow_shared<FaidxValue>(self);
    if (!faidx) return -1;
    return call_contains(*faidx->handle, name);
}

PyObject* faidx_repr(PyObject* self) {
    auto faidx = borrow_shared<FaidxValue>(self);
    if (!faidx) return nullptr;
    return to_python("Faidx(\"" + faidx->handle->options().filename + "\")");
}

// Pickled as the settings it was opened with (see Fasta.__reduce__).
PyObject* faidx_reduce(PyObject* self, PyObject*) {
    auto faidx = borrow_shared<FaidxValue>(self);
    if (!faidx) return nullptr;
    return reduce_to("Faidx", settings_tuple(*faidx));
}

PyObject* faidx_fetch_array(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature{"Faidx.fetch_array()", {"regions", "rc", "names", "starts", "ends"}, 0};
    PyObject* argv[5];
    if (!parse_arguments(signature, args, nargs, kwnames, argv)) return nullptr;
    auto faidx = borrow_shared<FaidxValue>(self);
    if (!faidx) return nullptr;
    return call_fetch_array(*faidx->handle, argv[0], argv[1], argv[2], argv[3], argv[4]);
}

PyObject* faidx_fetch_bed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature{"Faidx.fetch_bed()", {"path", "strand"}, 1};
    PyObject* argv[2];
    if (!parse_arguments(signature, args, nargs, kwnames, argv)) return nullptr;
    auto faidx = borrow_shared<FaidxValue>(self);
    if (!faidx) return nullptr;
    return call_fetch_bed(*faidx->handle, argv[0], argv[1]);
}

PyMethodDef faidx_methods[] = {
    {"fetch", fastcall_method<faidx_fetch>(), METH_FASTCALL | METH_KEYWORDS,
     SEKVO_DOC("fetch($self, name, start, end)", "")},
    {"fetch_entire_sequence", fastcall_method<faidx_fetch_entire_sequence>(), METH_FASTCALL | METH_KEYWORDS,
     SEKVO_DOC("fetch_entire_sequence($self, name)",
               "Ultra-fast method for fetching entire sequences - bypasses all bounds checking")},
    {"fetch_many", fastcall_method<faidx_fetch_many>(), METH_FASTCALL | METH_KEYWORDS,
     SEKVO_DOC("fetch_many($self, regions)",
               "High-performance batch fetch for many sequences\n"
               "\n"
               "Efficiently processes large numbers of regions (e.g., 200,000+) using smart batching:\n"
               "- Sequential processing for small batches (< 1000 regions) to avoid overhead\n"
               "- Parallel processing for large batches to maximize throughput\n"
               "\n"
               "Args:\n"
               "    regions: List of (name, start, end) tuples specifying regions to fetch\n"
               "\n"
               "Returns:\n"
               "    List of Sequence objects in the same order as input regions\n"
               "\n"
               "Example:\n"
               "    >>> regions = [(\"chr1\", 1000, 2000), (\"chr2\", 5000, 6000)]\n"
               "    >>> sequences = faidx.fetch_many(regions)")},
    {"fetch_many_same_chr", fastcall_method<faidx_fetch_many_same_chr>(), METH_FASTCALL | METH_KEYWORDS,
     SEKVO_DOC("fetch_many_same_chr($self, name, regions)",
               "Ultra-fast batch fetch for regions from the same chromosome\n"
               "\n"
               "Optimized for BED file processing where many regions come from the same chromosome.\n"
               "Uses smart batching like fetch_many but optimized for single chromosome access.\n"
               "\n"
               "Args:\n"
               "    name: Chromosome/sequence name\n"
               "    regions: List of (start, end) tuples\n"
               "\n"
               "Returns:\n"
               "    List of Sequence objects in the same order as input regions\n"
               "\n"
               "Example:\n"
               "    >>> regions = [(1000, 2000), (5000, 6000), (10000, 11000)]\n"
               "    >>> sequences = faidx.fetch_many_same_chr(\"chr1\", regions)")},
    {"__reduce__", noargs_method<faidx_reduce>(), METH_NOARGS, SEKVO_DOC("__reduce__($self)", "")},
    {"fetch_array", fastcall_method<faidx_fetch_array>(), METH_FASTCALL | METH_KEYWORDS,
     SEKVO_DOC("fetch_array($self, regions=None, rc=None, names=None, starts=None, ends=None)",
               "Fetch many regions into one SequenceArray: all residues in one buffer.\n"
               "\n"
               "Args:\n"
               "    regions: List of (name, start, end) tuples (1-based, inclusive), as for fetch_many\n"
               "    rc: Reverse-complement every region\n"
               "    names, starts, ends: The regions as three columns instead: a sequence of str\n"
               "        and two integer sequences or buffers (numpy int64 arrays, for instance)\n"
               "\n"
               "Every region follows the rules fetch_many applies to 1000 regions or more,\n"
               "whatever the count, and failures raise what such a fetch_many raises.\n"
               "\n"
               "Returns:\n"
               "    SequenceArray\n"
               "\n"
               "Example:\n"
               "    >>> arr = faidx.fetch_array([(\"chr1\", 1, 100), (\"chr2\", 51, 150)])\n"
               "    >>> numpy.asarray(arr).shape\n"
               "    (2, 100)")},
    {"fetch_bed", fastcall_method<faidx_fetch_bed>(), METH_FASTCALL | METH_KEYWORDS,
     SEKVO_DOC("fetch_bed($self, path, strand=False)",
               "Read a BED file (plain or gzip-compressed) and fetch every interval into a\n"
               "SequenceArray. Intervals are 0-based, end excluded; track, browser, # and blank\n"
               "lines are skipped. Column 4 is the interval's name (the array's labels) and\n"
               "column 6 its strand: strand=True reverse-complements intervals on the - strand.\n"
               "A bad line raises ValueError naming the file, the line number and what is wrong.")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef faidx_getset[] = {
    {"keys", getter<faidx_keys>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

ClassDef faidx_class() {
    static const std::string text_signature = settings_text_signature(kConstructor.parameters);
    return define_class<FaidxValue>(
        "Faidx",
        text_signature.c_str(),
        {
            {Py_tp_new, slot<faidx_new>()},
            {Py_tp_repr, slot<faidx_repr>()},
            {Py_sq_contains, slot<faidx_contains>()},
            {Py_tp_methods, faidx_methods},
            {Py_tp_getset, faidx_getset},
        });
}

}  // namespace

PyTypeObject* faidx_type() {
    static PyTypeObject* type = nullptr;
    return cached_class(type, faidx_class);
}

}  // namespace sekvo
