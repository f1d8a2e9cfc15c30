#include "lib/binding/types.hpp"

#include "lib/binding/convert.hpp"

#include <forward_list>
#include <string>

namespace sekvo::binding {

namespace {

PyObject* refuse_construction(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* name = PyType_GetName(type);
    if (name == nullptr) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "No constructor defined for <unknown>");
        return nullptr;
    }
    PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name);
    Py_DECREF(name);
    return nullptr;
}

// Sequence forms of the mapping slots, for PySequence_GetItem and friends.
PyObject* item_by_index(PyObject* self, Py_ssize_t index) {
    auto subscript = reinterpret_cast<binaryfunc>(PyType_GetSlot(Py_TYPE(self), Py_mp_subscript));
    Ref key = Ref::steal(PyLong_FromSsize_t(index));
    if (!key) return nullptr;
    return subscript(self, key.get());
}

int assign_item_by_index(PyObject* self, Py_ssize_t index, PyObject* value) {
    auto assign = reinterpret_cast<objobjargproc>(PyType_GetSlot(Py_TYPE(self), Py_mp_ass_subscript));
    Ref key = Ref::steal(PyLong_FromSsize_t(index));
    if (!key) return -1;
    return assign(self, key.get(), value);
}

bool has_slot(const std::vector<PyType_Slot>& slots, int id) {
    for (const PyType_Slot& slot : slots) {
        if (slot.slot == id) return true;
    }
    return false;
}

void* slot_value(const std::vector<PyType_Slot>& slots, int id) {
    for (const PyType_Slot& slot : slots) {
        if (slot.slot == id) return slot.pfunc;
    }
    return nullptr;
}

// Types live for the rest of the process; so do their name and doc texts.
const char* keep(std::string text) {
    static std::forward_list<std::string> texts;
    texts.push_front(std::move(text));
    return texts.front().c_str();
}

void initialization_failed(const char* name) {
    PyObject* cause = PyErr_GetRaisedException();
    PyErr_Format(PyExc_RuntimeError, "An error occurred while initializing class %s", name);
    if (cause != nullptr) {
        PyObject* error = PyErr_GetRaisedException();
        PyException_SetCause(error, cause);  // steals `cause`
        PyErr_SetRaisedException(error);
    }
}

}  // namespace

PyTypeObject* create_class(const ClassDef& definition) {
    try {
        std::vector<PyType_Slot> slots = definition.slots;
        slots.push_back({Py_tp_base, &PyBaseObject_Type});
        if (definition.text_signature != nullptr) {
            std::string doc = std::string(definition.name) + definition.text_signature + "\n--\n\n";
            slots.push_back({Py_tp_doc, const_cast<char*>(keep(std::move(doc)))});
        }
        if (!has_slot(slots, Py_tp_new)) {
            slots.push_back({Py_tp_new, reinterpret_cast<void*>(&refuse_construction)});
        }
        if (has_slot(slots, Py_mp_subscript) && !has_slot(slots, Py_sq_item)) {
            slots.push_back({Py_sq_item, reinterpret_cast<void*>(entry<item_by_index>)});
        }
        if (has_slot(slots, Py_mp_ass_subscript) && !has_slot(slots, Py_sq_ass_item)) {
            slots.push_back({Py_sq_ass_item, reinterpret_cast<void*>(entry<assign_item_by_index>)});
        }
        if (void* length = slot_value(slots, Py_mp_length); length && !has_slot(slots, Py_sq_length)) {
            slots.push_back({Py_sq_length, length});
        }
        slots.push_back({0, nullptr});

        PyType_Spec type_spec{};
        type_spec.name = keep(std::string("builtins.") + definition.name);
        type_spec.basicsize = definition.basicsize;
        type_spec.itemsize = 0;
        type_spec.flags = Py_TPFLAGS_DEFAULT;
        type_spec.slots = slots.data();
        PyObject* type = PyType_FromSpec(&type_spec);
        if (type == nullptr) {
            initialization_failed(definition.name);
            return nullptr;
        }
        return reinterpret_cast<PyTypeObject*>(type);
    } catch (...) {
        raise_current_exception();
        initialization_failed(definition.name);
        return nullptr;
    }
}

}  // namespace sekvo::binding
