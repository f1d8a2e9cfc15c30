#!/usr/bin/env python3
"""Time `sekvo getfasta` against `bedtools getfasta` and `samtools faidx -r`.

All three read the same BED intervals (200,000 by default) of the same
synthetic genome (1 GB by default, from make_data.py) in one run, as whole
processes writing to /dev/null, with the index already built and the genome
in the page cache.  Each command runs `--reps` times; the median counts.
Outputs are checked once: sekvo's bytes against bedtools', and the residues
of all three against each other (samtools writes other headers and wraps).

    python bench/cli_vs_peers.py                     # 1 GB genome, 200,000 intervals
    python bench/cli_vs_peers.py --size 50M --regions 20000 --keep-data

run.py may call measure(genome, bed, reps) directly.
"""

from __future__ import annotations

import argparse
import hashlib
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, HERE)

import make_data  # noqa: E402
from cli_tools import timed_run  # noqa: E402

TIMEOUT = 1800


def sekvo_command() -> tuple[list[str], dict[str, str]]:
    """argv prefix and environment that run this checkout's command-line tool."""
    import sekvo  # the module this interpreter would load, built or installed

    path = [os.path.join(REPO, "python"), os.path.dirname(os.path.abspath(sekvo.__file__))]
    if os.environ.get("PYTHONPATH"):
        path.append(os.environ["PYTHONPATH"])
    return [sys.executable, "-m", "sekvo_cli"], dict(os.environ, PYTHONPATH=os.pathsep.join(path))


def samtools_regions(bed: str, out_dir: str) -> str:
    """The BED intervals as samtools regions, name:start-end (1-based, inclusive)."""
    path = os.path.join(out_dir, os.path.basename(bed) + ".regions.txt")
    with open(bed) as src, open(path, "w") as dst:
        for line in src:
            chrom, start, end = line.split("\t")[:3]
            dst.write(f"{chrom}:{int(start) + 1}-{int(end.rstrip())}\n")
    return path


def commands(genome: str, bed: str, regions: str, output: str) -> dict[str, tuple[list[str], dict | None]]:
    prefix, env = sekvo_command()
    table = {"sekvo getfasta": (prefix + ["getfasta", genome, "--bed", bed, "-o", output], env)}
    if shutil.which("bedtools"):
        table["bedtools getfasta"] = (["bedtools", "getfasta", "-fi", genome, "-bed", bed,
                                       "-fo", output], None)
    if shutil.which("samtools"):
        table["samtools faidx -r"] = (["samtools", "faidx", genome, "-r", regions, "-o", output], None)
    return table


def residue_digest(path: str) -> str:
    """Digest of the residues of each record, line breaks removed."""
    h = hashlib.sha256()
    with open(path, "rb") as f:
        first = True
        for line in f:
            if line.startswith(b">"):
                if not first:
                    h.update(b"\n")
                first = False
            else:
                h.update(line.rstrip(b"\r\n"))
    return h.hexdigest()[:16]


def file_digest(path: str) -> str:
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()[:16]


def warm(path: str) -> None:
    with open(path, "rb") as f:
        while f.read(16 << 20):
            pass


def measure(genome: str, bed: str, reps: int = 5, log=print) -> dict:
    """{command: {"median", "times", "residues", "bytes"}} plus the checks, same run."""
    if not os.path.exists(genome + ".fai"):
        prefix, env = sekvo_command()
        subprocess.run(prefix + ["index", genome], check=True, env=env, timeout=TIMEOUT,
                       stdout=subprocess.DEVNULL)
    scratch = tempfile.mkdtemp(prefix="sekvo-cli-bench-")
    try:
        regions = samtools_regions(bed, scratch)
        output = os.path.join(scratch, "out.fa")
        table = commands(genome, bed, regions, output)
        warm(genome)
        results: dict = {}
        # Check each output once; the timed runs then write to /dev/null.
        for label, (argv, env) in table.items():
            subprocess.run(argv, check=True, env=env, timeout=TIMEOUT, stderr=subprocess.DEVNULL)
            results[label] = {"residues": residue_digest(output), "bytes": file_digest(output)}
            os.remove(output)
        # Interleave repetitions so that all commands see the same machine state.
        times: dict[str, list[float]] = {label: [] for label in table}
        for _ in range(reps):
            for label, (argv, env) in table.items():
                timed = [os.devnull if a == output else a for a in argv]
                times[label].append(timed_run(timed, env=env, stdout=None, stderr=subprocess.DEVNULL))
        for label, series in times.items():
            results[label].update(median=statistics.median(series), times=series)
            log(f"  {label:20} median {results[label]['median']:.3f} s  "
                f"({', '.join(f'{t:.3f}' for t in series)})")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    sekvo = results["sekvo getfasta"]
    checks = {}
    if "bedtools getfasta" in results:
        checks["identical to bedtools"] = sekvo["bytes"] == results["bedtools getfasta"]["bytes"]
    if "samtools faidx -r" in results:
        checks["same residues as samtools"] = sekvo["residues"] == results["samtools faidx -r"]["residues"]
    ratios = {f"{label} / sekvo getfasta": r["median"] / sekvo["median"]
              for label, r in results.items() if label != "sekvo getfasta"}
    return {"results": results, "checks": checks, "ratios": ratios}


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--data", default=os.path.join(tempfile.gettempdir(), "sekvo-cli-bench"),
                        help="data directory (made with make_data.py when missing)")
    parser.add_argument("--size", default="1G", type=make_data.parse_size, help="genome size (default 1G)")
    parser.add_argument("--regions", default=200_000, type=int, help="BED intervals (default 200000)")
    parser.add_argument("--bed", default="var_random", help="BED set of make_data.py (default var_random)")
    parser.add_argument("--reps", default=5, type=int, help="repetitions per command (default 5)")
    parser.add_argument("--keep-data", action="store_true", help="keep the generated data afterwards")
    args = parser.parse_args(argv)

    began = time.perf_counter()
    manifest = make_data.make(args.data, args.size, args.regions, seed=1)
    genome = os.path.join(args.data, manifest["files"]["genome"])
    bed = os.path.join(args.data, manifest["files"][args.bed])
    print(f"{manifest['genome_bytes'] / 1e9:.2f} GB genome, {args.regions:,} intervals ({args.bed}); "
          f"data ready in {time.perf_counter() - began:.0f} s")
    try:
        report = measure(genome, bed, args.reps)
    finally:
        if not args.keep_data:
            shutil.rmtree(args.data, ignore_errors=True)
    for name, ok in report["checks"].items():
        print(f"  {name}: {'yes' if ok else 'NO'}")
    for name, ratio in report["ratios"].items():
        print(f"  {name}: {ratio:.2f}")
    return 0 if all(report["checks"].values()) else 1


if __name__ == "__main__":
    sys.exit(main())
