// A tiny test registry for the C++ tests of the core.
//
// Each test file defines its tests with CORE_TEST(name) { ... }; they
// register themselves before main runs. CHECK records a failure and lets
// the test go on; REQUIRE records it and leaves the test.
#pragma once

#include <sstream>
#include <string>

namespace core_test {

using TestFunction = void (*)();

struct Registrar {
    Registrar(const char* name, TestFunction function);
};

// Records a failed check of the running test.
void record_failure(const char* file, int line, const std::string& what);
// Failed checks of the running test so far.
int failure_count();

// Runs body in a forked child that is killed after timeout_seconds; true
// when the child exited normally with no failed check. The child's failed
// checks are printed on its standard error.
bool run_in_child(void (*body)(), unsigned timeout_seconds);

struct RequireFailed {};

template <class A, class B>
std::string describe_mismatch(const char* a_text, const char* b_text, const A& a, const B& b) {
    std::ostringstream out;
    out << a_text << " == " << b_text << " (" << a << " vs " << b << ")";
    return out.str();
}

}  // namespace core_test

#define CORE_TEST(name)                                                  \
    static void name();                                                  \
    static const ::core_test::Registrar name##_registrar(#name, &name); \
    static void name()

#define CHECK(condition)                                                         \
    do {                                                                         \
        if (!(condition)) ::core_test::record_failure(__FILE__, __LINE__, #condition); \
    } while (0)

#define CHECK_EQ(a, b)                                                           \
    do {                                                                         \
        const auto& check_a_ = (a);                                              \
        const auto& check_b_ = (b);                                              \
        if (!(check_a_ == check_b_))                                             \
            ::core_test::record_failure(                                         \
                __FILE__, __LINE__,                                              \
                ::core_test::describe_mismatch(#a, #b, check_a_, check_b_));     \
    } while (0)

#define REQUIRE(condition)                                                       \
    do {                                                                         \
        if (!(condition)) {                                                      \
            ::core_test::record_failure(__FILE__, __LINE__, #condition);         \
            throw ::core_test::RequireFailed{};                                  \
        }                                                                        \
    } while (0)
