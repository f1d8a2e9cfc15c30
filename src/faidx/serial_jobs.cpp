#include "faidx/serial_jobs.hpp"

#include <signal.h>

#include <utility>

namespace sekvo {

SerialJobs::SerialJobs() {
    sigset_t all_signals;
    sigset_t previous;
    sigfillset(&all_signals);
    for (int fault : {SIGBUS, SIGSEGV, SIGFPE, SIGILL}) sigdelset(&all_signals, fault);
    pthread_sigmask(SIG_BLOCK, &all_signals, &previous);
    try {
        thread_ = std::thread([this] { run(); });
    } catch (...) {
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        throw;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

SerialJobs::~SerialJobs() {
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return !queued_ && !running_; });
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void SerialJobs::rethrow_failure() {
    if (failure_) {
        queued_.reset();
        std::rethrow_exception(std::exchange(failure_, nullptr));
    }
}

void SerialJobs::post(std::function<void()> job) {
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return !queued_ || failure_; });
        rethrow_failure();
        queued_ = std::move(job);
    }
    changed_.notify_all();
}

void SerialJobs::wait() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return (!queued_ && !running_) || failure_; });
    changed_.wait(lock, [this] { return !running_; });
    rethrow_failure();
}

void SerialJobs::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return queued_ || stopping_; });
        if (!queued_) return;
        std::exception_ptr failed;
        {
            std::function<void()> job = std::move(*queued_);
            queued_.reset();
            running_ = true;
            lock.unlock();
            changed_.notify_all();  // room for the next job
            try {
                job();
            } catch (...) {
                failed = std::current_exception();
            }
        }  // the job's captures are released before the lock is taken again
        lock.lock();
        running_ = false;
        if (failed && !failure_) failure_ = failed;
        if (failure_) queued_.reset();
        changed_.notify_all();
    }
}

}  // namespace sekvo
