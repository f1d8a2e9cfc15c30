"""`sekvo getfasta FILE --bed BED`: BED intervals as FASTA, in the manner of bedtools getfasta.

All intervals go to the library in one batch fetch, so large BED files are
read by its worker pool; the output is written in a few large blocks.
"""

from __future__ import annotations

import argparse

from .bed import BedError, blocks, coordinate, data_lines
from .errors import CliError
from .inputs import read_text
from .messages import Messages
from .output import DNA_COMPLEMENT, RNA_COMPLEMENT, Output, reverse_complement
from .progress import Progress
from .reference import Reference

PROGRESS_LINES = 100_000
RECORDS_PER_WRITE = 20_000
# One batch fetch for the whole file unless its residues exceed this many.
BATCH_RESIDUES = 1 << 30
# Skipped intervals are reported one by one up to this many, then counted.
WARN_LIMIT = 10

UNSUPPORTED = {
    "--full-header": "-fullHeader (FASTA headers are matched by their first word only)",
}


def add_parser(subparsers) -> None:
    p = subparsers.add_parser(
        "getfasta", help="print the sequences of BED intervals",
        description="Print the sequence of every interval of a BED file (0-based, "
                    "half-open) as FASTA, with headers chrom:start-end as bedtools "
                    "getfasta writes them.")
    p.add_argument("fasta", metavar="FILE", help="FASTA file (indexed on first use)")
    p.add_argument("-b", "--bed", required=True, metavar="BED",
                   help="BED file ('-' for standard input; may be gzip-compressed)")
    p.add_argument("-s", "--strand", action="store_true",
                   help="reverse-complement intervals on the '-' strand (column 6) and "
                        "add the strand to the header")
    names = p.add_mutually_exclusive_group()
    names.add_argument("--name", "--name+", dest="name", action="store_true",
                       help="header name::chrom:start-end, the name from column 4")
    names.add_argument("--name-only", action="store_true",
                       help="header is the name from column 4 alone")
    layout = p.add_mutually_exclusive_group()
    layout.add_argument("--tab", action="store_true",
                        help="write 'header<TAB>sequence' lines instead of FASTA")
    layout.add_argument("--bed-out", action="store_true",
                        help="write the BED columns followed by the sequence")
    p.add_argument("--split", action="store_true",
                   help="join the blocks of BED12 lines (columns 10-12)")
    p.add_argument("--rna", action="store_true",
                   help="the sequences are RNA: complement A as U")
    p.add_argument("-o", "--output", "--fo", metavar="OUT",
                   help="write to OUT instead of standard output")
    p.add_argument("-c", "--continue", dest="keep_going", action="store_true",
                   help="warn about and skip intervals on unknown sequences")
    for flag, text in UNSUPPORTED.items():
        p.add_argument(flag, action="store_true", help=argparse.SUPPRESS)
    p.set_defaults(run=run)


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
    for flag, text in UNSUPPORTED.items():
        if getattr(args, flag.lstrip("-").replace("-", "_")):
            raise CliError(f"{flag} is not supported: {text}")
    ref = Reference(args.fasta)
    text = read_text(args.bed, "BED file")
    progress = Progress.for_lines(text.count("\n"), PROGRESS_LINES)
    messages = Messages("getfasta", progress)
    try:
        plan = _read_intervals(args, text, ref, progress, messages)
        _write(args, plan, ref, progress)
    finally:
        progress.close()
    return 0


class _Plan:
    def __init__(self):
        self.regions: list[tuple[str, int, int]] = []   # what the batch fetch reads
        self.heads: list[str] = []                      # header or BED-columns text per record
        self.minus: list[int] = []                      # records to reverse-complement
        self.pieces: list[int] | None = None            # regions per record, when split
        self.residues = 0


def _read_intervals(args, text: str, ref: Reference, progress: Progress,
                    messages: Messages) -> _Plan:
    path = args.bed
    lengths = ref.lengths
    plan = _Plan()
    if args.split:
        plan.pieces = []
    skips = _Skips(messages)
    progress.phase("reading", text.count("\n"))
    last = 0
    for number, fields in data_lines(text, path):
        if number - last >= 4096:
            progress.advance(number - last)
            last = number
        chrom = fields[0]
        start = coordinate(fields[1], "start", path, number)
        end = coordinate(fields[2], "end", path, number)
        if start > end:
            raise BedError(path, number, f"start {start} is greater than end {end}")
        length = lengths.get(chrom)
        if length is None:
            if not args.keep_going:
                raise BedError(path, number, f"no sequence named '{chrom}' in '{ref.path}' "
                                             "(--continue skips such lines)")
            skips.add(f"{path}: line {number}: no sequence named '{chrom}'")
            continue
        if start == end:
            skips.add(f"{path}: line {number}: interval {chrom}:{start}-{end} is empty")
            continue
        if end > length:
            skips.add(f"{path}: line {number}: interval {chrom}:{start}-{end} runs past "
                      f"the end of '{chrom}' (length {length:,})")
            continue
        if plan.pieces is not None:
            parts = blocks(fields, start, end, path, number)
            if any(b_end > length for _, b_end in parts):
                skips.add(f"{path}: line {number}: a block of {chrom}:{start}-{end} runs past "
                          f"the end of '{chrom}' (length {length:,})")
                continue
            plan.pieces.append(len(parts))
            plan.regions.extend((chrom, b + 1, e) for b, e in parts)
        else:
            plan.regions.append((chrom, start + 1, end))
        strand = fields[5] if len(fields) > 5 else ""
        if args.strand and strand == "-":
            plan.minus.append(len(plan.heads))
        plan.heads.append(_head(args, fields, chrom, start, end, strand))
        plan.residues += end - start
    progress.advance(progress.total - progress.done)
    skips.finish()
    return plan


def _head(args, fields: list[str], chrom: str, start: int, end: int, strand: str) -> str:
    """The header (or, for --bed-out, the BED columns) written before a sequence."""
    if args.bed_out:
        return "\t".join([chrom, str(start), str(end), *fields[3:]])
    name = fields[3] if len(fields) > 3 else ""
    if args.name_only:
        head = name
    elif args.name:
        head = f"{name}::{chrom}:{start}-{end}"
    else:
        head = f"{chrom}:{start}-{end}"
    return f"{head}({strand})" if args.strand else head


def _fetch(plan: _Plan, ref: Reference) -> list[str]:
    if plan.residues <= BATCH_RESIDUES:
        return ref.fetch_many(plan.regions)
    # Bound memory for BED files of very long intervals; each batch still large.
    seqs: list[str] = []
    batch, residues = [], 0
    for region in plan.regions:
        batch.append(region)
        residues += region[2] - region[1] + 1
        if residues >= BATCH_RESIDUES:
            seqs.extend(ref.fetch_many(batch))
            batch, residues = [], 0
    seqs.extend(ref.fetch_many(batch))
    return seqs


def _write(args, plan: _Plan, ref: Reference, progress: Progress) -> None:
    progress.phase("fetching", len(plan.regions))
    seqs = _fetch(plan, ref)
    progress.advance(len(plan.regions))
    if plan.pieces is not None:
        joined, at = [], 0
        for count in plan.pieces:
            joined.append("".join(seqs[at:at + count]) if count != 1 else seqs[at])
            at += count
        seqs = joined
    table = RNA_COMPLEMENT if args.rna else DNA_COMPLEMENT
    for i in plan.minus:
        seqs[i] = reverse_complement(seqs[i], table)
    if args.tab or args.bed_out:
        form = "{}\t{}\n".format
    else:
        form = ">{}\n{}\n".format
    heads = plan.heads
    progress.phase("writing", len(heads))
    with Output(args.output) as out:
        for lo in range(0, len(heads), RECORDS_PER_WRITE):
            hi = lo + RECORDS_PER_WRITE
            out.write_block(list(map(form, heads[lo:hi], seqs[lo:hi])))
            progress.advance(min(hi, len(heads)) - lo)
