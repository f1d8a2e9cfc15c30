// The Python class Fasta: a dictionary of records over one index handle,
// with region, spliced and batch reads (optionally reverse-complemented)
// and a context manager that releases nothing.
#include <limits>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "faidx/retrieval.hpp"
#include "lib/binding/binding.hpp"
#include "lib/classes.hpp"
#include "lib/columnar_objects.hpp"
#include "lib/core_values.hpp"
#include "lib/fasta_objects.hpp"
#include "lib/index_calls.hpp"
#include "lib/pickling.hpp"

namespace sekvo {

namespace {

using namespace binding;

// The constructor's parameters, the sixteen settings in this class's order,
// then the keyword-only block index path.
const Signature kConstructor{
    "Fasta.__new__()",
    {"filename", "indexname", "default_seq", "key_function", "as_raw", "strict_bounds", "read_ahead",
     "mutable", "split_char", "filt_function", "one_based_attributes", "read_long_names",
     "duplicate_action", "sequence_always_upper", "rebuild", "build_index", "gziname"},
    1, 1};

PyObject* fasta_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* argv[kSettingCount];
    if (!parse_arguments(kConstructor, args, kwargs, argv)) return nullptr;
    FastaValue value;
    if (!open_index(kConstructor.parameters, argv, value)) return nullptr;
    return box_new(type, std::move(value));
}

// --- enumeration -------------------------------------------------------------
// Names come in the table's order (the index file's), the same for every
// enumeration of one object.

PyObject* fasta_keys(PyObject* self, PyObject*) {
    auto fasta = borrow_shared<FastaValue>(self);
    if (!fasta) return nullptr;
    return names_list(*fasta->handle);
}

PyObject* fasta_values(PyObject* self, PyObject*) {
    auto fasta = borrow_shared<FastaValue>(self);
    if (!fasta) return nullptr;
    const NameTable& table = fasta->handle->table();
    return list_from(table.size(), [&](std::size_t i) {
        return new_fasta_record(table.name_at(i), self);
    });
}

PyObject* fasta_items(PyObject* self, PyObject*) {
    auto fasta = borrow_shared<FastaValue>(self);
    if (!fasta) return nullptr;
    const NameTable& table = fasta->handle->table();
    return list_from(table.size(), [&](std::size_t i) -> PyObject* {
        Ref name = Ref::steal(to_python(table.name_at(i)));
        if (!name) return nullptr;
        Ref record = Ref::steal(new_fasta_record(table.name_at(i), self));
        if (!record) return nullptr;
        return PyTuple_Pack(2, name.get(), record.get());
    });
}

PyObject* fasta_iter(PyObject* self) {
    auto fasta = borrow_shared<FastaValue>(self);
    if (!fasta) return nullptr;
    return new_fasta_iterator(self);
}

// Total residues of all records, not the number of records.
Py_ssize_t fasta_length(PyObject* self) {
    auto fasta = borrow_shared<FastaValue>(self);
    if (!fasta) return -1;
    const NameTable& table = fasta->handle->table();
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (__builtin_add_overflow(total, table.entry_at(i).rlen, &total)) {
            PyErr_SetNone(PyExc_OverflowError);
            return -1;
        }
    }
    return length_result(total);
}

int fasta_contains(PyObject* self, PyObject* name) {
    auto fasta = borrow_shared<FastaValue>(self);
    if (!fasta) return -1;
    return call_contains(*fasta->handle, name);
}

// --- subscript -----------------------------------------------------------------

PyObject* missing_key(const FastaValue& fasta, PyObject* key) {
    Ref filename = Ref::steal(to_python(fasta.handle->options().filename));
    if (!filename) return nullptr;
    Ref message = Ref::steal(PyUnicode_FromFormat("%U not in %U.", key, filename.get()));
    if (!message) return nullptr;
    PyErr_SetObject(PyExc_KeyError, message.get());
    return nullptr;
}

// A str key is a record name; an integer key (bool and __index__ objects
// included) a position in name order; anything else is refused.
PyObject* fasta_subscript(PyObject* self, PyObject* key) {
    auto fasta = borrow_shared<FastaValue>(self);
    if (!fasta) return nullptr;
    if (PyUnicode_Check(key)) {
        std::string name;
        if (!extract(key, name)) {
            // A str no record name can be (a surrogate outside the escapes
            // of undecodable bytes) is still a missing key, not a bad type.
            if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return nullptr;
            PyErr_Clear();
            return missing_key(*fasta, key);
        }
        if (!fasta->handle->contains(name)) return missing_key(*fasta, key);
        return new_fasta_record(std::move(name), self);
    }
    std::uint64_t position = 0;
    if (!extract(key, position)) {
        PyErr_SetString(PyExc_TypeError, "Key must be string or integer");
        return nullptr;
    }
    const NameTable& table = fasta->handle->table();
    if (position >= table.size()) {
        PyErr_SetString(PyExc_IndexError, "Index out of range");
        return nullptr;
    }
    return new_fasta_record(table.name_at(static_cast<std::size_t>(position)), self);
}

PyObject* fasta_repr(PyObject* self) {
    auto fasta = borrow_shared<FastaValue>(self);
    if (!fasta) return nullptr;
    return to_python("Fasta(\"" + fasta->handle->options().filename + "\")");
}

// --- reads -------------------------------------------------------------------

PyObject* fasta_get_seq(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature{"Fasta.get_seq()", {"name", "start", "end", "rc"}, 3};
    PyObject* argv[4];
    if (!parse_arguments(signature, args, nargs, kwnames, argv)) return nullptr;
    auto fasta = borrow_shared<FastaValue>(self);
    if (!fasta) return nullptr;
    return call_fetch(*fasta->handle, argv[0], argv[1], argv[2], argv[3]);
}

// The intervals read one by one and joined; with rc, the reverse
// complement of the forward join. Coordinates come from the first and the
// last piece as fetched; comp stays false.
Result<SequenceValue> spliced(const IndexHandle& handle, std::string name,
                              const std::vector<std::tuple<std::uint64_t, std::uint64_t>>& intervals,
                              bool rc) {
    SequenceValue result{std::move(name), {}, {}, {}, false};
    std::vector<SequenceValue> pieces;
    pieces.reserve(intervals.size());
    for (const auto& [start, end] : intervals) {
        Result<SequenceValue> piece = fetch(handle, result.name, start, end);
        if (!piece) return std::move(piece.error());
        pieces.push_back(piece.take());
    }
    if (pieces.empty()) return result;
    result.start = pieces.front().start;
    result.end = pieces.back().end;
    std::size_t total = 0;
    for (const SequenceValue& piece : pieces) total += piece.seq.size();
    std::string joined;
    joined.reserve(total);
    if (rc) {
        for (auto piece = pieces.rbegin(); piece != pieces.rend(); ++piece) {
            reverse_complement_in_place(*piece);
            joined += piece->seq.view();
        }
    } else {
        for (const SequenceValue& piece : pieces) joined += piece.seq.view();
    }
    result.seq = std::move(joined);
    return result;
}

PyObject* fasta_get_spliced_seq(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature{"Fasta.get_spliced_seq()", {"name", "intervals", "rc"}, 2};
    PyObject* argv[3];
    if (!parse_arguments(signature, args, nargs, kwnames, argv)) return nullptr;
    auto fasta = borrow_shared<FastaValue>(self);
    if (!fasta) return nullptr;
    std::string name;
    std::vector<std::tuple<std::uint64_t, std::uint64_t>> intervals;
    bool rc = false;
    if (!extract_argument("name", argv[0], name) || !extract_argument("intervals", argv[1], intervals) ||
        !extract_rc(argv[2], rc)) {
        return nullptr;
    }
    Result<SequenceValue> result = spliced(*fasta->handle, std::move(name), intervals, rc);
    if (!result) return raise(result.error());
    return sequence_from_value(result.take());
}

PyObject* fasta_fetch_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature{"Fasta.fetch_many()", {"regions", "rc"}, 1};
    PyObject* argv[2];
    if (!parse_arguments(signature, args, nargs, kwnames, argv)) return nullptr;
    auto fasta = borrow_shared<FastaValue>(self);
    if (!fasta) return nullptr;
    return call_fetch_many(*fasta->handle, argv[0], argv[1]);
}

PyObject* fasta_fetch_many_same_chr(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    static const Signature signature{"Fasta.fetch_many_same_chr()", {"name", "regions", "rc"}, 2};
    PyObject* argv[3];
    if (!parse_arguments(signature, args, nargs, kwnames, argv)) return nullptr;
    auto fasta = borrow_shared<FastaValue>(self);
    if (!fasta) return nullptr;
    return call_fetch_many_same_chr(*fasta->handle, argv[0], argv[1], argv[2]);
}

// --- context manager: the handle lives as long as the object --------------------

PyObject* fasta_close(PyObject* self, PyObject*) {
    auto fasta = borrow_shared<FastaValue>(self);
    if (!fasta) return nullptr;
    Py_RETURN_NONE;
}

PyObject* fasta_enter(PyObject* self, PyObject*) {
    auto fasta = borrow_shared<FastaValue>(self);
    if (!fasta) return nullptr;
    return Py_NewRef(self);
}

PyObject* fasta_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature{"Fasta.__exit__()", {"_exc_type", "_exc_value", "_traceback"}, 0};
    PyObject* argv[3];
    if (!parse_arguments(signature, args, nargs, kwnames, argv)) return nullptr;
    auto fasta = borrow_shared<FastaValue>(self);
    if (!fasta) return nullptr;
    Py_RETURN_NONE;
}

// Pickled as the settings it was opened with; unpickling opens the file
// again in the receiving process (loading the index when it is current).
PyObject* fasta_reduce(PyObject* self, PyObject*) {
    auto fasta = borrow_shared<FastaValue>(self);
    if (!fasta) return nullptr;
    return reduce_to("Fasta", settings_tuple(*fasta));
}

PyObject* fasta_fetch_array(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature{"Fasta.fetch_array()", {"regions", "rc", "names", "starts", "ends"}, 0};
    PyObject* argv[5];
    if (!parse_arguments(signature, args, nargs, kwnames, argv)) return nullptr;
    auto fasta = borrow_shared<FastaValue>(self);
    if (!fasta) return nullptr;
    return call_fetch_array(*fasta->handle, argv[0], argv[1], argv[2], argv[3], argv[4]);
}

PyObject* fasta_fetch_bed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature{"Fasta.fetch_bed()", {"path", "strand"}, 1};
    PyObject* argv[2];
    if (!parse_arguments(signature, args, nargs, kwnames, argv)) return nullptr;
    auto fasta = borrow_shared<FastaValue>(self);
    if (!fasta) return nullptr;
    return call_fetch_bed(*fasta->handle, argv[0], argv[1]);
}

PyMethodDef fasta_methods[] = {
    {"keys", noargs_method<fasta_keys>(), METH_NOARGS, SEKVO_DOC("keys($self)", "")},
    {"values", noargs_method<fasta_values>(), METH_NOARGS, SEKVO_DOC("values($self)", "")},
    {"items", noargs_method<fasta_items>(), METH_NOARGS, SEKVO_DOC("items($self)", "")},
    {"get_seq", fastcall_method<fasta_get_seq>(), METH_FASTCALL | METH_KEYWORDS,
     SEKVO_DOC("get_seq($self, name, start, end, rc=None)", "")},
    {"get_spliced_seq", fastcall_method<fasta_get_spliced_seq>(), METH_FASTCALL | METH_KEYWORDS,
     SEKVO_DOC("get_spliced_seq($self, name, intervals, rc=None)", "")},
    {"fetch_many", fastcall_method<fasta_fetch_many>(), METH_FASTCALL | METH_KEYWORDS,
     SEKVO_DOC("fetch_many($self, regions, rc=None)",
               "High-performance batch fetch for many sequences\n"
               "\n"
               "This method is optimized for genomics workloads where you need to fetch\n"
               "many sequences at once (e.g., 200,000+ regions). It uses parallel processing\n"
               "and optimized memory access patterns for maximum throughput.\n"
               "\n"
               "Args:\n"
               "    regions: List of (name, start, end) tuples specifying regions to fetch\n"
               "    rc: Optional boolean to reverse complement all sequences\n"
               "\n"
               "Returns:\n"
               "    List of Sequence objects in the same order as input regions\n"
               "\n"
               "Example:\n"
               "    >>> regions = [(\"chr1\", 1000, 2000), (\"chr2\", 5000, 6000)]\n"
               "    >>> sequences = fasta.fetch_many(regions)")},
    {"fetch_many_same_chr", fastcall_method<fasta_fetch_many_same_chr>(), METH_FASTCALL | METH_KEYWORDS,
     SEKVO_DOC("fetch_many_same_chr($self, name, regions, rc=None)",
               "Ultra-fast batch fetch for regions from the same chromosome\n"
               "\n"
               "This method is optimized for BED file processing where many regions\n"
               "come from the same chromosome. It's significantly faster than fetch_many\n"
               "when all regions are from the same chromosome.\n"
               "\n"
               "Args:\n"
               "    name: Chromosome/sequence name\n"
               "    regions: List of (start, end) tuples\n"
               "    rc: Optional boolean to reverse complement all sequences\n"
               "\n"
               "Returns:\n"
               "    List of Sequence objects in the same order as input regions\n"
               "\n"
               "Example:\n"
               "    >>> regions = [(1000, 2000), (5000, 6000), (10000, 11000)]\n"
               "    >>> sequences = fasta.fetch_many_same_chr(\"chr1\", regions)")},
    {"close", noargs_method<fasta_close>(), METH_NOARGS, SEKVO_DOC("close($self)", "")},
    {"__enter__", noargs_method<fasta_enter>(), METH_NOARGS, SEKVO_DOC("__enter__($self)", "")},
    {"__exit__", fastcall_method<fasta_exit>(), METH_FASTCALL | METH_KEYWORDS,
     SEKVO_DOC("__exit__($self, _exc_type=None, _exc_value=None, _traceback=None)", "")},
    {"__reduce__", noargs_method<fasta_reduce>(), METH_NOARGS, SEKVO_DOC("__reduce__($self)", "")},
    {"fetch_array", fastcall_method<fasta_fetch_array>(), METH_FASTCALL | METH_KEYWORDS,
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
               "    >>> arr = fasta.fetch_array([(\"chr1\", 1, 100), (\"chr2\", 51, 150)])\n"
               "    >>> numpy.asarray(arr).shape\n"
               "    (2, 100)")},
    {"fetch_bed", fastcall_method<fasta_fetch_bed>(), METH_FASTCALL | METH_KEYWORDS,
     SEKVO_DOC("fetch_bed($self, path, strand=False)",
               "Read a BED file (plain or gzip-compressed) and fetch every interval into a\n"
               "SequenceArray. Intervals are 0-based, end excluded; track, browser, # and blank\n"
               "lines are skipped. Column 4 is the interval's name (the array's labels) and\n"
               "column 6 its strand: strand=True reverse-complements intervals on the - strand.\n"
               "A bad line raises ValueError naming the file, the line number and what is wrong.")},
    {nullptr, nullptr, 0, nullptr},
};

ClassDef fasta_class() {
    static const std::string text_signature = settings_text_signature(kConstructor.parameters);
    return define_class<FastaValue>(
        "Fasta",
        text_signature.c_str(),
        {
            {Py_tp_new, slot<fasta_new>()},
            {Py_tp_repr, slot<fasta_repr>()},
            {Py_tp_iter, slot<fasta_iter>()},
            {Py_mp_subscript, slot<fasta_subscript>()},
            {Py_mp_length, slot<fasta_length>()},
            {Py_sq_contains, slot<fasta_contains>()},
            {Py_tp_methods, fasta_methods},
        });
}

}  // namespace

PyTypeObject* fasta_type() {
    static PyTypeObject* type = nullptr;
    return cached_class(type, fasta_class);
}

}  // namespace sekvo
