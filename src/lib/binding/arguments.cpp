#include "lib/binding/arguments.hpp"

#include <string>
#include <vector>

namespace sekvo::binding {

namespace {

const char* plural(Py_ssize_t count, const char* one, const char* many) {
    return count == 1 ? one : many;
}

bool too_many_positional(const Signature& signature, Py_ssize_t given) {
    const std::size_t total = signature.parameters.size();
    const char* verb = plural(given, "was", "were");
    if (signature.required == total) {
        PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
                     signature.function, total, given, verb);
    } else {
        PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given",
                     signature.function, signature.required, total, given, verb);
    }
    return false;
}

// 'a'; 'a' and 'b'; 'a', 'b' and 'c'
std::string quoted_list(const std::vector<const char*>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) text += (i + 1 == names.size()) ? " and " : ", ";
        text += '\'';
        text += names[i];
        text += '\'';
    }
    return text;
}

class Parser {
public:
    Parser(const Signature& signature, PyObject** out) : signature_(signature), out_(out) {}

    bool positional(PyObject* const* args, Py_ssize_t nargs) {
        const auto total = static_cast<Py_ssize_t>(signature_.parameters.size());
        if (nargs > total) return too_many_positional(signature_, nargs);
        for (Py_ssize_t i = 0; i < total; ++i) out_[i] = i < nargs ? args[i] : nullptr;
        nargs_ = nargs;
        return true;
    }

    bool keyword(PyObject* key, PyObject* value) {
        Py_ssize_t index = 0;
        for (const char* name : signature_.parameters) {
            if (PyUnicode_Check(key) && PyUnicode_EqualToUTF8(key, name)) {
                if (index < nargs_ || out_[index] != nullptr) {
                    PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                                 signature_.function, name);
                    return false;
                }
                out_[index] = value;
                return true;
            }
            ++index;
        }
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", signature_.function, key);
        return false;
    }

    bool finish() {
        std::vector<const char*> missing;
        std::size_t index = 0;
        for (const char* name : signature_.parameters) {
            if (index < signature_.required && out_[index] == nullptr) missing.push_back(name);
            ++index;
        }
        if (missing.empty()) return true;
        const auto count = static_cast<Py_ssize_t>(missing.size());
        PyErr_Format(PyExc_TypeError, "%s missing %zd required positional %s: %s", signature_.function, count,
                     plural(count, "argument", "arguments"), quoted_list(missing).c_str());
        return false;
    }

private:
    const Signature& signature_;
    PyObject** out_;
    Py_ssize_t nargs_ = 0;
};

}  // namespace

bool parse_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** out) {
    Parser parser(signature, out);
    nargs = PyVectorcall_NARGS(nargs);
    if (!parser.positional(args, nargs)) return false;
    if (kwnames != nullptr) {
        const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (!parser.keyword(PyTuple_GET_ITEM(kwnames, i), args[nargs + i])) return false;
        }
    }
    return parser.finish();
}

bool parse_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** out) {
    Parser parser(signature, out);
    if (!parser.positional(reinterpret_cast<PyTupleObject*>(args)->ob_item, PyTuple_GET_SIZE(args))) return false;
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            if (!parser.keyword(key, value)) return false;
        }
    }
    return parser.finish();
}

}  // namespace sekvo::binding
