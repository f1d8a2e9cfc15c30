#include "lib/module_functions.hpp"

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "faidx/index_file.hpp"
#include "faidx/index_handle.hpp"
#include "lib/binding/binding.hpp"
#include "lib/core_values.hpp"
#include "lib/pickling.hpp"

namespace sekvo {

namespace {

using namespace binding;

// _write_index(filename): scans the FASTA file and replaces `filename`.fai
// with its index (through a temporary file), whether or not the index was
// current. A file without records leaves any index as it is. Returns the
// (name, length) of every record; opening errors are raised as Faidx
// raises them, a failed write as OSError naming the index file.
PyObject* write_index(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature{"_write_index()", {"filename"}, 1};
    PyObject* argv[1];
    if (!parse_arguments(signature, args, nargs, kwnames, argv)) return nullptr;
    OpenOptions options;
    if (!extract_argument("filename", argv[0], options.filename)) return nullptr;
    const std::string index_path = options.filename + ".fai";

    Result<std::vector<ScannedRecord>> scanned = IndexHandle::scan_records(std::move(options));
    if (!scanned) return raise(scanned.error());
    const std::vector<ScannedRecord>& records = scanned.value();
    if (!records.empty()) {
        if (std::optional<Error> error = write_index_file(index_path, format_index(records))) {
            if (error->kind != ErrorKind::IO || error->os_error == 0) return raise(*error);
            errno = error->os_error;
            return PyErr_SetFromErrnoWithFilename(PyExc_OSError, index_path.c_str());
        }
    }
    return list_from(records.size(), [&](std::size_t i) {
        return Py_BuildValue("(NK)", to_python(records[i].name),
                             static_cast<unsigned long long>(records[i].entry.rlen));
    });
}

PyMethodDef functions[] = {
    {"_write_index", fastcall_method<write_index>(), METH_FASTCALL | METH_KEYWORDS,
     SEKVO_DOC("_write_index(filename)", "Rebuild the index file of a FASTA file; for the command line.")},
    reconstruct_method(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* module_functions() { return functions; }

}  // namespace sekvo
