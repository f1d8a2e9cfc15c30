"""Region strings as `samtools faidx` reads them: name, name:start, name:start-end.

Coordinates are 1-based and inclusive.  Numbers follow htslib's reading:
leading blanks, an optional sign, "," as thousands separator, a decimal
fraction (discarded with a warning), an exponent (1e3) or a k/m/g suffix.
A name may itself contain ':'; a whole-name match wins over the
name:coordinates reading unless both readings name a sequence, which is
refused as ambiguous.  "{name}" and "{name}:start-end" quote a name.
"""

from __future__ import annotations

import re
from typing import Callable, NamedTuple

from .errors import RegionError, UnknownNameError

# Far beyond any sequence length, below the 64-bit limit of the batch fetch.
MAX_COORD = (1 << 62)
_C_SPACE = " \t\n\v\f\r"
_SIMPLE_COORDS = re.compile(r"([1-9][0-9]*)(?:-([0-9]*))?")
_COORD_CHARS = re.compile(r"[\s0-9,.+\-eEkKmMgG]*")


class Region(NamedTuple):
    label: str          # the text as given; samtools writes it as the header
    name: str
    start: int          # 1-based, >= 1
    end: int | None     # 1-based inclusive; None means "to the end of the sequence"


class _Number(NamedTuple):
    value: int
    end: int            # index just past the number, or the start index if no digits
    fraction: str       # text of a number whose fractional part was dropped, else ""


def parse_decimal(text: str, i: int) -> _Number:
    """Read a number at text[i:] the way htslib's hts_parse_decimal does."""
    n, first = len(text), i
    while i < n and text[i] in _C_SPACE:
        i += 1
    begin = i
    sign = 1
    if i < n and text[i] in "+-":
        sign = -1 if text[i] == "-" else 1
        i += 1
    value = digits = decimals = 0
    while i < n and (text[i].isdigit() and text[i].isascii() or text[i] == ","):
        if text[i] != ",":
            value = value * 10 + ord(text[i]) - 48
            digits += 1
        i += 1
    if i < n and text[i] == ".":
        i += 1
        while i < n and text[i].isdigit() and text[i].isascii():
            value = value * 10 + ord(text[i]) - 48
            digits += 1
            decimals += 1
            i += 1
    exponent = 0
    if i < n and text[i] in "eE":
        i += 1
        esign = 1
        if i < n and text[i] in "+-":
            esign = -1 if text[i] == "-" else 1
            i += 1
        while i < n and text[i].isdigit() and text[i].isascii():
            exponent = exponent * 10 + ord(text[i]) - 48
            i += 1
            if exponent > 40:
                raise RegionError("coordinate too large")
        exponent *= esign
    elif i < n and text[i] in "kKmMgG":
        exponent = {"k": 3, "m": 6, "g": 9}[text[i].lower()]
        i += 1
    exponent -= decimals
    fraction = ""
    if exponent >= 0:
        value *= 10 ** exponent
    else:
        value, lost = divmod(value, 10 ** -exponent)
        if lost:
            fraction = text[begin:i]
    if value >= MAX_COORD:
        raise RegionError("coordinate too large")
    return _Number(sign * value, i if digits else first, fraction)


def parse_region(text: str, has_name: Callable[[str], bool],
                 warn: Callable[[str], None] | None = None) -> Region:
    """Resolve one region string against the sequence names of a FASTA file.

    Raises RegionError for a malformed or ambiguous region and
    UnknownNameError (a RegionError) for a name not in the file.
    """
    if text.startswith("{"):
        close = text.find("}")
        if close < 0:
            raise RegionError("mismatched braces")
        name, rest = text[1:close], text[close + 1:]
        if rest and not rest.startswith(":"):
            raise RegionError(f"unexpected text '{rest}' after '}}'")
        _require_name(name, has_name)
        if not rest:
            return Region(text, name, 1, None)
        coords = rest[1:]
    else:
        colon = text.rfind(":")
        if has_name(text):
            if colon >= 0 and has_name(text[:colon]):
                raise RegionError(f"ambiguous: use '{{{text}}}' for the sequence of that name "
                                  f"or '{{{text[:colon]}}}{text[colon:]}' for a part of '{text[:colon]}'")
            return Region(text, text, 1, None)
        if colon < 0:
            _require_name(text, has_name)
        name, coords = text[:colon], text[colon + 1:]
        if not has_name(name):
            # Name the part before ':' only if the rest looks like coordinates.
            _require_name(name if _COORD_CHARS.fullmatch(coords) else text, has_name)
    start, end, fractions = _coordinates(coords)
    if warn:
        for number in fractions:
            warn(f"discarding the fractional part of {number}")
    return Region(text, name, start, end)


def _require_name(name: str, has_name: Callable[[str], bool]) -> None:
    if not has_name(name):
        raise UnknownNameError(name)


def _malformed(coords: str) -> RegionError:
    return RegionError(f"cannot read the coordinates '{coords}' (expected START-END, START or -END)")


def _coordinates(coords: str) -> tuple[int, int | None, list[str]]:
    """'start-end', 'start', 'start-', '-end' after the colon -> (start, end or None)."""
    simple = _SIMPLE_COORDS.fullmatch(coords)
    if simple:   # the usual form, read at once; the same result as the general reading
        start, end = int(simple[1]), int(simple[2] or 0) or None
        if max(start, end or 0) >= MAX_COORD:
            raise RegionError("coordinate too large")
        if end is not None and start > end:
            raise RegionError(f"start {start} is greater than end {end}")
        return start, end, []
    first = parse_decimal(coords, 0)
    fractions = [first.fraction] if first.fraction else []
    beg = first.value - 1                     # 0-based, as htslib keeps it
    rest = coords[first.end:]
    if beg < 0:
        if beg != -1 and rest.startswith("-") and coords:
            raise RegionError("coordinates must be positive")
        if rest == "" or rest[0] in ",0123456789":
            # "name:-100" means 1-100; "name:0" the whole sequence.
            return 1, (None if beg == -1 else -(beg + 1)), fractions
        if beg < -1:
            raise _malformed(coords)
    if rest == "":
        end = None
    elif rest[0] == "-":
        second = parse_decimal(rest, 1)
        if second.fraction:
            fractions.append(second.fraction)
        tail = rest[second.end:]
        if tail and tail[0] != ",":
            raise _malformed(coords)
        end = second.value if second.value != 0 else None   # "name:100-" runs to the end
        if end is not None and end < 0:
            raise RegionError("coordinates must be positive")
    else:
        raise _malformed(coords)
    if beg == -1:
        # htslib returns an empty sequence here; refuse the 0 start instead.
        raise RegionError("coordinates are 1-based: the start must be at least 1")
    if end is not None and beg >= end:
        raise RegionError(f"start {beg + 1} is greater than end {end}")
    return beg + 1, end, fractions
