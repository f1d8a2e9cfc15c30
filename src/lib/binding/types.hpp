// Building the module's classes: heap types from PyType_FromSpec, plus
// adapters that turn C++ functions into methods, getters and setters.
#pragma once

#include "lib/binding/errors.hpp"
#include "lib/binding/object.hpp"
#include "lib/binding/python.hpp"

#include <vector>

// Docstring of a method: its text signature with $self first, the "--"
// line and an empty line, then the documentation text (may be empty):
//   SEKVO_DOC("fetch($self, name, start, end)", "")
#define SEKVO_DOC(name_and_signature, text) name_and_signature "\n--\n\n" text

namespace sekvo::binding {

struct ClassDef {
    const char* name;            // bare class name, e.g. "Sequence"
    const char* text_signature;  // "(name=..., seq=...)", or nullptr for no class doc
    int basicsize;               // sizeof(Box<T>)
    // The class's own slots, Py_tp_dealloc included. Without Py_tp_new the
    // class gets a tp_new that refuses construction. mp_subscript,
    // mp_ass_subscript and mp_length also get their sequence forms.
    std::vector<PyType_Slot> slots;
};

// The usual definition of a class whose objects are Box<T>.
template <class T>
ClassDef define_class(const char* name, const char* text_signature, std::vector<PyType_Slot> slots) {
    slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(&box_dealloc<T>)});
    return ClassDef{name, text_signature, static_cast<int>(sizeof(Box<T>)), std::move(slots)};
}

// A new heap type named "builtins.<name>" (so __module__ is "builtins"),
// not subclassable, outside cyclic GC. Returns a new reference, or NULL
// with RuntimeError "An error occurred while initializing class <name>"
// whose cause is the underlying error.
PyTypeObject* create_class(const ClassDef& definition);

// The process-wide type object of a class, created on first use (and
// tried again after a failed attempt). Borrowed; NULL with the error set.
inline PyTypeObject* cached_class(PyTypeObject*& cache, ClassDef (*define)()) {
    if (cache == nullptr) {
        try {
            cache = create_class(define());
        } catch (...) {
            raise_current_exception();
        }
    }
    return cache;
}

// --- adapters (each catches C++ exceptions through entry<>) ---------------

// PyObject* fn(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
template <auto Fn>
PyCFunction fastcall_method() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<Fn>));
}

// PyObject* fn(PyObject* self, PyObject* unused)
template <auto Fn>
PyCFunction noargs_method() {
    return entry<Fn>;
}

// Any slot function (tp_repr, mp_subscript, ...) as a PyType_Slot pointer.
template <auto Fn>
void* slot() {
    return reinterpret_cast<void*>(entry<Fn>);
}

// PyObject* fn(PyObject* self): getter of an attribute.
template <auto Fn>
PyObject* getter(PyObject* self, void*) {
    return entry<Fn>(self);
}

// int fn(PyObject* self, PyObject* value): setter; value is never NULL,
// since deleting the attribute is refused here.
template <auto Fn>
int setter(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) {
        PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
        return -1;
    }
    return entry<Fn>(self, value);
}

}  // namespace sekvo::binding
