#include "lib/command_line_functions.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <tuple>
#include <string>
#include <vector>

#include "faidx/bed_records.hpp"
#include "faidx/output_sink.hpp"
#include "faidx/record_output.hpp"
#include "faidx/region_lines.hpp"
#include "faidx/utf8.hpp"
#include "lib/index_settings.hpp"
#include "lib/binding/binding.hpp"
#include "lib/classes.hpp"
#include "lib/core_values.hpp"

namespace sekvo {

namespace {

using namespace binding;

// OSError(errno, strerror, what): the subclass follows errno
// (BrokenPipeError for EPIPE); `what` says which side failed.
PyObject* raise_os_error(int error, const char* what) {
    Ref args = Ref::steal(Py_BuildValue("(iss)", error, std::strerror(error), what));
    if (args) PyErr_SetObject(PyExc_OSError, args.get());
    return nullptr;
}

const IndexHandle* handle_of(PyObject* faidx) {
    Box<OpenedIndex>* box = nullptr;
    if (!extract_instance(faidx, faidx_type(), box)) return nullptr;
    return box->value.handle.get();
}

bool extract_fd(const char* parameter, PyObject* object, int& fd) {
    std::int64_t value = -1;
    if (!extract_argument(parameter, object, value)) return false;
    if (value < 0 || value > INT32_MAX) {
        PyErr_Format(PyExc_ValueError, "%s: not a file descriptor", parameter);
        return false;
    }
    fd = static_cast<int>(value);
    return true;
}

PyObject* skips_list(std::vector<BedSkip>&& skips) {
    return list_from(skips.size(), [&](std::size_t i) {
        const BedSkip& skip = skips[i];
        static const char* const kinds[] = {"unknown_name", "empty", "past_end"};
        Ref name = Ref::steal(to_python(skip.name));
        if (!name) return static_cast<PyObject*>(nullptr);
        return Py_BuildValue("(sKOKKK)", kinds[skip.kind], static_cast<unsigned long long>(skip.line), name.get(),
                             static_cast<unsigned long long>(skip.start), static_cast<unsigned long long>(skip.end),
                             static_cast<unsigned long long>(skip.length));
    });
}

// Text inputs are read in pieces of this size into one buffer.
constexpr std::size_t kReadSize = std::size_t{1} << 20;

// One read(2) of up to `size` bytes, retried when a signal interrupts it
// unless the signal was ^C; called without the GIL. The bytes read, 0 at
// the end, -1 with `error` set.
ssize_t read_piece(int fd, char* buffer, std::size_t size, int& error) {
    ssize_t got = 0;
    do {
        got = ::read(fd, buffer, size);
    } while (got < 0 && errno == EINTR && !PyOS_InterruptOccurred());
    if (got < 0) error = errno;
    return got;
}

// The optional `prefix` argument: the first bytes of an input, which the
// caller read to tell gzip from plain text.
bool extract_prefix(PyObject* object, std::string& prefix) {
    if (object == nullptr) return true;
    if (!PyBytes_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "prefix: expected bytes");
        return false;
    }
    prefix.assign(PyBytes_AS_STRING(object), static_cast<std::size_t>(PyBytes_GET_SIZE(object)));
    return true;
}

// Hands the lines read and the intervals skipped so far to `report`.
bool report_progress(PyObject* report, BedRecordStream& stream) {
    if (PyErr_CheckSignals() < 0) return false;  // ^C: KeyboardInterrupt
    std::vector<BedSkip> skips = stream.take_skips();
    if (report == Py_None) return true;
    Ref list = Ref::steal(skips_list(std::move(skips)));
    if (!list) return false;
    Ref done = Ref::steal(
        PyObject_CallFunction(report, "KO", static_cast<unsigned long long>(stream.lines_read()), list.get()));
    return static_cast<bool>(done);
}

// _write_bed_records(faidx, bed_fd, out_fd, header, strand, keep_going, tab, rna, report, prefix)
// Reads BED text (`prefix` bytes, already read by the caller, then bed_fd
// to its end) and writes a record for each
// interval to out_fd. header: 0 chrom:start-end, 1 name::chrom:start-end,
// 2 name. report(lines_read, skips) is called after each piece read (skips:
// (kind, line, name, start, end, length) tuples). A bad line raises
// ValueError("line N: ..."); failed reads and writes raise OSError whose
// filename is "bed" or "output". Returns the number of records written.
PyObject* write_bed_records(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature{
        "_write_bed_records()",
        {"faidx", "bed_fd", "out_fd", "header", "strand", "keep_going", "tab", "rna", "report", "prefix"}, 9};
    PyObject* argv[10];
    if (!parse_arguments(signature, args, nargs, kwnames, argv)) return nullptr;
    const IndexHandle* handle = handle_of(argv[0]);
    int bed_fd = -1;
    int out_fd = -1;
    std::int64_t header = 0;
    BedRecordOptions options;
    if (handle == nullptr || !extract_fd("bed_fd", argv[1], bed_fd) || !extract_fd("out_fd", argv[2], out_fd) ||
        !extract_argument("header", argv[3], header) || !extract_argument("strand", argv[4], options.strand) ||
        !extract_argument("keep_going", argv[5], options.keep_going) ||
        !extract_argument("tab", argv[6], options.layout.tab) || !extract_argument("rna", argv[7], options.layout.rna))
        return nullptr;
    if (header < 0 || header > 2) {
        PyErr_SetString(PyExc_ValueError, "header: expected 0, 1 or 2");
        return nullptr;
    }
    options.header = static_cast<BedHeader>(header);
    PyObject* report = argv[8];
    std::string prefix;
    if (!extract_prefix(argv[9], prefix)) return nullptr;

    // Windows are fetched and written on the sink's thread while this one
    // reads the next lines.
    OutputSink sink(out_fd, OutputSink::background);
    BedRecordStream stream(*handle, options, sink);
    stream.feed(prefix);
    std::unique_ptr<char[]> piece = std::make_unique_for_overwrite<char[]>(kReadSize);
    int read_error = 0;
    for (;;) {
        ssize_t got = 0;
        bool fed = true;
        Py_BEGIN_ALLOW_THREADS
        got = read_piece(bed_fd, piece.get(), kReadSize, read_error);
        if (got > 0) fed = stream.feed(std::string_view(piece.get(), static_cast<std::size_t>(got)));
        else if (got == 0) fed = stream.finish();
        Py_END_ALLOW_THREADS
        if (!report_progress(report, stream)) return nullptr;
        if (read_error != 0) return raise_os_error(read_error, "bed");
        if (!fed || got == 0) break;
    }
    if (stream.problem()) {
        return PyErr_Format(PyExc_ValueError, "line %llu: %s",
                            static_cast<unsigned long long>(stream.problem()->line), stream.problem()->message.c_str());
    }
    if (stream.error()) return raise(*stream.error());
    if (std::optional<Error> failed = sink.take_failure()) return raise(*failed);
    if (sink.error() != 0) return raise_os_error(sink.error(), "output");
    return PyLong_FromUnsignedLongLong(stream.records_written());
}

// _write_region_records(faidx, out_fd, names, starts, ends, headers, line_width, reverse)
// One window of records: residues starts[i]..ends[i] (1-based, inclusive,
// within the record; ends[i] < starts[i] for an empty record) of names[i]
// after the header headers[i], wrapped at line_width (0: one line),
// reverse-complemented when `reverse`. Write failures raise OSError
// (filename "output"). Returns (i, residues, wanted) for each record that
// came out shorter than asked (a FASTA file shorter than its index says).
PyObject* write_region_records(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature{
        "_write_region_records()",
        {"faidx", "out_fd", "names", "starts", "ends", "headers", "line_width", "reverse"}, 8};
    PyObject* argv[8];
    if (!parse_arguments(signature, args, nargs, kwnames, argv)) return nullptr;
    const IndexHandle* handle = handle_of(argv[0]);
    int out_fd = -1;
    std::vector<std::string> names;
    std::vector<std::uint64_t> starts;
    std::vector<std::uint64_t> ends;
    std::vector<std::string> headers;
    std::uint64_t width = 0;
    bool reverse = false;
    if (handle == nullptr || !extract_fd("out_fd", argv[1], out_fd) || !extract_argument("names", argv[2], names) ||
        !extract_argument("starts", argv[3], starts) || !extract_argument("ends", argv[4], ends) ||
        !extract_argument("headers", argv[5], headers) || !extract_argument("line_width", argv[6], width) ||
        !extract_argument("reverse", argv[7], reverse))
        return nullptr;
    if (starts.size() != names.size() || ends.size() != names.size() || headers.size() != names.size()) {
        PyErr_SetString(PyExc_ValueError, "names, starts, ends and headers must have the same length");
        return nullptr;
    }
    RecordLayout layout;
    layout.line_width = static_cast<std::size_t>(width);
    OutputSink sink(out_fd);
    std::optional<Error> failed;
    std::vector<RecordWindow::ShortRecord> short_records;
    Py_BEGIN_ALLOW_THREADS
    RecordWindow window;
    std::size_t window_begin = 0;
    for (std::size_t i = 0; i < names.size() && !failed && sink.error() == 0; ++i) {
        window.add(headers[i], names[i], starts[i], ends[i], reverse);
        if (window.full() || i + 1 == names.size()) {
            const std::size_t before = short_records.size();
            failed = window.write(*handle, layout, sink, &short_records);
            for (std::size_t k = before; k < short_records.size(); ++k) short_records[k].index += window_begin;
            window_begin = i + 1;
            window.clear();
        }
    }
    if (!failed) sink.flush();
    Py_END_ALLOW_THREADS
    if (failed) return raise(*failed);
    if (sink.error() != 0) return raise_os_error(sink.error(), "output");
    return list_from(short_records.size(), [&](std::size_t k) {
        const RecordWindow::ShortRecord& record = short_records[k];
        return Py_BuildValue("(nKK)", static_cast<Py_ssize_t>(record.index),
                             static_cast<unsigned long long>(record.residues),
                             static_cast<unsigned long long>(record.wanted));
    });
}

// Writes the window to the sink (the output opened by `opener()`, which
// returns its descriptor, on the first write) and clears it; records that
// came out short are added to `short_records` as (header, residues, wanted).
bool write_line_window(const IndexHandle& handle, const RecordLayout& layout, RecordWindow& window,
                       PyObject* opener, std::optional<OutputSink>& sink, Ref& short_records) {
    if (!sink) {
        int fd = -1;
        Ref opened = Ref::steal(PyObject_CallNoArgs(opener));
        if (!opened || !extract_fd("opener()", opened.get(), fd)) return false;
        sink.emplace(fd);
    }
    std::optional<Error> failed;
    std::vector<RecordWindow::ShortRecord> shorts;
    Py_BEGIN_ALLOW_THREADS
    failed = window.write(handle, layout, *sink, &shorts);
    Py_END_ALLOW_THREADS
    for (const RecordWindow::ShortRecord& record : shorts) {
        Ref header = Ref::steal(to_python(window.header(record.index)));
        if (!header) return false;
        Ref item = Ref::steal(Py_BuildValue("(OKK)", header.get(), static_cast<unsigned long long>(record.residues),
                                            static_cast<unsigned long long>(record.wanted)));
        if (!item || PyList_Append(short_records.get(), item.get()) < 0) return false;
    }
    window.clear();
    if (failed) {
        raise(*failed);
        return false;
    }
    if (sink->error() != 0) {
        raise_os_error(sink->error(), "output");
        return false;
    }
    return PyErr_CheckSignals() == 0;  // ^C between windows: KeyboardInterrupt
}

// _write_region_lines(faidx, fd, opener, resolve, suffix, line_width, reverse, prefix)
// The lines of a region file (`prefix` bytes, already read by the caller,
// then fd to its end) as FASTA records in line order, read in pieces so
// that memory stays bounded. A plain "name:start-end" line is read in the
// core (header: the line and `suffix`); resolve(line, number) reads any
// other non-blank line and returns None (no record) or (header, name,
// start, end) with the coordinates within the record (end < start: an
// empty record). opener() returns the output descriptor; it is first
// called when the first window of records is read, so a mistake early in
// the file leaves no output. A line that is not UTF-8 raises
// ValueError("line N: ..."); failed reads and writes raise OSError whose
// filename is "regions" or "output". Returns (header, residues, wanted)
// for each record that came out short.
PyObject* write_region_lines(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature{
        "_write_region_lines()",
        {"faidx", "fd", "opener", "resolve", "suffix", "line_width", "reverse", "prefix"}, 7};
    PyObject* argv[8];
    if (!parse_arguments(signature, args, nargs, kwnames, argv)) return nullptr;
    const IndexHandle* handle = handle_of(argv[0]);
    int fd = -1;
    std::string suffix;
    std::uint64_t width = 0;
    bool reverse = false;
    std::string prefix;
    if (handle == nullptr || !extract_fd("fd", argv[1], fd) || !extract_argument("suffix", argv[4], suffix) ||
        !extract_argument("line_width", argv[5], width) || !extract_argument("reverse", argv[6], reverse) ||
        !extract_prefix(argv[7], prefix))
        return nullptr;
    PyObject* opener = argv[2];
    PyObject* resolve = argv[3];
    RecordLayout layout;
    layout.line_width = static_cast<std::size_t>(width);
    RegionLineReader reader(*handle, std::move(suffix), reverse);
    std::optional<OutputSink> sink;
    Ref short_records = Ref::steal(PyList_New(0));
    if (!short_records) return nullptr;
    std::unique_ptr<char[]> piece = std::make_unique_for_overwrite<char[]>(kReadSize);
    reader.feed(prefix);
    for (bool at_end = false;;) {
        const RegionLineReader::Stop stop = reader.read();
        if (stop == RegionLineReader::Stop::referred) {
            const std::string_view text = reader.referred();
            if (!is_valid_utf8(reinterpret_cast<const unsigned char*>(text.data()), text.size()))
                return PyErr_Format(PyExc_ValueError, "line %llu: not valid UTF-8 text",
                                    static_cast<unsigned long long>(reader.line()));
            Ref line = Ref::steal(to_python(text));
            if (!line) return nullptr;
            Ref record = Ref::steal(
                PyObject_CallFunction(resolve, "OK", line.get(), static_cast<unsigned long long>(reader.line())));
            if (!record) return nullptr;
            if (record.get() == Py_None) continue;
            std::tuple<std::string, std::string, std::uint64_t, std::uint64_t> got;
            if (!extract_argument("resolve()", record.get(), got)) return nullptr;
            reader.add(std::get<0>(got), std::get<1>(got), std::get<2>(got), std::get<3>(got));
        } else if (stop == RegionLineReader::Stop::window_full) {
            if (!write_line_window(*handle, layout, reader.window(), opener, sink, short_records)) return nullptr;
        } else if (at_end) {
            break;
        } else {  // what was fed is read: the next piece
            int read_error = 0;
            ssize_t got = 0;
            Py_BEGIN_ALLOW_THREADS
            got = read_piece(fd, piece.get(), kReadSize, read_error);
            Py_END_ALLOW_THREADS
            if (PyErr_CheckSignals() < 0) return nullptr;  // ^C: KeyboardInterrupt
            if (got < 0) return raise_os_error(read_error, "regions");
            if (got > 0) reader.feed(std::string_view(piece.get(), static_cast<std::size_t>(got)));
            else reader.finish();
            at_end = got == 0;
        }
    }
    if (!reader.window().empty() && !write_line_window(*handle, layout, reader.window(), opener, sink, short_records))
        return nullptr;
    if (sink) {
        Py_BEGIN_ALLOW_THREADS
        sink->flush();
        Py_END_ALLOW_THREADS
        if (sink->error() != 0) return raise_os_error(sink->error(), "output");
    }
    return short_records.release();
}

PyMethodDef kFunctions[] = {
    {"_write_bed_records", fastcall_method<write_bed_records>(), METH_FASTCALL | METH_KEYWORDS,
     "Command-line output engine: BED intervals as records (private)."},
    {"_write_region_records", fastcall_method<write_region_records>(), METH_FASTCALL | METH_KEYWORDS,
     "Command-line output engine: one window of regions as records (private)."},
    {"_write_region_lines", fastcall_method<write_region_lines>(), METH_FASTCALL | METH_KEYWORDS,
     "Command-line output engine: the lines of a region file as records (private)."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

PyMethodDef* command_line_functions() { return kFunctions; }

}  // namespace sekvo
