// Error values of the index and retrieval core.
//
// The core never raises Python exceptions: it returns an Error, and the
// binding layer turns it into the matching Python exception while holding
// the interpreter lock. The first six kinds are the FaidxError kinds; the
// last two are conditions the binding raises as built-in exception types.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace sekvo {

enum class ErrorKind {
    FastaNotFound,  // "FASTA file not found: " / "FastaNotFoundError: "
    IndexNotFound,  // "Index file not found: " / "IndexNotFoundError: "
    Fetch,          // "Fetch error: "          / "FetchError: "
    FastaIndexing,  // "Indexing error: "       / "FastaIndexingError: "
    IO,             // "IO error: "             / "IOError: "
    Region,         // "Invalid region: "       / "RegionError: "
    OutOfRange,     // raised as IndexError with `detail` as the message
    BatchFailed,    // raised as RuntimeError with `detail` as the message
};

struct Error {
    ErrorKind kind;
    std::string detail;
    // IO errors only: the operating system's error number, or 0 when
    // `detail` is a custom text ("No file handle available", ...).
    int os_error = 0;

    static Error io_from_errno(int errnum);
    static Error io_custom(std::string text);

    // The detail as text; an OS error renders as "<message> (os error N)".
    std::string detail_text() const;
    // Human sentence used inside other messages ("Fetch error: ...").
    std::string display_text() const;
    // Message of the Python exception ("FetchError: ...").
    std::string exception_message() const;
};

// A value or an Error; a small stand-in for std::expected (C++23).
template <class T>
class Result {
public:
    Result(T value) : v_(std::move(value)) {}
    Result(Error error) : v_(std::move(error)) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() { return std::get<0>(v_); }
    const T& value() const { return std::get<0>(v_); }
    T&& take() { return std::get<0>(std::move(v_)); }
    Error& error() { return std::get<1>(v_); }
    const Error& error() const { return std::get<1>(v_); }

private:
    std::variant<T, Error> v_;
};

}  // namespace sekvo
