"""Columnar batch workloads: one buffer instead of a list of objects.

Run by worker.py as the "columnar" phase for sekvo, pysam and the Python
floor (python-mmap), or on its own for a focused measurement:

    python bench/columnar.py DATA_DIR [--reps 5] [--tools sekvo,pysam,python-mmap]

DATA_DIR is a directory made by bench/make_data.py (bench/run.py keeps it
with --keep-data).  Workloads:

- columnar_var_random: the 50-1000 bp regions in random order, as residues
  (sekvo: the list of str from fetch_many, and SequenceArray from tuples,
  from numpy columns and from the BED file; pysam: the fetch loop).
- bed_file: the same BED file read from disk: sekvo's fetch_bed (parsing and
  fetching) against parsing it into tuples in Python alone.
- arrow_export: pyarrow.array() of a SequenceArray of those regions.
- one_hot_200: 200 bp regions one-hot encoded into a fresh (N, 200, 4) array.
- minibatch_1000: a training loop of mini-batches of 256 windows of 1000 bp
  at random places, each one-hot encoded.
"""

from __future__ import annotations

import gc
import hashlib
import json
import os
import random
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from residue_digest import digest  # noqa: E402

BATCHES = 40          # mini-batches per timed training loop
BATCH_WINDOWS = 256
WINDOW = 1000
ONE_HOT_LENGTH = 200


def read_bed(path: str) -> list[tuple[str, int, int]]:
    with open(path) as f:
        return [(c, int(s), int(e)) for c, s, e in (line.split("\t")[:3] for line in f)]


def read_lengths(genome: str) -> dict[str, int]:
    with open(genome + ".fai") as f:
        return {line.split("\t")[0]: int(line.split("\t")[1]) for line in f}


def fixed_regions(lengths: dict[str, int], count: int, length: int, seed: int) -> list[tuple[str, int, int]]:
    """count 0-based half-open regions of `length`, uniform over the genome."""
    rng = random.Random(seed)
    names = [n for n, size in lengths.items() if size >= length]
    weights = [lengths[n] for n in names]
    out = []
    for name in rng.choices(names, weights, k=count):
        start = rng.randrange(lengths[name] - length + 1)
        out.append((name, start, start + length))
    return out


def inputs(data: str, genome: str, regions: int) -> dict:
    lengths = read_lengths(genome)
    return {
        "bed_path": os.path.join(data, "var_random.bed"),
        "bed": read_bed(os.path.join(data, "var_random.bed")),
        "one_hot": fixed_regions(lengths, regions, ONE_HOT_LENGTH, seed=5),
        "windows": [fixed_regions(lengths, BATCH_WINDOWS, WINDOW, seed=100 + b) for b in range(BATCHES)],
    }


def lookup_table():
    """The numpy one-hot users write: a (256, 4) table, letters in either case."""
    import numpy as np
    lut = np.zeros((256, 4), dtype=np.uint8)
    for k, letter in enumerate("ACGT"):
        lut[ord(letter), k] = lut[ord(letter.lower()), k] = 1
    return lut


def array_digest(array) -> list[str]:
    return [hashlib.sha256(memoryview(array).cast("B")).hexdigest()]


def variants(tool: str, handle, genome: str) -> dict[str, dict[str, tuple]]:
    """workload -> {label: (prepare(inputs), run(prepared, collect))}."""
    import numpy as np
    lut = lookup_table()
    out: dict[str, dict[str, tuple]] = {}
    one_based = lambda bed: [(c, s + 1, e) for c, s, e in bed]  # noqa: E731

    if tool == "sekvo":
        fa = handle

        def columns(bed):
            return ([c for c, _, _ in bed], np.fromiter((s + 1 for _, s, _ in bed), np.int64, len(bed)),
                    np.fromiter((e for _, _, e in bed), np.int64, len(bed)))

        out["columnar_var_random"] = {
            "[str(s) for s in fetch_many]": (lambda i: one_based(i["bed"]),
                                             lambda r, collect: [str(s) for s in fa.fetch_many(r)]),
            "fetch_array(tuples)": (lambda i: one_based(i["bed"]), lambda r, collect: (
                fa.fetch_array(r).to_pylist() if collect else fa.fetch_array(r))),
            "fetch_array(numpy columns)": (lambda i: columns(i["bed"]), lambda r, collect: (
                lambda a: a.to_pylist() if collect else a)(fa.fetch_array(names=r[0], starts=r[1], ends=r[2]))),
            "fetch_bed(path)": (lambda i: i["bed_path"], lambda p, collect: (
                fa.fetch_bed(p).to_pylist() if collect else fa.fetch_bed(p))),
        }
        out["bed_file"] = {"fetch_bed(path)": out["columnar_var_random"]["fetch_bed(path)"]}

        def arrow(i):
            import pyarrow  # noqa: F401  (imported before timing)
            return fa.fetch_array(one_based(i["bed"]))
        out["arrow_export"] = {"pyarrow.array(arr)": (arrow, lambda a, collect: (
            __import__("pyarrow").array(a).to_pylist() if collect else __import__("pyarrow").array(a)))}

        def one_hot(r, collect):
            codes = np.asarray(fa.fetch_array(r).one_hot())
            return array_digest(codes) if collect else codes
        out["one_hot_200"] = {"fetch_array + one_hot": (lambda i: one_based(i["one_hot"]), one_hot)}

        def loop(batches, collect):
            seen = []
            for batch in batches:
                codes = np.asarray(fa.fetch_array(batch).one_hot())
                if collect:
                    seen += array_digest(codes)
            return seen
        out["minibatch_1000"] = {"fetch_array + one_hot": (lambda i: [one_based(b) for b in i["windows"]], loop)}

    elif tool == "pysam":
        fetch = handle.fetch

        def pysam_one_hot(bed, length):
            text = "".join([fetch(c, s, e) for c, s, e in bed]).encode()
            return lut[np.frombuffer(text, np.uint8).reshape(len(bed), length)]

        out["columnar_var_random"] = {"FastaFile.fetch loop": (
            lambda i: i["bed"], lambda bed, collect: [fetch(c, s, e) for c, s, e in bed])}
        out["one_hot_200"] = {"fetch loop + lut[np.frombuffer]": (
            lambda i: i["one_hot"], lambda bed, collect: (
                lambda codes: array_digest(codes) if collect else codes)(pysam_one_hot(bed, ONE_HOT_LENGTH)))}

        def loop(batches, collect):
            seen = []
            for batch in batches:
                codes = pysam_one_hot(batch, WINDOW)
                if collect:
                    seen += array_digest(codes)
            return seen
        out["minibatch_1000"] = {"fetch loop + lut[np.frombuffer]": (lambda i: i["windows"], loop)}

    elif tool == "python-mmap":
        from tools import PythonMmap
        floor = PythonMmap(genome)
        floor.open()

        def parse(path, collect):
            with open(path) as f:
                bed = [(c, int(s), int(e)) for c, s, e, *_ in (line.rstrip("\n").split("\t") for line in f)
                       if c and not c.startswith(("#", "track", "browser"))]
            return [floor.fetch(c, s, e) for c, s, e in bed] if collect else bed
        out["bed_file"] = {"parse to tuples in Python": (lambda i: i["bed_path"], parse)}
    return out


def time_workloads(tool: str, handle, genome: str, given: dict, reps: int, log=None) -> dict:
    """workload -> label -> {median, min, times, check}, variants timed in turn."""
    results: dict = {}
    for workload, by_label in variants(tool, handle, genome).items():
        prepared = {label: prepare(given) for label, (prepare, _) in by_label.items()}
        for label, (_, run) in by_label.items():
            run(prepared[label], False)
        times: dict[str, list[float]] = {label: [] for label in by_label}
        for _ in range(reps):
            for label, (_, run) in by_label.items():
                gc.collect()
                began = time.perf_counter()
                result = run(prepared[label], False)
                times[label].append(time.perf_counter() - began)
                del result
        for label, (_, run) in by_label.items():
            t = times[label]
            res = {"median": statistics.median(t), "min": min(t), "times": t,
                   "check": digest(run(prepared[label], True))}
            results.setdefault(workload, {})[label] = res
            if log:
                log(f"  {tool:12} {workload:24} {label:32} {res['median']:.4f} s")
        del prepared
    return results


def open_tool(tool: str, genome: str):
    if tool == "sekvo":
        import sekvo
        return sekvo.Faidx(genome)
    if tool == "pysam":
        import pysam
        return pysam.FastaFile(genome)
    return None


def peak_memory(genome: str, given: dict) -> dict:
    """Peak resident memory (VmHWM) added by fetch_array of the 50-1000 bp regions, against the
    residues. A first call maps the genome's pages into the process (file pages, which VmHWM
    counts too) and starts the pool; the second call is measured. The first result is kept
    alive meanwhile: released, its block would be used again and the second call would seem
    to cost nothing."""
    import sekvo
    fa = sekvo.Faidx(genome)
    regions = [(c, s + 1, e) for c, s, e in given["bed"]]
    first = fa.fetch_array(regions)  # noqa: F841

    def status(key):
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) * 1024 for line in f if line.startswith(key))
    gc.collect()
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = status("VmRSS")
    arr = fa.fetch_array(regions)
    peak = status("VmHWM") - before
    residues = len(arr.data)
    return {"peak": peak, "residues": residues, "ratio": peak / residues}


def main(argv=None) -> int:
    import argparse
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("data")
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--tools", default="sekvo,pysam,python-mmap")
    parser.add_argument("--memory", action="store_true", help="only the peak memory of fetch_array")
    args = parser.parse_args(argv)
    with open(os.path.join(args.data, "manifest.json")) as f:
        manifest = json.load(f)
    genome = os.path.join(args.data, manifest["files"]["genome"])
    given = inputs(args.data, genome, manifest["regions"])
    if args.memory:
        print(json.dumps(peak_memory(genome, given)))
        return 0
    log = lambda m: print(m, file=sys.stderr, flush=True)  # noqa: E731
    everything = {}
    for tool in args.tools.split(","):
        everything[tool] = time_workloads(tool, open_tool(tool, genome), genome, given, args.reps, log)
    print(json.dumps(everything, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
