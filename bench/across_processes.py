#!/usr/bin/env python3
"""Handles that cross processes: unpickling a Fasta of the genome against
opening it fresh and building its index, and a BED file fetched on an already
started Dask LocalCluster against one process (cluster start-up and Dask's own
scheduling timed apart).

    python bench/across_processes.py --data /tmp/sekvo-bench-quick     # rows alone
    python bench/run.py ...                                       # phase "processes"

The index is written beside the run's temporary files (indexname), so the
genome's own index is never touched.
"""

from __future__ import annotations

import argparse
import json
import os
import pickle
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(REPO, "examples"))

BED = "var_random.bed"
WORKERS = 2
SAMPLES, CALLS = 60, 20


def _median(times: list[float]) -> dict:
    return {"median": statistics.median(times), "min": min(times), "times": times}


def _timed(call, reps: int) -> dict:
    times = []
    for _ in range(reps):
        began = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - began)
        del result
    return _median(times)


def _timed_calls(call) -> float:
    """Seconds per call over CALLS calls, each result dropped before the next."""
    began = time.perf_counter()
    for _ in range(CALLS):
        call()
    return (time.perf_counter() - began) / CALLS


def handle_rows(genome: str, tmp: str, reps: int) -> dict:
    """Build the index, open with it present, unpickle a pickled Fasta."""
    import sekvo

    index = os.path.join(tmp, "genome.fa.fai")

    def build():
        if os.path.exists(index):
            os.remove(index)
        return sekvo.Fasta(genome, indexname=index)

    rows = {"build": _timed(build, max(1, reps // 2))}
    data = pickle.dumps(sekvo.Fasta(genome, indexname=index))
    before = os.stat(index).st_mtime_ns
    # Both take microseconds: samples of CALLS calls, taken in turn.
    # The unpickler's own fixed cost: a pickled object made by the same
    # reconstruct function, without a file.
    floor_data = pickle.dumps(sekvo.Sequence("", ""))
    opened, unpickled, floor = [], [], []
    for _ in range(SAMPLES):
        opened.append(_timed_calls(lambda: sekvo.Fasta(genome, indexname=index)))
        unpickled.append(_timed_calls(lambda: pickle.loads(data)))
        floor.append(_timed_calls(lambda: pickle.loads(floor_data)))
    rows["open"], rows["unpickle"], rows["pickle_floor"] = _median(opened), _median(unpickled), _median(floor)
    rows["index_rewritten"] = os.stat(index).st_mtime_ns != before
    rows["pickle_bytes"] = len(data)
    return rows


def cluster_rows(genome: str, bed: str, reps: int) -> dict:
    """One process against a started LocalCluster of WORKERS processes."""
    try:
        import dask_regions
        from distributed import wait
    except ImportError as error:
        return {"missing": str(error)}
    import sekvo

    lines = dask_regions.read_bed(bed)
    fasta = sekvo.Fasta(genome)
    parts = 4 * WORKERS
    with open(os.devnull, "w") as devnull:
        rows = {"regions": len(lines), "partitions": parts}
        whole = "".join(lines)
        rows["single"] = _timed(lambda: devnull.write(dask_regions.fetch_partition(fasta, whole, False)), reps)
        cli = []
        for _ in range(reps):
            began = time.perf_counter()
            subprocess.run([sys.executable, "-m", "sekvo_cli", "getfasta", genome, "--bed", bed, "-o",
                            os.devnull], check=True, capture_output=True)
            cli.append(time.perf_counter() - began)
        rows["single_cli"] = _median(cli)
        began = time.perf_counter()
        client = dask_regions.start_client(None, WORKERS)
        client.wait_for_workers(WORKERS)
        rows["cluster_start"] = time.perf_counter() - began
        try:
            # Untimed first run: imports sekvo on the workers and warms them.
            dask_regions.run(client, genome, lines, devnull, parts)
            rows["cluster"] = _timed(lambda: dask_regions.run(client, genome, lines, devnull, parts), reps)

            def scheduling_only():
                futures = [client.submit(len, run_, pure=False)
                           for run_ in dask_regions.partitions(lines, parts)]
                wait(futures)
                return client.gather(futures)

            rows["scheduling"] = _timed(scheduling_only, reps)
        finally:
            client.close()
            client.cluster.close()
    return rows


def measure(data: str, genome_name: str, reps: int) -> dict:
    genome = os.path.join(data, genome_name)
    tmp = tempfile.mkdtemp(prefix="sekvo-bench-processes-")
    try:
        return {"handle": handle_rows(genome, tmp, reps),
                "cluster": cluster_rows(genome, os.path.join(data, BED), reps),
                "workers": WORKERS}
    finally:
        for name in os.listdir(tmp):
            os.remove(os.path.join(tmp, name))
        os.rmdir(tmp)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--data", required=True, help="directory made by bench/make_data.py")
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--out", help="write the rows as JSON here")
    args = parser.parse_args(argv)
    manifest = json.load(open(os.path.join(args.data, "manifest.json")))
    rows = measure(args.data, manifest["files"]["genome"], args.reps)
    text = json.dumps(rows, indent=1)
    if args.out:
        with open(args.out, "w") as out:
            out.write(text)
    print(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
