#!/usr/bin/env python3
"""The sequences of a BED file's intervals, fetched on a Dask cluster.

    python examples/dask_regions.py genome.fa regions.bed -o out.fa
    python examples/dask_regions.py genome.fa regions.bed --scheduler tcp://host:8786

The BED file is read here and split into partitions of consecutive lines,
which the workers parse.
The Fasta handle is sent to every worker once (it pickles as its path and
settings, and each worker opens the file itself, loading the index that is
already there), and each partition is read there with one columnar batch
fetch (fetch_array). The
FASTA text comes back partition by partition and is written in input order,
as `sekvo getfasta FILE --bed BED` writes it: a header chrom:start-end (with
the strand in parentheses under -s), then the sequence on one line.

Every worker must be able to read the FASTA file, and its index, at the same
path: a shared file system, or a copy at that path on each machine. Intervals
must lie within their sequences.

Without --scheduler a LocalCluster of --workers processes is started.
Needs the dask and distributed packages.
"""

from __future__ import annotations

import argparse
import os
import sys
import time

import sekvo


def read_bed(path: str) -> list[str]:
    """The interval lines of a BED file (headers, comments and blank lines left out)."""
    with open(path) as bed:
        return [line for line in bed if line.strip() and not line.startswith(("#", "track", "browser"))]


def partitions(lines: list[str], count: int) -> list[str]:
    """`count` runs of consecutive lines (none empty), each as one text: a
    text crosses to a worker far more cheaply than a list of tuples."""
    count = max(1, min(count, len(lines)))
    size, extra = divmod(len(lines), count)
    runs, at = [], 0
    for i in range(count):
        step = size + (i < extra)
        runs.append("".join(lines[at:at + step]))
        at += step
    return runs


def fetch_partition(fasta: sekvo.Fasta, bed_text: str, strand: bool) -> str:
    """Runs on a worker: the lines parsed, one columnar batch fetch (a second
    one, reverse-complemented, for the '-' intervals under -s), FASTA text back."""
    chroms, starts, ends, marks = [], [], [], []
    for line in bed_text.splitlines():
        fields = line.split("\t")
        if len(fields) < 3 or not fields[1].isdigit() or not fields[2].isdigit():
            raise ValueError(f"not a BED line (chrom, start, end): {line!r}")
        chroms.append(fields[0])
        starts.append(fields[1])
        ends.append(fields[2])
        marks.append(fields[5] if len(fields) > 5 else ".")
    seqs = fasta.fetch_array(names=chroms, starts=[int(s) + 1 for s in starts],
                             ends=[int(e) for e in ends]).to_pylist()
    if strand and "-" in marks:
        minus = [i for i, mark in enumerate(marks) if mark == "-"]
        flipped = fasta.fetch_array(names=[chroms[i] for i in minus], starts=[int(starts[i]) + 1 for i in minus],
                                    ends=[int(ends[i]) for i in minus], rc=True).to_pylist()
        for i, seq in zip(minus, flipped):
            seqs[i] = seq
    suffix = [f"({mark})" for mark in marks] if strand else [""] * len(marks)
    lines = [f">{c}:{s}-{e}{x}\n{seq}\n" for c, s, e, x, seq in zip(chroms, starts, ends, suffix, seqs)]
    return "".join(lines)


def start_client(scheduler: str | None, workers: int):
    """A client of the given scheduler, or of a new LocalCluster of `workers`
    single-threaded processes (the library's worker pool does the threading)."""
    from dask.distributed import Client, LocalCluster

    if scheduler:
        return Client(scheduler)
    cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                           dashboard_address=None)
    return Client(cluster)


def run(client, fasta_path: str, lines: list[str], out, parts: int, strand: bool = False) -> None:
    """Fetch the intervals of the BED `lines` on the cluster and write them to
    `out` in input order."""
    fasta = sekvo.Fasta(os.path.abspath(fasta_path), strict_bounds=True)
    # One copy of the handle per worker, opened once there.
    [handle] = client.scatter([fasta], broadcast=True, hash=False)
    futures = [client.submit(fetch_partition, handle, run_, strand, pure=False)
               for run_ in partitions(lines, parts)]
    for future in futures:
        out.write(future.result())
        future.release()


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("fasta", help="FASTA file, readable at this path on every worker")
    parser.add_argument("bed", help="BED file (chrom, start, end[, name, score, strand])")
    parser.add_argument("-o", "--output", help="output FASTA (default: standard output)")
    parser.add_argument("-s", "--strand", action="store_true",
                        help="reverse-complement '-' intervals and show the strand")
    parser.add_argument("--scheduler", metavar="ADDRESS", help="address of a running Dask scheduler")
    parser.add_argument("--workers", type=int, default=2, help="processes of the LocalCluster (default 2)")
    parser.add_argument("--partitions", type=int, default=0,
                        help="partitions of the BED file (default: 4 per worker)")
    args = parser.parse_args(argv)

    # Opened once here: builds the index if missing, so the workers only load it.
    sekvo.Faidx(args.fasta)
    lines = read_bed(args.bed)
    began = time.perf_counter()
    with start_client(args.scheduler, args.workers) as client:
        started = time.perf_counter()
        workers = len(client.scheduler_info()["workers"]) or 1
        out = open(args.output, "w") if args.output else sys.stdout
        try:
            run(client, args.fasta, lines, out, args.partitions or 4 * workers, args.strand)
        finally:
            if out is not sys.stdout:
                out.close()
        print(f"{len(lines):,} intervals on {workers} workers: start {started - began:.2f} s, "
              f"fetch and write {time.perf_counter() - started:.2f} s", file=sys.stderr)
        if not args.scheduler:
            client.cluster.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
