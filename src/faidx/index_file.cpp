#include "faidx/index_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "common/posix_io.hpp"
#include "faidx/fifo_open.hpp"
#include "faidx/file_lock.hpp"
#include "faidx/keyed_hash.hpp"
#include "faidx/unicode_whitespace.hpp"
#include "faidx/utf8.hpp"

namespace sekvo {

namespace {

void append_number(std::string& out, std::uint64_t value) {
    char digits[24];
    auto converted = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, converted.ptr);
}

// Writes straight into `path`, truncating it: for targets that are not
// regular files (a device such as /dev/null must not be replaced), for
// symbolic links and where the file cannot be replaced. A FIFO that gets
// no reader fails instead of waiting for one for ever. A regular file is
// truncated only once it is locked, so readers see the old text or the
// new, whole.
std::optional<Error> write_in_place(const std::string& path, const std::string& text) {
    // O_CREAT only when needed: with fs.protected_regular the kernel
    // refuses it on another user's file in a sticky shared directory.
    int fd = open_for_writing_bounded(path, /*create=*/false);
    if (fd < 0 && errno == ENOENT) fd = open_for_writing_bounded(path, /*create=*/true);
    FileDescriptor file(fd);
    if (file.get() < 0) return Error::io_from_errno(errno);
    struct stat info;
    if (::fstat(file.get(), &info) == 0 && S_ISREG(info.st_mode)) {
        if (int err = lock_whole_file(file.get(), /*exclusive=*/true)) return Error::io_from_errno(err);
        if (::ftruncate(file.get(), 0) != 0) return Error::io_from_errno(errno);
    }
    if (int err = write_all(file.get(), text)) return Error::io_from_errno(err);
    if (file.close_checked() != 0) return Error::io_from_errno(errno);
    return std::nullopt;
}

std::string directory_prefix(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string base_name(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Creates a new, uniquely named file beside `target`; the mode honours the
// umask as a plainly created index file would.
int create_temporary(const std::string& target, std::string& temp_path) {
    static_assert(sizeof(unsigned long long) == 8);
    for (int attempt = 0; attempt < 100; ++attempt) {
        HashKey random = HashKey::random();
        char suffix[40];
        std::snprintf(suffix, sizeof suffix, ".%d.%016llx.tmp", static_cast<int>(::getpid()),
                      static_cast<unsigned long long>(random.k0));
        temp_path = directory_prefix(target) + "." + base_name(target) + suffix;
        int fd = ::open(temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

// Strict unsigned decimal: an optional single "+", then digits only.
bool parse_u64(std::string_view text, std::uint64_t& value) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    auto parsed = std::from_chars(text.data(), text.data() + text.size(), value);
    return parsed.ec == std::errc() && parsed.ptr == text.data() + text.size();
}

std::optional<Error> parse_index_line(std::string_view line, NameTable& table) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!is_valid_utf8(reinterpret_cast<const unsigned char*>(line.data()), line.size()))
        return Error::io_custom(kInvalidUtf8Message);
    line = trim_whitespace(line);

    std::string_view fields[5];
    std::size_t count = 0;
    for (std::size_t begin = 0;;) {
        std::size_t tab = line.find('\t', begin);
        if (count == 5) return std::nullopt;  // a sixth field: not an index line
        fields[count++] = line.substr(begin, tab == std::string_view::npos ? tab : tab - begin);
        if (tab == std::string_view::npos) break;
        begin = tab + 1;
    }
    if (count != 5) return std::nullopt;

    static const char* const kColumnErrors[4] = {"Invalid rlen", "Invalid offset", "Invalid lenc",
                                                 "Invalid lenb"};
    std::uint64_t numbers[4];
    for (int i = 0; i < 4; ++i)
        if (!parse_u64(fields[i + 1], numbers[i]))
            return Error{ErrorKind::FastaIndexing, kColumnErrors[i]};
    table.insert(fields[0], IndexEntry{numbers[0], numbers[1], numbers[2], numbers[3]});
    return std::nullopt;
}

}  // namespace

std::string format_index(const std::vector<ScannedRecord>& records) {
    std::string text;
    std::size_t size = 0;
    for (const ScannedRecord& record : records) size += record.name.size() + 5 * 21;
    text.reserve(size);
    for (const ScannedRecord& record : records) {
        text.append(record.name).push_back('\t');
        append_number(text, record.entry.rlen);
        text.push_back('\t');
        append_number(text, record.entry.offset);
        text.push_back('\t');
        append_number(text, record.entry.lenc);
        text.push_back('\t');
        append_number(text, record.entry.lenb);
        text.push_back('\n');
    }
    return text;
}

std::optional<Error> write_index_file(const std::string& target, const std::string& text) {
    // A symbolic link is written through, never resolved and replaced: the
    // kernel then applies its rules on following links planted by others in
    // shared directories, and the link stays a link.
    struct stat existing;
    if (::lstat(target.c_str(), &existing) == 0 && S_ISLNK(existing.st_mode)) return write_in_place(target, text);
    bool exists = ::stat(target.c_str(), &existing) == 0;
    if (exists && !S_ISREG(existing.st_mode) && !S_ISDIR(existing.st_mode))
        return write_in_place(target, text);
    const bool replaces_file = exists && S_ISREG(existing.st_mode);
    if (replaces_file) {
        // A file we may not write stays as it is, just as truncating it would fail.
        FileDescriptor probe(::open(target.c_str(), O_WRONLY | O_CLOEXEC));
        if (!probe.is_open()) return Error::io_from_errno(errno);
    }

    std::string temp_path;
    FileDescriptor file(create_temporary(target, temp_path));
    if (file.get() < 0) {
        // A writable index in a directory we may not add files to is still
        // rewritten, in place, as it always could be.
        if (replaces_file && (errno == EACCES || errno == EPERM)) return write_in_place(target, text);
        return Error::io_from_errno(errno);
    }
    auto fail = [&](int err) {
        ::unlink(temp_path.c_str());
        return Error::io_from_errno(err);
    };
    if (replaces_file) {
        // Keep the replaced file's permissions and, where allowed, its owner.
        ::fchmod(file.get(), existing.st_mode & 07777);
        if (::fchown(file.get(), existing.st_uid, existing.st_gid) != 0) {
            // Not permitted for ordinary users; the file is theirs then.
        }
    }
    if (int err = write_all(file.get(), text)) return fail(err);
    if (file.close_checked() != 0) return fail(errno);
    if (::rename(temp_path.c_str(), target.c_str()) != 0) {
        const int err = errno;
        ::unlink(temp_path.c_str());
        // A sticky directory refuses to replace another user's file, which
        // may still be ours to write.
        if (replaces_file && (err == EPERM || err == EACCES)) return write_in_place(target, text);
        return Error::io_from_errno(err);
    }
    return std::nullopt;
}

std::optional<Error> load_index_file(const std::string& path, NameTable& table) {
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (file.get() < 0) return Error{ErrorKind::IndexNotFound, path};
    if (int err = await_fifo_writer(file.get())) return Error::io_from_errno(err);
    struct stat info;
    if (::fstat(file.get(), &info) == 0 && S_ISREG(info.st_mode)) {
        if (int err = lock_whole_file(file.get(), /*exclusive=*/false)) return Error::io_from_errno(err);
    }
    std::string text;
    if (int err = read_all(file.get(), text)) return Error::io_from_errno(err);
    return load_index_text(text, table);
}

std::optional<Error> load_index_text(std::string_view text, NameTable& table) {
    std::string_view rest(text);
    table.reserve(static_cast<std::size_t>(std::count(rest.begin(), rest.end(), '\n')) + 1);
    while (!rest.empty()) {
        std::size_t line_feed = rest.find('\n');
        std::string_view line = rest.substr(0, line_feed);
        rest.remove_prefix(line_feed == std::string_view::npos ? rest.size() : line_feed + 1);
        if (auto error = parse_index_line(line, table)) return error;
    }
    return std::nullopt;
}

}  // namespace sekvo
