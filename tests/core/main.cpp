// Runs every registered core test, or those whose name contains one of the
// command-line arguments. Exit status 0 when all checks pass.
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "check.hpp"

namespace core_test {
namespace {

struct TestCase {
    const char* name;
    TestFunction function;
};

std::vector<TestCase>& registry() {
    static std::vector<TestCase> tests;
    return tests;
}

int failures_of_current_test = 0;

bool selected(const char* name, int argc, char** argv) {
    if (argc < 2) return true;
    for (int i = 1; i < argc; ++i)
        if (std::strstr(name, argv[i]) != nullptr) return true;
    return false;
}

}  // namespace

Registrar::Registrar(const char* name, TestFunction function) {
    registry().push_back({name, function});
}

void record_failure(const char* file, int line, const std::string& what) {
    ++failures_of_current_test;
    std::fprintf(stderr, "  %s:%d: check failed: %s\n", file, line, what.c_str());
}

int failure_count() { return failures_of_current_test; }

bool run_in_child(void (*body)(), unsigned timeout_seconds) {
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) {
        alarm(timeout_seconds);
        const int before = failures_of_current_test;
        try {
            body();
        } catch (...) {
            record_failure(__FILE__, __LINE__, "exception in child process");
        }
        std::fflush(nullptr);
        _exit(failures_of_current_test == before ? 0 : 1);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return false;
    }
    if (WIFSIGNALED(status))
        std::fprintf(stderr, "  child process killed by signal %d\n", WTERMSIG(status));
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace core_test

int main(int argc, char** argv) {
    using namespace core_test;
    int run = 0;
    int failed = 0;
    for (const TestCase& test : registry()) {
        if (!selected(test.name, argc, argv)) continue;
        ++run;
        failures_of_current_test = 0;
        alarm(300);  // a hung test fails the run instead of blocking it
        try {
            test.function();
        } catch (const RequireFailed&) {
        } catch (const std::exception& e) {
            record_failure(__FILE__, __LINE__, std::string("unexpected exception: ") + e.what());
        } catch (...) {
            record_failure(__FILE__, __LINE__, "unexpected exception");
        }
        if (failures_of_current_test != 0) {
            ++failed;
            std::fprintf(stderr, "FAIL %s\n", test.name);
        }
        alarm(0);
    }
    std::fprintf(stderr, "%d tests, %d failed\n", run, failed);
    return failed == 0 ? 0 : 1;
}
