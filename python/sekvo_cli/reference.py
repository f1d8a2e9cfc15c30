"""The FASTA file a command reads: opened through sekvo.Faidx, with record lengths."""

from __future__ import annotations

from collections import Counter
from operator import attrgetter

import sekvo

from .errors import CliError

_SEQ = attrgetter("seq")
# The library reports its failures as Exception("<Kind>: <detail>").
_KINDS = ("FastaNotFoundError", "IndexNotFoundError", "FetchError",
          "FastaIndexingError", "IOError", "RegionError")


def check_fasta_path(path: str) -> None:
    """Refuse a missing, unreadable or directory FASTA path with a clear message.

    Compressed files are the library's to judge: BGZF is read, other
    formats are refused with a message saying to recompress with bgzip.
    """
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


def read_index_lengths(index_path: str) -> list[tuple[str, int]]:
    """(name, length) of every line of a five-column index file, in file order."""
    entries = []
    with open(index_path, encoding="utf-8", errors="surrogateescape") as f:
        for line in f:
            fields = line.strip().split("\t")
            if len(fields) == 5:
                try:
                    entries.append((fields[0], int(fields[1])))
                except ValueError:
                    raise CliError(f"the index file '{index_path}' is malformed") from None
    return entries


class Reference:
    """An indexed FASTA file: names, lengths and batch retrieval of residues."""

    def __init__(self, path: str):
        check_fasta_path(path)
        self.path = path
        try:
            self.faidx = sekvo.Faidx(path)
            names = set(self.faidx.keys)
        except MemoryError:
            raise CliError(f"not enough memory to open '{path}'") from None
        except Exception as exc:
            raise CliError(describe_open_failure(path, exc)) from None
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
