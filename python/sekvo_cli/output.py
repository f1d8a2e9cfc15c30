"""Writing FASTA text: reverse complement, line wrapping and large buffered writes."""

from __future__ import annotations

import os
import sys

from .errors import CliError

TYPE_CHECKING = False
if TYPE_CHECKING:        # collections is slow to import, and needed only here
    from collections.abc import Iterator

# The complement samtools and bedtools write: IUPAC letters and U swap, case is
# kept, every other byte stays as it is (sekvo's own -seq turns those into N).
_DNA_FROM = "ACGTUMRWSYKVHDBN" "acgtumrwsykvhdbn"
_DNA_TO = "TGCAAKYWSRMBDHVN" "tgcaakywsrmbdhvn"
DNA_COMPLEMENT = str.maketrans(_DNA_FROM, _DNA_TO)
RNA_COMPLEMENT = str.maketrans(_DNA_FROM, _DNA_TO.replace("TGCAA", "UGCAA").replace("tgcaa", "ugcaa"))


def reverse_complement(seq: str, table: dict[int, int] = DNA_COMPLEMENT) -> str:
    return seq.translate(table)[::-1]


# Long sequences are wrapped and written in pieces of about this many residues.
PIECE_RESIDUES = 1 << 20


def fasta_record(header: str, seq: str, width: int) -> Iterator[str]:
    """'>header' and the residues in lines of `width` (one line when width is 0),
    as pieces of text of bounded size."""
    if len(seq) <= PIECE_RESIDUES:
        yield fasta_text(header, seq, width)
        return
    yield f">{header}\n"
    if width <= 0:
        for lo in range(0, len(seq), PIECE_RESIDUES):
            yield seq[lo:lo + PIECE_RESIDUES]
        yield "\n"
        return
    step = max(width, PIECE_RESIDUES // width * width)    # whole lines per piece
    for lo in range(0, len(seq), step):
        yield fasta_text("", seq[lo:lo + step], width)[2:]


def fasta_text(header: str, seq: str, width: int) -> str:
    """One whole record: '>header' and the residues in lines of `width`."""
    if not seq:
        return f">{header}\n"
    if width <= 0 or len(seq) <= width:
        return f">{header}\n{seq}\n"
    lines = [seq[i:i + width] for i in range(0, len(seq), width)]
    lines.append("")
    return f">{header}\n" + "\n".join(lines)


# Queued output is written once it reaches this many characters.
WRITE_BLOCK = 4 << 20


def _same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


class Output:
    """A binary output file or standard output, written in large blocks."""

    def __init__(self, path: str | None, inputs: tuple[str, ...] = ()):
        """`inputs` are files being read; truncating one (the mapped FASTA file
        above all) would destroy it mid-read, so they are refused as output."""
        self.path = path
        if path is None or path == "-":
            self.stream = sys.stdout.buffer
            self.owned = False
        else:
            for source in inputs:
                if _same_file(path, source):
                    raise CliError(f"refusing to write the output over the input file '{source}'")
            try:
                self.stream = open(path, "wb")
            except OSError as exc:
                raise CliError(f"cannot write '{path}': {exc.strerror}") from None
            self.owned = True

        self.pending: list[str] = []
        self.pending_size = 0

    def add(self, text: str) -> None:
        """Queue text; it is written with its neighbours in blocks of WRITE_BLOCK."""
        self.pending.append(text)
        self.pending_size += len(text)
        if self.pending_size >= WRITE_BLOCK:
            self.flush()

    def flush(self) -> None:
        if self.pending:
            text = "".join(self.pending)
            self.pending, self.pending_size = [], 0
            self.write_text(text)

    def write_text(self, text: str) -> None:
        self.flush()
        try:
            self.stream.write(text.encode("utf-8", "surrogateescape"))
        except BrokenPipeError:
            raise
        except OSError as exc:
            raise CliError(f"cannot write '{self.path or 'standard output'}': {exc.strerror}") from None

    def close(self) -> None:
        self.flush()
        try:
            if self.owned:
                self.stream.close()
            else:
                self.stream.flush()
        except BrokenPipeError:
            raise
        except OSError as exc:
            raise CliError(f"cannot write '{self.path or 'standard output'}': {exc.strerror}") from None

    def __enter__(self) -> Output:
        return self

    def __exit__(self, exc_type, exc, tb) -> None:
        if exc_type is None:
            self.close()
        elif self.owned:
            self.stream.close()
