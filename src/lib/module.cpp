// Module entry: PyInit_sekvo creates the module once per process and
// registers the classes in order, listing them in __all__.
#include "lib/binding/binding.hpp"
#include "lib/classes.hpp"
#include "lib/command_line_functions.hpp"
#include "lib/module_functions.hpp"

#include <atomic>
#include <cstdint>

#include "faidx/blocking_wait.hpp"

namespace {

using namespace sekvo;

struct ClassEntry {
    const char* name;
    PyTypeObject* (*type)();
};

// Registration order is the order of __all__.
const ClassEntry kClasses[] = {
    {"Fasta", fasta_type},
    {"Faidx", faidx_type},
    {"Sequence", sequence_type},
    {"FastaRecord", fasta_record_type},
    {"FastaIterator", fasta_iterator_type},
    {"SequenceIterator", sequence_iterator_type},
    {"MutableFastaRecord", mutable_fasta_record_type},
    {"SequenceArray", sequence_array_type},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "sekvo",
    "Fast random access to FASTA files through their .fai index.",
    0,  // no per-module state
    nullptr,  // functions: added in init_module
    nullptr, nullptr, nullptr, nullptr,
};

// The interpreter that first imported the module, and the module object.
std::atomic<std::int64_t> owner_interpreter{-1};
PyObject* the_module = nullptr;

// Lets other threads run while the core waits, e.g. for room in a pipe
// that one of them drains. Pool workers never hold the interpreter.
void run_without_interpreter(void (*wait)(void*), void* context) {
    if (!PyGILState_Check()) {
        wait(context);
        return;
    }
    PyThreadState* state = PyEval_SaveThread();
    wait(context);
    PyEval_RestoreThread(state);
}

bool add_class(PyObject* module, const ClassEntry& entry) {
    PyTypeObject* type = entry.type();
    if (type == nullptr) return false;
    binding::Ref all = binding::Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = binding::Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    binding::Ref name = binding::Ref::steal(PyUnicode_FromString(entry.name));
    if (!name || PyList_Append(all.get(), name.get()) < 0) return false;
    return PyObject_SetAttr(module, name.get(), reinterpret_cast<PyObject*>(type)) == 0;
}

PyObject* init_module() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        }
        return nullptr;
    }
    std::int64_t expected = -1;
    if (!owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "sekvo does not support sub-interpreters: it can only be imported by the "
                        "interpreter that imported it first");
        return nullptr;
    }
    if (the_module != nullptr) return Py_NewRef(the_module);

    PyObject* module = PyModule_Create2(&module_definition, PYTHON_API_VERSION);
    if (module == nullptr) return nullptr;
    if (PyModule_AddFunctions(module, module_functions()) < 0 ||
        PyModule_AddFunctions(module, command_line_functions()) < 0 ||
        PyModule_AddStringConstant(module, "__version__", SEKVO_VERSION) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    for (const ClassEntry& entry : kClasses) {
        if (!add_class(module, entry)) {
            Py_DECREF(module);
            return nullptr;
        }
    }
    set_blocking_runner(run_without_interpreter);
    the_module = Py_NewRef(module);
    return module;
}

}  // namespace

PyMODINIT_FUNC PyInit_sekvo(void) {
    return sekvo::binding::entry<init_module>();
}
