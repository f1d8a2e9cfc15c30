"""One benchmark phase for one in-process tool, in a fresh interpreter.

    python bench/worker.py PHASE CONFIG.json RESULT.json

run.py writes CONFIG (tool, data directory, repetitions, sizes) and reads
RESULT.  Phases: probe, index, main, memory, scaling, columnar.  The memory phase
talks to its parent on stdin/stdout so that the parent can sample this
process's resident memory while the batch runs (the batch holds the
interpreter lock, so a sampling thread in here would not run).
"""

from __future__ import annotations

import gc
import hashlib
import json
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from residue_digest import digest  # noqa: E402
from tools import TOOLS, Variant  # noqa: E402

BATCH_SETS = ("var_random", "var_sorted", "fixed100_random", "fixed100_sorted")


def read_bed(path: str) -> list[tuple[str, int, int]]:
    with open(path) as f:
        return [(c, int(s), int(e)) for c, s, e in (line.split("\t")[:3] for line in f)]


def proc_status() -> dict[str, int]:
    """Memory lines of /proc/self/status, in bytes."""
    out = {}
    with open("/proc/self/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "VmHWM", "RssAnon", "RssFile"):
                out[key] = int(value.split()[0]) * 1024
    return out


def time_variants(variants: dict[str, Variant], inputs, reps: int) -> dict[str, dict]:
    """Times a tool's variants of one workload in turn, run by run, so that
    a slow spell of the machine falls on all of them alike; one untimed run
    of each first."""
    prepared = {label: v.prepare(inputs) for label, v in variants.items()}
    for label, v in variants.items():
        v.run(prepared[label], False)
    times: dict[str, list[float]] = {label: [] for label in variants}
    for _ in range(reps):
        for label, v in variants.items():
            if v.reset:
                v.reset()
            gc.collect()
            began = time.perf_counter()
            result = v.run(prepared[label], False)
            times[label].append(time.perf_counter() - began)
            del result
    return {label: {"median": statistics.median(t), "min": min(t), "times": t} for label, t in times.items()}


def remove_index(tool) -> None:
    for path in tool.index_files():
        if os.path.exists(path):
            os.remove(path)


def file_digest(path: str) -> str | None:
    if not os.path.exists(path):
        return None
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()[:16]


def phase_probe(cfg) -> dict:
    return {name: dict(zip(("available", "version"), cls.availability())) for name, cls in TOOLS.items()}


def phase_index(cfg, tool) -> dict:
    out = {}
    for label, variant in tool.variants("index").items():
        times = []
        for _ in range(cfg["reps"]["index"]):
            remove_index(tool)
            gc.collect()
            began = time.perf_counter()
            handle = variant.run(None, False)
            times.append(time.perf_counter() - began)
            del handle
        out[label] = {"median": statistics.median(times), "min": min(times), "times": times,
                      "index_sha256": {os.path.basename(p): file_digest(p) for p in tool.index_files()}}
    return out


def phase_main(cfg, tool) -> dict:
    data = cfg["data"]
    reps = cfg["reps"]
    out: dict = {}
    began = time.perf_counter()
    tool.open()
    out["open"] = {"seconds": time.perf_counter() - began}

    def run_workload(key, workload, inputs, n_reps, check_inputs=None):
        variants = tool.variants(workload)
        timed = time_variants(variants, inputs, n_reps) if variants else {}
        for label, variant in variants.items():
            res = timed[label]
            sample = variant.run(variant.prepare(check_inputs or inputs), True)
            res["check"] = digest(sample)
            out.setdefault(key, {})[label] = res
            print(f"  {tool.name:12} {key:24} {label:24} {res['median']:.4f} s", file=sys.stderr, flush=True)

    for name in BATCH_SETS:
        run_workload(f"batch_{name}", "batch", read_bed(os.path.join(data, f"{name}.bed")), reps["batch"])
    run_workload("same_chr", "same_chr", read_bed(os.path.join(data, "samechr_random.bed")), reps["batch"])

    bed = read_bed(os.path.join(data, "fixed100_random.bed"))
    calls = (bed * (cfg["single_calls"] // len(bed) + 1))[: cfg["single_calls"]]
    run_workload("single", "single", calls, reps["single"], check_inputs=bed[: cfg["check_sample"]])
    run_workload("whole", "whole", cfg["largest"], reps["whole"])
    return out


def phase_memory(cfg, tool) -> dict:
    """Resident memory after opening, and around one batch; the parent samples during it."""
    out = {"import": proc_status()}
    tool.open()
    out["open"] = proc_status()
    variants = tool.variants("batch_raw") or tool.variants("batch")
    label, variant = next(iter(variants.items()))
    prepared = variant.prepare(read_bed(os.path.join(cfg["data"], "var_random.bed")))
    gc.collect()
    try:  # reset the high-water mark (Linux 4.0+)
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass
    out["before_batch"] = proc_status()
    print("ready", flush=True)
    sys.stdin.readline()
    result = variant.run(prepared, False)
    out["after_batch"] = proc_status()
    out["variant"] = label
    out["residues"] = sum(len(r) for r in result)
    out["results"] = len(result)
    return out


def phase_scaling(cfg, tool) -> dict:
    tool.open()
    variants = tool.variants("batch_raw") or tool.variants("batch")
    label, variant = next(iter(variants.items()))
    bed = read_bed(os.path.join(cfg["data"], "var_random.bed"))
    largest = max(cfg["scaling_sizes"])
    bed = (bed * (largest // len(bed) + 1))[:largest]
    out = {"variant": label, "pool": os.environ.get("RAYON_NUM_THREADS"), "sizes": {}}
    # The first batch at the threshold starts the worker pool: time it alone.
    prepared = variant.prepare(bed[:1000])
    began = time.perf_counter()
    variant.run(prepared, False)
    out["first_call_1000"] = time.perf_counter() - began
    for n in cfg["scaling_sizes"]:
        prepared = variant.prepare(bed[:n])
        variant.run(prepared, False)
        times = []
        spent = 0.0
        while len(times) < 3 or (spent < cfg["scaling_min_seconds"] and len(times) < 200):
            gc.collect()
            began = time.perf_counter()
            result = variant.run(prepared, False)
            times.append(time.perf_counter() - began)
            spent += times[-1]
            del result
        out["sizes"][str(n)] = {"median": statistics.median(times), "min": min(times), "reps": len(times)}
        print(f"  {tool.name} pool={out['pool']} n={n}: {statistics.median(times) / n * 1e9:.0f} ns/region",
              file=sys.stderr, flush=True)
    return out


def phase_columnar(cfg, tool) -> dict:
    """The columnar workloads of bench/columnar.py, and sekvo's peak memory there."""
    import columnar
    genome = os.path.join(cfg["data"], cfg["genome"])
    given = columnar.inputs(cfg["data"], genome, cfg["regions"])
    log = lambda m: print(m, file=sys.stderr, flush=True)  # noqa: E731
    out = {"results": columnar.time_workloads(tool.name, columnar.open_tool(tool.name, genome), genome, given,
                                              cfg["reps"]["batch"], log)}
    if tool.name == "sekvo":
        out["memory"] = columnar.peak_memory(genome, given)
    return out


def main() -> int:
    phase, config_path, result_path = sys.argv[1:4]
    with open(config_path) as f:
        cfg = json.load(f)
    if phase == "probe":
        result = phase_probe(cfg)
    else:
        tool = TOOLS[cfg["tool"]](os.path.join(cfg["data"], cfg["genome"]))
        result = {"index": phase_index, "main": phase_main,
                  "memory": phase_memory, "scaling": phase_scaling, "columnar": phase_columnar}[phase](cfg, tool)
    with open(result_path, "w") as f:
        json.dump(result, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
