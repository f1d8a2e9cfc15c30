#!/usr/bin/env python3
"""Benchmark sekvo against other FASTA readers on one synthetic genome.

Every in-process tool runs each phase in a fresh interpreter (bench/worker.py);
command-line tools are timed as whole processes.  The genome file is read
once before each tool so that all of them find it in the page cache.

    python bench/run.py --quick                 # 50 MB genome, for development
    python bench/run.py                         # 1 GB genome, writes BENCHMARKS.md

Writes results.json, results.md and ratios.png to --out, and with --report
the Markdown report (the full run defaults to BENCHMARKS.md at the top of
the repository, with the chart in bench/results/).
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from collections import Counter

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, HERE)

import across_processes  # noqa: E402
import make_data  # noqa: E402
import one_shot  # noqa: E402
import page_cache  # noqa: E402
from cli_tools import CLI_TOOLS, samtools_regions_file, time_command  # noqa: E402
from report import write_outputs  # noqa: E402
from residue_digest import digest as text_digest  # noqa: E402
from tools import TOOLS, python_build_index  # noqa: E402

BATCH_SETS = ("var_random", "var_sorted", "fixed100_random", "fixed100_sorted")
COLUMNAR_TOOLS = ("sekvo", "pysam", "python-mmap")  # bench/columnar.py
WORKER = os.path.join(HERE, "worker.py")
PHASE_TIMEOUT = 3600

MODES = {
    "quick": {
        "size": 50_000_000, "regions": 20_000, "single_calls": 100_000, "check_sample": 2_000,
        "reps": {"index": 3, "batch": 3, "single": 3, "whole": 3},
        "scaling_sizes": [100, 500, 999, 1000, 1001, 2000, 5000, 10_000, 20_000, 50_000, 100_000],
        "scaling_min_seconds": 0.1, "rounds": 1, "one_shot": {"reps": 3, "big_regions": 200_000},
    },
    "full": {
        "size": 1_000_000_000, "regions": 200_000, "single_calls": 1_000_000, "check_sample": 10_000,
        "reps": {"index": 5, "batch": 5, "single": 3, "whole": 5},
        "scaling_sizes": [100, 500, 999, 1000, 1001, 2000, 5000, 10_000, 20_000, 50_000,
                          100_000, 200_000, 500_000, 1_000_000],
        "scaling_min_seconds": 0.5, "rounds": 2, "one_shot": {"reps": 5, "big_regions": 2_000_000},
    },
}


def log(message: str) -> None:
    print(f"[{time.strftime('%H:%M:%S')}] {message}", file=sys.stderr, flush=True)


def warm_cache(path: str) -> None:
    with open(path, "rb", buffering=0) as f:
        while f.read(16 << 20):
            pass


def write_config(cfg: dict, tmp: str, **extra) -> str:
    path = os.path.join(tmp, "config.json")
    with open(path, "w") as f:
        json.dump(dict(cfg, **extra), f)
    return path


def run_worker(phase: str, cfg: dict, tmp: str, env=None, **extra) -> dict:
    config = write_config(cfg, tmp, **extra)
    result = os.path.join(tmp, f"{phase}.json")
    if os.path.exists(result):
        os.remove(result)
    proc = subprocess.Popen([sys.executable, WORKER, phase, config, result], env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, errors="replace")
    timer = threading.Timer(PHASE_TIMEOUT, proc.kill)
    timer.start()
    tail: list[str] = []
    for line in proc.stderr:  # pass progress through, keep the end for a failure
        sys.stderr.write(line)
        tail = (tail + [line.rstrip()])[-6:]
    proc.wait()
    timer.cancel()
    if proc.returncode != 0:
        raise RuntimeError(f"{phase} phase of {extra.get('tool')} exited with {proc.returncode}: "
                           + " | ".join(tail))
    with open(result) as f:
        return json.load(f)


def _status_of(pid: int) -> dict[str, int]:
    out = {}
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                key, _, value = line.partition(":")
                if key in ("VmRSS", "RssAnon", "RssFile"):
                    out[key] = int(value.split()[0]) * 1024
    except (OSError, ValueError):
        pass
    return out


def run_memory(cfg: dict, tmp: str, tool: str) -> dict:
    """Memory phase: sample the worker's RSS from here while its batch runs."""
    config = write_config(cfg, tmp, tool=tool)
    result = os.path.join(tmp, "memory.json")
    proc = subprocess.Popen([sys.executable, WORKER, "memory", config, result],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    peak: dict[str, int] = {}
    done = threading.Event()

    def sample():
        while not done.is_set():
            for key, value in _status_of(proc.pid).items():
                peak[key] = max(peak.get(key, 0), value)
            time.sleep(0.0005)

    try:
        if proc.stdout.readline().strip() != "ready":
            raise RuntimeError(f"memory phase of {tool} did not start")
        sampler = threading.Thread(target=sample, daemon=True)
        sampler.start()
        proc.stdin.write("go\n")
        proc.stdin.flush()
        proc.wait(timeout=PHASE_TIMEOUT)
    finally:
        done.set()
        if proc.poll() is None:
            proc.kill()
    if proc.returncode != 0:
        raise RuntimeError(f"memory phase of {tool} exited with {proc.returncode}")
    with open(result) as f:
        out = json.load(f)
    out["sampled_peak"] = peak
    return out


class ReferenceIndex:
    """A known-good .fai, put back after each tool that may have written its own."""

    def __init__(self, genome: str):
        self.genome = genome
        self.fai = genome + ".fai"
        for suffix in (".fai", ".fxi"):
            if os.path.exists(genome + suffix):
                os.remove(genome + suffix)
        if shutil.which("samtools"):
            subprocess.run(["samtools", "faidx", genome], check=True, timeout=PHASE_TIMEOUT)
            with open(self.fai, "rb") as f:
                self.content = f.read()
            self.made_by = "samtools faidx"
        else:
            index = python_build_index(genome)
            self.content = "".join(f"{n}\t{l}\t{o}\t{c}\t{b}\n"
                                   for n, (l, o, c, b) in index.items()).encode()
            self.made_by = "python line-feed count"
        self.restore()

    def restore(self) -> None:
        with open(self.fai, "wb") as f:
            f.write(self.content)

    def digest(self) -> str:
        import hashlib
        return hashlib.sha256(self.content).hexdigest()[:16]


def load_average() -> str:
    try:
        with open("/proc/loadavg") as f:
            return " ".join(f.read().split()[:3])
    except OSError:
        return "?"


def machine_info() -> dict:
    info = {"python": platform.python_version(), "kernel": platform.release(),
            "cores": os.cpu_count(), "date": datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%d %H:%M UTC")}
    try:
        with open("/proc/cpuinfo") as f:
            info["cpu"] = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        info["cpu"] = platform.processor()
    try:
        with open("/proc/meminfo") as f:
            kb = int(next(line.split()[1] for line in f if line.startswith("MemTotal")))
        info["memory"] = f"{kb / 1024 / 1024:.1f} GiB"
    except (OSError, StopIteration):
        pass
    try:
        with open("/etc/os-release") as f:
            info["os"] = next(line.split("=", 1)[1].strip().strip('"') for line in f
                              if line.startswith("PRETTY_NAME"))
    except (OSError, StopIteration):
        pass
    if os.environ.get("SEKVO_BENCH_COMMIT"):  # the module was built from another checkout
        info["commit"] = os.environ["SEKVO_BENCH_COMMIT"]
        return info
    try:
        info["commit"] = subprocess.run(["git", "-C", REPO, "rev-parse", "--short", "HEAD"],
                                        capture_output=True, text=True, timeout=30).stdout.strip()
    except (OSError, subprocess.TimeoutExpired):
        pass
    return info


def check_residues(results: dict) -> dict:
    """Per workload: do all tools' residue digests agree?  The majority is taken as right."""
    checks = {}
    for workload, by_tool in results.items():
        seen = {f"{tool} / {variant}": r["check"] for tool, variants in by_tool.items()
                for variant, r in variants.items() if "check" in r}
        if not seen:
            continue
        votes = Counter(d["sha256"] for d in seen.values())
        agreed, _ = votes.most_common(1)[0]
        bad = {k for k, d in seen.items() if d["sha256"] != agreed}
        # A call whose residues changed between rounds is wrong in one of them.
        bad |= {f"{tool} / {variant}" for tool, variants in by_tool.items()
                for variant, r in variants.items() if r.get("check_other_rounds")}
        checks[workload] = {"agreed": agreed, "tools": len(seen), "mismatches": sorted(bad)}
    return checks


def merge_into(results: dict, workload: str, tool: str, label: str, res: dict) -> None:
    """Add one round's timings of a call; medians are taken over all rounds."""
    have = results.setdefault(workload, {}).setdefault(tool, {}).get(label)
    if have is None:
        results[workload][tool][label] = res
        return
    have["times"] += res["times"]
    have["median"] = statistics.median(have["times"])
    have["min"] = min(have["times"])
    if "check" in res and res["check"] != have.get("check"):
        have.setdefault("check_other_rounds", []).append(res["check"])


def run_cli(name: str, cls, cfg: dict, data: str, genome: str, ref: ReferenceIndex,
            record, index_checks: dict, tmp: str) -> None:
    tool = cls(genome)
    out_file = os.path.join(tmp, "cli-output.fa")
    reps = cfg["reps"]

    for label, argv in tool.commands("index", None, out_file).items():
        def drop_index():
            for p in tool.index_files():
                if os.path.exists(p):
                    os.remove(p)
        warm_cache(genome)
        res = time_command(argv, reps["index"], before=drop_index, env=tool.env)
        record("index", name, label, res)
        with open(genome + ".fai", "rb") as f:
            import hashlib
            index_checks[f"{name} / {label}"] = hashlib.sha256(f.read()).hexdigest()[:16]
        ref.restore()
        log(f"  {name:12} index {label}: {res['median']:.3f} s")

    warm_cache(genome)
    workloads = [(f"batch_{s}", "batch", os.path.join(data, f"{s}.bed")) for s in BATCH_SETS]
    workloads += [("same_chr", "same_chr", os.path.join(data, "samechr_random.bed")),
                  ("whole", "whole", cfg["largest"])]
    for key, workload, inputs in workloads:
        for label, argv in tool.commands(workload, inputs, out_file).items():
            timed = [os.devnull if a == out_file else a for a in argv]
            res = time_command(timed, reps["whole" if workload == "whole" else "batch"], env=tool.env)
            subprocess.run(argv, check=True, stdout=subprocess.DEVNULL, timeout=PHASE_TIMEOUT, env=tool.env)
            res["check"] = text_digest(tool.parse(workload, out_file))
            os.remove(out_file)
            record(key, name, label, res)
            log(f"  {name:12} {key:24} {label:24} {res['median']:.4f} s")


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="50 MB genome, 20,000 regions, fewer repetitions")
    parser.add_argument("--data", help="data directory (default: under the system temp dir)")
    parser.add_argument("--out", help="directory for results.json, results.md, ratios.png")
    parser.add_argument("--report", help="also write the Markdown report here (full run: BENCHMARKS.md)")
    parser.add_argument("--tools", help="comma-separated subset of tools to run")
    parser.add_argument("--skip", default="",
                        help="comma-separated phases to skip: index,main,memory,columnar,scaling,cli,processes,oneshot,bgzf")
    parser.add_argument("--scaling-tools", default="sekvo", help="tools whose batch is timed by size and pool")
    parser.add_argument("--pools", default="1,2", help="worker pool sizes for the scaling phase")
    parser.add_argument("--size", type=make_data.parse_size, help="override the genome size")
    parser.add_argument("--regions", type=int, help="override the number of regions per BED file")
    parser.add_argument("--rounds", type=int, help="passes over all tools (quick: 1, full: 2)")
    parser.add_argument("--keep-data", action="store_true", help="keep the generated genome afterwards")
    args = parser.parse_args(argv)

    mode = "quick" if args.quick else "full"
    cfg = json.loads(json.dumps(MODES[mode]))
    if args.size:
        cfg["size"] = args.size
    if args.regions:
        cfg["regions"] = args.regions
    if args.rounds:
        cfg["rounds"] = args.rounds
    data = args.data or os.path.join(tempfile.gettempdir(), f"sekvo-bench-{mode}")
    out_dir = args.out or (os.path.join(HERE, "results") if mode == "full"
                           else os.path.join(tempfile.gettempdir(), "sekvo-bench-quick-results"))
    report = args.report or (os.path.join(REPO, "BENCHMARKS.md") if mode == "full" and not args.out else None)
    skip = set(filter(None, args.skip.split(",")))
    wanted = set(args.tools.split(",")) if args.tools else None

    load_before = load_average()
    log(f"data in {data}")
    manifest = make_data.make(data, cfg["size"], cfg["regions"], seed=1)
    genome = os.path.join(data, manifest["files"]["genome"])
    # A set page-cache state, whatever touched the genome last (see page_cache.py).
    page_cache.filled_by_reading(genome)
    largest = max(manifest["records"], key=lambda r: r[1])
    cfg.update(data=data, genome=manifest["files"]["genome"], largest=largest[0], mode=mode,
               genome_bytes=manifest["genome_bytes"], largest_length=largest[1])

    tmp = tempfile.mkdtemp(prefix="sekvo-bench-run-")
    tools_info = {}
    probe = run_worker("probe", cfg, tmp)
    for name, info in probe.items():
        tools_info[name] = dict(info, kind="floor" if name in ("python-mmap", "str-floor") else "python")
    for name, cls in CLI_TOOLS.items():
        ok, version = cls.availability()
        tools_info[name] = {"available": ok, "version": version, "kind": "command"}
    for name, info in tools_info.items():
        if wanted is not None and name not in wanted:
            info["skipped"] = True
        log(f"{name:12} {'ok' if info['available'] else 'MISSING'}  {info['version']}")

    ref = ReferenceIndex(genome)
    results: dict = {}
    index_checks = {"reference (" + ref.made_by + ")": ref.digest()}
    memory: dict = {}
    columnar_memory: dict = {}
    scaling: dict = {}
    failures: dict = {}

    def runnable(name):
        info = tools_info[name]
        return info["available"] and not info.get("skipped")

    def attempt(label, phase):
        """Run one phase; a crash or time-out is recorded and the run goes on."""
        try:
            phase()
        except (RuntimeError, subprocess.TimeoutExpired) as exc:
            failures[label] = str(exc)
            log(f"  {label}: FAILED {exc}")
        ref.restore()

    def record(workload, tool, label, res):
        merge_into(results, workload, tool, label, res)

    def index_phase(name):
        warm_cache(genome)
        for label, res in run_worker("index", cfg, tmp, tool=name).items():
            for file, sha in res.pop("index_sha256").items():
                if file.endswith(".fai") and sha:
                    index_checks[f"{name} / {label}"] = sha
            record("index", name, label, res)
            log(f"  {name:12} index {label}: {res['median']:.3f} s")

    def main_phase(name):
        warm_cache(genome)
        for key, variants in run_worker("main", cfg, tmp, tool=name).items():
            if key == "open":
                record("open", name, "open", {"median": variants["seconds"], "min": variants["seconds"],
                                              "times": [variants["seconds"]]})
            else:
                for label, res in variants.items():
                    record(key, name, label, res)

    def columnar_phase(name):
        warm_cache(genome)
        out = run_worker("columnar", cfg, tmp, tool=name)
        for key, variants in out["results"].items():
            for label, res in variants.items():
                record(key, name, label, res)
        if "memory" in out:
            columnar_memory[name] = out["memory"]

    def memory_phase(name):
        warm_cache(genome)
        memory[name] = run_memory(cfg, tmp, name)
        log(f"  {name:12} memory done")

    # Rounds go through all tools in turn, so that a change in the machine's
    # load during the run falls on every tool alike.
    for round_no in range(cfg["rounds"]):
        log(f"round {round_no + 1} of {cfg['rounds']}")
        for name in TOOLS:
            if not runnable(name):
                continue
            if "index" not in skip:
                attempt(f"{name} index", lambda: index_phase(name))
            if "main" not in skip:
                attempt(f"{name} main", lambda: main_phase(name))
            if "memory" not in skip and name != "str-floor" and round_no == 0:
                attempt(f"{name} memory", lambda: memory_phase(name))
            if "columnar" not in skip and name in COLUMNAR_TOOLS:
                attempt(f"{name} columnar", lambda: columnar_phase(name))
        if "cli" not in skip:
            for name, cls in CLI_TOOLS.items():
                if runnable(name):
                    try:
                        run_cli(name, cls, cfg, data, genome, ref, record, index_checks, tmp)
                    except (subprocess.CalledProcessError, subprocess.TimeoutExpired) as exc:
                        failures[name] = str(exc)
                        log(f"  {name}: FAILED {exc}")
            ref.restore()

    if "scaling" not in skip:
        for name in filter(None, args.scaling_tools.split(",")):
            if name not in tools_info or not runnable(name):
                continue
            for pool in filter(None, args.pools.split(",")):
                env = dict(os.environ, RAYON_NUM_THREADS=pool)
                attempt(f"{name} scaling pool {pool}", lambda: scaling.setdefault(name, {}).__setitem__(
                    pool, run_worker("scaling", cfg, tmp, env=env, tool=name)))

    one_shot_rows: dict = {}
    if "oneshot" not in skip:
        log("one-shot runs (a fresh process each)")
        try:
            files = manifest["files"]
            one_shot_rows = one_shot.measure(
                genome, {"random": os.path.join(data, files["var_random"]),
                         "sorted": os.path.join(data, files["var_sorted"])},
                reps=cfg["one_shot"]["reps"], log=log, big_regions=cfg["one_shot"]["big_regions"])
        except (subprocess.CalledProcessError, subprocess.TimeoutExpired) as exc:
            failures["one-shot"] = str(exc)
            log(f"  one-shot: FAILED {exc}")

    processes: dict = {}
    if "processes" not in skip and runnable("sekvo"):
        log("across processes: unpickling and the Dask cluster")
        try:
            processes = across_processes.measure(data, manifest["files"]["genome"], cfg["reps"]["batch"])
        except (RuntimeError, OSError, subprocess.CalledProcessError) as exc:
            failures["sekvo across processes"] = str(exc)
            log(f"  across processes: FAILED {exc}")

    bgzf_rows: dict = {}
    if "bgzf" not in skip and shutil.which("bgzip"):
        import bgzf
        rows_file = os.path.join(tmp, "bgzf.json")
        try:
            if bgzf.main(["--data", data, "--regions", str(cfg["regions"]), "--reps", str(cfg["reps"]["batch"]),
                          "--json", rows_file]) != 0:
                failures["bgzf"] = "BGZF residues differ from the plain file's"
            with open(rows_file) as f:
                bgzf_rows = json.load(f)
        except (subprocess.CalledProcessError, OSError) as exc:
            failures["bgzf"] = str(exc)
            log(f"  bgzf: FAILED {exc}")

    machine = machine_info()
    machine["load_before"] = load_before
    machine["load_after"] = load_average()
    output = {
        "machine": machine, "config": cfg, "tools": tools_info, "results": results,
        "checks": check_residues(results), "index_files": index_checks,
        "memory": memory, "columnar_memory": columnar_memory, "scaling": scaling, "processes": processes,
        "failures": failures, "one_shot": one_shot_rows, "bgzf": bgzf_rows,
    }
    written = write_outputs(output, out_dir, report)
    for path in written:
        log(f"wrote {path}")
    bad = {k: v["mismatches"] for k, v in output["checks"].items() if v["mismatches"]}
    if bad:
        log(f"RESIDUE MISMATCHES: {bad}")
    if not args.keep_data:
        shutil.rmtree(data, ignore_errors=True)
        log(f"removed {data}")
    shutil.rmtree(tmp, ignore_errors=True)
    return 1 if bad or failures else 0


if __name__ == "__main__":
    sys.exit(main())
