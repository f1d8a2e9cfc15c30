"""The FASTA file a command reads: opened through sekvo.Faidx, with record lengths."""

from __future__ import annotations

import os
import stat
from collections import Counter
from operator import attrgetter

import sekvo

from .errors import CliError

_SEQ = attrgetter("seq")
_COMPRESSED_MAGIC = {b"\x1f\x8b": "gzip", b"BZ": "bzip2", b"\xfd7": "xz", b"\x28\xb5": "zstd"}
# The library reports its failures as Exception("<Kind>: <detail>").
_KINDS = ("FastaNotFoundError", "IndexNotFoundError", "FetchError",
          "FastaIndexingError", "IOError", "RegionError")
# The characters the library trims from index lines: Unicode White_Space.
# Not str.strip()'s set, which also takes the separators 0x1C-0x1F that
# may begin a record name.
WHITESPACE = ("\t\n\v\f\r \x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005"
              "\u2006\u2007\u2008\u2009\u200a\u2028\u2029\u202f\u205f\u3000")


def check_fasta_path(path: str) -> None:
    """Refuse a missing, unreadable, directory, pipe or compressed FASTA path with a clear message."""
    try:
        mode = os.stat(path).st_mode
    except OSError as exc:
        raise CliError(f"cannot open '{path}': {exc.strerror}") from None
    if stat.S_ISFIFO(mode) or stat.S_ISSOCK(mode):
        # Opening one could wait for a writer for ever, and it cannot be read at random.
        raise CliError(f"'{path}' is a pipe, not a FASTA file; give a regular file")
    try:
        with open(path, "rb") as f:
            magic = f.read(2)
    except IsADirectoryError:
        raise CliError(f"'{path}' is a directory, not a FASTA file") from None
    except OSError as exc:
        raise CliError(f"cannot open '{path}': {exc.strerror}") from None
    kind = _COMPRESSED_MAGIC.get(magic)
    if kind:
        raise CliError(f"'{path}' is {kind}-compressed; decompress it first "
                       "(only plain-text FASTA files are supported)")


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
    if "valid UTF-8" in detail:
        return f"cannot index '{path}': it is not a text FASTA file (not valid UTF-8)"
    return f"cannot open '{path}': {detail}"


def read_index_lengths(index_path: str) -> list[tuple[str, int]]:
    """(name, length) of every line of a five-column index file, in file order."""
    entries = []
    with open(index_path, encoding="utf-8", errors="surrogateescape") as f:
        for line in f:
            fields = line.strip(WHITESPACE).split("\t")
            if len(fields) == 5:
                try:
                    entries.append((fields[0], int(fields[1])))
                except ValueError:
                    raise CliError(f"the index file '{index_path}' is malformed") from None
    return entries


def _index_is_due(path: str) -> bool:
    """True when opening `path` would build its index: none yet, or older than the file."""
    try:
        return os.stat(path + ".fai").st_mtime_ns < os.stat(path).st_mtime_ns
    except OSError:
        return True


def _has_header_line(path: str) -> bool:
    """True when some line of the file begins with '>'."""
    with open(path, "rb") as f:
        previous = b"\n"
        while block := f.read(1 << 20):
            if (previous + block).find(b"\n>") >= 0:
                return True
            previous = block[-1:]
    return False


class Reference:
    """An indexed FASTA file: names, lengths and batch retrieval of residues."""

    def __init__(self, path: str):
        check_fasta_path(path)
        self.path = path
        no_records = f"'{path}' holds no FASTA records"
        # Never write an index for a file that is not FASTA (a BED file given by mistake).
        if _index_is_due(path) and not _has_header_line(path):
            raise CliError(no_records)
        try:
            self.faidx = sekvo.Faidx(path)
            names = set(self.faidx.keys)
        except MemoryError:
            raise CliError(f"not enough memory to open '{path}'") from None
        except Exception as exc:
            raise CliError(describe_open_failure(path, exc)) from None
        if not names:
            raise CliError(no_records)
        self.lengths = self._lengths(names)

    def _lengths(self, names: set[str]) -> dict[str, int]:
        try:
            entries = read_index_lengths(self.path + ".fai")
        except OSError as exc:
            raise CliError(f"cannot read the index file '{self.path}.fai': {exc.strerror}") from None
        lengths = {name: n for name, n in entries if name in names}
        # A name that occurs twice: ask the library which record it serves.
        for name, count in Counter(name for name, _ in entries).items():
            if count > 1 and name in lengths:
                lengths[name] = len(self.faidx.fetch_entire_sequence(name).seq)
        return lengths

    def fetch_many(self, regions: list[tuple[str, int, int]]) -> list[str]:
        """Residues of (name, start, end) regions, 1-based inclusive, all within bounds."""
        if not regions:
            return []
        try:
            return list(map(_SEQ, self.faidx.fetch_many(regions)))
        except MemoryError:
            raise CliError(f"not enough memory to read {len(regions):,} regions at once") from None
        except Exception as exc:
            raise CliError(f"reading '{self.path}' failed: {exc}") from None
