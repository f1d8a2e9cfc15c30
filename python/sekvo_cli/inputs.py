"""Reading the text inputs of a command: region lists and BED files."""

from __future__ import annotations

import sys

from .errors import CliError


def read_text(path: str, what: str) -> str:
    """The whole text of `path` ('-' is standard input; gzip is read transparently).

    Line ends are normalised to a line feed.  Text that is not UTF-8 is
    refused with the number of the offending line.
    """
    try:
        if path == "-":
            data = sys.stdin.buffer.read()
        else:
            with open(path, "rb") as f:
                data = f.read()
    except IsADirectoryError:
        raise CliError(f"{what} '{path}' is a directory") from None
    except OSError as exc:
        raise CliError(f"cannot open {what} '{path}': {exc.strerror}") from None
    return decode_text(data, path, what)


def decode_text(data: bytes, path: str, what: str) -> str:
    """Text of the bytes of `path` (gunzipped when compressed), as read_text gives it."""
    if data[:2] == b"\x1f\x8b":
        try:
            import gzip     # only for compressed input: slow to import

            data = gzip.decompress(data)
        except (OSError, EOFError) as exc:
            raise CliError(f"cannot decompress {what} '{path}': {exc}") from None
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as exc:
        line = data.count(b"\n", 0, exc.start) + 1
        raise CliError(f"{path}: line {line}: not valid UTF-8 text") from None
    if "\r" in text:
        text = text.replace("\r\n", "\n")
    return text
