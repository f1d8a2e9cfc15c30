// Jobs run one after another on a thread of their own, so that the thread
// that posts them can go on with other work (the command line reads the
// next window of BED lines while the last one is fetched and written).
#pragma once

#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace sekvo {

class SerialJobs {
public:
    // Starts the thread, with the process's signals blocked (see
    // thread_signals.hpp).
    SerialJobs();
    // Waits for the jobs posted, then ends the thread.
    ~SerialJobs();
    SerialJobs(const SerialJobs&) = delete;
    SerialJobs& operator=(const SerialJobs&) = delete;

    // Queues `job` after those posted before; waits while one is already
    // queued, so at most two are held (one running, one waiting). An
    // exception a job threw is rethrown here or by wait(), and the jobs
    // after it are dropped.
    void post(std::function<void()> job);
    // Returns once every job posted has finished.
    void wait();

private:
    void run();
    void rethrow_failure();  // with the lock held

    std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<std::function<void()>> queued_;
    bool running_ = false;
    bool stopping_ = false;
    std::exception_ptr failure_;
    std::thread thread_;
};

}  // namespace sekvo
