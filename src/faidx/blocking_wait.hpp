// Waits that may last long (a full pipe, a locked file), run so that the
// embedding interpreter can go on meanwhile. The core cannot release the
// interpreter's lock itself; the binding layer installs a runner that does.
#pragma once

#include <type_traits>

namespace sekvo {

using BlockingRunner = void (*)(void (*wait)(void*), void* context);

// Installed once by the binding layer; without one, waits run as they are.
void set_blocking_runner(BlockingRunner runner);

// Calls wait(context) through the installed runner.
void run_blocking(void (*wait)(void*), void* context);

template <class Wait>
void run_blocking(Wait&& wait) {
    using Callable = std::remove_reference_t<Wait>;
    run_blocking([](void* context) { (*static_cast<Callable*>(context))(); }, &wait);
}

}  // namespace sekvo
