#include "faidx/blocking_wait.hpp"

#include <atomic>

namespace sekvo {

namespace {
std::atomic<BlockingRunner> g_runner{nullptr};
}  // namespace

void set_blocking_runner(BlockingRunner runner) { g_runner.store(runner); }

void run_blocking(void (*wait)(void*), void* context) {
    BlockingRunner runner = g_runner.load();
    if (runner != nullptr) runner(wait, context);
    else wait(context);
}

}  // namespace sekvo
