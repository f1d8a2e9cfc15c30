#!/usr/bin/env python3
"""One-shot runs: every timed run is a fresh process, as a shell pipeline or a
script that pulls one BED file's regions once would be.

Rows (page cache warm, index built, medians of --reps runs, commands interleaved;
the genome's page cache as a sequential read leaves it, see page_cache.py):
  sekvo getfasta   vs bedtools getfasta   (random and sorted BED; -s -name on BED6)
  sekvo faidx -r   vs samtools faidx -r
  a Python script  (parse BED, open, fetch_many, str of each) vs the same with pysam
  fetch_bed into one SequenceArray        vs the pysam script
  first vs third fetch_many of one process (time and page faults of the call alone)
  the command line's peak memory on a 2,000,000-interval BED (anonymous and mapped file)
  getfasta and the scripts again with the page cache as a first random read
  through a mapping leaves it (4 kB pages)

    python bench/one_shot.py --data DIR        # DIR from make_data.py (1 GB genome, 200,000 regions)
    python bench/one_shot.py --size 50M --regions 20000 --reps 3

run.py calls measure(genome, data_dir, manifest, reps).
"""

from __future__ import annotations

import argparse
import compileall
import hashlib
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import make_data  # noqa: E402
from cli_tools import timed_run  # noqa: E402
import page_cache  # noqa: E402
from cli_vs_peers import sekvo_command  # noqa: E402

TIMEOUT = 1800

# Rows timed again with the genome's page cache in 4 kB pages.
SMALL_PAGE_ROWS = ("sekvo getfasta, random BED", "peer getfasta, random BED",
                   "sekvo getfasta, sorted BED", "peer getfasta, sorted BED",
                   "sekvo script", "pysam script", "sekvo fetch_bed into a SequenceArray")

SCRIPT_SEKVO = """
import sys, sekvo
regions = []
with open(sys.argv[2]) as f:
    for line in f:
        c, s, e = line.split("\\t")[:3]
        regions.append((c, int(s) + 1, int(e)))
fa = sekvo.Faidx(sys.argv[1])
seqs = [str(s) for s in fa.fetch_many(regions)]
print(len(seqs), sum(map(len, seqs)))
"""

SCRIPT_PYSAM = """
import sys, pysam
regions = []
with open(sys.argv[2]) as f:
    for line in f:
        c, s, e = line.split("\\t")[:3]
        regions.append((c, int(s), int(e)))
fa = pysam.FastaFile(sys.argv[1])
seqs = [fa.fetch(c, s, e) for c, s, e in regions]
print(len(seqs), sum(map(len, seqs)))
"""

SCRIPT_FETCH_BED = """
import sys, sekvo
array = sekvo.Faidx(sys.argv[1]).fetch_bed(sys.argv[2])
print(len(array))
"""

FIRST_AND_THIRD = """
import json, resource, sys, time, sekvo
regions = []
with open(sys.argv[2]) as f:
    for line in f:
        c, s, e = line.split("\\t")[:3]
        regions.append((c, int(s) + 1, int(e)))
fa = sekvo.Faidx(sys.argv[1])
rows = []
for _ in range(3):
    faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    began = time.perf_counter()
    seqs = fa.fetch_many(regions)
    took = time.perf_counter() - began
    rows.append({"seconds": took, "faults": resource.getrusage(resource.RUSAGE_SELF).ru_minflt - faults})
    del seqs
print(json.dumps(rows))
"""


def bed6(bed: str, scratch: str) -> str:
    """The intervals with a name, a score and a strand (alternating + and -)."""
    path = os.path.join(scratch, os.path.basename(bed)[:-4] + ".bed6")
    with open(bed) as src, open(path, "w") as dst:
        for i, line in enumerate(src):
            c, s, e = line.rstrip("\n").split("\t")[:3]
            dst.write(f"{c}\t{s}\t{e}\tr{i}\t0\t{'+-'[i % 2]}\n")
    return path


def region_file(bed: str, scratch: str) -> str:
    path = os.path.join(scratch, os.path.basename(bed)[:-4] + ".regions.txt")
    with open(bed) as src, open(path, "w") as dst:
        for line in src:
            c, s, e = line.split("\t")[:3]
            dst.write(f"{c}:{int(s) + 1}-{int(e.rstrip())}\n")
    return path


def describe(argv: list[str]) -> str:
    """A command as the report shows it: scripts by name, files by their base name."""
    names = {SCRIPT_SEKVO: "SCRIPT_SEKVO", SCRIPT_PYSAM: "SCRIPT_PYSAM", SCRIPT_FETCH_BED: "SCRIPT_FETCH_BED"}
    shown = []
    for arg in argv:
        if arg in names:
            shown.append(f"<{names[arg]} of bench/one_shot.py>")
        elif arg == sys.executable:
            shown.append("python")
        else:
            shown.append(os.path.basename(arg) if os.path.isabs(arg) else arg)
    return " ".join(shown)


def digest(argv, env) -> str:
    out = subprocess.run(argv, check=True, capture_output=True, env=env, timeout=TIMEOUT).stdout
    return hashlib.sha256(out).hexdigest()[:16]


def time_interleaved(table: dict, reps: int, log) -> dict:
    """{label: {"median", "times"}}; every command once per round, rounds repeated."""
    times: dict[str, list[float]] = {label: [] for label in table}
    for _ in range(reps):
        for label, (argv, env) in table.items():
            times[label].append(timed_run(argv, env=env, stderr=subprocess.DEVNULL))
    out = {}
    for label, series in times.items():
        out[label] = {"median": statistics.median(series), "times": series}
        log(f"  {label:44} median {out[label]['median']:.3f} s  ({', '.join(f'{t:.3f}' for t in series)})")
    return out


def peak_memory(argv, env) -> dict:
    """Peak resident memory of a command: anonymous, mapped file, total (MB), sampled from /proc."""
    proc = subprocess.Popen(argv, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    peak = {"RssAnon": 0, "RssFile": 0, "VmHWM": 0}
    while proc.poll() is None:
        try:
            with open(f"/proc/{proc.pid}/status") as f:
                for line in f:
                    key = line.split(":")[0]
                    if key in peak:
                        peak[key] = max(peak[key], int(line.split()[1]))
        except OSError:
            pass
        time.sleep(0.002)
    return {"anon_mb": peak["RssAnon"] / 1024, "file_mb": peak["RssFile"] / 1024, "total_mb": peak["VmHWM"] / 1024}


def measure(genome: str, beds: dict[str, str], reps: int = 5, log=print, big_regions: int = 2_000_000) -> dict:
    """beds: {"random": path, "sorted": path}. Returns rows, checks, ratios and memory."""
    prefix, env = sekvo_command()
    # The checkout's command-line modules compiled once, as an installed
    # package's are: where PYTHONDONTWRITEBYTECODE is set, each run would
    # compile them again (10-20 ms a run).
    compileall.compile_dir(os.path.join(os.path.dirname(HERE), "python"), quiet=1)
    py = [sys.executable]
    scratch = tempfile.mkdtemp(prefix="sekvo-one-shot-")
    result: dict = {"rows": {}, "checks": {}, "ratios": {}, "missing": []}
    try:
        if not os.path.exists(genome + ".fai"):
            subprocess.run(prefix + ["index", genome], check=True, env=env, stdout=subprocess.DEVNULL)
        page_cache.filled_by_reading(genome)
        result["large_folio_share"] = {"read": page_cache.large_folio_share(genome)}
        random_bed, sorted_bed = beds["random"], beds["sorted"]
        stranded = bed6(random_bed, scratch)
        regions = region_file(random_bed, scratch)
        have = {tool: shutil.which(tool) is not None for tool in ("bedtools", "samtools")}
        try:
            subprocess.run(py + ["-c", "import pysam"], check=True, env=env, capture_output=True)
            have["pysam"] = True
        except subprocess.CalledProcessError:
            have["pysam"] = False
        result["missing"] = [tool for tool, ok in have.items() if not ok]

        pairs = {   # label: (sekvo argv, peer argv or None)
            "getfasta, random BED": (
                prefix + ["getfasta", "-fi", genome, "-bed", random_bed],
                ["bedtools", "getfasta", "-fi", genome, "-bed", random_bed] if have["bedtools"] else None),
            "getfasta, sorted BED": (
                prefix + ["getfasta", "-fi", genome, "-bed", sorted_bed],
                ["bedtools", "getfasta", "-fi", genome, "-bed", sorted_bed] if have["bedtools"] else None),
            "getfasta -s -name, random BED6": (
                prefix + ["getfasta", "-fi", genome, "-bed", stranded, "-s", "-name"],
                ["bedtools", "getfasta", "-fi", genome, "-bed", stranded, "-s", "-name"]
                if have["bedtools"] else None),
            "faidx -r, random regions": (
                prefix + ["faidx", genome, "-r", regions],
                ["samtools", "faidx", genome, "-r", regions] if have["samtools"] else None),
        }
        scripts = {"script": (SCRIPT_SEKVO, SCRIPT_PYSAM if have["pysam"] else None)}
        table = {}
        for label, (mine, theirs) in pairs.items():
            table[f"sekvo {label}"] = (mine, env)
            if theirs:
                table[f"peer {label}"] = (theirs, None)
                same = digest(mine, env) == digest(theirs, None)
                result["checks"][f"{label}: output identical to the peer"] = same
        for label, (mine, theirs) in scripts.items():
            table[f"sekvo {label}"] = (py + ["-c", mine, genome, random_bed], env)
            if theirs:
                table[f"pysam {label}"] = (py + ["-c", theirs, genome, random_bed], env)
        has_fetch_bed = subprocess.run(py + ["-c", "import sekvo; sekvo.Faidx.fetch_bed"], env=env,
                                       capture_output=True).returncode == 0
        if has_fetch_bed:
            table["sekvo fetch_bed into a SequenceArray"] = (py + ["-c", SCRIPT_FETCH_BED, genome, random_bed], env)
        else:
            result["missing"].append("fetch_bed")
        for argv, run_env in table.values():      # one untimed run each
            subprocess.run(argv, check=True, env=run_env, timeout=TIMEOUT,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        rows = time_interleaved(table, reps, log)
        result["rows"] = {label: dict(r, command=describe(table[label][0])) for label, r in rows.items()}
        for label in list(pairs) + list(scripts):
            peer = next((f"{p} {label}" for p in ("peer", "pysam") if f"{p} {label}" in rows), None)
            if peer:
                result["ratios"][f"{label}: peer / sekvo"] = rows[peer]["median"] / rows[f"sekvo {label}"]["median"]
        if has_fetch_bed and "pysam script" in rows:
            result["ratios"]["fetch_bed: pysam script / fetch_bed"] = (
                rows["pysam script"]["median"] / rows["sekvo fetch_bed into a SequenceArray"]["median"])

        firsts = []
        for _ in range(reps):
            out = subprocess.run(py + ["-c", FIRST_AND_THIRD, genome, random_bed], check=True, env=env,
                                 capture_output=True, text=True, timeout=TIMEOUT).stdout
            firsts.append(json.loads(out))
        result["first_batch"] = {
            f"call {k + 1}": {"median": statistics.median(run[k]["seconds"] for run in firsts),
                              "faults": statistics.median(run[k]["faults"] for run in firsts)}
            for k in range(3)}
        result["ratios"]["first / third fetch_many"] = (
            result["first_batch"]["call 1"]["median"] / result["first_batch"]["call 3"]["median"])
        log(f"  fetch_many calls: " + ", ".join(f"{k} {v['median'] * 1e3:.0f} ms ({v['faults']:.0f} faults)"
                                                for k, v in result["first_batch"].items()))

        big = os.path.join(scratch, "big.bed")
        with open(random_bed) as src:
            lines = src.readlines()
        with open(big, "w") as dst:
            for k in range(big_regions // max(1, len(lines)) + 1):
                dst.writelines(lines[:max(0, big_regions - k * len(lines))])
        result["memory"] = peak_memory(prefix + ["getfasta", "-fi", genome, "-bed", big], env)
        result["memory"]["regions"] = big_regions
        log(f"  CLI peak memory, {big_regions:,} intervals: {result['memory']['anon_mb']:.0f} MB anonymous, "
            f"{result['memory']['file_mb']:.0f} MB of the mapped FASTA file")

        # The same runs with the genome cached in 4 kB pages, then the cache
        # put back as a read leaves it for the benchmark's later sections.
        page_cache.filled_by_mapping(genome)
        result["large_folio_share"]["mapped"] = page_cache.large_folio_share(genome)
        small = {label: table[label] for label in SMALL_PAGE_ROWS if label in table}
        try:
            result["small_pages"] = time_interleaved(small, reps, log)
        finally:
            page_cache.filled_by_reading(genome)
        for label in list(pairs) + list(scripts):
            peer = next((f"{p} {label}" for p in ("peer", "pysam") if f"{p} {label}" in result["small_pages"]), None)
            if peer and f"sekvo {label}" in result["small_pages"]:
                result["ratios"][f"{label}, 4 kB page cache: peer / sekvo"] = (
                    result["small_pages"][peer]["median"] / result["small_pages"][f"sekvo {label}"]["median"])
        fetch_bed = "sekvo fetch_bed into a SequenceArray"
        if fetch_bed in result["small_pages"] and "pysam script" in result["small_pages"]:
            result["ratios"]["fetch_bed, 4 kB page cache: pysam script / fetch_bed"] = (
                result["small_pages"]["pysam script"]["median"] / result["small_pages"][fetch_bed]["median"])
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return result


def markdown(result: dict) -> str:
    """The one-shot section of the benchmark report."""
    lines = ["## One-shot runs", "",
             "Each run a fresh process (interpreter start-up, import and index load included), page "
             "cache warm, medians. The genome's page cache is first set as a sequential read leaves it "
             "(large folios where the kernel's page cache has them); the last column times the same "
             "commands with the genome cached as a first random-order read through a mapping leaves it "
             "(4 kB pages). See bench/page_cache.py.", ""]
    share = result.get("large_folio_share", {})
    if share.get("read") is not None:
        lines += [f"Genome pages in large folios: {share['read']:.0%} after a read, "
                  f"{share.get('mapped') or 0:.0%} after a random read through a mapping.", ""]
    small = result.get("small_pages", {})
    lines += ["| run | command | median | 4 kB page cache |", "|---|---|---:|---:|"]
    for label, row in result["rows"].items():
        other = f"{small[label]['median']:.3f} s" if label in small else ""
        lines.append(f"| {label} | `{row['command']}` | {row['median']:.3f} s | {other} |")
    lines += ["", "| ratio | value |", "|---|---:|"]
    lines += [f"| {k} | {v:.2f}× |" for k, v in result["ratios"].items()]
    if "first_batch" in result:
        lines += ["", "fetch_many calls of one process (the call alone): " + ", ".join(
            f"{k} {v['median'] * 1e3:.0f} ms, {v['faults']:.0f} page faults" for k, v in result["first_batch"].items())]
    if "memory" in result:
        m = result["memory"]
        lines += ["", f"Command line on {m['regions']:,} intervals: peak {m['anon_mb']:.0f} MB anonymous memory; "
                      f"{m['file_mb']:.0f} MB of the FASTA file's mapping resident (shared page cache)."]
    for name, ok in result["checks"].items():
        lines.append(f"- {name}: {'yes' if ok else '**no**'}")
    if result["missing"]:
        lines.append(f"- not measured (missing): {', '.join(result['missing'])}")
    return "\n".join(lines) + "\n"


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--data", default=os.path.join(tempfile.gettempdir(), "sekvo-one-shot"),
                        help="data directory (made with make_data.py when missing)")
    parser.add_argument("--size", default="1G", type=make_data.parse_size, help="genome size (default 1G)")
    parser.add_argument("--regions", default=200_000, type=int, help="BED intervals (default 200000)")
    parser.add_argument("--big-regions", default=2_000_000, type=int, help="intervals of the memory row")
    parser.add_argument("--reps", default=5, type=int, help="runs per command (default 5)")
    parser.add_argument("--json", help="also write the results here")
    args = parser.parse_args(argv)
    manifest = make_data.make(args.data, args.size, args.regions, seed=1)
    files = manifest["files"]
    genome = os.path.join(args.data, files["genome"])
    beds = {"random": os.path.join(args.data, files["var_random"]),
            "sorted": os.path.join(args.data, files["var_sorted"])}
    result = measure(genome, beds, args.reps, big_regions=args.big_regions)
    print(textwrap.indent(markdown(result), "  "))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(result, f, indent=1)
    return 0 if all(result["checks"].values()) else 1


if __name__ == "__main__":
    sys.exit(main())
