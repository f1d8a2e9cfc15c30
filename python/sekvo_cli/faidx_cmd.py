"""`sekvo faidx FILE [REGION ...]`: regions as FASTA, in the manner of samtools faidx."""

from __future__ import annotations

# No re, contextlib or typing: slow to import, and every one-shot run would pay for them.
from itertools import chain

from .errors import CliError, RegionError
from .inputs import read_text
from .messages import Messages
from .output import PIECE_RESIDUES, Output, fasta_record, fasta_text, reverse_complement
from .reference import WHITESPACE, Reference
from .streaming import GunzippedBed, OpenBed, has_descriptor, write_region_lines, write_region_records

# Regions are read in batches of at most this many residues (bounds memory
# for whole-chromosome requests) or this many regions.
BATCH_RESIDUES = 64 << 20
BATCH_REGIONS = 100_000
# Regions read, checked and written at a time.
WINDOW_REGIONS = 65_536


def add_parser(subparsers) -> None:
    p = subparsers.add_parser(
        "faidx", help="print regions of a FASTA file",
        description="Print regions of FILE as FASTA. A region is NAME, NAME:START-END, "
                    "NAME:START (to the end) or NAME:-END, 1-based and inclusive; "
                    "write {NAME} or {NAME}:START-END for names that contain ':'. "
                    "Without regions, FILE is only indexed.")
    p.add_argument("fasta", metavar="FILE", help="FASTA file (indexed on first use)")
    # default=[]: without it the intermixed parser calls REGION required.
    p.add_argument("regions", metavar="REGION", nargs="*", default=[], help="region to print")
    p.add_argument("-r", "--region-file", action="append", default=[], metavar="RFILE",
                   help="file of regions, one per line (read before REGION arguments)")
    p.add_argument("-i", "--reverse-complement", action="store_true",
                   help="print the reverse complement of each region")
    p.add_argument("--mark-strand", default="rc", metavar="TYPE",
                   help="header suffix: rc (/rc after reverse complements, the default), "
                        "no, sign ((+)/(-)), or custom,POS,NEG")
    p.add_argument("-n", "--length", type=int, default=60, metavar="N",
                   help="residues per line (default 60; 0 writes each sequence on one line)")
    p.add_argument("-o", "--output", metavar="OUT", help="write to OUT instead of standard output")
    p.add_argument("-c", "--continue", dest="keep_going", action="store_true",
                   help="warn about unknown names and bad regions, write an empty record for each and go on")
    p.add_argument("--fai-idx", metavar="FILE", help="index file (default FILE.fai; made when missing)")
    p.add_argument("--gzi-idx", metavar="FILE",
                   help="block index of a BGZF-compressed FILE (default FILE.gzi; made when missing)")
    p.set_defaults(run=run)


class _Planned(tuple):
    """(header, name, start, end) of one record, end < start for an empty one:
    a tuple, as the core takes it from a region file's resolve()."""
    __slots__ = ()

    def __new__(cls, header: str, name: str, start: int, end: int):
        return tuple.__new__(cls, (header, name, start, end))

    header = property(lambda self: self[0])
    name = property(lambda self: self[1])
    start = property(lambda self: self[2])
    end = property(lambda self: self[3])


def _strand_marks(choice: str) -> tuple[str, str]:
    """(suffix for forward, suffix for reverse-complemented) headers."""
    if choice == "rc":
        return "", "/rc"
    if choice == "no":
        return "", ""
    if choice == "sign":
        return "(+)", "(-)"
    kind, _, rest = choice.partition(",")
    marks = rest.split(",")
    if kind == "custom" and len(marks) == 2:
        return marks[0], marks[1]
    raise CliError(f"--mark-strand: expected rc, no, sign or custom,POS,NEG, not '{choice}'")


class _Where:
    """Where a region text came from: a region file's line, or the arguments (path None)."""
    __slots__ = ("path", "line")

    def __init__(self, path: str | None, line: int):
        self.path, self.line = path, line

    def __str__(self) -> str:
        return f"{self.path}: line {self.line}: " if self.path is not None else ""


def _region_texts(args) -> list[tuple[str, _Where]]:
    """(region text, where it came from) from the region files, then the arguments."""
    texts = []
    for path in args.region_file:
        for number, line in enumerate(read_text(path, "region file").split("\n"), 1):
            line = line.strip(WHITESPACE)
            if line:
                texts.append((line, _Where(path, number)))
    texts.extend((text, _Where(None, 0)) for text in args.regions)
    return texts


def _plain_number(text: str) -> bool:
    """1 to 18 ASCII digits, the first not 0: below the coordinate limit."""
    return 0 < len(text) <= 18 and text.isascii() and text.isdigit() and text[0] != "0"


# name:start-end with both numbers plain: read without the general parser
# (the same result), as nearly every line of a region file is.
def _plain_region(text: str, lengths: dict[str, int]) -> tuple[str, int, int] | None:
    name, colon, coords = text.rpartition(":")
    if not colon or text[0] == "{" or name not in lengths or text in lengths:
        return None
    first, dash, second = coords.partition("-")
    if not (dash and _plain_number(first) and _plain_number(second)):
        return None
    start, end = int(first), int(second)
    return (name, start, end) if start <= end else None


def _plan(ref: Reference, texts, marks, reverse: bool, keep_going: bool,
          messages: Messages) -> list[_Planned]:
    """Resolve every region before anything is written, clamped like samtools."""
    suffix = marks[1] if reverse else marks[0]
    planned = []
    lengths = ref.lengths
    for text, where in texts:
        plain = _plain_region(text, lengths)
        if plain is not None and plain[2] <= lengths[plain[0]]:
            planned.append(_Planned(text + suffix, *plain))
        else:
            planned.append(_resolve(ref, text, where, suffix, keep_going, messages))
    return planned


def _resolve(ref: Reference, text: str, where: _Where, suffix: str, keep_going: bool,
             messages: Messages) -> _Planned:
    """One region by the general rules, clamped like samtools, with its warnings."""
    from .regions import parse_region   # imports re and typing: not for plain regions

    notes: list[str] = []
    try:
        region = parse_region(text, ref.lengths.__contains__, notes.append)
    except RegionError as exc:
        message = f"{where}region '{text}': {exc}"
        if not keep_going:
            raise CliError(message) from None
        # As samtools faidx --continue does: an empty record holds its place.
        messages.warn(message + "; writing an empty record")
        return _Planned(text + suffix, "", 1, 0)
    for note in notes:
        messages.warn(f"{where}region '{text}': {note}")
    length = ref.lengths[region.name]
    end = length if region.end is None else region.end
    if region.start > length:
        messages.warn(f"{where}region '{text}' starts past the end of '{region.name}' "
                      f"(length {length:,}); writing an empty record")
        end = region.start - 1
    elif end > length:
        messages.warn(f"{where}region '{text}' runs past the end of '{region.name}' "
                      f"(length {length:,}); truncated")
        end = length
    return _Planned(text + suffix, region.name, region.start, end)


def _batches(planned: list[_Planned]):
    batch, residues = [], 0
    for item in planned:
        batch.append(item)
        residues += max(0, item.end - item.start + 1)
        if residues >= BATCH_RESIDUES or len(batch) >= BATCH_REGIONS:
            yield batch
            batch, residues = [], 0
    if batch:
        yield batch


def run(args) -> int:
    if args.length < 0:
        raise CliError(f"--length must be 0 or more, not {args.length}")
    marks = _strand_marks(args.mark_strand)
    if has_descriptor(args.output):
        opened: list[OpenBed] = []
        try:
            for path in args.region_file:     # opened before the FASTA file, read as the core needs them
                if path == "-" and any(f.path == "-" for f in opened):
                    continue                  # standard input is read once; again it holds nothing
                opened.append(OpenBed(path, "region file"))
            messages = Messages("faidx")
            ref = Reference(args.fasta, index_path=args.fai_idx, block_index_path=args.gzi_idx)
            return _run_in_core(args, ref, opened, marks, messages)
        finally:
            for regions in reversed(opened):
                regions.close()
    texts = _region_texts(args)
    messages = Messages("faidx")
    ref = Reference(args.fasta, index_path=args.fai_idx, block_index_path=args.gzi_idx)
    # Regions are read and written window by window, so memory stays
    # bounded; the first window is read before the output is opened, so
    # that a mistake in it leaves no output file behind.
    windows = (_plan(ref, texts[lo:lo + WINDOW_REGIONS], marks, args.reverse_complement,
                     args.keep_going, messages) for lo in range(0, len(texts), WINDOW_REGIONS))
    first = next(windows, [])
    if not first and not args.output:
        return 0
    status = 0
    with Output(args.output, (args.fasta, ref.index_path, *args.region_file)) as out:
        for planned in chain([first], windows):
            for p, got in _write_in_python(args, ref, out, planned):
                _warn_short(args, messages, p.header, got, p.end - p.start + 1)
                status = 1
    return status


def _warn_short(args, messages: Messages, header: str, got: int, wanted: int) -> None:
    # The file is shorter than its index says: written as read, but an error.
    messages.warn(f"region '{header}': '{args.fasta}' holds only {got:,} of its "
                  f"{wanted:,} residues (truncated file or stale index)")


def _run_in_core(args, ref: Reference, files: list[OpenBed], marks, messages: Messages) -> int:
    """Region files read and written by the core, line by line in windows; the
    lines it does not read itself (anything but plain name:start-end) are
    resolved here. The output is opened when the first window is ready, so a
    mistake early in the input leaves no output file behind."""
    reverse = args.reverse_complement
    suffix = marks[1] if reverse else marks[0]
    out: Output | None = None

    def opened() -> Output:
        nonlocal out
        if out is None:
            out = Output(args.output, (args.fasta, ref.index_path, *args.region_file))
        return out

    try:
        short = []
        for regions in files:
            def resolve(line: str, number: int, path=regions.path) -> _Planned | None:
                line = line.strip(WHITESPACE)
                if not line:
                    return None
                return _resolve(ref, line, _Where(path, number), suffix, args.keep_going, messages)

            # A gzip-compressed region file as plain text, decompressed while the core reads.
            source = GunzippedBed(regions) if regions.compressed else regions
            try:
                short += write_region_lines(ref, opened, source, resolve, suffix, args.length, reverse)
            finally:
                if source is not regions:
                    source.close()
        planned = _plan(ref, [(text, _Where(None, 0)) for text in args.regions], marks, reverse,
                        args.keep_going, messages)
        if planned:
            short += [(planned[i].header, got, wanted)
                      for i, got, wanted in _write_in_core(args, ref, opened(), planned)]
        if args.output:
            opened()        # an empty output file when there are no regions, as before
        for header, got, wanted in short:
            _warn_short(args, messages, header, got, wanted)
    except BaseException as exc:
        if out is not None:
            out.__exit__(type(exc), exc, exc.__traceback__)
        raise
    if out is not None:
        out.__exit__(None, None, None)
    return 1 if short else 0


def _write_in_core(args, ref: Reference, out: Output, planned: list[_Planned]) -> list[tuple[int, int, int]]:
    """Regions written by the core; (i, residues, wanted) of each record that came out short."""
    return write_region_records(ref, out, [p.name for p in planned], [p.start for p in planned],
                                [p.end for p in planned], [p.header for p in planned],
                                args.length, args.reverse_complement)


def _write_in_python(args, ref: Reference, out: Output, planned: list[_Planned]) -> list[tuple[_Planned, int]]:
    """For an output that has no file descriptor (standard output replaced in Python)."""
    short = []
    for batch in _batches(planned):
        wanted = [p for p in batch if p.end >= p.start]
        seqs = iter(ref.fetch_many([(p.name, p.start, p.end) for p in wanted]))
        for p in batch:
            seq = next(seqs) if p.end >= p.start else ""
            if len(seq) < p.end - p.start + 1:
                short.append((p, len(seq)))
            if args.reverse_complement:
                seq = reverse_complement(seq)
            if len(seq) <= PIECE_RESIDUES:
                out.add(fasta_text(p.header, seq, args.length))
            else:
                for piece in fasta_record(p.header, seq, args.length):
                    out.add(piece)
    return short
