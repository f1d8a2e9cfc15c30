#include "faidx/output_sink.hpp"

#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <utility>

namespace sekvo {

OutputSink::OutputSink(int fd)
    : fd_(fd), pending_(kWriteSize * 2) {}

OutputSink::OutputSink(int fd, Background) : OutputSink(fd) { jobs_ = std::make_unique<SerialJobs>(); }

char* OutputSink::claim(std::size_t size) {
    if (size > pending_.size() - size_) {
        // Only a record piece larger than the usual room gets here.
        ByteBuffer larger(std::max(pending_.size() * 2, size_ + size));
        std::memcpy(larger.data(), pending_.data(), size_);
        pending_ = std::move(larger);
    }
    char* out = pending_.data() + size_;
    size_ += size;
    return out;
}

char* OutputSink::claim_block(std::size_t size) {
    if (size > pending_.size() - size_) write_pending();
    return claim(size);
}

void OutputSink::append(std::string_view text) {
    if (!text.empty()) std::memcpy(claim(text.size()), text.data(), text.size());
}

void OutputSink::flush() {
    if (jobs_) jobs_->wait();
    write_pending();
}

void OutputSink::write_pending() {
    const char* data = pending_.data();
    std::size_t left = error() == 0 ? size_ : 0;
    while (left > 0) {
        const ssize_t wrote = ::write(fd_, data, left);
        if (wrote < 0) {
            if (errno == EINTR) continue;
            error_.store(errno, std::memory_order_relaxed);
            break;
        }
        data += wrote;
        left -= static_cast<std::size_t>(wrote);
    }
    size_ = 0;
}

void OutputSink::fail(Error error) {
    std::lock_guard lock(failure_mutex_);
    if (!failure_) failure_ = std::move(error);
}

bool OutputSink::failed() {
    std::lock_guard lock(failure_mutex_);
    return failure_.has_value();
}

std::optional<Error> OutputSink::take_failure() {
    std::lock_guard lock(failure_mutex_);
    if (!failure_ || failure_taken_) return std::nullopt;
    failure_taken_ = true;
    return failure_;
}

}  // namespace sekvo
