#include "faidx/serial_jobs.hpp"

#include <utility>

#include "faidx/thread_signals.hpp"

namespace sekvo {

SerialJobs::SerialJobs() {
    ProcessSignalsBlocked blocked;
    thread_ = std::thread([this] { run(); });
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
