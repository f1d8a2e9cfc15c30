// Advisory whole-file locks (flock) on an index file: exclusive while it is
// rewritten in place, shared while it is read, so that a reader sees the
// old index or the new one, whole, never a half-written one.
#pragma once

namespace sekvo {

// Waited for at most this long; a lock held longer (a stuck or hostile
// process) makes the open fail instead of hang.
inline constexpr int kFileLockWaitMilliseconds = 10000;

// Locks the open file `fd`, shared or exclusive, until it is closed,
// letting the interpreter run other threads while it waits. 0 on success
// and where the file system offers no flock (the file is then used
// unlocked, as before); EWOULDBLOCK when the wait ran out.
int lock_whole_file(int fd, bool exclusive);

}  // namespace sekvo
