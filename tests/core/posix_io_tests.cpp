// The POSIX I/O helpers: whole transfers across short reads and writes and
// across signals that interrupt them, reads at an offset that stop only at
// the end of the file, and the descriptor that closes itself.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "check.hpp"
#include "common/posix_io.hpp"
#include "test_files.hpp"

using namespace core_test;
using sekvo::FileDescriptor;

namespace {

void ignore_signal(int) {}

std::string patterned(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('A' + i % 23);
    return bytes;
}

}  // namespace

// A pipe holds far less than the text, so both ends see short transfers;
// a signal without SA_RESTART keeps interrupting the blocked reader.
CORE_TEST(pipe_transfers_are_whole_despite_short_transfers_and_signals) {
    struct sigaction action {};
    action.sa_handler = ignore_signal;  // no SA_RESTART: blocked calls fail with EINTR
    struct sigaction previous {};
    REQUIRE(::sigaction(SIGUSR1, &action, &previous) == 0);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction previous_pipe {};
    REQUIRE(::sigaction(SIGPIPE, &ignore, &previous_pipe) == 0);
    int ends[2];
    REQUIRE(::pipe(ends) == 0);
    FileDescriptor read_end(ends[0]), write_end(ends[1]);
    const std::string text = patterned(16 << 16);

    std::string received;
    int read_result = -1;
    std::atomic<bool> reading{true};
    std::thread reader([&] {
        read_result = sekvo::read_all(read_end.get(), received);
        read_end.reset();  // a reader that gave up fails the writes, not hangs them
        reading = false;
    });
    const pthread_t reader_thread = reader.native_handle();
    std::thread interrupter([&] {
        while (reading) {
            ::pthread_kill(reader_thread, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    // Chunks of 64 KiB, a pipe's usual capacity, with pauses in which the
    // reader waits in read(2) and the signals interrupt it.
    for (std::size_t done = 0; done < text.size(); done += 1 << 16) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (sekvo::write_all(write_end.get(), std::string_view(text).substr(done, 1 << 16)) != 0) break;
    }
    CHECK_EQ(write_end.close_checked(), 0);
    reader.join();
    interrupter.join();
    ::sigaction(SIGUSR1, &previous, nullptr);
    ::sigaction(SIGPIPE, &previous_pipe, nullptr);
    CHECK_EQ(read_result, 0);
    CHECK(received == text);
}

CORE_TEST(pread_full_stops_only_at_the_end_of_the_file) {
    TempDir dir;
    const std::string text = patterned(100000);
    write_file(dir / "data", text);
    FileDescriptor file(::open((dir / "data").c_str(), O_RDONLY | O_CLOEXEC));
    REQUIRE(file.is_open());
    std::string buffer(70000, '\0');
    CHECK_EQ(sekvo::pread_full(file.get(), buffer.data(), buffer.size(), 1000), ssize_t{70000});
    CHECK(buffer == text.substr(1000, 70000));
    CHECK_EQ(sekvo::pread_full(file.get(), buffer.data(), buffer.size(), 60000), ssize_t{40000});
    CHECK(buffer.compare(0, 40000, text, 60000, 40000) == 0);
    CHECK_EQ(sekvo::pread_full(file.get(), buffer.data(), buffer.size(), 100000), ssize_t{0});
    errno = 0;
    CHECK_EQ(sekvo::pread_full(-1, buffer.data(), buffer.size(), 0), ssize_t{-1});
    CHECK_EQ(errno, EBADF);
}

CORE_TEST(file_descriptor_closes_what_it_owns_once) {
    int fd = -1;
    {
        FileDescriptor file(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        fd = file.get();
        REQUIRE(fd >= 0);
        FileDescriptor moved(std::move(file));
        CHECK(!file.is_open());
        CHECK_EQ(moved.get(), fd);
    }
    CHECK(::fcntl(fd, F_GETFD) == -1 && errno == EBADF);
    FileDescriptor file(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    CHECK_EQ(file.close_checked(), 0);
    CHECK(!file.is_open());
}
