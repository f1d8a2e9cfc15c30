#include "faidx/mapping_guard.hpp"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <mutex>

namespace sekvo {

namespace {

// The guard of the read this thread is doing. Initial-exec TLS: the signal
// handler must not allocate, as the general-dynamic model may.
[[gnu::tls_model("initial-exec")]] thread_local MappingGuard* t_guard = nullptr;

struct sigaction g_previous;
std::uintptr_t g_page_size = 4096;

void hand_over(int signal_number, siginfo_t* info, void* context) {
    if ((g_previous.sa_flags & SA_SIGINFO) != 0 && g_previous.sa_sigaction != nullptr) {
        g_previous.sa_sigaction(signal_number, info, context);
    } else if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN) {
        g_previous.sa_handler(signal_number);
    } else {
        // Returning repeats the faulting access, which now meets the default action.
        struct sigaction fallback = {};
        fallback.sa_handler = SIG_DFL;
        ::sigaction(signal_number, &fallback, nullptr);
    }
}

void on_sigbus(int signal_number, siginfo_t* info, void* context) {
    const MappingGuard* guard = t_guard;
    const auto* address = static_cast<const unsigned char*>(info->si_addr);
    if (guard != nullptr && address >= guard->begin && address < guard->end) {
        // The flag first: a thread that reads the zero page after it was
        // put in place also sees the flag when it checks after its read.
        guard->failed->store(true);
        void* page = reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(address) & ~(g_page_size - 1));
        if (::mmap(page, g_page_size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED)
            return;
    }
    hand_over(signal_number, info, context);
}

}  // namespace

void install_mapping_fault_handler() {
    static std::once_flag installed;
    std::call_once(installed, [] {
        long page = ::sysconf(_SC_PAGESIZE);
        if (page > 0) g_page_size = static_cast<std::uintptr_t>(page);
        struct sigaction action = {};
        action.sa_sigaction = on_sigbus;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGBUS, &action, &g_previous);
    });
}

MappingGuard::MappingGuard(const unsigned char* data, std::uint64_t size, std::atomic<bool>& failed_flag)
    : begin(data), end(data + size), failed(&failed_flag), outer_(t_guard) {
    t_guard = this;
    std::atomic_signal_fence(std::memory_order_seq_cst);  // set before the reads it guards
}

MappingGuard::~MappingGuard() {
    std::atomic_signal_fence(std::memory_order_seq_cst);
    t_guard = outer_;
}

}  // namespace sekvo
