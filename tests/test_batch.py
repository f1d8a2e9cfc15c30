"""Batch retrieval: the sequential and the parallel path, errors, order."""
import json

import pytest

import sekvo
from conftest import residues, run_python, write_fasta


@pytest.fixture
def genome(tmp_path):
    records = [("chr1", residues(100, seed=1)), ("chr2", residues(3000, seed=2)),
               ("chr3", residues(70, seed=3))]
    return write_fasta(tmp_path / "g.fa", records), dict(records)


def texts(values):
    return [v.seq for v in values]


@pytest.mark.parametrize("size", [0, 1, 999, 1000, 4321])
def test_results_follow_input_order(genome, size):
    path, seqs = genome
    regions = [(name, 1 + i % 40, 1 + i % 40 + i % 23) for i, name in
               zip(range(size), ["chr2", "chr1", "chr3"] * size)]
    fa = sekvo.Faidx(path)
    result = fa.fetch_many(regions)
    assert texts(result) == [seqs[n][s - 1:e] for n, s, e in regions]
    assert [(v.name, v.start, v.end) for v in result] == regions
    same = fa.fetch_many_same_chr("chr2", [(s, e) for _, s, e in regions])
    assert texts(same) == [seqs["chr2"][s - 1:e] for _, s, e in regions]


def test_zero_start_below_and_at_the_threshold(genome, capfd):
    path, seqs = genome
    fa = sekvo.Faidx(path)
    below = fa.fetch_many([("chr1", 0, 10)] * 999)
    assert {(v.seq, v.start, v.end) for v in below} == {("", 0, 10)}
    assert capfd.readouterr().err == "WARNING: coordinates cannot be 0 (1-based indexing)\n" * 999
    at = fa.fetch_many([("chr1", 0, 10)] * 1000)
    assert {(v.seq, v.start, v.end) for v in at} == {(seqs["chr1"][:10], 1, 10)}
    assert capfd.readouterr().err == ""


def test_parallel_path_corrections_are_silent(genome, capfd):
    path, seqs = genome
    regions = [("chr1", 95, 120), ("chr1", 20, 10), ("chr1", 150, 160), ("chr1", 5, 0)] * 250
    result = sekvo.Faidx(path).fetch_many(regions)
    assert [(v.seq, v.start, v.end) for v in result[:4]] == [
        (seqs["chr1"][94:], 95, 100), ("", 20, 10),
        # A region wholly past the end gives an empty text.
        ("", 150, 150), ("", 5, 1)]
    assert capfd.readouterr().err == ""


def test_missing_name_in_a_batch(genome):
    fa = sekvo.Faidx(genome[0])
    regions = [("chr1", 1, 5)] * 10
    regions[3] = ("chrZ", 1, 5)
    with pytest.raises(Exception) as info:
        fa.fetch_many(regions)
    assert type(info.value) is Exception
    assert str(info.value) == "FetchError: Sequence 'chrZ' not found"
    regions = regions * 100
    with pytest.raises(RuntimeError) as info:
        fa.fetch_many(regions)
    assert str(info.value) == "Error fetching region 3: Fetch error: Sequence 'chrZ' not found"


def test_first_failure_in_input_order_is_reported(genome):
    regions = [("chr1", 1, 5)] * 2000
    regions[500] = ("chrY", 1, 5)
    regions[10] = ("chrX", 1, 5)
    with pytest.raises(RuntimeError, match="^Error fetching region 10: Fetch error: Sequence 'chrX' not found$"):
        sekvo.Faidx(genome[0]).fetch_many(regions)


def test_strict_bounds_in_batches(genome):
    fa = sekvo.Faidx(genome[0], strict_bounds=True)
    pairs = [(1, 10)] * 2000
    pairs[7] = (5, 2)
    with pytest.raises(RuntimeError) as info:
        fa.fetch_many_same_chr("chr1", pairs)
    assert str(info.value) == ("Error fetching region 7 from chr1: Invalid region: "
                               "Invalid region chr1:5-2 (sequence length: 100)")
    with pytest.raises(RuntimeError, match=r"^Error fetching region 7: Invalid region: Invalid region chr1:5-2 "):
        fa.fetch_many([("chr1", s, e) for s, e in pairs])
    with pytest.raises(IndexError, match="^start coordinate 5 is greater than end coordinate 2$"):
        fa.fetch_many_same_chr("chr1", pairs[:10])
    pairs[7] = (90, 101)
    with pytest.raises(RuntimeError, match=r"Invalid region chr1:90-101 \(sequence length: 100\)$"):
        fa.fetch_many_same_chr("chr1", pairs)


def test_same_chr_name_lookup(genome):
    fa = sekvo.Faidx(genome[0])
    assert fa.fetch_many_same_chr("chrZ", []) == []
    for pairs in ([(1, 2)], [(1, 2)] * 1000):
        with pytest.raises(Exception) as info:
            fa.fetch_many_same_chr("chrZ", pairs)
        assert type(info.value) is Exception
        assert str(info.value) == "FetchError: Sequence 'chrZ' not found"


@pytest.mark.parametrize("threads", ["1", "2", "0", "bogus"])
def test_large_batch_order_for_any_pool_size(genome, threads):
    code = f"""
        import json, random, sekvo
        fa = sekvo.Faidx({genome[0]!r})
        rng = random.Random(5)
        regions = []
        for _ in range(200_000):
            start = rng.randint(1, 3000)
            regions.append(("chr2", start, min(3000, start + rng.randint(0, 200))))
        seq = fa.fetch_entire_sequence("chr2").seq
        out = fa.fetch_many(regions)
        print(json.dumps(all(v.seq == seq[s - 1:e] for v, (_, s, e) in zip(out, regions))
                         and len(out) == len(regions)))
    """
    proc = run_python(code, env={"RAYON_NUM_THREADS": threads})
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout) is True


def test_batches_after_fork(genome):
    code = f"""
        import os, sekvo
        fa = sekvo.Faidx({genome[0]!r})
        regions = [("chr2", 1, 100)] * 5000
        expected = fa.fetch_many(regions)[0].seq  # the pool now exists
        pid = os.fork()
        if pid == 0:
            ok = all(v.seq == expected for v in fa.fetch_many(regions))
            os._exit(0 if ok else 3)
        _, status = os.waitpid(pid, 0)
        print(os.waitstatus_to_exitcode(status))
    """
    proc = run_python(code, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "0"


@pytest.mark.parametrize("mutable", [False, True])
def test_parallel_reads_through_the_file(genome, mutable):
    path, seqs = genome
    regions = [("chr2", s, s + 99) for s in range(1, 2900, 2)]
    result = sekvo.Faidx(path, mutable=mutable).fetch_many(regions)
    assert texts(result) == [seqs["chr2"][s - 1:e] for _, s, e in regions]


@pytest.mark.parametrize("rc", [False, True])
def test_a_result_kept_alone_outlives_its_batch(genome, rc):
    # Small results of a large batch share memory blocks; keeping one
    # must keep its bytes while the rest of the batch is freed and reused.
    path, records = genome
    fasta = sekvo.Fasta(path)
    regions = [("chr2", 1 + i % 500, 1 + i % 500 + i % 2000) for i in range(20_000)]
    kept = [fasta.fetch_many(regions, rc=rc)[i] for i in (0, 7_777, 19_999)]
    reuse = [bytes([65 + i % 26]) * 700 for i in range(50_000)]
    for seq, i in zip(kept, (0, 7_777, 19_999)):
        name, start, end = regions[i]
        text = records[name][start - 1:end]
        assert str(seq) == (text.translate(str.maketrans("ACGTacgt", "TGCAtgca"))[::-1] if rc else text)
    assert len(reuse) == 50_000
