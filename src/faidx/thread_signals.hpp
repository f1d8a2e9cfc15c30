// Threads the core starts block the signals sent to the process, so that
// they reach the interpreter's threads, not ours. Faults a thread's own
// access raises stay open: blocked, the kernel would kill the process
// instead of running a handler (the SIGBUS of a shrunk file, see
// MappingGuard, is met on these threads too).
#pragma once

#include <pthread.h>
#include <signal.h>

namespace sekvo {

// While it lives, threads started by this thread inherit that mask.
class ProcessSignalsBlocked {
public:
    ProcessSignalsBlocked() {
        sigset_t all_signals;
        sigfillset(&all_signals);
        for (int fault : {SIGBUS, SIGSEGV, SIGFPE, SIGILL}) sigdelset(&all_signals, fault);
        pthread_sigmask(SIG_BLOCK, &all_signals, &previous_);
    }
    ~ProcessSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    ProcessSignalsBlocked(const ProcessSignalsBlocked&) = delete;
    ProcessSignalsBlocked& operator=(const ProcessSignalsBlocked&) = delete;

private:
    sigset_t previous_;
};

}  // namespace sekvo
