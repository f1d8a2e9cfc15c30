// Helpers for core tests that work on real files: a private temporary
// directory, whole-file reads and writes, and capture of standard error.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "faidx/index_handle.hpp"

namespace core_test {

// Residues drawn from ACGT, acgt and N, the same for the same seed.
inline std::string random_residues(std::size_t length, unsigned seed) {
    static const char alphabet[] = "ACGTacgtN";
    std::mt19937 rng(seed);
    std::string out;
    for (std::size_t i = 0; i < length; ++i) out += alphabet[rng() % 9];
    return out;
}

// FASTA text of (header, residues) records in lines of `width`.
inline std::string fasta_text(const std::vector<std::pair<std::string, std::string>>& records,
                              std::size_t width, const std::string& eol) {
    std::string out;
    for (const auto& [header, seq] : records) {
        out += ">" + header + eol;
        for (std::size_t i = 0; i < seq.size(); i += width) out += seq.substr(i, width) + eol;
    }
    return out;
}

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/sekvo-core-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

inline void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool file_exists(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0;
}

// Sets both time stamps of `path`, to the nanosecond.
inline void set_mtime(const std::string& path, long long seconds, long nanoseconds) {
    struct timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
    if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) throw std::runtime_error("utimensat");
}

// Redirects file descriptor 2 into a temporary file until text() is called.
class StderrCapture {
public:
    StderrCapture() {
        std::fflush(stderr);
        saved_ = ::dup(2);
        std::FILE* file = std::tmpfile();
        if (saved_ < 0 || file == nullptr) throw std::runtime_error("cannot capture stderr");
        file_.reset(file);
        ::dup2(::fileno(file), 2);
    }
    ~StderrCapture() { restore(); }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    // Everything written so far; capturing ends.
    std::string text() {
        restore();
        std::string out;
        std::rewind(file_.get());
        char buffer[4096];
        std::size_t got;
        while ((got = std::fread(buffer, 1, sizeof buffer, file_.get())) > 0) out.append(buffer, got);
        return out;
    }

private:
    void restore() {
        if (saved_ < 0) return;
        std::fflush(stderr);
        ::dup2(saved_, 2);
        ::close(saved_);
        saved_ = -1;
    }

    int saved_ = -1;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file_{nullptr, &std::fclose};
};

inline sekvo::Result<std::unique_ptr<sekvo::IndexHandle>> open_fasta(
    const std::string& path, const std::function<void(sekvo::OpenOptions&)>& adjust = {}) {
    sekvo::OpenOptions options;
    options.filename = path;
    if (adjust) adjust(options);
    return sekvo::IndexHandle::open(std::move(options));
}

}  // namespace core_test
