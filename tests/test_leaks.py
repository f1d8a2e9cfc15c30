"""Every public operation, on success and on its error paths, called thousands
of times: the interpreter's allocated blocks and the process's resident
memory stay flat."""
import gc
import os
import sys

import pytest

import sekvo
from conftest import residues, write_fasta

CALLS = 2000
WARM_UP = 200
# A leaked reference per call would add CALLS blocks; allow for the
# interpreter's own caches settling.
BLOCK_SLACK = 40
# Each call reads or builds tens of kilobytes, so a lost buffer per call
# would add tens of megabytes over the whole run.
RSS_SLACK = 8 << 20


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("leaks")
    path = write_fasta(tmp / "g.fa", [("long one", residues(120_000, seed=1)),
                                      ("short", residues(100, seed=2)),
                                      ("NNpadded", "NNNN" + residues(50, seed=3) + "NN")])
    bad_index = tmp / "bad.fa"
    bad_index.write_text(">x\nACGT\n")
    (tmp / "bad.fa.fai").write_text("x\tfour\t3\t4\t5\n")
    return path, str(bad_index), str(tmp / "missing.fa")


def operations(path, bad_index, missing):
    """(label, call, exception the call raises or None)."""
    fx = sekvo.Faidx(path)
    fx_file = sekvo.Faidx(path, mutable=True)
    strict = sekvo.Faidx(path, strict_bounds=True)
    fa = sekvo.Fasta(path)
    fa_file = sekvo.Fasta(path, mutable=True, default_seq="N")
    record = fa["long"]
    seq = fx.fetch("long", 1, 1000)
    many = [("long", i * 50 + 1, i * 50 + 400) for i in range(1500)]
    target = sekvo.Sequence("n", "ACGT", 1, 4)

    class ReadsWhileSet:  # converting it reads `target` while a setter holds it
        def __index__(self):
            target.seq
            return 1

    class SetsWhileSet:
        def __index__(self):
            target.end = 3
            return 1

    same = [(i * 50 + 1, i * 50 + 400) for i in range(1500)]
    large = [("long", i * 50 + 1, i * 50 + 9000) for i in range(1200)]
    ops = [
        # Construction: loading, building (rebuild on an older index is the
        # same path), and each failure.
        ("Faidx()", lambda: sekvo.Faidx(path), None),
        ("Fasta()", lambda: sekvo.Fasta(path, default_seq="N"), None),
        ("Faidx(missing)", lambda: sekvo.Faidx(missing), Exception),
        ("Faidx(no index)", lambda: sekvo.Faidx(path, indexname=missing, build_index=False), Exception),
        ("Faidx(bad index)", lambda: sekvo.Faidx(bad_index, rebuild=False), Exception),
        ("Faidx(bad argument)", lambda: sekvo.Faidx(path, as_raw=1), TypeError),
        ("Fasta(bad argument)", lambda: sekvo.Fasta(path, read_ahead=-1), OverflowError),
        # Faidx
        ("fetch", lambda: fx.fetch("long", 1000, 6000), None),
        ("fetch (file)", lambda: fx_file.fetch("long", 1000, 6000), None),
        ("fetch unknown", lambda: fx.fetch("nope", 1, 2), Exception),
        ("fetch strict", lambda: strict.fetch("short", 90, 200), IndexError),
        ("fetch bad type", lambda: fx.fetch("short", "1", 2), TypeError),
        ("fetch negative", lambda: fx.fetch("short", -1, 2), OverflowError),
        ("fetch_entire_sequence", lambda: fx.fetch_entire_sequence("short"), None),
        ("fetch_entire_sequence unknown", lambda: fx.fetch_entire_sequence("nope"), Exception),
        ("fetch_many", lambda: fx.fetch_many(many[:20]), None),
        ("fetch_many parallel", lambda: fx.fetch_many(many), None),
        ("fetch_many parallel (file)", lambda: fx_file.fetch_many(many), None),
        ("fetch_many parallel large", lambda: [str(s) for s in fx.fetch_many(large)], None),
        ("fetch_many large rc", lambda: fa.fetch_many(large[:30], rc=True), None),
        ("fetch_many parallel large unknown", lambda: fx.fetch_many(large + [("nope", 1, 2)]), RuntimeError),
        ("str(large fetch)", lambda: str(fx.fetch("long", 1, 100_000)), None),
        ("fetch_many unknown", lambda: fx.fetch_many(many[:20] + [("nope", 1, 2)]), Exception),
        ("fetch_many parallel unknown", lambda: fx.fetch_many(many + [("nope", 1, 2)]), RuntimeError),
        ("fetch_many bad tuple", lambda: fx.fetch_many([("long", 1)]), ValueError),
        ("fetch_many str", lambda: fx.fetch_many("long"), TypeError),
        ("fetch_many_same_chr", lambda: fx.fetch_many_same_chr("long", same), None),
        ("fetch_many_same_chr strict", lambda: strict.fetch_many_same_chr("short", [(1, 2), (0, 1)]), IndexError),
        ("fetch_many_same_chr parallel strict",
         lambda: strict.fetch_many_same_chr("short", [(1, 2)] * 1500 + [(0, 1)]), RuntimeError),
        ("Faidx.keys", lambda: fx.keys, None),
        ("Faidx in", lambda: "short" in fx, None),
        ("Faidx in bad type", lambda: 3 in fx, TypeError),
        ("Faidx repr", lambda: repr(fx), None),
        # Fasta
        ("Fasta.keys", lambda: fa.keys(), None),
        ("Fasta.values", lambda: fa.values(), None),
        ("Fasta.items", lambda: fa.items(), None),
        ("Fasta len", lambda: len(fa), None),
        ("Fasta iteration", lambda: list(fa), None),
        ("Fasta[name]", lambda: fa["short"], None),
        ("Fasta[int]", lambda: fa[1], None),
        ("Fasta[unknown]", lambda: fa["nope"], KeyError),
        ("Fasta[out of range]", lambda: fa[7], IndexError),
        ("Fasta[float]", lambda: fa[1.0], TypeError),
        ("Fasta in", lambda: "nope" in fa, None),
        ("get_seq rc", lambda: fa.get_seq("long", 10, 5000, rc=True), None),
        ("get_seq padded (file)", lambda: fa_file.get_seq("short", 50, 300), None),
        ("get_seq unknown", lambda: fa.get_seq("nope", 1, 2), Exception),
        ("get_seq bad rc", lambda: fa.get_seq("short", 1, 2, rc=1), TypeError),
        ("get_spliced_seq", lambda: fa.get_spliced_seq("long", [(1, 300), (900, 4000)], rc=True), None),
        ("get_spliced_seq unknown", lambda: fa.get_spliced_seq("nope", [(1, 3)]), Exception),
        ("get_spliced_seq bad interval", lambda: fa.get_spliced_seq("long", [(1, 2, 3)]), ValueError),
        ("Fasta.fetch_many rc", lambda: fa.fetch_many(many, rc=True), None),
        ("Fasta.fetch_many_same_chr", lambda: fa.fetch_many_same_chr("long", same[:30]), None),
        ("with Fasta", lambda: fa.__exit__(None, None, None) if fa.__enter__() is fa else None, None),
        ("Fasta repr", lambda: repr(fa), None),
        ("Fasta.close", lambda: fa.close(), None),
        # FastaRecord and its iterators
        ("record[int]", lambda: record[-5], None),
        ("record[slice]", lambda: record[100:9000], None),
        ("record[::-3]", lambda: record[50000:40000:-3], None),
        ("record[bad key]", lambda: record["x"], TypeError),
        ("record len", lambda: len(record), None),
        ("record str", lambda: str(fa["short"]), None),
        ("record repr", lambda: repr(record), None),
        ("record long_name", lambda: record.long_name, None),
        ("record unpadded_len", lambda: fa["NNpadded"].unpadded_len, None),
        ("record reversed", lambda: reversed(fa["short"]), None),
        ("SequenceIterator", lambda: list(iter(fa["short"])), None),
        ("SequenceIterator partial", lambda: next(iter(record)), None),
        ("FastaIterator partial", lambda: next(iter(fa)), None),
        ("FastaRecord()", lambda: sekvo.FastaRecord(), TypeError),
        ("FastaIterator()", lambda: sekvo.FastaIterator(), TypeError),
        ("SequenceIterator()", lambda: sekvo.SequenceIterator(), TypeError),
        ("MutableFastaRecord()", lambda: sekvo.MutableFastaRecord(), TypeError),
        # Sequence
        ("Sequence()", lambda: sekvo.Sequence("n", "ACGTN" * 200, 1, 1000), None),
        ("Sequence(bad)", lambda: sekvo.Sequence("n", "ACGT", -1), OverflowError),
        ("Sequence[slice]", lambda: seq[10:500:2], None),
        ("Sequence[int]", lambda: seq[-1], None),
        ("Sequence[out of range]", lambda: seq[5000], IndexError),
        ("Sequence[bad key]", lambda: seq["x"], TypeError),
        ("-Sequence", lambda: -seq, None),
        ("Sequence transforms", lambda: (seq.complement, seq.reverse, seq.orientation), None),
        ("Sequence gc", lambda: (seq.gc, seq.gc_strict, seq.gc_iupac), None),
        ("Sequence names", lambda: (seq.long_name, seq.fancy_name, repr(seq), str(seq)), None),
        ("Sequence compare", lambda: (seq == seq[0:1000], seq != "x"), None),
        ("Sequence set", lambda: setattr(sekvo.Sequence("n", "A"), "seq", "ACGT" * 50), None),
        ("Sequence set bad", lambda: setattr(seq, "start", "x"), TypeError),
        ("Sequence delete", lambda: delattr(seq, "seq"), AttributeError),
        ("Sequence borrowed", lambda: setattr(target, "start", ReadsWhileSet()), RuntimeError),
        ("Sequence mutably borrowed", lambda: setattr(target, "start", SetsWhileSet()), RuntimeError),
    ]
    return ops


def call(op, expected):
    if expected is None:
        op()
        return
    try:
        op()
    except expected:
        return
    raise AssertionError("no exception raised")


def test_no_operation_leaks(files, capfd):
    ops = operations(*files)
    for label, op, expected in ops:  # each error path really is taken
        try:
            call(op, expected)
        except AssertionError:
            pytest.fail(f"{label}: expected {expected.__name__}")
    capfd.readouterr()
    if os.environ.get("SEKVO_SANITIZER"):
        # With PYTHONMALLOC=malloc the interpreter counts no blocks, and the
        # sanitizer's quarantine holds freed memory; LeakSanitizer checks
        # the module's allocations instead.
        return

    for _ in range(WARM_UP):
        for _, op, expected in ops:
            call(op, expected)
    gc.collect()
    rss_before = resident_bytes()
    blocks_before = sys.getallocatedblocks()

    leaks = []
    for label, op, expected in ops:
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(CALLS):
            call(op, expected)
        gc.collect()
        grown = sys.getallocatedblocks() - before
        if grown > BLOCK_SLACK:
            leaks.append(f"{label}: +{grown} blocks in {CALLS} calls")
        capfd.readouterr()  # the lenient reads' warnings, if any

    gc.collect()
    blocks_after = sys.getallocatedblocks()
    rss_after = resident_bytes()
    summary = (f"{len(ops)} operations x {CALLS} calls: blocks {blocks_before} -> {blocks_after}, "
               f"RSS {rss_before / 2**20:.1f} MiB -> {rss_after / 2**20:.1f} MiB")
    with capfd.disabled():
        print("\n" + summary)
    assert not leaks, "\n".join(leaks)
    assert blocks_after - blocks_before <= BLOCK_SLACK, summary
    assert rss_after - rss_before <= RSS_SLACK, summary
