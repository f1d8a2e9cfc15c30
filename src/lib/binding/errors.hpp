// Failures crossing into Python: C++ exceptions, and the wrapper that
// every entry point of the module goes through.
#pragma once

#include "lib/binding/python.hpp"

#include <type_traits>

namespace sekvo::binding {

// Sets the Python exception for the C++ exception being handled (call
// only inside a catch block): std::bad_alloc and std::length_error become
// MemoryError, anything else SystemError.
void raise_current_exception() noexcept;

// Error value of an entry point returning R: NULL for objects, -1 for
// the integer results of slots (lengths, setters, hashes).
template <class R>
constexpr R error_value() {
    if constexpr (std::is_pointer_v<R>) return nullptr;
    else return R(-1);
}

// entry<fn> is a C function pointer with fn's signature that calls fn and
// turns any escaping C++ exception into a Python exception, so that no C++
// exception unwinds through the interpreter's frames.
template <auto Fn>
struct Entry;

template <class R, class... Args, R (*Fn)(Args...)>
struct Entry<Fn> {
    static R call(Args... args) noexcept {
        try {
            return Fn(args...);
        } catch (...) {
            raise_current_exception();
            if constexpr (!std::is_void_v<R>) return error_value<R>();
        }
    }
};

template <auto Fn>
inline constexpr auto entry = &Entry<Fn>::call;

}  // namespace sekvo::binding
