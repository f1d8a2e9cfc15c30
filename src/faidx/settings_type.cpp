#include "faidx/settings_type.hpp"

#include <utility>

namespace sekvo {

namespace {

using namespace binding;

const char* parameter_name(Setting setting) {
    switch (setting) {
        case Setting::filename: return "filename";
        case Setting::indexname: return "indexname";
        case Setting::as_raw: return "as_raw";
        case Setting::strict_bounds: return "strict_bounds";
        case Setting::sequence_always_upper: return "sequence_always_upper";
        case Setting::rebuild: return "rebuild";
        case Setting::build_index: return "build_index";
        case Setting::one_based_attributes: return "one_based_attributes";
        case Setting::default_seq: return "default_seq";
        case Setting::mutable_file: return "mutable";
        case Setting::key_function: return "key_function";
        case Setting::split_char: return "split_char";
        case Setting::filt_function: return "filt_function";
        case Setting::read_long_names: return "read_long_names";
        case Setting::duplicate_action: return "duplicate_action";
        case Setting::read_ahead: return "read_ahead";
    }
    return "";
}

bool convert_setting(Setting setting, PyObject* argument, OpenOptions& options, OpenedIndex& out) {
    const char* name = parameter_name(setting);
    switch (setting) {
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

}  // namespace

PyObject* settings_tuple(const OpenedIndex& index) {
    const OpenOptions& options = index.handle->options();
    Ref settings = Ref::steal(PyTuple_New(kSettingCount));
    if (!settings) return nullptr;
    for (std::size_t i = 0; i < kSettingCount; ++i) {
        PyObject* value = setting_value(kSettingOrder[i], options, index);
        if (value == nullptr) return nullptr;
        PyTuple_SET_ITEM(settings.get(), static_cast<Py_ssize_t>(i), value);
    }
    return settings.release();
}

bool open_index(const std::array<Setting, kSettingCount>& order, PyObject* const* argv, OpenedIndex& out) {
    OpenOptions options;
    for (std::size_t i = 0; i < kSettingCount; ++i) {
        if (!convert_setting(order[i], argv[i], options, out)) return false;
    }
    Result<std::unique_ptr<IndexHandle>> opened = IndexHandle::open(std::move(options));
    if (!opened) {
        raise(opened.error());
        return false;
    }
    out.handle = opened.take();
    return true;
}

}  // namespace sekvo
