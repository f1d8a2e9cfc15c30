"""Where the time of random-region reads goes: the same calls on regions
scattered over the genome and on regions packed into one small window.

    python bench/latency_probe.py [--data DIR] [--runs N]

Uses the genome and BED files of make_data.py (generated when missing).
The packed regions have the same lengths as the scattered ones but all lie
in 64 kB of the largest record, which the processor keeps in its caches;
the difference between the two is the cost of fetching scattered regions
from memory, which no reader can avoid. Prints a Markdown table.
"""

from __future__ import annotations

import argparse
import gc
import os
import random
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import make_data  # noqa: E402

WINDOW = 64 * 1024


def read_bed(path):
    with open(path) as f:
        return [(c, int(s), int(e)) for c, s, e in (line.split("\t")[:3] for line in f)]


def packed(regions, name, rng):
    """The same lengths, every region inside one window of `name`."""
    out = []
    for _, s, e in regions:
        start = 1_000_000 + rng.randrange(WINDOW - (e - s))
        out.append((name, start, start + (e - s)))
    return out


def timed(run, runs):
    """Median seconds of `runs` calls after one untimed call."""
    run()
    times = []
    for _ in range(runs):
        gc.collect()
        began = time.perf_counter()
        result = run()
        times.append(time.perf_counter() - began)
        del result
    return statistics.median(times)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--data", default=make_data.DEFAULT_DIR)
    parser.add_argument("--runs", type=int, default=7)
    args = parser.parse_args(argv)
    genome = os.path.join(args.data, "genome.fa")
    if not os.path.exists(genome):
        make_data.main(["--out", args.data])

    import sekvo
    fx = sekvo.Faidx(genome)
    largest = max(fx.keys, key=lambda name: len(fx.fetch_entire_sequence(name)))
    rng = random.Random(1)
    rows = []

    singles = [(c, s + 1, e) for c, s, e in read_bed(os.path.join(args.data, "fixed100_random.bed"))]
    for label, regions in (("scattered", singles), ("packed", packed(singles, largest, rng))):
        fetch = fx.fetch
        seconds = timed(lambda: [fetch(c, s, e) for c, s, e in regions], args.runs)
        rows.append(("`Faidx.fetch`, 100 bp", label, f"{seconds / len(regions) * 1e9:.0f} ns/call"))
    try:
        import pysam
        fa = pysam.FastaFile(genome)
        regions = [(c, s - 1, e) for c, s, e in singles]
        seconds = timed(lambda: [fa.fetch(c, s, e) for c, s, e in regions], max(3, args.runs // 2))
        rows.append(("pysam `FastaFile.fetch`, 100 bp", "scattered", f"{seconds / len(regions) * 1e9:.0f} ns/call"))
    except ImportError:
        rows.append(("pysam `FastaFile.fetch`, 100 bp", "scattered", "missing"))

    batch = [(c, s + 1, e) for c, s, e in read_bed(os.path.join(args.data, "var_random.bed"))]
    for label, regions in (("scattered", batch), ("packed", packed(batch, largest, rng))):
        # The benchmark times [str(s) for s in fetch_many(regions)], which
        # also frees the Sequence objects when their list is dropped.
        parts = {"fetch_many": [], "str": [], "free": []}
        for run in range(args.runs + 1):
            gc.collect()
            began = time.perf_counter()
            results = fx.fetch_many(regions)
            fetched = time.perf_counter()
            texts = [str(s) for s in results]
            converted = time.perf_counter()
            del results
            freed = time.perf_counter()
            del texts
            if run:
                parts["fetch_many"].append(fetched - began)
                parts["str"].append(converted - fetched)
                parts["free"].append(freed - converted)
        for part, title in (("fetch_many", "`fetch_many`, 50–1000 bp"), ("str", "`str()` of each result"),
                            ("free", "freeing the results")):
            rows.append((title, label, f"{statistics.median(parts[part]) * 1e3:.1f} ms"))

    print(f"{len(singles):,} single calls, {len(batch):,} batch regions; median of {args.runs} runs\n")
    print("| call | regions | time |\n|---|---|---:|")
    for row in rows:
        print("| " + " | ".join(row) + " |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
