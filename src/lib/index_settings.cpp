#include "lib/index_settings.hpp"

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
        case Setting::filename: return extract_argument(name, argument, options.filename);
        case Setting::indexname: return extract_argument(name, argument, options.indexname);
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

}  // namespace

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
