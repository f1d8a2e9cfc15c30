"""The FASTA file a command reads: opened through sekvo.Faidx, with record lengths."""

from __future__ import annotations

import os
import stat

import sekvo

from .errors import CliError

# The library reports its failures as Exception("<Kind>: <detail>").
_KINDS = ("FastaNotFoundError", "IndexNotFoundError", "FetchError",
          "FastaIndexingError", "IOError", "RegionError")
# The characters the library trims from index lines: Unicode White_Space.
# Not str.strip()'s set, which also takes the separators 0x1C-0x1F that
# may begin a record name.
WHITESPACE = ("\t\n\v\f\r \x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005"
              "\u2006\u2007\u2008\u2009\u200a\u2028\u2029\u202f\u205f\u3000")


def check_fasta_path(path: str) -> None:
    """Refuse a missing, unreadable, directory or pipe FASTA path with a clear message.

    Compressed files are the library's to judge: BGZF is read, other
    formats are refused with a message saying to recompress with bgzip.
    """
    try:
        mode = os.stat(path).st_mode
    except OSError as exc:
        raise CliError(f"cannot open '{path}': {exc.strerror}") from None
    if stat.S_ISFIFO(mode) or stat.S_ISSOCK(mode):
        # Opening one could wait for a writer for ever, and it cannot be read at random.
        raise CliError(f"'{path}' is a pipe, not a FASTA file; give a regular file")
    try:
        with open(path, "rb"):
            pass
    except IsADirectoryError:
        raise CliError(f"'{path}' is a directory, not a FASTA file") from None
    except OSError as exc:
        raise CliError(f"cannot open '{path}': {exc.strerror}") from None


def library_detail(exc: BaseException) -> tuple[str, str]:
    """Split a library error message into (kind, detail)."""
    text = str(exc)
    kind, sep, detail = text.partition(": ")
    return (kind, detail) if sep and kind in _KINDS else ("", text)


def describe_open_failure(path: str, exc: BaseException) -> str:
    kind, detail = library_detail(exc)
    if kind == "FastaIndexingError":
        return (f"the index file '{path}.fai' is malformed ({detail}); "
                f"rebuild it with 'sekvo index {path}'")
    if kind == "IndexNotFoundError":
        return f"cannot read the index file '{detail}'"
    if "recompress with bgzip" in detail:
        return detail
    if "valid UTF-8" in detail:
        return f"cannot index '{path}': it is not a text FASTA file (not valid UTF-8)"
    return f"cannot open '{path}': {detail}"


def read_index_entries(index_path: str) -> list[tuple[str, int, int]]:
    """(name, length, offset) of every line of a five-column index file, in file order."""
    entries = []
    with open(index_path, encoding="utf-8", errors="surrogateescape") as f:
        for line in f:
            fields = line.strip(WHITESPACE).split("\t")
            if len(fields) == 5:
                try:
                    entries.append((fields[0], int(fields[1]), int(fields[2])))
                except ValueError:
                    raise CliError(f"the index file '{index_path}' is malformed") from None
    return entries


def read_header_lines(path: str, offsets: list[int]) -> list[str]:
    """The whole header line (after '>') of the records whose residues start at `offsets`."""
    import mmap

    headers = []
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as data:
        for offset in offsets:
            line_end = data.rfind(b"\n", 0, offset)
            line_start = data.rfind(b"\n", 0, max(line_end, 0)) + 1
            line = data[line_start:max(line_end, line_start)].rstrip(b"\r")
            headers.append(line[1:].decode("utf-8", "surrogateescape") if line[:1] == b">" else "")
    return headers


def _index_is_due(path: str, index_path: str) -> bool:
    """True when opening `path` would build its index: none yet, or older than the file."""
    try:
        return os.stat(index_path).st_mtime_ns < os.stat(path).st_mtime_ns
    except OSError:
        return True


def _has_header_line(path: str) -> bool:
    """True when some line of the file begins with '>' (read through gzip
    for a compressed file; a damaged one is left to the library to judge)."""
    import gzip     # only when an index is to be built: slow to import

    with open(path, "rb") as f:
        compressed = f.read(2) == b"\x1f\x8b"
    try:
        with (gzip.open if compressed else open)(path, "rb") as f:
            previous = b"\n"
            while block := f.read(1 << 20):
                if (previous + block).find(b"\n>") >= 0:
                    return True
                previous = block[-1:]
    except (OSError, EOFError):
        return compressed
    return False


class Reference:
    """An indexed FASTA file: names, lengths and batch retrieval of residues."""

    def __init__(self, path: str, index_path: str | None = None, full_header: bool = False,
                 block_index_path: str | None = None):
        """`full_header`: records are named by their whole header line, as
        bedtools getfasta -fullHeader names them, instead of its first word.
        `block_index_path`: the .gzi of a BGZF file (default FILE.gzi)."""
        check_fasta_path(path)
        self.path = path
        self.index_path = index_path or path + ".fai"
        self.aliases: dict[str, str] | None = None      # whole header line -> indexed name
        no_records = f"'{path}' holds no FASTA records"
        # Never write an index for a file that is not FASTA (a BED file given by mistake).
        if _index_is_due(path, self.index_path) and not _has_header_line(path):
            raise CliError(no_records)
        try:
            options = {"gziname": block_index_path} if block_index_path else {}
            self.faidx = sekvo.Faidx(path, indexname=self.index_path, **options)
            names = set(self.faidx.keys)
        except MemoryError:
            raise CliError(f"not enough memory to open '{path}'") from None
        except Exception as exc:
            raise CliError(describe_open_failure(path, exc)) from None
        if not names:
            raise CliError(no_records)
        self.lengths = self._lengths(names)

        if full_header:
            self._name_by_header_line()

    def _lengths(self, names: set[str]) -> dict[str, int]:
        try:
            self.entries = read_index_entries(self.index_path)
        except OSError as exc:
            raise CliError(f"cannot read the index file '{self.index_path}': {exc.strerror}") from None
        lengths = {name: n for name, n, _ in self.entries if name in names}
        if len(lengths) == len(self.entries):
            return lengths      # every name once (collections is slow to import)
        from collections import Counter

        # A name that occurs twice: ask the library which record it serves.
        for name, count in Counter(name for name, _, _ in self.entries).items():
            if count > 1 and name in lengths:
                lengths[name] = len(self.faidx.fetch_entire_sequence(name).seq)
        return lengths

    def _name_by_header_line(self) -> None:
        served = [(name, offset) for name, _, offset in self.entries if name in self.lengths]
        try:
            lines = read_header_lines(self.path, [offset for _, offset in served])
        except (OSError, ValueError) as exc:
            raise CliError(f"cannot read the header lines of '{self.path}': {exc}") from None
        self.aliases = {line: name for line, (name, _) in zip(lines, served)}
        self.lengths = {line: self.lengths[name] for line, name in self.aliases.items()}

    def fetch_many(self, regions: list[tuple[str, int, int]]) -> list[str]:
        """Residues of (name, start, end) regions, 1-based inclusive, all within bounds."""
        if not regions:
            return []
        if self.aliases is not None:
            aliases = self.aliases
            regions = [(aliases[name], start, end) for name, start, end in regions]
        from operator import attrgetter     # only for the layouts written in Python

        try:
            return list(map(attrgetter("seq"), self.faidx.fetch_many(regions)))
        except MemoryError:
            raise CliError(f"not enough memory to read {len(regions):,} regions at once") from None
        except Exception as exc:
            raise CliError(f"reading '{self.path}' failed: {exc}") from None
