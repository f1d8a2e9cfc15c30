// The sixteen constructor settings shared by Faidx and Fasta: converting
// them from Python arguments and opening the index handle they describe.
#pragma once

#include <array>
#include <memory>

#include "faidx/index_handle.hpp"
#include "lib/binding/binding.hpp"

namespace sekvo {

enum class Setting {
    filename, indexname, as_raw, strict_bounds, sequence_always_upper, rebuild, build_index,
    one_based_attributes, default_seq, mutable_file, key_function, split_char, filt_function,
    read_long_names, duplicate_action, read_ahead,
};

inline constexpr std::size_t kSettingCount = 16;

// The settings in declaration order: the order of a pickled handle's state.
inline constexpr std::array<Setting, kSettingCount> kSettingOrder = [] {
    std::array<Setting, kSettingCount> order{};
    for (std::size_t i = 0; i < kSettingCount; ++i) order[i] = static_cast<Setting>(i);
    return order;
}();

// An open index handle plus the two settings that are Python objects,
// which the core cannot keep; both are kept and never used.
struct OpenedIndex {
    std::unique_ptr<IndexHandle> handle;
    binding::Ref key_function;
    binding::Ref filt_function;
};

// Converts the parsed arguments, given in a class's parameter `order`
// (NULL for a parameter not given), in that order, and opens the handle.
// False with the Python exception set: the argument error naming the
// first parameter that fails, or the exception of the opening error.
bool open_index(const std::array<Setting, kSettingCount>& order, PyObject* const* argv, OpenedIndex& out);

// The sixteen settings of an opened index as a new tuple in kSettingOrder
// (paths as given, Python-object settings as kept), from which open_index
// with kSettingOrder opens the same file again; NULL with the error set.
PyObject* settings_tuple(const OpenedIndex& index);

}  // namespace sekvo
