#!/usr/bin/env python3
"""Write a seeded synthetic genome and BED files for the benchmarks.

The genome has 24 records named chr1..chr22, chrX, chrY whose lengths keep
the proportions of the human reference, 60 residues per line, soft-masked
(lower-case) stretches and runs of N at both ends of every record.  The BED
files hold random intervals (0-based, half-open) drawn uniformly over the
genome, in random order and sorted.

The same seed and sizes give the same bytes on every run.

    python bench/make_data.py                   # 1 GB genome, 200,000 regions
    python bench/make_data.py --size 50M --regions 20000 --out /tmp/x
"""

from __future__ import annotations

import argparse
import bisect
import itertools
import json
import os
import random
import sys
import tempfile
import time

LINE_WIDTH = 60
# Human reference record lengths; only their proportions are used.
HUMAN_LENGTHS = [
    ("chr1", 248956422), ("chr2", 242193529), ("chr3", 198295559),
    ("chr4", 190214555), ("chr5", 181538259), ("chr6", 170805979),
    ("chr7", 159345973), ("chr8", 145138636), ("chr9", 138394717),
    ("chr10", 133797422), ("chr11", 135086622), ("chr12", 133275309),
    ("chr13", 114364328), ("chr14", 107043718), ("chr15", 101991189),
    ("chr16", 90338345), ("chr17", 83257441), ("chr18", 80373285),
    ("chr19", 58617616), ("chr20", 64444167), ("chr21", 46709983),
    ("chr22", 50818468), ("chrX", 156040895), ("chrY", 57227415),
]
END_N_RUN = 10_000          # N run at each end, capped at 1% of the record
MASK_FRACTION = 0.45        # share of residues covered by soft-masked stretches
MASK_MIN, MASK_MAX = 50, 5_000
CHUNK = LINE_WIDTH * (1 << 16)  # residues generated and written per step

# Random byte -> residue, with human-like composition (A/T 29.7%, C/G 20.3%).
BASE_TABLE = b"A" * 76 + b"C" * 52 + b"G" * 52 + b"T" * 76

DEFAULT_DIR = os.path.join(tempfile.gettempdir(), "sekvo-bench")
GENOME_NAME = "genome.fa"
MANIFEST_NAME = "manifest.json"


def parse_size(text: str) -> int:
    """'1G', '50M', '300K' or a plain byte count -> bytes (decimal units)."""
    units = {"K": 10**3, "M": 10**6, "G": 10**9}
    text = text.strip().upper().removesuffix("B")
    if text and text[-1] in units:
        return int(float(text[:-1]) * units[text[-1]])
    return int(text)


def record_lengths(file_size: int) -> list[tuple[str, int]]:
    """Record lengths whose FASTA file (60 per line) is about file_size bytes."""
    residues = file_size * LINE_WIDTH // (LINE_WIDTH + 1)
    total = sum(n for _, n in HUMAN_LENGTHS)
    return [(name, max(LINE_WIDTH, n * residues // total)) for name, n in HUMAN_LENGTHS]


def _rng(seed: int, *stream: int) -> random.Random:
    """An independent generator per record and per BED file."""
    return random.Random(f"{seed}/{'/'.join(map(str, stream))}")


def _mask_stretches(rng: random.Random, length: int) -> tuple[list[int], list[int]]:
    """Soft-masked stretches, possibly overlapping, sorted by start: (starts, ends)."""
    count = int(length * MASK_FRACTION / ((MASK_MIN + MASK_MAX) / 2))
    starts = sorted(rng.randrange(length) for _ in range(count))
    ends = [min(s + rng.randint(MASK_MIN, MASK_MAX), length) for s in starts]
    return starts, ends


def _residues(rng: random.Random, length: int, begin: int, end: int, mask) -> bytearray:
    """Residues [begin, end) of a record of the given length."""
    seq = bytearray(rng.randbytes(end - begin).translate(BASE_TABLE))
    starts, ends = mask
    # Stretches are at most MASK_MAX long, so earlier starts cannot reach here.
    for i in range(bisect.bisect_left(starts, begin - MASK_MAX), bisect.bisect_left(starts, end)):
        a, b = max(starts[i], begin) - begin, min(ends[i], end) - begin
        if a < b:
            seq[a:b] = seq[a:b].lower()
    n_run = min(END_N_RUN, length // 100)
    if begin < n_run:
        seq[: n_run - begin] = b"N" * (n_run - begin)
    if end > length - n_run:
        tail = max(length - n_run, begin) - begin
        seq[tail:] = b"N" * (len(seq) - tail)
    return seq


def _with_newlines(seq: bytearray) -> bytes:
    """Residues laid out LINE_WIDTH per line, each line ended by a line feed."""
    view = memoryview(seq)
    return b"\n".join([view[i:i + LINE_WIDTH] for i in range(0, len(view), LINE_WIDTH)]) + b"\n"


def write_genome(path: str, lengths: list[tuple[str, int]], seed: int) -> None:
    with open(path, "wb", buffering=16 << 20) as out:
        for index, (name, length) in enumerate(lengths):
            rng = _rng(seed, 0, index)
            mask = _mask_stretches(rng, length)
            out.write(b">" + name.encode() + b"\n")
            for begin in range(0, length, CHUNK):
                out.write(_with_newlines(_residues(rng, length, begin, min(begin + CHUNK, length), mask)))


def random_intervals(lengths, count, min_len, max_len, seed, stream) -> list[tuple[str, int, int]]:
    """count BED intervals placed uniformly over the genome, in random order."""
    rng = _rng(seed, stream)
    # Pick records by length so that positions are uniform over the genome.
    cumulative = list(itertools.accumulate(n for _, n in lengths))
    out = []
    for _ in range(count):
        name, size = lengths[bisect.bisect_right(cumulative, rng.randrange(cumulative[-1]))]
        span = min(rng.randint(min_len, max_len), size)
        start = rng.randrange(size - span + 1)
        out.append((name, start, start + span))
    return out


def write_bed(path: str, intervals, order: dict[str, int] | None = None) -> None:
    if order is not None:
        intervals = sorted(intervals, key=lambda iv: (order[iv[0]], iv[1], iv[2]))
    with open(path, "w", buffering=1 << 20) as out:
        out.writelines(f"{c}\t{s}\t{e}\n" for c, s, e in intervals)


def bed_sets() -> dict[str, tuple[int, int, bool, int]]:
    """File name -> (min length, max length, single record, random stream)."""
    return {
        "var": (50, 1000, False, 1),
        "fixed100": (100, 100, False, 2),
        "samechr": (50, 1000, True, 3),
    }


def make(out_dir: str, size: int, regions: int, seed: int, force: bool = False) -> dict:
    """Write the genome and BED files unless an identical set is already there."""
    os.makedirs(out_dir, exist_ok=True)
    manifest_path = os.path.join(out_dir, MANIFEST_NAME)
    wanted = {"size": size, "regions": regions, "seed": seed, "line_width": LINE_WIDTH, "version": 1}
    if not force and os.path.exists(manifest_path):
        with open(manifest_path) as f:
            have = json.load(f)
        if {k: have.get(k) for k in wanted} == wanted and all(
            os.path.exists(os.path.join(out_dir, p)) for p in have.get("files", {}).values()
        ):
            return have
    if os.path.exists(manifest_path):
        os.remove(manifest_path)

    lengths = record_lengths(size)
    genome = os.path.join(out_dir, GENOME_NAME)
    for stale in (genome + ".fai", genome + ".fxi"):
        if os.path.exists(stale):
            os.remove(stale)
    write_genome(genome, lengths, seed)

    files = {"genome": GENOME_NAME}
    order = {name: i for i, (name, _) in enumerate(lengths)}
    for label, (lo, hi, same, stream) in bed_sets().items():
        pool = lengths[:1] if same else lengths
        intervals = random_intervals(pool, regions, lo, hi, seed, stream)
        files[f"{label}_random"] = f"{label}_random.bed"
        write_bed(os.path.join(out_dir, files[f"{label}_random"]), intervals)
        if not same:
            files[f"{label}_sorted"] = f"{label}_sorted.bed"
            write_bed(os.path.join(out_dir, files[f"{label}_sorted"]), intervals, order)

    manifest = dict(wanted, files=files, records=[[n, l] for n, l in lengths],
                    genome_bytes=os.path.getsize(genome))
    with open(manifest_path, "w") as f:
        json.dump(manifest, f, indent=1)
    return manifest


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", default=DEFAULT_DIR, help=f"output directory (default {DEFAULT_DIR})")
    parser.add_argument("--size", default="1G", type=parse_size, help="genome file size, e.g. 1G, 50M (default 1G)")
    parser.add_argument("--regions", default=200_000, type=int, help="intervals per BED file (default 200000)")
    parser.add_argument("--seed", default=1, type=int)
    parser.add_argument("--force", action="store_true", help="rewrite even if the same data is present")
    args = parser.parse_args(argv)
    if os.path.realpath(args.out).startswith(os.path.realpath(os.path.join(os.path.dirname(__file__), ".."))):
        print("note: writing benchmark data inside the repository", file=sys.stderr)
    began = time.perf_counter()
    manifest = make(args.out, args.size, args.regions, args.seed, args.force)
    print(f"{args.out}: {manifest['genome_bytes'] / 1e6:.0f} MB genome, "
          f"{len(manifest['files']) - 1} BED files of {args.regions} regions "
          f"({time.perf_counter() - began:.1f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
