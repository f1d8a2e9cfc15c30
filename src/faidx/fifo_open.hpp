// Opening an index path that may name a FIFO without blocking for ever.
//
// open(2) on a FIFO waits until a process opens its other end, which may
// never happen. These calls open without waiting and then give the other
// end (a writer for reads, a reader for writes) a bounded time to arrive,
// so a pipe set up alongside the caller works and a dead one fails. Regular
// files, devices and pipes that already have their peer are not delayed.
// The descriptors returned block as usual.
#pragma once

#include <string>

namespace sekvo {

inline constexpr int kFifoPeerWaitMilliseconds = 2000;

// For a descriptor opened with O_NONBLOCK for reading: on a FIFO, waits for
// a writer's data or end of file, then makes the descriptor blocking.
// 0, or ETIMEDOUT when no writer came.
int await_fifo_writer(int fd);

// open(2) of `path` for writing, close-on-exec, never truncating it (the
// caller truncates once it holds the file's lock); with `create`, creating
// it (mode 0666 less the umask). -1 with errno on failure; ENXIO when the
// path is a FIFO that no reader opened in time.
int open_for_writing_bounded(const std::string& path, bool create);

}  // namespace sekvo
