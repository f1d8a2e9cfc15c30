// The sixteen constructor settings shared by Faidx and Fasta: converting
// them from Python arguments and opening the index handle they describe.
// Each class writes its parameter names once, in its own order, as the
// signature of its constructor; the rest follows from the names.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <string>

#include "faidx/index_handle.hpp"
#include "lib/binding/binding.hpp"

namespace sekvo {

inline constexpr std::size_t kSettingCount = 16;

// An open index handle plus the two settings that are Python objects,
// which the core cannot keep; both are kept and never used.
struct OpenedIndex {
    std::unique_ptr<IndexHandle> handle;
    binding::Ref key_function;
    binding::Ref filt_function;
};

// The class's text signature, "(filename, indexname=None, ...)", for
// constructor parameters named `parameters` (the sixteen, in any order).
std::string settings_text_signature(std::initializer_list<const char*> parameters);

// Converts the parsed arguments of the parameters named `parameters` (NULL
// for a parameter not given), in that order, and opens the handle.
// False with the Python exception set: the argument error naming the
// first parameter that fails, or the exception of the opening error.
bool open_index(std::initializer_list<const char*> parameters, PyObject* const* argv, OpenedIndex& out);

// The sixteen settings of an opened index as a new tuple in one fixed
// order (paths as given, Python-object settings as kept), from which
// open_index_from_settings opens the same file again; NULL with the error
// set. This is the state a pickled Faidx or Fasta carries.
PyObject* settings_tuple(const OpenedIndex& index);
bool open_index_from_settings(PyObject* const* settings, OpenedIndex& out);

}  // namespace sekvo
