"""`sekvo getfasta FILE --bed BED`: BED intervals as FASTA, in the manner of bedtools getfasta.

All intervals go to the library in one batch fetch, so large BED files are
read by its worker pool; the output is written in a few large blocks.
"""

from __future__ import annotations

from itertools import chain

from .errors import CliError
from .messages import Messages
from .output import DNA_COMPLEMENT, RNA_COMPLEMENT, Output, reverse_complement
from .progress import Progress
from .reference import Reference
from .streaming import GunzippedBed, OpenBed, has_descriptor, write_bed_records

PROGRESS_LINES = 100_000
RECORDS_PER_WRITE = 4_000
# One batch fetch for the whole file unless its residues exceed this many.
BATCH_RESIDUES = 1 << 30
# Regions per batch fetch at least, when a progress bar is shown.
PROGRESS_BATCH = 10_000
# Skipped intervals are reported one by one up to this many, then counted.
WARN_LIMIT = 10

def add_parser(subparsers) -> None:
    p = subparsers.add_parser(
        "getfasta", help="print the sequences of BED intervals",
        description="Print the sequence of every interval of a BED file (0-based, "
                    "half-open) as FASTA, with headers chrom:start-end as bedtools "
                    "getfasta writes them. bedtools' own spellings (-fi FILE -bed BED "
                    "-fo OUT -name -nameOnly -tab -bedOut -split -rna -fullHeader) are "
                    "accepted too, so that `bedtools getfasta` can be replaced unchanged.")
    p.add_argument("fasta", metavar="FILE", nargs="?", help="FASTA file (indexed on first use)")
    p.add_argument("-fi", dest="fasta_option", metavar="FILE", help="FASTA file (instead of FILE)")
    p.add_argument("-b", "--bed", "-bed", metavar="BED",
                   help="BED file ('-' or 'stdin' for standard input; may be gzip-compressed)")
    p.add_argument("-s", "--strand", action="store_true",
                   help="reverse-complement intervals on the '-' strand (column 6) and "
                        "add the strand to the header")
    names = p.add_mutually_exclusive_group()
    names.add_argument("--name", "--name+", "-name", "-name+", dest="name", action="store_true",
                       help="header name::chrom:start-end, the name from column 4")
    names.add_argument("--name-only", "-nameOnly", action="store_true",
                       help="header is the name from column 4 alone")
    layout = p.add_mutually_exclusive_group()
    layout.add_argument("--tab", "-tab", action="store_true",
                        help="write 'header<TAB>sequence' lines instead of FASTA")
    layout.add_argument("--bed-out", "-bedOut", action="store_true",
                        help="write the BED columns followed by the sequence")
    p.add_argument("--split", "-split", action="store_true",
                   help="join the blocks of BED12 lines (columns 10-12)")
    p.add_argument("--rna", "-rna", action="store_true",
                   help="the sequences are RNA: complement A as U")
    p.add_argument("--full-header", "-fullHeader", action="store_true",
                   help="match column 1 against the whole header line of each record "
                        "(not only its first word) and write that line in headers")
    p.add_argument("-o", "--output", "--fo", "-fo", metavar="OUT",
                   help="write to OUT instead of standard output")
    p.add_argument("-c", "--continue", dest="keep_going", action="store_true",
                   help="warn about and skip intervals on unknown sequences")
    p.set_defaults(run=run)


def settle_inputs(args) -> None:
    """One FASTA file, from FILE or -fi, and a BED file; 'stdin' is standard input."""
    if args.fasta and args.fasta_option and args.fasta != args.fasta_option:
        raise CliError(f"two FASTA files given: '{args.fasta}' and -fi '{args.fasta_option}'")
    args.fasta = args.fasta or args.fasta_option
    if not args.fasta:
        raise CliError("no FASTA file given (FILE or -fi FILE)")
    if not args.bed:
        raise CliError("no BED file given (--bed BED or -bed BED)")
    if args.bed == "stdin":
        args.bed = "-"


class _Skips:
    """Counts skipped intervals; reports the first few in full."""

    def __init__(self, messages: Messages):
        self.messages = messages
        self.count = 0

    def add(self, text: str) -> None:
        self.count += 1
        if self.count <= WARN_LIMIT:
            self.messages.warn(text + "; skipped")

    def finish(self) -> None:
        if self.count > WARN_LIMIT:
            self.messages.warn(f"{self.count - WARN_LIMIT:,} more intervals skipped "
                               f"({self.count:,} in all)")


def run(args) -> int:
    settle_inputs(args)
    ref = Reference(args.fasta, full_header=args.full_header)
    # The core streams the usual layouts, from plain or gzip-compressed BED
    # files; BED-out, split blocks and whole header lines are laid out here.
    if not (args.bed_out or args.split or args.full_header) and has_descriptor(args.output):
        bed = OpenBed(args.bed)
        try:
            if not bed.compressed:
                return _run_streaming(args, ref, bed)
            plain = GunzippedBed(bed)
            try:
                status = _run_streaming(args, ref, plain)
            finally:
                plain.close()
            return status
        finally:
            bed.close()
    from .inputs import read_text   # the layouts laid out here only: not imported for the usual ones

    return _run_in_python(args, ref, read_text(args.bed, "BED file"))


def _run_streaming(args, ref: Reference, bed: OpenBed) -> int:
    lines = bed.lines() if Progress.for_lines(PROGRESS_LINES + 1, PROGRESS_LINES).enabled else None
    progress = Progress.for_lines(lines or 0, PROGRESS_LINES)
    messages = Messages("getfasta", progress)
    skips = _Skips(messages)
    where = args.bed

    def report(lines_read: int, skipped: list) -> None:
        for kind, line, chrom, start, end, length in skipped:
            if kind == "unknown_name":
                skips.add(f"{where}: line {line}: no sequence named '{chrom}'")
            elif kind == "empty":
                skips.add(f"{where}: line {line}: interval {chrom}:{start}-{end} is empty")
            else:
                skips.add(f"{where}: line {line}: interval {chrom}:{start}-{end} runs past the end of "
                          f"'{chrom}' (length {length:,})")
        progress.advance(lines_read - progress.done)

    header = "name_only" if args.name_only else "name" if args.name else "coordinates"
    progress.phase("writing", lines or 0)
    try:
        with Output(args.output, (args.fasta, ref.index_path, args.bed)) as out:
            write_bed_records(ref, bed, out, header=header, strand=args.strand,
                              keep_going=args.keep_going, tab=args.tab, rna=args.rna, report=report)
        skips.finish()
    finally:
        progress.close()
    return 0


def _run_in_python(args, ref: Reference, text: str) -> int:
    progress = Progress.for_lines(text.count("\n"), PROGRESS_LINES)
    messages = Messages("getfasta", progress)
    try:
        plan = _read_intervals(args, text, ref, progress, messages)
        _write(args, plan, ref, progress)
    finally:
        progress.close()
    return 0


class _Plan:
    def __init__(self, regions, heads, minus, pieces, residues):
        self.regions: list[tuple[str, int, int]] = regions   # what the batch fetch reads
        self.heads: list[str] = heads          # header (or BED columns) per record
        self.minus: list[int] = minus          # records to reverse-complement
        self.pieces: list[int] | None = pieces  # regions per record, when split
        self.residues: int = residues


def _read_intervals(args, text: str, ref: Reference, progress: Progress,
                    messages: Messages) -> _Plan:
    """Check every interval against the FASTA file and lay out the batch fetch."""
    from operator import le, lt
    from .bed import BedTable, blocks   # compiles its patterns: only for the layouts laid out here

    lines = text.count("\n")
    progress.phase("reading", lines)        # in three steps: columns, numbers, headers
    table = BedTable(text, args.bed)
    chroms = table.column(0)
    progress.advance(lines // 3)
    starts, ends, start_texts, end_texts = table.coordinates()
    progress.advance(lines // 3)
    lengths = list(map(ref.lengths.get, chroms))
    doubtful = []
    # The common case, every interval readable, is settled without a Python-level loop.
    if None in lengths or not all(map(lt, starts, ends)) or \
            not all(map(le, ends, lengths)):  # type: ignore[arg-type]  # no None here
        doubtful = [i for i, (start, end, length) in enumerate(zip(starts, ends, lengths))
                    if length is None or start >= end or end > length]
    dropped = _screen(args, table, ref, doubtful, chroms, starts, ends, lengths, messages)
    parts: dict[int, list[tuple[int, int]]] = {}
    if args.split:
        for i in range(len(table)):
            if i in dropped:
                continue
            fields = table.fields(i)
            if len(fields) >= 12:
                parts[i] = blocks(fields, starts[i], lambda m, i=i: table.error(i, m))
                if any(b_end > (lengths[i] or 0) for _, b_end in parts[i]):
                    dropped.add(i)
                    messages.warn(f"{args.bed}: line {table.number(i)}: a block of "
                                  f"{chroms[i]}:{starts[i]}-{ends[i]} runs past the end of "
                                  f"'{chroms[i]}'; skipped")
    keep = [i for i in range(len(table)) if i not in dropped] if dropped else None

    def kept(column: list) -> list:
        return column if keep is None else [column[i] for i in keep]

    chroms, starts, ends = kept(chroms), kept(starts), kept(ends)
    strands = kept(table.column(5)) if args.strand else []
    heads = _heads(args, table, keep, chroms, kept(start_texts), kept(end_texts), strands)
    minus = [j for j, strand in enumerate(strands) if strand == "-"]
    if args.split:
        regions: list[tuple[str, int, int]] = []
        pieces: list[int] = []
        for j, i in enumerate(keep if keep is not None else range(len(table))):
            blocks_of = parts.get(i, [(starts[j], ends[j])])
            pieces.append(len(blocks_of))
            regions.extend((chroms[j], b + 1, e) for b, e in blocks_of)
        plan = _Plan(regions, heads, minus, pieces, sum(e - b + 1 for _, b, e in regions))
    else:
        regions = list(zip(chroms, map((1).__add__, starts), ends))
        plan = _Plan(regions, heads, minus, None, sum(ends) - sum(starts))
    progress.advance(lines - progress.done)
    return plan


def _screen(args, table, ref: Reference, doubtful: list[int], chroms, starts, ends,
            lengths, messages: Messages) -> set[int]:
    """Refuse or skip the intervals that cannot be read as they stand; the skipped ones."""
    skips = _Skips(messages)
    dropped = set()
    for i in doubtful:
        where = f"{args.bed}: line {table.number(i)}"
        chrom, start, end, length = chroms[i], starts[i], ends[i], lengths[i]
        if start > end:
            raise table.error(i, f"start {start} is greater than end {end}")
        if length is None:
            if not args.keep_going:
                raise table.error(i, f"no sequence named '{chrom}' in '{ref.path}' "
                                     "(--continue skips such lines)")
            skips.add(f"{where}: no sequence named '{chrom}'")
        elif start == end:
            skips.add(f"{where}: interval {chrom}:{start}-{end} is empty")
        else:
            skips.add(f"{where}: interval {chrom}:{start}-{end} runs past the end of "
                      f"'{chrom}' (length {length:,})")
        dropped.add(i)
    skips.finish()
    return dropped


def _heads(args, table, keep, chroms, starts, ends, strands) -> list[str]:
    """The header (or, for --bed-out, the BED columns) written before each sequence;
    starts and ends are the coordinates as decimal texts."""
    if args.bed_out:
        rows = range(len(table)) if keep is None else keep
        return ["\t".join([chrom, start, end, *table.fields(i)[3:]])
                for i, chrom, start, end in zip(rows, chroms, starts, ends)]
    mark = "" if args.tab else ">"
    if args.name or args.name_only:
        names = table.column(3)
        names = names if keep is None else [names[i] for i in keep]
        if args.name_only:
            heads = [mark + n for n in names]
        else:
            heads = [f"{mark}{n}::{c}:{s}-{e}" for n, c, s, e in zip(names, chroms, starts, ends)]
    else:
        heads = [f"{mark}{c}:{s}-{e}" for c, s, e in zip(chroms, starts, ends)]
    if args.strand:
        heads = [f"{h}({s})" for h, s in zip(heads, strands)]
    return heads


def _fetch(plan: _Plan, ref: Reference, progress: Progress) -> list[str]:
    """Residues of every region: one batch fetch, unless the residues would not fit
    comfortably in memory, or a progress bar is shown (then about 50 fetches of at
    least PROGRESS_BATCH regions, each still large enough for the worker pool)."""
    regions = plan.regions
    if plan.residues <= BATCH_RESIDUES and not progress.enabled:
        return ref.fetch_many(regions)
    per_call = max(PROGRESS_BATCH, len(regions) // 50) if progress.enabled else len(regions)
    seqs: list[str] = []
    lo = 0
    while lo < len(regions):
        hi, residues = lo, 0
        while hi < len(regions) and hi - lo < per_call and residues < BATCH_RESIDUES:
            residues += regions[hi][2] - regions[hi][1] + 1
            hi += 1
        seqs.extend(ref.fetch_many(regions[lo:hi]))
        progress.advance(hi - lo)
        lo = hi
    return seqs


def _write(args, plan: _Plan, ref: Reference, progress: Progress) -> None:
    progress.phase("fetching", len(plan.regions))
    seqs = _fetch(plan, ref, progress)
    if plan.pieces is not None:
        joined, at = [], 0
        for count in plan.pieces:
            joined.append("".join(seqs[at:at + count]))
            at += count
        seqs = joined
    table = RNA_COMPLEMENT if args.rna else DNA_COMPLEMENT
    for i in plan.minus:
        seqs[i] = reverse_complement(seqs[i], table)
    heads = plan.heads
    progress.phase("writing", len(heads))
    with Output(args.output, (args.fasta, ref.index_path, args.bed)) as out:
        for lo in range(0, len(heads), RECORDS_PER_WRITE):
            hi = min(lo + RECORDS_PER_WRITE, len(heads))
            pairs = zip(heads[lo:hi], seqs[lo:hi])
            # One join per block; the trailing "" ends the last line.
            if args.tab or args.bed_out:
                lines = chain(map("\t".join, pairs), ("",))
            else:
                lines = chain(chain.from_iterable(pairs), ("",))
            out.write_text("\n".join(lines))
            progress.advance(hi - lo)
