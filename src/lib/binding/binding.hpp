// The conventions every class of the module follows at the Python
// boundary. Include this one header.
//
// A class whose objects hold a C++ value `Thing`:
//
//   using namespace sekvo::binding;
//
//   // Methods: parse, convert (naming the parameter), borrow, run.
//   PyObject* thing_fetch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
//       static const Signature signature{"Thing.fetch()", {"name", "start", "end"}, 3};
//       PyObject* argv[3];
//       if (!parse_arguments(signature, args, nargs, kwnames, argv)) return nullptr;
//       auto thing = borrow_shared<Thing>(self);        // RuntimeError when in exclusive use
//       if (!thing) return nullptr;
//       std::string name;
//       std::uint64_t start = 0, end = 0;
//       if (!extract_argument("name", argv[0], name) || !extract_argument("start", argv[1], start) ||
//           !extract_argument("end", argv[2], end)) return nullptr;
//       Result<SequenceValue> result = thing->fetch(name, start, end);
//       if (!result) return raise(result.error());       // core Error -> Python exception
//       return sequence_from_value(result.take());       // see lib/classes.hpp
//   }
//
//   PyMethodDef thing_methods[] = {
//       {"fetch", fastcall_method<thing_fetch>(), METH_FASTCALL | METH_KEYWORDS,
//        SEKVO_DOC("fetch($self, name, start, end)", "")},
//       {nullptr, nullptr, 0, nullptr}};
//
//   // Attributes: getter<fn> / setter<fn> (deletion is refused for you).
//   PyGetSetDef thing_getset[] = {
//       {"name", getter<thing_get_name>, setter<thing_set_name>, nullptr, nullptr},
//       {nullptr, nullptr, nullptr, nullptr, nullptr}};
//
//   // The type: wrap every slot function in entry<> so C++ exceptions
//   // (std::bad_alloc -> MemoryError) never cross into the interpreter.
//   ClassDef thing_class() {
//       return define_class<Thing>("Thing", nullptr /* or "(text, signature)" */, {
//           {Py_tp_methods, thing_methods},
//           {Py_tp_getset, thing_getset},
//           {Py_tp_repr, reinterpret_cast<void*>(entry<thing_repr>)},
//       });
//   }
//   PyTypeObject* thing_type() {                      // declare it in lib/classes.hpp
//       static PyTypeObject* type = nullptr;
//       return cached_class(type, thing_class);
//   }
//
// Constructors are tp_new with the tuple/dict form of parse_arguments and
// the function name "Thing.__new__()"; they build the object with
// box_new(type, std::move(value)). A class without Py_tp_new refuses
// construction with "No constructor defined for Thing".
#pragma once

#include "lib/binding/arguments.hpp"
#include "lib/binding/convert.hpp"
#include "lib/binding/errors.hpp"
#include "lib/binding/object.hpp"
#include "lib/binding/python.hpp"
#include "lib/binding/types.hpp"
