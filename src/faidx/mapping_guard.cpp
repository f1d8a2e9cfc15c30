#include "faidx/mapping_guard.hpp"

#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
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

std::uintptr_t page_ceiling(std::uintptr_t address) { return (address + g_page_size - 1) & ~(g_page_size - 1); }

// Replaces [from, to) (whole pages) by zeros; the flag first: a thread that
// reads a zero page after it was put in place also sees the flag when it
// checks after its read.
bool replace_pages(const MappingGuard& guard, std::uintptr_t from, std::uintptr_t to) {
    guard.failed->store(true);
    return ::mmap(reinterpret_cast<void*>(from), to - from, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED,
                  -1, 0) != MAP_FAILED;
}

// A SIGBUS raised again by a later handler carries no address: the pages
// past the file's current end are the ones that can fault.
bool replace_vanished_pages(const MappingGuard& guard) {
    struct stat info;
    if (guard.fd < 0 || ::fstat(guard.fd, &info) != 0) return false;
    const auto mapped = static_cast<std::uintptr_t>(guard.end - guard.begin);
    if (info.st_size < 0 || static_cast<std::uintptr_t>(info.st_size) >= mapped) return false;
    const std::uintptr_t begin = reinterpret_cast<std::uintptr_t>(guard.begin);
    const std::uintptr_t from = page_ceiling(begin + static_cast<std::uintptr_t>(info.st_size));
    const std::uintptr_t to = page_ceiling(begin + mapped);
    return from < to && replace_pages(guard, from, to);
}

void on_sigbus(int signal_number, siginfo_t* info, void* context) {
    const MappingGuard* guard = t_guard;
    if (guard != nullptr) {
        if (info->si_code <= 0) {  // sent by a process, not a fault
            if (replace_vanished_pages(*guard)) return;
        } else {
            const auto* address = static_cast<const unsigned char*>(info->si_addr);
            if (address >= guard->begin && address < guard->end) {
                const std::uintptr_t page = reinterpret_cast<std::uintptr_t>(address) & ~(g_page_size - 1);
                if (replace_pages(*guard, page, page + g_page_size)) return;
            }
        }
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

MappingGuard::MappingGuard(const unsigned char* data, std::uint64_t size, std::atomic<bool>& failed_flag, int mapped_fd)
    : begin(data), end(data + size), failed(&failed_flag), fd(mapped_fd), outer_(t_guard) {
    t_guard = this;
    std::atomic_signal_fence(std::memory_order_seq_cst);  // set before the reads it guards
}

MappingGuard::~MappingGuard() {
    std::atomic_signal_fence(std::memory_order_seq_cst);
    t_guard = outer_;
}

}  // namespace sekvo
