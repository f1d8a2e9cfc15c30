#!/usr/bin/env python3
"""BGZF rows: the benchmark genome compressed with `bgzip -@2`, read by sekvo
(compressed and plain), pysam and samtools.

    python bench/bgzf.py --data DIR [--regions N] [--json FILE]

DIR holds genome.fa and var_random.bed from bench/make_data.py; genome.fa.gz
is made there when missing. Each measurement runs in a fresh interpreter.
Prints one table row per measurement, with the targets it is held against,
and checks that every BGZF result equals the plain file's (a digest of the
residues returned); exits with status 1 when one does not.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import time

PROBE = r'''
import hashlib, json, os, random, sys, time
cfg = json.loads(sys.argv[1])
kind = cfg["kind"]

def digest(texts):
    # Of the residues returned, so that the compressed file's results can be
    # held against the plain file's.
    h = hashlib.sha256()
    for t in texts:
        h.update(t.encode())
        h.update(b"\n")
    return h.hexdigest()

def regions(limit):
    out = []
    with open(cfg["bed"]) as f:
        for line in f:
            name, start, end = line.split("\t")[:3]
            out.append((name, int(start) + 1, int(end)))
            if len(out) == limit:
                break
    return out

def status(key):
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) * 1024 for l in f if l.startswith(key + ":"))

def best(call, reps):
    # The shortest time, and what the last call returned.
    times = []
    for _ in range(reps):
        t = time.perf_counter(); got = call(); times.append(time.perf_counter() - t)
    return min(times), got

result = {}
if kind == "sekvo-open":
    import sekvo
    t = time.perf_counter(); sekvo.Faidx(cfg["path"]); result["seconds"] = time.perf_counter() - t
elif kind == "sekvo-batch":
    import sekvo
    fx = sekvo.Faidx(cfg["path"])
    rs = regions(cfg["regions"])
    result["seconds"], texts = best(lambda: [str(s) for s in fx.fetch_many(rs)], cfg["reps"])
    result["residues"] = sum(e - s + 1 for _, s, e in rs)
    result["digest"] = digest(texts)
elif kind == "sekvo-memory":
    import sekvo
    fx = sekvo.Faidx(cfg["path"])
    rs = regions(cfg["regions"])
    before = status("VmRSS")
    got = fx.fetch_many(rs)
    texts = [str(s) for s in got]
    # VmHWM, not ru_maxrss: after a vfork and exec the latter keeps the
    # parent's peak, so a large benchmark driver would count as ours.
    peak = status("VmHWM")
    result.update(peak_over_start=peak - before, residues=sum(len(t) for t in texts))
elif kind == "pysam-batch":
    import pysam
    fa = pysam.FastaFile(cfg["path"])
    rs = regions(cfg["regions"])
    t = time.perf_counter()
    for name, s, e in rs:
        fa.fetch(name, s - 1, e)
    result["per_region"] = (time.perf_counter() - t) / len(rs)
elif kind in ("sekvo-single", "pysam-single"):
    rng = random.Random(5)
    lengths = cfg["lengths"]
    names = list(lengths)
    weights = [lengths[n] for n in names]
    near = cfg.get("near", False)
    calls = []
    anchor = None
    for i in range(cfg["calls"]):
        if near and anchor and i % 100:
            name, s = anchor[0], anchor[1] + rng.randint(0, 20000)
        else:
            name = rng.choices(names, weights)[0]
            s = rng.randint(1, lengths[name] - 30000)
            anchor = (name, s)
        calls.append((name, s, s + 99))
    if kind == "sekvo-single":
        import sekvo
        fx = sekvo.Faidx(cfg["path"])
        fetch = fx.fetch
        got = [None] * len(calls)
        t = time.perf_counter()
        for i, c in enumerate(calls):
            got[i] = fetch(*c)
    else:
        import pysam
        fa = pysam.FastaFile(cfg["path"])
        fetch = fa.fetch
        got = [None] * len(calls)
        t = time.perf_counter()
        for i, (name, s, e) in enumerate(calls):
            got[i] = fetch(name, s - 1, e)
    result["per_call"] = (time.perf_counter() - t) / len(calls)
    result["digest"] = digest(str(g) for g in got)
elif kind == "floor":
    # libdeflate called through ctypes (which lets go of the GIL for each
    # call): every BGZF block in [ubegin, uend) of the text inflated and its
    # CRC checked on `threads` threads, the file already in memory; or, with
    # "calls", one random block read from the file, inflated and checked per
    # call. What any reader of these blocks must spend at least.
    import ctypes, ctypes.util, threading
    lib = ctypes.CDLL(ctypes.util.find_library("deflate") or "libdeflate.so.0")
    lib.libdeflate_alloc_decompressor.restype = ctypes.c_void_p
    lib.libdeflate_deflate_decompress.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t,
                                                  ctypes.c_void_p, ctypes.c_size_t, ctypes.POINTER(ctypes.c_size_t)]
    lib.libdeflate_crc32.restype = ctypes.c_uint32
    lib.libdeflate_crc32.argtypes = [ctypes.c_uint32, ctypes.c_void_p, ctypes.c_size_t]
    with open(cfg["path"], "rb") as f:
        data = f.read()
    blocks, text_at, at = [], 0, 0
    while at < len(data):
        size = int.from_bytes(data[at + 16:at + 18], "little") + 1
        inflated = int.from_bytes(data[at + size - 4:at + size], "little")
        if inflated and text_at + inflated > cfg.get("ubegin", 0) and text_at < cfg.get("uend", 1 << 62):
            blocks.append((at, size, inflated))
        text_at += inflated
        at += size
    base = ctypes.cast(ctypes.c_char_p(data), ctypes.c_void_p).value

    def inflate(d, out, got, at, size, inflated, source=None):
        where = base + at if source is None else ctypes.addressof(source)
        if lib.libdeflate_deflate_decompress(d, where + 18, size - 26, out, 65536, ctypes.byref(got)) != 0 \
                or got.value != inflated:
            raise SystemExit("inflate failed")
        crc = int.from_bytes((data[at + size - 8:at + size - 4]), "little")
        if lib.libdeflate_crc32(0, out, got.value) != crc:
            raise SystemExit("CRC failed")

    if "calls" in cfg:
        rng = random.Random(5)
        d, out, got = lib.libdeflate_alloc_decompressor(), ctypes.create_string_buffer(65536), ctypes.c_size_t()
        source = ctypes.create_string_buffer(65536)
        fd = os.open(cfg["path"], os.O_RDONLY)
        picks = [rng.choice(blocks) for _ in range(cfg["calls"])]
        t = time.perf_counter()
        for at, size, inflated in picks:
            ctypes.memmove(source, os.pread(fd, size, at), size)
            inflate(d, out, got, at, size, inflated, source)
        result["per_call"] = (time.perf_counter() - t) / len(picks)
    else:
        def work(share):
            d, out, got = lib.libdeflate_alloc_decompressor(), ctypes.create_string_buffer(65536), ctypes.c_size_t()
            for at, size, inflated in share:
                inflate(d, out, got, at, size, inflated)
        threads = [threading.Thread(target=work, args=(blocks[i::cfg["threads"]],)) for i in range(cfg["threads"])]
        t = time.perf_counter()
        for th in threads: th.start()
        for th in threads: th.join()
        result["seconds"] = time.perf_counter() - t
        result["blocks"] = len(blocks)
elif kind == "sekvo-whole":
    import sekvo
    fx = sekvo.Faidx(cfg["path"])
    result["seconds"], text = best(lambda: str(fx.fetch_entire_sequence(cfg["largest"])), cfg["reps"])
    result["digest"] = digest([text])
print(json.dumps(result))
'''


def probe(cfg: dict, env=None) -> dict:
    out = subprocess.run([sys.executable, "-c", PROBE, json.dumps(cfg)], capture_output=True, text=True, check=True,
                         env=env)
    return json.loads(out.stdout)


def timed(argv, reps, before=None) -> float:
    times = []
    for _ in range(reps):
        if before:
            before()
        t = time.perf_counter()
        subprocess.run(argv, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        times.append(time.perf_counter() - t)
    return min(times)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--data", required=True)
    parser.add_argument("--regions", type=int, default=200_000)
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--json")
    args = parser.parse_args(argv)

    plain = os.path.join(args.data, "genome.fa")
    gz = plain + ".gz"
    if not os.path.exists(gz):
        with open(gz, "wb") as out:
            subprocess.run(["bgzip", "-@2", "-c", plain], check=True, stdout=out)
    bed = os.path.join(args.data, "var_random.bed")
    with open(os.path.join(args.data, "manifest.json")) as f:
        lengths = dict(json.load(f)["records"])
    largest = max(lengths, key=lengths.get)
    have_pysam = subprocess.run([sys.executable, "-c", "import pysam"], capture_output=True).returncode == 0
    rows = {}

    def drop(*paths):
        for p in paths:
            if os.path.exists(p):
                os.remove(p)

    # Index files from nothing.
    rows["index sekvo .gz (s)"] = min(
        (drop(gz + ".fai", gz + ".gzi"), probe({"kind": "sekvo-open", "path": gz})["seconds"])[1]
        for _ in range(args.reps))
    if shutil.which("samtools"):
        mine = {s: open(gz + s, "rb").read() for s in (".fai", ".gzi")}
        rows["index samtools faidx .gz (s)"] = timed(["samtools", "faidx", gz], args.reps,
                                                      before=lambda: drop(gz + ".fai", gz + ".gzi"))
        rows["index files identical to samtools'"] = all(open(gz + s, "rb").read() == mine[s] for s in mine)
    probe({"kind": "sekvo-open", "path": plain})
    rows["open sekvo .gz with both index files (s)"] = probe({"kind": "sekvo-open", "path": gz})["seconds"]

    # The batch, against the plain file and pysam's loop.
    base = {"bed": bed, "regions": args.regions, "reps": args.reps}
    batch_gz = probe(dict(base, kind="sekvo-batch", path=gz))
    batch_plain = probe(dict(base, kind="sekvo-batch", path=plain))
    rows["batch sekvo .gz fetch_many+str (s)"] = batch_gz["seconds"]
    rows["batch sekvo plain fetch_many+str (s)"] = batch_plain["seconds"]
    rows["batch .gz / plain (target <= 3)"] = batch_gz["seconds"] / batch_plain["seconds"]
    rows["batch .gz residues equal the plain file's"] = batch_gz["digest"] == batch_plain["digest"]
    rows["inflate floor: bgzip -d -@2 of the whole file (s)"] = timed(
        ["sh", "-c", f"bgzip -d -@2 -c '{gz}' > /dev/null"], 1)
    # The floors: libdeflate alone inflating and checking the blocks (best
    # of the repetitions), on one thread and on as many as there are cores.
    cores = os.cpu_count() or 1
    floor_one = min(probe({"kind": "floor", "path": gz, "threads": 1})["seconds"] for _ in range(args.reps))
    floor_all = min(probe({"kind": "floor", "path": gz, "threads": cores})["seconds"] for _ in range(args.reps))
    rows["floor: every block inflated + CRC, 1 thread (s)"] = floor_one
    rows[f"floor: every block inflated + CRC, {cores} threads (s)"] = floor_all
    rows["batch .gz / that floor"] = batch_gz["seconds"] / floor_all
    if have_pysam:
        sample = min(args.regions, 10_000)
        pysam_batch = probe(dict(base, kind="pysam-batch", path=gz, regions=sample))
        rows["batch pysam loop .gz, extrapolated (s)"] = pysam_batch["per_region"] * args.regions
        rows["batch pysam / sekvo .gz (target >= 50)"] = pysam_batch["per_region"] * args.regions / batch_gz["seconds"]
        rows["batch pysam / the floor (the most any reader reaches)"] = (pysam_batch["per_region"] * args.regions /
                                                                         floor_all)

    # Single 100 bp fetches: random over the genome (a block inflated per call)
    # and near each other (the block cache).
    single = {"lengths": lengths, "calls": 20_000}
    single_gz = probe(dict(single, kind="sekvo-single", path=gz))
    single_plain = probe(dict(single, kind="sekvo-single", path=plain))
    sekvo_single = single_gz["per_call"]
    rows["single sekvo .gz random (us/call)"] = sekvo_single * 1e6
    rows["single sekvo plain random (us/call)"] = single_plain["per_call"] * 1e6
    near_gz = probe(dict(single, kind="sekvo-single", path=gz, near=True))
    near_plain = probe(dict(single, kind="sekvo-single", path=plain, near=True))
    rows["single sekvo .gz near each other (us/call)"] = near_gz["per_call"] * 1e6
    rows["single .gz residues equal the plain file's"] = (single_gz["digest"] == single_plain["digest"]
                                                          and near_gz["digest"] == near_plain["digest"])
    floor_single = min(probe({"kind": "floor", "path": gz, "calls": 5_000})["per_call"] for _ in range(args.reps))
    rows["floor: one random block read + inflated + CRC (us)"] = floor_single * 1e6
    if have_pysam:
        pysam_single = probe(dict(single, kind="pysam-single", path=gz, calls=5_000))["per_call"]
        rows["single pysam .gz random (us/call)"] = pysam_single * 1e6
        rows["single pysam / sekvo .gz (target >= 3)"] = pysam_single / sekvo_single
        rows["single pysam / the floor (the most any reader reaches)"] = pysam_single / floor_single

    # The largest record whole.
    whole_gz = probe({"kind": "sekvo-whole", "path": gz, "largest": largest, "reps": args.reps})
    whole = whole_gz["seconds"]
    rows["whole largest record .gz (GB/s, target >= 1)"] = lengths[largest] / whole / 1e9
    one_thread = probe({"kind": "sekvo-whole", "path": gz, "largest": largest, "reps": args.reps},
                       env=dict(os.environ, RAYON_NUM_THREADS="1"))["seconds"]
    rows["floor: one 64 KiB block inflated, one thread (us)"] = one_thread / (lengths[largest] * 61 / 60 / 65280) * 1e6
    with open(gz + ".fai") as f:
        entry = next(line.split("\t") for line in f if line.split("\t")[0] == largest)
    length, offset, lenc, lenb = (int(v) for v in entry[1:5])
    record = {"kind": "floor", "path": gz, "threads": cores, "ubegin": offset,
              "uend": offset + -(-length // lenc) * lenb}
    floor_whole = min(probe(record)["seconds"] for _ in range(args.reps))
    rows[f"floor: the record's blocks inflated + CRC, {cores} threads (GB/s of residues)"] = lengths[largest] / floor_whole / 1e9
    whole_plain = probe({"kind": "sekvo-whole", "path": plain, "largest": largest, "reps": args.reps})
    rows["whole largest record plain (GB/s)"] = lengths[largest] / whole_plain["seconds"] / 1e9
    rows["whole largest record .gz residues equal the plain file's"] = whole_gz["digest"] == whole_plain["digest"]

    # Memory of the batch.
    memory = probe(dict(base, kind="sekvo-memory", path=gz))
    rows["batch .gz peak RSS growth (MB)"] = memory["peak_over_start"] / 1e6
    rows["batch .gz memory bound 2 x residues + 64 MB (MB)"] = (2 * memory["residues"] + (64 << 20)) / 1e6

    width = max(map(len, rows))
    for key, value in rows.items():
        shown = f"{value:.4g}" if isinstance(value, float) else str(value)
        print(f"{key:<{width}}  {shown}")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(rows, f, indent=1)
    mismatched = [key for key, value in rows.items() if "equal the plain" in key and value is not True]
    if mismatched:
        print("RESIDUE MISMATCH: " + "; ".join(mismatched), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
