// Output to a file descriptor in large writes, for the command line.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include "common/error.hpp"
#include "faidx/byte_buffer.hpp"
#include "faidx/serial_jobs.hpp"

namespace sekvo {

class OutputSink {
public:
    // Bytes are written once this many are pending: large writes, from a
    // buffer small enough that faulting it in costs little.
    static constexpr std::size_t kWriteSize = std::size_t{1} << 20;

    explicit OutputSink(int fd);
    // A sink that takes jobs (see post()): record windows are then fetched
    // and written on a thread of their own while the caller reads on.
    enum Background { background };
    OutputSink(int fd, Background);
    OutputSink(const OutputSink&) = delete;
    OutputSink& operator=(const OutputSink&) = delete;

    // Room for `size` more bytes, to be filled by the caller at once.
    char* claim(std::size_t size);
    // Room for a block of `size` bytes, after what is pending, which is
    // written first when the block would not fit beside it.
    char* claim_block(std::size_t size);
    // Gives back the last `size` bytes claimed, unwritten.
    void unclaim(std::size_t size) { size_ -= size; }
    void append(std::string_view text);
    void put(char c) { *claim(1) = c; }
    // Writes what is pending once enough is; flush() waits for the jobs
    // posted and writes it all.
    void write_if_full() {
        if (size_ >= kWriteSize) write_pending();
    }
    void flush();

    // The errno of the first failed write, or 0. After a failure output is
    // dropped: the caller reports the error and stops.
    int error() const { return error_.load(std::memory_order_relaxed); }

    // Jobs: run in the order posted, on the sink's thread; only they use the
    // sink until flush() (or the sink's end) has waited for them.
    bool takes_jobs() const { return jobs_ != nullptr; }
    void post(std::function<void()> job) { jobs_->post(std::move(job)); }
    // A job's failure, kept for the caller: the first one, taken once;
    // failed() stays true after, so that later jobs write nothing.
    void fail(Error error);
    bool failed();
    std::optional<Error> take_failure();

private:
    void write_pending();

    int fd_;
    std::atomic<int> error_{0};
    // Not zeroed: every byte is written before use.
    ByteBuffer pending_;
    std::size_t size_ = 0;
    std::mutex failure_mutex_;
    std::optional<Error> failure_;
    bool failure_taken_ = false;
    // Last: its end waits for the jobs, which use the members above.
    std::unique_ptr<SerialJobs> jobs_;
};

}  // namespace sekvo
