"""BED files: tab-separated, 0-based half-open intervals with optional columns.

Columns used: 1 chrom, 2 start, 3 end, 4 name, 6 strand and, for split
intervals, 10-12 (block count, sizes, starts).  Blank lines and lines that
begin with '#', 'track' or 'browser' are not intervals.

A file is read column by column: when every interval line has the same
number of columns (nearly every BED file), the columns are cut out of one
split of the whole text, so that 200,000 lines cost no Python-level loop.
"""

from __future__ import annotations

import re
from operator import methodcaller

from .errors import CliError

# Searched in "\n" + text: a literal first character keeps these searches fast.
_NOT_INTERVAL = re.compile(r"\n(?:#|track|browser|[ \t\v\f\r]*(?:\n|$))")
_LEADING_ZERO = re.compile(r"\t0[0-9]")


class BedError(CliError):
    def __init__(self, path: str, line: int, message: str):
        super().__init__(f"{path}: line {line}: {message}")
        self.line = line


class BedTable:
    """The interval lines of a BED file, by column."""

    def __init__(self, text: str, path: str):
        self.path = path
        text = text.rstrip("\n")
        lines = text.split("\n") if text else []
        self.numbers: list[int] | None = None      # line numbers, when some lines were dropped
        if _NOT_INTERVAL.search("\n" + text):
            numbered = [(n, line) for n, line in enumerate(lines, 1)
                        if line and line[0] != "#" and not line.startswith(("track", "browser"))
                        and not line.isspace()]
            self.numbers = [n for n, _ in numbered]
            lines = [line for _, line in numbered]
        self.lines = lines
        tabs = set(map(methodcaller("count", "\t"), lines))
        if len(tabs) == 1 and min(tabs) >= 2:
            self.width = min(tabs) + 1
            self._flat: list[str] | None = "\t".join(lines).split("\t")
            self._rows: list[list[str]] | None = None
        else:
            self.width = 0
            self._flat = None
            self._rows = [line.split("\t") for line in lines]
            for i, row in enumerate(self._rows):
                if len(row) < 3:
                    raise self.error(i, "expected at least 3 tab-separated columns (chrom, start, end)")

    def __len__(self) -> int:
        return len(self.lines)

    def number(self, i: int) -> int:
        """The line number of interval i."""
        return self.numbers[i] if self.numbers is not None else i + 1

    def error(self, i: int, message: str) -> BedError:
        return BedError(self.path, self.number(i), message)

    def column(self, k: int) -> list[str]:
        """Column k (0-based) of every interval; '' where a line is shorter."""
        if self._flat is not None:
            return self._flat[k::self.width] if k < self.width else [""] * len(self.lines)
        assert self._rows is not None
        return [row[k] if len(row) > k else "" for row in self._rows]

    def coordinates(self) -> tuple[list[int], list[int], list[str], list[str]]:
        """Columns 2 and 3 (start, end) as non-negative whole numbers, and as
        the decimal texts that bedtools would print for them."""
        columns = self.column(1), self.column(2)
        if all(_whole_numbers(texts) for texts in columns):
            starts, ends = list(map(int, columns[0])), list(map(int, columns[1]))
            # Reuse the texts unless some carry leading zeros (much faster than str()).
            texts = [t if not _LEADING_ZERO.search("\t" + "\t".join(t)) else list(map(str, numbers))
                     for t, numbers in zip(columns, (starts, ends))]
            return starts, ends, texts[0], texts[1]
        for i, pair in enumerate(zip(*columns)):      # report the first faulty line
            for what, text in zip(("start", "end"), pair):
                if not (text.isascii() and text.isdigit()):
                    raise self.error(i, f"{what} '{text}' is not a non-negative whole number")
        raise AssertionError("unreachable")

    def fields(self, i: int) -> list[str]:
        """All columns of interval i."""
        return self._rows[i] if self._rows is not None else self.lines[i].split("\t")


def _whole_numbers(texts: list[str]) -> bool:
    joined = "".join(texts)
    return joined.isascii() and joined.isdigit() and all(texts)


def blocks(fields: list[str], start: int, error) -> list[tuple[int, int]]:
    """The (start, end) blocks of a BED12 line; the whole interval for shorter lines."""
    try:
        count = int(fields[9])
        sizes = [int(x) for x in fields[10].rstrip(",").split(",")]
        offsets = [int(x) for x in fields[11].rstrip(",").split(",")]
    except ValueError:
        raise error("block columns 10-12 must be a count and two comma-separated lists "
                    "of whole numbers") from None
    if not (count == len(sizes) == len(offsets)) or count < 1:
        raise error(f"block count {fields[9]} does not match the block sizes and starts")
    if min(sizes) < 0 or min(offsets) < 0:
        raise error("block sizes and starts must not be negative")
    # bedtools does not hold blocks to chromEnd; neither do we.
    return [(start + offset, start + offset + size) for size, offset in zip(sizes, offsets) if size]
