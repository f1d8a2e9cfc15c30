#include "common/error.hpp"

#include <cstring>

namespace sekvo {

Error Error::io_from_errno(int errnum) {
    return Error{ErrorKind::IO, std::string(), errnum};
}

Error Error::io_custom(std::string text) {
    return Error{ErrorKind::IO, std::move(text), 0};
}

std::string Error::detail_text() const {
    if (kind == ErrorKind::IO && os_error != 0) {
        char buffer[256];
        // GNU strerror_r may return a static string instead of filling buffer.
        const char* message = strerror_r(os_error, buffer, sizeof buffer);
        return std::string(message) + " (os error " + std::to_string(os_error) + ")";
    }
    return detail;
}

namespace {

struct KindTexts {
    const char* display;
    const char* exception;
};

KindTexts texts_of(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::FastaNotFound: return {"FASTA file not found: ", "FastaNotFoundError: "};
        case ErrorKind::IndexNotFound: return {"Index file not found: ", "IndexNotFoundError: "};
        case ErrorKind::Fetch: return {"Fetch error: ", "FetchError: "};
        case ErrorKind::FastaIndexing: return {"Indexing error: ", "FastaIndexingError: "};
        case ErrorKind::IO: return {"IO error: ", "IOError: "};
        case ErrorKind::Region: return {"Invalid region: ", "RegionError: "};
        case ErrorKind::OutOfRange:
        case ErrorKind::BatchFailed: break;
    }
    return {"", ""};
}

}  // namespace

std::string Error::display_text() const {
    return texts_of(kind).display + detail_text();
}

std::string Error::exception_message() const {
    return texts_of(kind).exception + detail_text();
}

}  // namespace sekvo
