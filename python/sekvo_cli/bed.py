"""BED lines: tab-separated, 0-based half-open intervals with optional columns.

Columns used: 1 chrom, 2 start, 3 end, 4 name, 6 strand and, for split
intervals, 10-12 (block count, sizes, starts).  Blank lines and lines that
begin with '#', 'track' or 'browser' are not intervals.
"""

from __future__ import annotations

from collections.abc import Iterator

from .errors import CliError


class BedError(CliError):
    def __init__(self, path: str, line: int, message: str):
        super().__init__(f"{path}: line {line}: {message}")
        self.line = line


def data_lines(text: str, path: str) -> Iterator[tuple[int, list[str]]]:
    """(line number, columns) of every interval line; at least three columns."""
    for number, line in enumerate(text.split("\n"), 1):
        if not line or line[0] == "#" or line.startswith(("track", "browser")) or line.isspace():
            continue
        fields = line.split("\t")
        if len(fields) < 3:
            raise BedError(path, number, "expected at least 3 tab-separated columns "
                                         "(chrom, start, end)")
        yield number, fields


def coordinate(text: str, what: str, path: str, line: int) -> int:
    if text.isdigit() and text.isascii():
        return int(text)
    raise BedError(path, line, f"{what} '{text}' is not a non-negative whole number")


def blocks(fields: list[str], start: int, end: int, path: str, line: int) -> list[tuple[int, int]]:
    """The (start, end) blocks of a BED12 line; the whole interval for shorter lines."""
    if len(fields) < 12:
        return [(start, end)]
    try:
        count = int(fields[9])
        sizes = [int(x) for x in fields[10].rstrip(",").split(",")]
        offsets = [int(x) for x in fields[11].rstrip(",").split(",")]
    except ValueError:
        raise BedError(path, line, "block columns 10-12 must be a count and two "
                                   "comma-separated lists of whole numbers") from None
    if not (count == len(sizes) == len(offsets)) or count < 1:
        raise BedError(path, line, f"block count {fields[9]} does not match the block sizes "
                                   f"and starts")
    result = []
    for size, offset in zip(sizes, offsets):
        if size < 0 or offset < 0:
            raise BedError(path, line, "block sizes and starts must not be negative")
        if size:
            # bedtools does not hold blocks to chromEnd; neither do we.
            result.append((start + offset, start + offset + size))
    return result
