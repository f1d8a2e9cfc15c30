#include "faidx/block_index_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "common/posix_io.hpp"
#include "faidx/block_table.hpp"
#include "faidx/fifo_open.hpp"
#include "faidx/index_file.hpp"

namespace sekvo {

namespace {

// 0 on success, else errno.
int read_file(const std::string& path, std::string& out) {
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!file.is_open()) return errno;
    if (int err = await_fifo_writer(file.get())) return err;
    return read_all(file.get(), out);
}

}  // namespace

std::optional<Error> load_block_index(const std::string& path, BgzfSource& source) {
    if (path.find('\0') != std::string::npos) return Error{ErrorKind::IndexNotFound, path};
    std::string bytes;
    if (int err = read_file(path, bytes)) {
        if (err == ENOENT) return Error{ErrorKind::IndexNotFound, path};
        return Error::io_from_errno(err);
    }
    std::string problem;
    std::optional<BlockTable> table = parse_gzi(bytes, source.compressed_size(), problem);
    if (!table)
        return Error::io_custom("'" + path + "' is not a block index of '" + source.path() + "': it " + problem);
    return source.use_table(std::move(*table), false);
}

std::optional<Error> build_block_index(const std::string& path, BgzfSource& source) {
    Result<BlockTable> table = source.read_block_headers();
    if (!table) return std::move(table.error());
    std::string text = format_gzi(table.value());
    if (auto error = source.use_table(table.take(), true)) return error;
    if (path.empty()) return std::nullopt;
    if (path.find('\0') != std::string::npos) return Error::io_from_errno(EINVAL);
    return write_index_file(path, text);
}

}  // namespace sekvo
