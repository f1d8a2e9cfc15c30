// Reading a mapped FASTA file that another process shrinks.
//
// Touching a page of a mapping that lies wholly past the end of its file
// raises SIGBUS, which would kill the interpreter (a download rewriting the
// file in place, a file truncated while a job reads it). While a thread
// reads through a MappingGuard, a SIGBUS inside the guarded range is
// absorbed instead: `failed` is set, the page is replaced by zeros and the
// read goes on. The caller then discards what it read and reports an
// IOError. Faults anywhere else go to the handler that was installed before
// (or to the default action), so other crashes stay crashes.
//
// A handler installed later (faulthandler, for one) that hands the fault
// back by restoring this one and raising SIGBUS again loses the faulting
// address; then the guard's open file tells whether the mapping lost pages,
// and every page past the file's new end is replaced at once.
#pragma once

#include <atomic>
#include <cstdint>

namespace sekvo {

// Installs the SIGBUS handler once per process; call before reading a mapping.
void install_mapping_fault_handler();

class MappingGuard {
public:
    // `fd`: the mapped file, still open, or -1.
    MappingGuard(const unsigned char* data, std::uint64_t size, std::atomic<bool>& failed, int fd = -1);
    ~MappingGuard();
    MappingGuard(const MappingGuard&) = delete;
    MappingGuard& operator=(const MappingGuard&) = delete;

    const unsigned char* begin;
    const unsigned char* end;
    std::atomic<bool>* failed;
    int fd;

private:
    MappingGuard* outer_;
};

}  // namespace sekvo
