#!/usr/bin/env python3
"""Turn a results.json of bench/run.py into Markdown tables and a ratio chart.

    python bench/report.py bench/results/results.json [--report BENCHMARKS.md]
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import sys

BASELINE_VARIANT = {
    "index": "Faidx(path)", "batch": "fetch_many", "same_chr": "fetch_many_same_chr",
    "single": "Faidx.fetch", "whole": "fetch_entire_sequence", "open": "open",
    "columnar_var_random": "fetch_array(tuples)", "bed_file": "fetch_bed(path)",
    "one_hot_200": "fetch_array + one_hot", "minibatch_1000": "fetch_array + one_hot",
}
WORKLOAD_TITLES = {
    "index": "Index build, no index present",
    "open": "Open, index present",
    "batch_var_random": "Batch, regions of 50–1000 bp, random order",
    "batch_var_sorted": "Batch, regions of 50–1000 bp, sorted",
    "batch_fixed100_random": "Batch, 100 bp regions, random order",
    "batch_fixed100_sorted": "Batch, 100 bp regions, sorted",
    "same_chr": "Batch, regions of one record (50–1000 bp, random order)",
    "single": "Single region per call, 100 bp",
    "whole": "Whole largest record",
    "columnar_var_random": "Columnar batch, regions of 50–1000 bp, random order",
    "bed_file": "BED file of the 50–1000 bp regions, from disk",
    "arrow_export": "pyarrow.array() of a SequenceArray of the 50–1000 bp regions",
    "one_hot_200": "One-hot of 200 bp regions into a fresh (N, 200, 4) array",
    "minibatch_1000": "Training loop: 40 mini-batches of 256 windows of 1000 bp, one-hot",
}
ORDER = list(WORKLOAD_TITLES)
CHART_NAME = "ratios.png"


def kind_of(workload: str) -> str:
    return "batch" if workload.startswith("batch_") else workload


def baseline_of(data: dict) -> str:
    tools = data["tools"]
    for name in ("sekvo", "pysam", "str-floor"):
        if tools.get(name, {}).get("available") and not tools[name].get("skipped"):
            return name
    return "sekvo"


def base_time(data: dict, workload: str, baseline: str) -> float | None:
    variants = data["results"].get(workload, {}).get(baseline)
    if not variants:
        return None
    wanted = BASELINE_VARIANT.get(kind_of(workload))
    res = variants.get(wanted) or next(iter(variants.values()))
    return res["median"]


def rate(data: dict, workload: str, seconds: float) -> str:
    cfg = data["config"]
    if workload == "index":
        return f"{cfg['genome_bytes'] / seconds / 1e9:.2f} GB/s"
    if workload == "open":
        return f"{seconds * 1e3:.1f} ms"
    if workload == "single":
        return f"{seconds / cfg['single_calls'] * 1e6:.2f} µs/call"
    if workload == "whole":
        return f"{cfg['largest_length'] / seconds / 1e9:.2f} GB/s"
    if workload == "minibatch_1000":
        return f"{40 * 256 / seconds:,.0f} windows/s"
    if workload == "arrow_export":
        return f"{seconds * 1e3:.3f} ms"
    return f"{seconds / cfg['regions'] * 1e9:.0f} ns/region"


def fmt_seconds(s: float) -> str:
    return f"{s * 1e3:.1f} ms" if s < 1 else f"{s:.2f} s"


def workload_table(data: dict, workload: str, baseline: str) -> list[str]:
    by_tool = data["results"][workload]
    base = base_time(data, workload, baseline)
    rows = ["| tool | call | median | best | rate | × " + baseline + " time |",
            "|---|---|---:|---:|---:|---:|"]
    entries = [(t, v, r) for t, vs in by_tool.items() for v, r in vs.items()]
    entries.sort(key=lambda e: e[2]["median"])
    for tool, variant, r in entries:
        ratio = f"{r['median'] / base:.2f}" if base else "–"
        best = fmt_seconds(r["min"]) if "min" in r else "–"
        rows.append(f"| {tool} | `{variant}` | {fmt_seconds(r['median'])} | {best} | "
                    f"{rate(data, workload, r['median'])} | {ratio} |")
    return rows


def _get(data, workload, tool, variant=None):
    variants = data["results"].get(workload, {}).get(tool)
    if not variants:
        return None
    if variant is None:  # a peer at its best
        return min(v["median"] for v in variants.values())
    r = variants.get(variant)
    return r["median"] if r else None


def targets(data: dict) -> list[tuple[str, str, str, bool | None]]:
    """(workload, target, measured, met); met is None when it could not be measured."""
    out = []

    def ratio_row(workload, label, slow, fast, at_least):
        if slow is None or fast is None:
            out.append((workload, label, "not measured", None))
            return
        r = slow / fast
        out.append((workload, label, f"{r:.2f}×", r >= at_least))

    sk = lambda w, v: _get(data, w, "sekvo", v)  # noqa: E731
    ratio_row("index", "≥ 10× faster than pysam.faidx", _get(data, "index", "pysam", "pysam.faidx"),
              sk("index", "Faidx(path)"), 10)
    ratio_row("index", "≥ 2× faster than pyfastx", _get(data, "index", "pyfastx"), sk("index", "Faidx(path)"), 2)
    for w in [k for k in ORDER if k.startswith("batch_")]:
        mine = sk(w, "fetch_many")
        ratio_row(w, "≥ 15× faster than pysam fetch loop", _get(data, w, "pysam"), mine, 15)
        ratio_row(w, "faster than bedtools getfasta", _get(data, w, "bedtools"), mine, 1)
        floor = _get(data, w, "str-floor")
        if mine is None or floor is None:
            out.append((w, "within 3× of the string floor", "not measured", None))
        else:
            out.append((w, "within 3× of the string floor", f"{mine / floor:.2f}× floor", mine <= 3 * floor))
    ratio_row("same_chr", "fetch_many_same_chr at least as fast as fetch_many",
              sk("same_chr", "fetch_many"), sk("same_chr", "fetch_many_same_chr"), 1)
    ratio_row("single", "Faidx.fetch ≥ 20× faster per call than pysam", _get(data, "single", "pysam"),
              sk("single", "Faidx.fetch"), 20)
    ratio_row("single", "Faidx.fetch ≥ 2× faster per call than pyfastx", _get(data, "single", "pyfastx"),
              sk("single", "Faidx.fetch"), 2)
    whole = sk("whole", "fetch_entire_sequence")
    if whole is None:
        out.append(("whole", "≥ 2 GB/s end to end", "not measured", None))
    else:
        gbs = data["config"]["largest_length"] / whole / 1e9
        out.append(("whole", "≥ 2 GB/s end to end", f"{gbs:.2f} GB/s", gbs >= 2))
    ratio_row("whole", "≥ 3× faster than pyfastx", _get(data, "whole", "pyfastx"), whole, 3)

    columnar_targets(data, out, ratio_row)

    mem = data.get("memory", {}).get("sekvo")
    if mem:
        m = memory_numbers(mem)
        out.append(("memory", "open: < 5 MB above the interpreter", f"{m['open_delta'] / 1e6:.1f} MB",
                    m["open_delta"] < 5e6))
        out.append(("memory", "batch peak < 2× the residues returned",
                    f"{m['batch_ratio']:.2f}× ({m['batch_peak'] / 1e6:.0f} MB for {m['residues'] / 1e6:.0f} MB)",
                    m["batch_ratio"] < 2))
    else:
        out.append(("memory", "open < 5 MB; batch peak < 2× residues", "not measured", None))

    sc = data.get("scaling", {}).get("sekvo")
    if sc:
        for pool, res in sorted(sc.items()):
            lin = linearity(res)
            if lin:
                out.append(("scaling", f"linear in batch size (pool {pool}, ns/region from 10k to max within ±50%)",
                            f"{lin[0]:.0f}–{lin[1]:.0f} ns/region", lin[1] <= 1.5 * lin[0]))
            step = threshold_step(res)
            if step:
                out.append(("scaling", f"no step at 1000 regions (pool {pool}, warm time(1000) ≤ 1.25 × time(999))",
                            f"{step:.2f}×", step <= 1.25))
    else:
        out.append(("scaling", "linear; no step at 1000", "not measured", None))
    out += process_targets(data.get("processes") or {})
    return out


def process_targets(rows: dict) -> list[tuple[str, str, str, bool | None]]:
    handle, cluster = rows.get("handle"), rows.get("cluster") or {}
    out = []
    if handle:
        unpickle, opened = handle["unpickle"]["median"], handle["open"]["median"]
        floor = handle["pickle_floor"]["median"]
        out.append(("processes", "unpickling a Fasta (index current) costs no more than opening it, beyond "
                    "pickle.loads' own fixed cost (within 10 %), and rewrites no index",
                    f"{unpickle / opened:.2f}× ({unpickle * 1e6:.1f} µs against {opened * 1e6:.1f} µs, "
                    f"pickle.loads of a small object {floor * 1e6:.1f} µs; building "
                    f"{handle['build']['median']:.2f} s)",
                    unpickle <= 1.1 * (opened + floor) and not handle["index_rewritten"]))
    else:
        out.append(("processes", "unpickling costs no more than opening", "not measured", None))
    if "cluster" in cluster:
        ratio = cluster["cluster"]["median"] / cluster["single"]["median"]
        out.append(("processes", f"{cluster['regions']:,} regions on a started {rows['workers']}-process "
                    "LocalCluster within 2× one process", f"{ratio:.2f}×", ratio <= 2))
    else:
        out.append(("processes", "BED on a 2-process LocalCluster within 2× one process",
                    cluster.get("missing", "not measured"), None))
    return out


def processes_table(rows: dict) -> list[str]:
    handle, cluster = rows.get("handle") or {}, rows.get("cluster") or {}
    lines = ["| step | median |", "|---|---:|"]
    for key, label in (("build", "Fasta(path), index built"), ("open", "Fasta(path), index present"),
                       ("unpickle", "pickle.loads of a pickled Fasta, index present"),
                       ("pickle_floor", "pickle.loads of a pickled empty Sequence (the unpickler's own cost)")):
        if key in handle:
            seconds = handle[key]["median"]
            lines.append(f"| {label} | {seconds * 1e6:.1f} µs |" if seconds < 1e-3 else
                         f"| {label} | {fmt_seconds(seconds)} |")
    if "cluster" in cluster:
        regions = f"{cluster['regions']:,} regions"
        for key, label in (("single", f"{regions}, one process (one batch, FASTA text)"),
                           ("single_cli", f"{regions}, `sekvo getfasta` (whole process)"),
                           ("cluster", f"{regions} on the started cluster ({cluster['partitions']} partitions), "
                                       "examples/dask_regions.py"),
                           ("scheduling", f"Dask alone: the same {cluster['partitions']} partitions sent to "
                                          "a task that only counts them")):
            lines.append(f"| {label} | {fmt_seconds(cluster[key]['median'])} |")
        lines.append(f"| cluster start-up ({rows['workers']} worker processes), once | "
                     f"{fmt_seconds(cluster['cluster_start'])} |")
    return lines
def columnar_targets(data: dict, out: list, ratio_row) -> None:
    """The targets of the columnar batches (bench/columnar.py)."""
    w = "columnar_var_random"
    sk = lambda workload, v: _get(data, workload, "sekvo", v)  # noqa: E731
    strs = sk(w, "[str(s) for s in fetch_many]")
    for label, limit in (("fetch_array(tuples)", 0.5), ("fetch_array(numpy columns)", 0.4)):
        mine = sk(w, label)
        if mine is None or strs is None:
            out.append((w, f"{label} ≤ {limit}× [str(s) for s in fetch_many]", "not measured", None))
        else:
            out.append((w, f"{label} ≤ {limit}× [str(s) for s in fetch_many]", f"{mine / strs:.2f}×",
                        mine <= limit * strs))
    ratio_row(w, "fetch_array(tuples) ≥ 20× faster than pysam fetch loop", _get(data, w, "pysam"),
              sk(w, "fetch_array(tuples)"), 20)
    arrow = sk("arrow_export", "pyarrow.array(arr)")
    out.append(("arrow_export", "pyarrow.array(arr) under 1 ms",
                "not measured" if arrow is None else f"{arrow * 1e3:.3f} ms", None if arrow is None else arrow < 1e-3))
    ratio_row("bed_file", "fetch_bed (parse + fetch) faster than parsing to tuples in Python",
              _get(data, "bed_file", "python-mmap"), sk("bed_file", "fetch_bed(path)"), 1)
    ratio_row("one_hot_200", "≥ 10× faster than pysam loop + numpy lookup", _get(data, "one_hot_200", "pysam"),
              sk("one_hot_200", "fetch_array + one_hot"), 10)
    ratio_row("minibatch_1000", "≥ 8× the windows per second of pysam loop + numpy lookup",
              _get(data, "minibatch_1000", "pysam"), sk("minibatch_1000", "fetch_array + one_hot"), 8)
    mem = data.get("columnar_memory", {}).get("sekvo")
    out.append(("memory", "fetch_array peak ≤ 1.2× the residues returned",
                "not measured" if not mem else
                f"{mem['ratio']:.2f}× ({mem['peak'] / 1e6:.0f} MB for {mem['residues'] / 1e6:.0f} MB)",
                None if not mem else mem["ratio"] <= 1.2))


def notes(data: dict) -> list[str]:
    out = [
        "- Every batch call includes making a Python `str` of every result (sekvo: `str()` of each "
        "`Sequence`); the single calls keep the returned object (sekvo `Sequence`, pysam `str`, pyfastx "
        "`.seq` of the slice).",
        "- pyfastx is timed through record slices (`fa[name][a:b].seq`, record objects looked up once): its "
        "`Fasta.fetch` reads the whole record and keeps it, which costs milliseconds per call whenever the "
        "record changes; it is timed only on the one-record batch, and its kept record is dropped before each "
        "timed run, as is the one kept by `fa[name].seq`.",
        "- `python-mmap` is a reader in plain Python over a read-only mapping and the index file; its index "
        "build only counts line feeds and does not check line widths. `str-floor` slices records already held "
        "as Python `str`: the cost of creating the result strings and the list, and nothing else.",
        "- The memory rows count anonymous memory: pages of the genome that a memory mapping makes resident "
        "are page cache, shared and reclaimable, and shown apart.",
    ]
    # Where sekvo misses a speed-up over pysam, how the goal compares with the
    # floor: the cost of making the same Python strings from text already in
    # memory, in a plain loop.
    goals = [(w, "fetch_many", 15, "loop") for w in ORDER if w.startswith("batch_")]
    goals.append(("single", "Faidx.fetch", 20, "call"))
    for w, variant, factor, unit in goals:
        pysam, floor = _get(data, w, "pysam"), _get(data, w, "str-floor")
        mine = _get(data, w, "sekvo", variant)
        if not (pysam and floor and mine) or pysam / mine >= factor:
            continue
        out.append(f"- {WORKLOAD_TITLES[w]}: the pysam {unit} takes {pysam / floor:.1f}× the time of the string "
                   f"floor, so {factor}× faster than pysam means {pysam / factor / floor:.2f}× the floor's time; "
                   f"sekvo takes {mine / floor:.2f}× it.")
    return out


ANALYSIS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "analysis.md")


def analysis() -> list[str]:
    """The profile of the targets not met, written by hand from the latency
    probe and perf (bench/analysis.md), when there is one."""
    if not os.path.exists(ANALYSIS):
        return []
    with open(ANALYSIS) as f:
        return f.read().rstrip("\n").split("\n") + [""]


def memory_numbers(mem: dict) -> dict:
    before = mem["before_batch"]
    peak_anon = max(mem.get("sampled_peak", {}).get("RssAnon", 0), mem["after_batch"]["RssAnon"])
    batch_peak = peak_anon - before["RssAnon"]
    residues = mem["residues"] or 1
    return {
        "import_rss": mem["import"]["VmRSS"],
        "open_delta": mem["open"]["VmRSS"] - mem["import"]["VmRSS"],
        "open_anon_delta": mem["open"]["RssAnon"] - mem["import"]["RssAnon"],
        "batch_peak": batch_peak,
        "residues": mem["residues"],
        "batch_ratio": batch_peak / residues,
        "hwm_delta": mem["after_batch"]["VmHWM"] - before["VmRSS"],
        "file_delta": mem["after_batch"]["RssFile"] - before["RssFile"],
    }


def linearity(res: dict) -> tuple[float, float] | None:
    per = [v["median"] / int(n) * 1e9 for n, v in res["sizes"].items() if int(n) >= 10_000]
    return (min(per), max(per)) if len(per) >= 2 else None


def threshold_step(res: dict) -> float | None:
    s = res["sizes"]
    if "999" in s and "1000" in s:
        return s["1000"]["median"] / s["999"]["median"]
    return None


def memory_table(data: dict) -> list[str]:
    rows = ["| tool | call | RSS after import | open: RSS added | batch: residues returned | "
            "batch: peak anonymous memory added | peak ÷ residues | batch: file pages mapped |",
            "|---|---|---:|---:|---:|---:|---:|---:|"]
    for tool, mem in data.get("memory", {}).items():
        m = memory_numbers(mem)
        rows.append(f"| {tool} | `{mem['variant']}` | {m['import_rss'] / 1e6:.1f} MB | {m['open_delta'] / 1e6:.1f} MB | "
                    f"{m['residues'] / 1e6:.1f} MB | {m['batch_peak'] / 1e6:.1f} MB | {m['batch_ratio']:.2f} | "
                    f"{m['file_delta'] / 1e6:.1f} MB |")
    return rows


def scaling_table(data: dict) -> list[str]:
    rows = []
    for tool, pools in data.get("scaling", {}).items():
        pool_names = sorted(pools)
        rows += [f"`{tool}` `{next(iter(pools.values()))['variant']}`, median time per region "
                 "(worker pool size set by RAYON_NUM_THREADS):", "",
                 "| regions | " + " | ".join(f"pool {p}" for p in pool_names) + " |",
                 "|---:|" + "---:|" * len(pool_names)]
        sizes = sorted({int(n) for p in pools.values() for n in p["sizes"]})
        for n in sizes:
            cells = []
            for p in pool_names:
                r = pools[p]["sizes"].get(str(n))
                cells.append(f"{r['median'] / n * 1e9:.0f} ns ({fmt_seconds(r['median'])})" if r else "–")
            rows.append(f"| {n:,} | " + " | ".join(cells) + " |")
        rows.append("| first call of 1,000 (starts the pool) | " + " | ".join(
            fmt_seconds(pools[p]["first_call_1000"]) for p in pool_names) + " |")
        rows.append("")
    return rows


def chart(data: dict, baseline: str, path: str) -> bool:
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    workloads = [w for w in ORDER if w in data["results"] and w != "open"
                 and base_time(data, w, baseline)]
    peers = []
    for w in workloads:
        for tool in data["results"][w]:
            if tool != baseline and tool not in peers:
                peers.append(tool)
    if not workloads or not peers:
        return False
    fig, ax = plt.subplots(figsize=(9.5, 0.5 + 0.75 * len(workloads)), dpi=80)
    height = 0.8 / len(peers)
    colors = plt.get_cmap("tab10")
    for i, tool in enumerate(peers):
        ys, xs = [], []
        for j, w in enumerate(workloads):
            variants = data["results"][w].get(tool)
            if variants:
                best = min(v["median"] for v in variants.values())
                ys.append(j + (i - (len(peers) - 1) / 2) * height)
                xs.append(best / base_time(data, w, baseline))
        ax.barh(ys, xs, height=height, color=colors(i % 10), label=tool, left=0)
    ax.set_xscale("log")
    ax.axvline(1, color="black", linewidth=1)
    ax.set_yticks(range(len(workloads)))
    ax.set_yticklabels([WORKLOAD_TITLES[w].replace(", ", ",\n", 1) for w in workloads], fontsize=8)
    ax.invert_yaxis()
    ax.set_xlabel(f"tool time ÷ {baseline} time (log scale; right of 1: {baseline} is faster)")
    ax.legend(fontsize=8, loc="upper left", bbox_to_anchor=(1.01, 1))
    ax.grid(axis="x", which="both", alpha=0.3)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)
    return True


def markdown(data: dict, chart_path: str | None) -> str:
    baseline = baseline_of(data)
    m, cfg = data["machine"], data["config"]
    lines = [
        f"Machine: {m.get('cpu', '?')}, {m.get('cores')} logical cores, {m.get('memory', '?')} memory; "
        f"{m.get('os', '')} (Linux {m.get('kernel')}); Python {m.get('python')}; "
        f"sekvo commit {m.get('commit', '?')}; run {m.get('date')}; load average "
        f"{m.get('load_before', '?')} before the run, {m.get('load_after', '?')} after.",
        "",
        f"Data: synthetic genome of {cfg['genome_bytes'] / 1e6:,.0f} MB (24 records, 60 residues per line, "
        f"soft-masked stretches, N runs at the record ends); {cfg['regions']:,} regions per batch; "
        f"{cfg['single_calls']:,} single calls; largest record {cfg['largest']} "
        f"({cfg['largest_length'] / 1e6:.0f} Mbp). Times are medians over {cfg.get('rounds', 1)} round(s) through "
        f"all tools of {cfg['reps']['batch']} runs each ({cfg['reps']['index']} for index builds, "
        f"{cfg['reps']['single']} for single calls), after one untimed run, with a warm page cache "
        "(the genome dropped from it and read once sequentially at the start, so that its state does not depend on "
        "what touched the file before: see bench/page_cache.py); each tool runs in its own interpreter; command-line tools are timed as whole processes writing to /dev/null.",
        "",
        "Tools: " + "; ".join(
            f"{n} {i['version']}" + ("" if i["available"] else " (**missing**)")
            for n, i in data["tools"].items() if not i.get("skipped")) + ".",
        "",
    ]
    missing = {n: i["version"] for n, i in data["tools"].items() if not i["available"]}
    if missing:
        lines += ["Missing tools (not measured): " + "; ".join(f"{n}: {why}" for n, why in missing.items()), ""]
    if data.get("failures"):
        lines += ["Failed runs: " + "; ".join(f"{n}: {why}" for n, why in data["failures"].items()), ""]
    if chart_path:
        lines += [f"![time of each tool relative to {baseline}]({chart_path})", ""]

    if data["tools"].get("sekvo", {}).get("available"):
        lines += ["## Targets", "", "| workload | target | measured | met |", "|---|---|---|:---:|"]
        for w, label, measured, met in targets(data):
            mark = {True: "yes", False: "**no**", None: "–"}[met]
            lines.append(f"| {w} | {label} | {measured} | {mark} |")
        lines.append("")
    else:
        lines += [f"sekvo was not measured; ratios are relative to {baseline}.", ""]

    lines += ["## Notes", ""] + notes(data) + [""] + analysis() + ["## Times", ""]
    for w in ORDER:
        if w in data["results"] and w != "open":
            lines += [f"### {WORKLOAD_TITLES[w]}", ""] + workload_table(data, w, baseline) + [""]
    if data.get("memory"):
        lines += ["## Memory", "",
                  "Resident memory of a fresh interpreter per tool. \"Open\" is VmRSS after opening the genome "
                  "(index present) minus VmRSS after importing the tool. The batch is the random 50–1000 bp set, "
                  "results kept as the tool returns them; its peak is the highest anonymous resident memory "
                  "(RssAnon, sampled every 0.5 ms from outside) minus RssAnon before the call. File pages of a "
                  "memory mapping are page cache shared with the system and shown apart.", ""]
        lines += memory_table(data) + [""]
    if data.get("scaling"):
        lines += ["## Scaling", ""] + scaling_table(data)
    if data.get("one_shot"):
        from one_shot import markdown as one_shot_markdown
        lines += [one_shot_markdown(data["one_shot"])]
    if data.get("processes"):
        lines += ["## Across processes", "",
                  "A Fasta pickled and loaded in the same process (the index present and current), and "
                  "the random 50–1000 bp BED set fetched with examples/dask_regions.py on a LocalCluster "
                  "started beforehand, against the same fetch and formatting in one process.", ""]
        lines += processes_table(data["processes"]) + [""]
    if data.get("bgzf"):
        lines += ["## Compressed genome (BGZF)", "",
                  "The genome compressed with `bgzip -@2`; sekvo, pysam and samtools read the same `.gz` "
                  "(bench/bgzf.py: best of its repetitions, each in a fresh interpreter).", "",
                  "| measurement | value |", "|---|---:|"]
        for key, value in data["bgzf"].items():
            shown = f"{value:.4g}" if isinstance(value, float) else str(value)
            lines.append(f"| {key} | {shown} |")
        lines.append("")
    lines += ["## Residue checks", "",
              "Every tool's residues for each workload are hashed (all regions of each batch, the first "
              f"{cfg['check_sample']:,} single calls, the whole record) and compared.", "",
              "| workload | results compared | agree |", "|---|---:|---|"]
    for w, c in data.get("checks", {}).items():
        agree = "yes" if not c["mismatches"] else "**no**: " + ", ".join(c["mismatches"])
        lines.append(f"| {w} | {c['tools']} | {agree} |")
    ref = next((v for k, v in data.get("index_files", {}).items() if k.startswith("reference")), None)
    if ref:
        differ = [k for k, v in data["index_files"].items() if v != ref]
        lines += ["", "Index files written: " + (
            "all identical to the reference." if not differ else "differ from the reference: " + ", ".join(differ))]
    lines.append("")
    return "\n".join(lines)


def write_outputs(data: dict, out_dir: str, report: str | None) -> list[str]:
    os.makedirs(out_dir, exist_ok=True)
    written = []
    json_path = os.path.join(out_dir, "results.json")
    with open(json_path, "w") as f:
        json.dump(data, f, indent=1)
    written.append(json_path)
    chart_file = os.path.join(out_dir, CHART_NAME)
    has_chart = chart(data, baseline_of(data), chart_file)
    if has_chart:
        written.append(chart_file)
    md_path = os.path.join(out_dir, "results.md")
    with open(md_path, "w") as f:
        f.write("# Benchmark results\n\n" + markdown(data, CHART_NAME if has_chart else None))
    written.append(md_path)
    if report:
        rel = os.path.relpath(chart_file, os.path.dirname(os.path.abspath(report))) if has_chart else None
        with open(report, "w") as f:
            f.write("# Benchmarks\n\n"
                    "sekvo against other FASTA readers, all run side by side on the same machine in the same run "
                    "by `make bench` (`bench/run.py`; `bench/run.py --quick` for a small run).\n\n"
                    + markdown(data, rel))
        written.append(report)
    return written


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("results")
    parser.add_argument("--out", help="directory for results.md and the chart (default: beside results)")
    parser.add_argument("--report")
    args = parser.parse_args(argv)
    with open(args.results) as f:
        data = json.load(f)
    out = args.out or os.path.dirname(os.path.abspath(args.results))
    if os.path.abspath(os.path.join(out, "results.json")) != os.path.abspath(args.results):
        os.makedirs(out, exist_ok=True)
        shutil.copy(args.results, os.path.join(out, "results.json"))
    for path in write_outputs(data, out, args.report):
        print(path)
    return 0


if __name__ == "__main__":
    sys.exit(main())
