#include "lib/pickling.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "lib/binding/binding.hpp"
#include "lib/classes.hpp"
#include "lib/columnar_objects.hpp"
#include "lib/fasta_objects.hpp"
#include "lib/index_settings.hpp"

namespace sekvo {

namespace {

using namespace binding;

// sekvo._reconstruct itself (borrowed): pickle refers to a function by
// module and name and checks that the name leads back to the same object.
PyObject* reconstructor() {
    static PyObject* function = nullptr;
    if (function == nullptr) {
        Ref module = Ref::steal(PyImport_ImportModule("sekvo"));
        if (!module) return nullptr;
        function = PyObject_GetAttrString(module.get(), "_reconstruct");
    }
    return function;
}

bool check_state(PyObject* state, bool (*check)(PyObject*), const char* expected, std::string_view kind) {
    if (check(state)) return true;
    PyErr_Format(PyExc_TypeError, "_reconstruct(): the state of %s must be a %s, not '%T'",
                 std::string(kind).c_str(), expected, state);
    return false;
}

bool is_tuple(PyObject* object) { return PyTuple_Check(object); }

// Fasta and Faidx: opened as their constructor opens them, from the
// sixteen settings of settings_tuple().
PyObject* reopen(PyTypeObject* type, std::string_view kind, PyObject* state) {
    if (type == nullptr || !check_state(state, is_tuple, "tuple", kind)) return nullptr;
    if (PyTuple_GET_SIZE(state) != static_cast<Py_ssize_t>(kSettingCount)) {
        PyErr_Format(PyExc_TypeError, "_reconstruct(): the state of %s must hold %d settings, not %zd",
                     std::string(kind).c_str(), static_cast<int>(kSettingCount), PyTuple_GET_SIZE(state));
        return nullptr;
    }
    OpenedIndex value;
    if (!open_index_from_settings(&PyTuple_GET_ITEM(state, 0), value)) return nullptr;
    return box_new(type, std::move(value));
}

PyObject* rebuild_sequence(PyObject* state) {
    PyTypeObject* type = sequence_type();
    if (type == nullptr || !check_state(state, is_tuple, "tuple", "Sequence")) return nullptr;
    return PyObject_Call(reinterpret_cast<PyObject*>(type), state, nullptr);
}

// The state tuple's items as the given parameters; the first must be a Fasta.
bool parse_state(const char* kind, std::initializer_list<const char*> parameters, PyObject* state,
                 PyObject** out) {
    if (!check_state(state, is_tuple, "tuple", kind)) return false;
    const Signature signature{"_reconstruct()", parameters, parameters.size()};
    if (!parse_arguments(signature, state, nullptr, out)) return false;
    Box<FastaValue>* fasta = nullptr;
    PyTypeObject* type = fasta_type();
    if (type == nullptr) return false;
    if (!extract_instance(out[0], type, fasta)) {
        name_argument_error("fasta");
        return false;
    }
    return true;
}

// A record by name, as fasta[name] makes it: KeyError when the file opened
// in this process has no such record.
PyObject* rebuild_record(PyObject* state) {
    PyObject* argv[2];
    if (!parse_state("FastaRecord", {"fasta", "name"}, state, argv)) return nullptr;
    if (!PyUnicode_Check(argv[1])) {
        downcast_error(argv[1], "PyString");
        name_argument_error("name");
        return nullptr;
    }
    return PyObject_GetItem(argv[0], argv[1]);
}

PyObject* rebuild_fasta_iterator(PyObject* state) {
    PyObject* argv[3];
    if (!parse_state("FastaIterator", {"fasta", "names", "position"}, state, argv)) return nullptr;
    FastaIteratorValue value;
    if (!extract_argument("names", argv[1], value.names) || !extract_argument("position", argv[2], value.position)) {
        return nullptr;
    }
    value.source = Ref::borrow(argv[0]);
    PyTypeObject* type = fasta_iterator_type();
    if (type == nullptr) return nullptr;
    return box_new(type, std::move(value));
}

// The record's line width and length come from the index opened here.
PyObject* rebuild_sequence_iterator(PyObject* state) {
    PyObject* argv[4];
    if (!parse_state("SequenceIterator", {"fasta", "name", "position", "exhausted"}, state, argv)) {
        return nullptr;
    }
    std::string name;
    std::uint64_t position = 1;
    bool exhausted = false;
    if (!extract_argument("name", argv[1], name) || !extract_argument("position", argv[2], position) ||
        !extract_argument("exhausted", argv[3], exhausted)) {
        return nullptr;
    }
    PyObject* iterator = new_sequence_iterator(std::move(name), argv[0]);
    if (iterator == nullptr) return nullptr;
    SequenceIteratorValue& value = box_of<SequenceIteratorValue>(iterator)->value;
    value.position = position;
    value.exhausted = exhausted;
    return iterator;
}

PyObject* rebuild_mutable_record(PyObject* state) {
    if (!check_state(state, is_tuple, "tuple", "MutableFastaRecord")) return nullptr;
    if (PyTuple_GET_SIZE(state) != 0) {
        PyErr_SetString(PyExc_TypeError, "_reconstruct(): the state of MutableFastaRecord must be empty");
        return nullptr;
    }
    return new_mutable_fasta_record();
}

PyObject* reconstruct(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature{"_reconstruct()", {"kind", "state"}, 2};
    PyObject* argv[2];
    if (!parse_arguments(signature, args, nargs, kwnames, argv)) return nullptr;
    std::string kind;
    if (!extract_argument("kind", argv[0], kind)) return nullptr;
    PyObject* state = argv[1];
    if (kind == "Fasta") return reopen(fasta_type(), kind, state);
    if (kind == "Faidx") return reopen(faidx_type(), kind, state);
    if (kind == "Sequence") return rebuild_sequence(state);
    if (kind == "FastaRecord") return rebuild_record(state);
    if (kind == "FastaIterator") return rebuild_fasta_iterator(state);
    if (kind == "SequenceIterator") return rebuild_sequence_iterator(state);
    if (kind == "MutableFastaRecord") return rebuild_mutable_record(state);
    if (kind == "SequenceArray") return rebuild_sequence_array(state);
    PyErr_Format(PyExc_ValueError, "_reconstruct(): unknown kind '%s'", kind.c_str());
    return nullptr;
}

}  // namespace

PyObject* reduce_to(const char* kind, PyObject* state) {
    Ref owned_state = Ref::steal(state);
    if (!owned_state) return nullptr;
    PyObject* function = reconstructor();
    if (function == nullptr) return nullptr;
    return Py_BuildValue("(O(sO))", function, kind, owned_state.get());
}

PyMethodDef reconstruct_method() {
    return {"_reconstruct", fastcall_method<reconstruct>(), METH_FASTCALL | METH_KEYWORDS,
            SEKVO_DOC("_reconstruct(kind, state)",
                      "Makes an object of the module again from what its __reduce__ gave (used by pickle).")};
}

}  // namespace sekvo
