"""The core's output engine, as the commands use it: regions are fetched
window by window on the worker pool and written by the core in large
writes, so memory stays bounded and output begins before the input ends.
Python keeps the messages and the progress bar."""

from __future__ import annotations

import io
import os
import sys

import sekvo

from .errors import CliError

GZIP_MAGIC = b"\x1f\x8b"
HEADER_STYLES = {"coordinates": 0, "name": 1, "name_only": 2}


class OpenBed:
    """A BED file (or standard input) opened for the engine, with the first
    bytes already read to tell gzip from plain text; `what` names it in messages."""

    def __init__(self, path: str, what: str = "BED file"):
        self.path = path
        self.what = what
        self.owned = path != "-"
        try:
            self.fd = os.open(path, os.O_RDONLY) if self.owned else sys.stdin.buffer.fileno()
        except IsADirectoryError:
            raise CliError(f"{what} '{path}' is a directory") from None
        except OSError as exc:
            raise CliError(f"cannot open {what} '{path}': {exc.strerror}") from None
        try:
            self.prefix = b""
            while len(self.prefix) < 2:
                more = os.read(self.fd, 2 - len(self.prefix))
                if not more:
                    break
                self.prefix += more
        except IsADirectoryError:
            self.close()
            raise CliError(f"{what} '{path}' is a directory") from None
        except OSError as exc:
            self.close()
            raise CliError(f"cannot read {what} '{path}': {exc.strerror}") from None

    @property
    def compressed(self) -> bool:
        return self.prefix == GZIP_MAGIC

    def lines(self) -> int | None:
        """Lines of a regular file (for the progress bar), else None."""
        if not self.owned or not os.path.isfile(self.path):
            return None
        with open(self.path, "rb") as f:
            return sum(block.count(b"\n") for block in iter(lambda: f.read(1 << 20), b""))

    def close(self) -> None:
        if self.owned:
            os.close(self.fd)


class _Compressed(io.RawIOBase):
    """The bytes of an OpenBed (its prefix, then its descriptor), for gzip."""

    def __init__(self, bed: OpenBed):
        self.bed = bed
        self.prefix = bed.prefix

    def readable(self) -> bool:
        return True

    def readinto(self, buffer) -> int:
        if self.prefix:
            n = min(len(buffer), len(self.prefix))
            buffer[:n], self.prefix = self.prefix[:n], self.prefix[n:]
            return n
        data = os.read(self.bed.fd, len(buffer))
        buffer[:len(data)] = data
        return len(data)


class GunzippedBed:
    """A gzip-compressed OpenBed as plain text through a pipe, decompressed on
    a thread while the engine reads, so memory stays bounded (the engine reads
    without the GIL). Has the fd, prefix and path the engine needs."""

    def __init__(self, bed: OpenBed):
        import threading

        self.path = bed.path
        self.what = bed.what
        self.prefix = b""
        self.error: Exception | None = None
        self.fd, self._write_fd = os.pipe()
        self._thread = threading.Thread(target=self._pump, args=(bed,), daemon=True)
        self._thread.start()

    def _pump(self, bed: OpenBed) -> None:
        import gzip
        import zlib

        try:
            with gzip.GzipFile(fileobj=io.BufferedReader(_Compressed(bed), 1 << 20)) as text:
                while chunk := text.read(1 << 20):
                    view = memoryview(chunk)
                    while view:
                        view = view[os.write(self._write_fd, view):]
        except BrokenPipeError:
            pass            # the engine stopped reading (a bad line, a failed write)
        except (OSError, EOFError, zlib.error) as exc:
            self.error = exc
        finally:
            os.close(self._write_fd)

    @staticmethod
    def lines() -> None:
        return None         # not known before the end

    def close(self) -> None:
        """Stops the thread; a decompression failure becomes a CliError."""
        os.close(self.fd)
        self._thread.join()
        if self.error is not None:
            raise CliError(f"cannot decompress {self.what} '{self.path}': {self.error}")


def has_descriptor(output: str | None) -> bool:
    """Whether the output is a file descriptor the engine can write to
    (standard output replaced by a Python object is not)."""
    if output not in (None, "-"):
        return True
    try:
        sys.stdout.buffer.fileno()
    except (AttributeError, ValueError, OSError):
        return False
    return True


def output_fd(out) -> int:
    """The descriptor of an Output, everything queued in Python written first."""
    out.flush()
    out.stream.flush()
    return out.stream.fileno()


def write_error(exc: OSError, out) -> CliError:
    return CliError(f"cannot write '{out.path or 'standard output'}': {exc.strerror}")


def write_bed_records(ref, bed: OpenBed, out, *, header: str, strand: bool, keep_going: bool,
                      tab: bool, rna: bool, report) -> int:
    """Every interval of `bed` as a record on `out`; the number written."""
    try:
        return sekvo._write_bed_records(ref.faidx, bed.fd, output_fd(out), HEADER_STYLES[header],
                                        strand, keep_going, tab, rna, report, bed.prefix)
    except BrokenPipeError:
        raise
    except ValueError as exc:
        raise CliError(f"{bed.path}: {exc}") from None
    except OSError as exc:
        if exc.filename == "bed":
            raise CliError(f"cannot read BED file '{bed.path}': {exc.strerror}") from None
        raise write_error(exc, out) from None
    except MemoryError:
        raise CliError("not enough memory for the output window") from None
    except RuntimeError as exc:
        raise CliError(f"reading '{ref.path}' failed: {exc}") from None


def write_region_records(ref, out, names, starts, ends, headers, width: int,
                         reverse: bool) -> list[tuple[int, int, int]]:
    """One window of regions (within their records; end < start: empty) as FASTA
    records; (i, residues, wanted) of each that came out short."""
    try:
        return sekvo._write_region_records(ref.faidx, output_fd(out), names, starts, ends, headers, width, reverse)
    except BrokenPipeError:
        raise
    except OSError as exc:
        raise write_error(exc, out) from None
    except MemoryError:
        raise CliError("not enough memory for the output window") from None
    except RuntimeError as exc:
        raise CliError(f"reading '{ref.path}' failed: {exc}") from None


def write_region_lines(ref, opened, regions: OpenBed | GunzippedBed, resolve, suffix: str, width: int,
                       reverse: bool) -> list[tuple[str, int, int]]:
    """The lines of an opened region file as FASTA records, read in pieces, plain
    name:start-end lines read by the core and the others by resolve(line, number);
    `opened()` gives the Output, opened when the first window is ready. (header,
    residues, wanted) of each record that came out short."""
    state = {}

    def opener() -> int:
        state["out"] = out = opened()
        return output_fd(out)

    try:
        return sekvo._write_region_lines(ref.faidx, regions.fd, opener, resolve, suffix, width, reverse,
                                         regions.prefix)
    except (BrokenPipeError, CliError):
        raise
    except ValueError as exc:
        raise CliError(f"{regions.path}: {exc}") from None
    except OSError as exc:
        if exc.filename == "regions":
            raise CliError(f"cannot read {regions.what} '{regions.path}': {exc.strerror}") from None
        raise write_error(exc, state.get("out") or opened()) from None
    except MemoryError:
        raise CliError("not enough memory for the output window") from None
    except RuntimeError as exc:
        raise CliError(f"reading '{ref.path}' failed: {exc}") from None
