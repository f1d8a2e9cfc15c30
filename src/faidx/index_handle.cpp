#include "faidx/index_handle.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "faidx/fasta_scan.hpp"
#include "faidx/index_file.hpp"
#include "faidx/mapping_guard.hpp"

namespace sekvo {

namespace {

bool has_nul(const std::string& path) { return path.find('\0') != std::string::npos; }

// stat(2) that treats a path with an embedded NUL as unreadable instead of
// silently looking at a shorter path.
bool stat_path(const std::string& path, struct stat& info) {
    return !has_nul(path) && ::stat(path.c_str(), &info) == 0;
}

bool file_size(int fd, std::uint64_t& size) {
    struct stat info;
    if (::fstat(fd, &info) != 0 || info.st_size < 0) return false;
    size = static_cast<std::uint64_t>(info.st_size);
    return true;
}

bool later_than(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec > b.tv_nsec;
}

}  // namespace

// Opening is done by this friend so that the handle's fields are filled in
// one place and a failure anywhere simply drops the half-built handle,
// whose destructor releases the file or mapping.
class IndexHandleBuilder {
public:
    static Result<std::unique_ptr<IndexHandle>> open(OpenOptions options);
    static Result<std::vector<ScannedRecord>> scan_records(OpenOptions options);

private:
    // The handle with the FASTA file open (and mapped when it can be), no index yet.
    static Result<std::unique_ptr<IndexHandle>> open_fasta(OpenOptions options);
    static Result<std::vector<ScannedRecord>> scan(IndexHandle& handle);
    static void make_readable(IndexHandle& handle);
    static bool index_needs_build(const IndexHandle& handle);
    static std::optional<Error> build(IndexHandle& handle);
};

Result<std::unique_ptr<IndexHandle>> IndexHandle::open(OpenOptions options) {
    return IndexHandleBuilder::open(std::move(options));
}

IndexHandle::~IndexHandle() {
    if (mapping_ != nullptr)
        ::munmap(const_cast<unsigned char*>(mapping_), static_cast<std::size_t>(mapping_size_));
}

bool IndexHandle::mapped_file_shrank() const {
    std::uint64_t size = 0;
    return mapped_fd_.is_open() && file_size(mapped_fd_.get(), size) && size < mapping_size_;
}

Result<std::vector<ScannedRecord>> IndexHandle::scan_records(OpenOptions options) {
    return IndexHandleBuilder::scan_records(std::move(options));
}

Result<std::unique_ptr<IndexHandle>> IndexHandleBuilder::open(OpenOptions options) {
    Result<std::unique_ptr<IndexHandle>> opened = open_fasta(std::move(options));
    if (!opened) return opened;
    std::unique_ptr<IndexHandle> handle = opened.take();
    if (index_needs_build(*handle)) {
        if (auto error = build(*handle)) return std::move(*error);
    } else {
        if (has_nul(handle->index_path_)) return Error{ErrorKind::IndexNotFound, handle->index_path_};
        if (auto error = load_index_file(handle->index_path_, handle->table_))
            return std::move(*error);
    }
    return handle;
}

Result<std::vector<ScannedRecord>> IndexHandleBuilder::scan_records(OpenOptions options) {
    Result<std::unique_ptr<IndexHandle>> opened = open_fasta(std::move(options));
    if (!opened) return std::move(opened.error());
    return scan(*opened.value());
}

Result<std::unique_ptr<IndexHandle>> IndexHandleBuilder::open_fasta(OpenOptions options) {
    std::unique_ptr<IndexHandle> handle(new IndexHandle());
    handle->options_ = std::move(options);
    const OpenOptions& settings = handle->options_;
    handle->index_path_ = settings.indexname ? *settings.indexname : settings.filename + ".fai";

    struct stat fasta_info;
    if (!stat_path(settings.filename, fasta_info))
        return Error{ErrorKind::FastaNotFound, settings.filename};

    // O_NONBLOCK: opening a FIFO that no process writes to would wait
    // forever. A pipe or socket cannot be read at random, so it is refused.
    int flags = (settings.mutable_file ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NONBLOCK;
    handle->fd_.reset(::open(settings.filename.c_str(), flags));
    if (!handle->fd_.is_open()) return Error::io_from_errno(errno);
    struct stat opened;
    if (::fstat(handle->fd_.get(), &opened) == 0 && (S_ISFIFO(opened.st_mode) || S_ISSOCK(opened.st_mode)))
        return Error::io_from_errno(ESPIPE);
    ::fcntl(handle->fd_.get(), F_SETFL, ::fcntl(handle->fd_.get(), F_GETFL) & ~O_NONBLOCK);
    if (!settings.mutable_file) make_readable(*handle);
    return handle;
}

// Maps the whole file read-only, keeping it open only to ask its size;
// when the size cannot be read or the mapping fails, the open file serves
// instead.
void IndexHandleBuilder::make_readable(IndexHandle& handle) {
    std::uint64_t size = 0;
    if (!file_size(handle.fd_.get(), size)) return;
    if (size == 0) {
        handle.mapping_is_empty_file_ = true;
    } else {
        void* address = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ, MAP_PRIVATE, handle.fd_.get(), 0);
        if (address == MAP_FAILED) return;
        handle.mapping_ = static_cast<const unsigned char*>(address);
        handle.mapping_size_ = size;
        install_mapping_fault_handler();
        handle.mapped_fd_ = std::move(handle.fd_);
        return;
    }
    handle.fd_.reset();
}

bool IndexHandleBuilder::index_needs_build(const IndexHandle& handle) {
    const OpenOptions& settings = handle.options_;
    struct stat index_info;
    if (!stat_path(handle.index_path_, index_info)) return settings.build_index;
    struct stat fasta_info;
    return stat_path(settings.filename, fasta_info) && settings.build_index && settings.rebuild &&
           later_than(fasta_info.st_mtim, index_info.st_mtim);
}

Result<std::vector<ScannedRecord>> IndexHandleBuilder::scan(IndexHandle& handle) {
    Result<std::vector<ScannedRecord>> scanned = Error::io_custom("");
    if (handle.has_mapping()) {
        MappingGuard guard(handle.mapping_, handle.mapping_size_, handle.mapping_failed_,
                           handle.mapped_fd_.get());
        scanned = scan_fasta(handle.mapping_, handle.mapping_size_, &handle.mapping_failed_);
        if (handle.mapped_file_shrank()) handle.mapping_failed_ = true;
    } else {
        scanned = scan_fasta_file(handle.fd_.get());
    }
    if (handle.mapping_failed_)
        return Error::io_custom("FASTA file was truncated or became unreadable while open");
    return scanned;
}

std::optional<Error> IndexHandleBuilder::build(IndexHandle& handle) {
    Result<std::vector<ScannedRecord>> scanned = scan(handle);
    if (!scanned) return std::move(scanned.error());
    std::vector<ScannedRecord>& records = scanned.value();

    if (has_nul(handle.index_path_)) return Error::io_from_errno(EINVAL);
    if (auto error = write_index_file(handle.index_path_, format_index(records))) return error;

    handle.table_.reserve(records.size());
    for (const ScannedRecord& record : records) handle.table_.insert(record.name, record.entry);
    return std::nullopt;
}

}  // namespace sekvo
