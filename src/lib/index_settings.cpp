#include "lib/index_settings.hpp"

#include <stdexcept>
#include <string_view>
#include <utility>

#include "lib/core_values.hpp"

namespace sekvo {

namespace {

using namespace binding;

enum class Setting {
    filename, indexname, as_raw, strict_bounds, sequence_always_upper, rebuild, build_index,
    one_based_attributes, default_seq, mutable_file, key_function, split_char, filt_function,
    read_long_names, duplicate_action, read_ahead,
};

struct SettingParameter {
    Setting setting;
    const char* name;
    const char* default_text;  // as the text signature shows it; NULL: required
};

constexpr SettingParameter kParameters[kSettingCount] = {
    {Setting::filename, "filename", nullptr},
    {Setting::indexname, "indexname", "None"},
    {Setting::as_raw, "as_raw", "False"},
    {Setting::strict_bounds, "strict_bounds", "False"},
    {Setting::sequence_always_upper, "sequence_always_upper", "False"},
    {Setting::rebuild, "rebuild", "True"},
    {Setting::build_index, "build_index", "True"},
    {Setting::one_based_attributes, "one_based_attributes", "True"},
    {Setting::default_seq, "default_seq", "None"},
    {Setting::mutable_file, "mutable", "False"},
    {Setting::key_function, "key_function", "None"},
    {Setting::split_char, "split_char", "None"},
    {Setting::filt_function, "filt_function", "None"},
    {Setting::read_long_names, "read_long_names", "False"},
    {Setting::duplicate_action, "duplicate_action", "..."},
    {Setting::read_ahead, "read_ahead", "None"},
};

const SettingParameter& parameter_named(std::string_view name) {
    for (const SettingParameter& parameter : kParameters)
        if (name == parameter.name) return parameter;
    throw std::logic_error("not a constructor setting: " + std::string(name));
}

bool convert_setting(const SettingParameter& parameter, PyObject* argument, OpenOptions& options,
                     OpenedIndex& out) {
    const char* name = parameter.name;
    switch (parameter.setting) {
        case Setting::filename: return extract_path_argument(name, argument, options.filename);
        case Setting::indexname: return extract_path_argument(name, argument, options.indexname);
        case Setting::as_raw: return extract_argument(name, argument, options.as_raw);
        case Setting::strict_bounds: return extract_argument(name, argument, options.strict_bounds);
        case Setting::sequence_always_upper: return extract_argument(name, argument, options.sequence_always_upper);
        case Setting::rebuild: return extract_argument(name, argument, options.rebuild);
        case Setting::build_index: return extract_argument(name, argument, options.build_index);
        case Setting::one_based_attributes: return extract_argument(name, argument, options.one_based_attributes);
        case Setting::default_seq: return extract_argument(name, argument, options.default_seq);
        case Setting::mutable_file: return extract_argument(name, argument, options.mutable_file);
        case Setting::key_function: return extract_argument(name, argument, out.key_function);
        case Setting::split_char: return extract_argument(name, argument, options.split_char);
        case Setting::filt_function: return extract_argument(name, argument, out.filt_function);
        case Setting::read_long_names: return extract_argument(name, argument, options.read_long_names);
        case Setting::duplicate_action: return extract_argument(name, argument, options.duplicate_action);
        case Setting::read_ahead: return extract_argument(name, argument, options.read_ahead);
    }
    return true;
}

PyObject* setting_value(Setting setting, const OpenOptions& options, const OpenedIndex& index) {
    switch (setting) {
        case Setting::filename: return to_python(options.filename);
        case Setting::indexname: return to_python(options.indexname);
        case Setting::as_raw: return to_python(options.as_raw);
        case Setting::strict_bounds: return to_python(options.strict_bounds);
        case Setting::sequence_always_upper: return to_python(options.sequence_always_upper);
        case Setting::rebuild: return to_python(options.rebuild);
        case Setting::build_index: return to_python(options.build_index);
        case Setting::one_based_attributes: return to_python(options.one_based_attributes);
        case Setting::default_seq: return to_python(options.default_seq);
        case Setting::mutable_file: return to_python(options.mutable_file);
        case Setting::key_function: return Py_NewRef(index.key_function ? index.key_function.get() : Py_None);
        case Setting::split_char: return to_python(options.split_char);
        case Setting::filt_function: return Py_NewRef(index.filt_function ? index.filt_function.get() : Py_None);
        case Setting::read_long_names: return to_python(options.read_long_names);
        case Setting::duplicate_action: return to_python(options.duplicate_action);
        case Setting::read_ahead: return to_python(options.read_ahead);
    }
    Py_RETURN_NONE;
}

bool open_converted(OpenOptions&& options, OpenedIndex& out) {
    Result<std::unique_ptr<IndexHandle>> opened = IndexHandle::open(std::move(options));
    if (!opened) {
        raise(opened.error());
        return false;
    }
    out.handle = opened.take();
    return true;
}

}  // namespace

PyObject* settings_tuple(const OpenedIndex& index) {
    const OpenOptions& options = index.handle->options();
    Ref settings = Ref::steal(PyTuple_New(kSettingCount));
    if (!settings) return nullptr;
    for (std::size_t i = 0; i < kSettingCount; ++i) {
        PyObject* value = setting_value(kParameters[i].setting, options, index);
        if (value == nullptr) return nullptr;
        PyTuple_SET_ITEM(settings.get(), static_cast<Py_ssize_t>(i), value);
    }
    return settings.release();
}

bool open_index_from_settings(PyObject* const* values, OpenedIndex& out) {
    OpenOptions options;
    for (const SettingParameter& parameter : kParameters) {
        if (!convert_setting(parameter, *values++, options, out)) return false;
    }
    return open_converted(std::move(options), out);
}

std::string settings_text_signature(std::initializer_list<const char*> parameters) {
    std::string text = "(";
    for (const char* name : parameters) {
        if (text.size() > 1) text += ", ";
        text += name;
        if (const char* default_text = parameter_named(name).default_text) text.append("=").append(default_text);
    }
    return text + ")";
}

bool open_index(std::initializer_list<const char*> parameters, PyObject* const* argv, OpenedIndex& out) {
    OpenOptions options;
    for (const char* name : parameters) {
        if (!convert_setting(parameter_named(name), *argv++, options, out)) return false;
    }
    return open_converted(std::move(options), out);
}

}  // namespace sekvo
