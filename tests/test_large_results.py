"""Large results, which are copied straight into the str that Python gets.

Each case is checked against the same call on a handle that reads the file
with positional reads (mutable=True), which copies into memory of its own,
and against the file's bytes.
"""
import os
import sys

import pytest

import sekvo
from conftest import residues, run_python, write_fasta

BIG = 20_000  # far above the size from which a result goes straight into a str


def record_bytes(path):
    """{name: residue bytes} read from a FASTA file without an index."""
    records, name = {}, None
    with open(path, "rb") as f:
        for line in f:
            line = line.rstrip(b"\r\n")
            if line.startswith(b">"):
                name = line[1:].split()[0].decode()
                records[name] = b""
            else:
                records[name] += line
    return records


def text_of(data, upper=False):
    """What a Sequence shows for these bytes; the upper-case setting touches a-z only."""
    return (data.upper() if upper else data).decode("utf-8", "surrogateescape")


@pytest.fixture(scope="module")
def genome(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("large")
    ascii_record = residues(3 * BIG, seed=1)
    # Two-byte characters far into a long record, so only some regions meet them.
    accented = residues(BIG, seed=2) + "ééé" + residues(BIG, seed=3)
    path = write_fasta(tmp / "g.fa", [("one desc", ascii_record), ("accented", accented),
                                      ("small", residues(50, seed=4))])
    return path, record_bytes(path)


REGIONS = [("one", 1, BIG), ("one", 7, 3 * BIG), ("one", 2 * BIG, 4 * BIG),  # the last runs past the end
           ("accented", 1, BIG), ("accented", BIG - 10, BIG + 5000), ("accented", 5, 2 * BIG),
           ("small", 1, 50)]


def fields(s):
    return (str(s), s.name, s.start, s.end)


@pytest.mark.parametrize("options", [{}, {"sequence_always_upper": True}, {"one_based_attributes": False},
                                     {"as_raw": True}, {"default_seq": "N"}])
def test_regions_match_the_file_read_path_and_the_bytes(genome, options, capfd):
    path, data = genome
    mapped = sekvo.Faidx(path, **options)
    read = sekvo.Faidx(path, mutable=True, **options)
    upper = options.get("sequence_always_upper", False)
    for region in REGIONS:
        name, start, end = region
        got = mapped.fetch(*region)
        assert fields(got) == fields(read.fetch(*region))
        assert str(got) == text_of(data[name][start - 1:end], upper)  # a lenient end is clamped
    for name in data:
        assert fields(mapped.fetch_entire_sequence(name)) == fields(read.fetch_entire_sequence(name))
        assert str(mapped.fetch_entire_sequence(name)) == text_of(data[name], upper)
    # Below and above the parallel threshold; mixed sizes keep their order.
    for count in (len(REGIONS), 1200):
        regions = (REGIONS * (count // len(REGIONS) + 1))[:count]
        assert [fields(s) for s in mapped.fetch_many(regions)] == [fields(s) for s in read.fetch_many(regions)]
    spans = [(start, end) for name, start, end in REGIONS if name == "one"] * 400
    assert ([fields(s) for s in mapped.fetch_many_same_chr("one", spans)]
            == [fields(s) for s in read.fetch_many_same_chr("one", spans)])
    capfd.readouterr()


def test_str_of_a_large_result_is_a_sound_str_made_once(genome):
    path, data = genome
    fx = sekvo.Faidx(path)
    for s, want in [(fx.fetch("one", 5, 50_000), data["one"][4:50_000].decode()),
                    (fx.fetch_entire_sequence("one"), data["one"].decode()),
                    (fx.fetch_many([("one", 1, BIG)] * 1000)[999], data["one"][:BIG].decode())]:
        text = str(s)
        assert type(text) is str and text == want and text.isascii()
        assert hash(text) == hash(want) and sys.getsizeof(text) == sys.getsizeof(want)
        assert {want: 1}[text] == 1
        assert str(s) is text and s.seq is text  # handed out again, not copied again
        s.seq = "ACGT"
        assert str(s) == "ACGT" and text == want


def test_records_read_whole(genome):
    path, data = genome
    fa = sekvo.Fasta(path)
    for name in data:
        assert str(fa[name]) == text_of(data[name])
        assert str(fa[name][:]) == text_of(data[name])
        assert fa[name][:].end == len(data[name])


@pytest.mark.parametrize("parallel", [False, True])
def test_reverse_complement_of_large_batch_results(genome, parallel):
    path, data = genome
    fa = sekvo.Fasta(path)
    regions = [("one", 11, BIG + 10), ("one", 5, 9)] * (600 if parallel else 2)
    complement = str.maketrans("ACGTacgtN", "TGCAtgcaN")
    forward = data["one"].decode()
    for s, (name, start, end) in zip(fa.fetch_many(regions, rc=True), regions):
        assert str(s) == forward[start - 1:end].translate(complement)[::-1]
        assert (s.start, s.end, s.comp) == (end, start, True)
    assert str(fa.get_seq("one", 11, BIG + 10, rc=True)) == str(fa.fetch_many(regions, rc=True)[0])


@pytest.mark.parametrize("default_seq", [None, "N"])
def test_file_truncated_behind_its_index(tmp_path, default_seq, capfd):
    seq = residues(3 * BIG, seed=5)
    path = write_fasta(tmp_path / "t.fa", [("t", seq)])
    sekvo.Faidx(path)  # writes the index
    with open(path, "r+b") as f:
        f.truncate(os.path.getsize(path) // 2)
    index = path + ".fai"
    info = os.stat(path)
    os.utime(index, ns=(info.st_atime_ns, info.st_mtime_ns + 10**9))
    mapped = sekvo.Faidx(path, default_seq=default_seq)
    read = sekvo.Faidx(path, mutable=True, default_seq=default_seq)
    regions = [("t", 1, BIG), ("t", BIG, 2 * BIG), ("t", 2 * BIG, 3 * BIG)]
    for region in regions:
        assert fields(mapped.fetch(*region)) == fields(read.fetch(*region))
    assert fields(mapped.fetch_entire_sequence("t")) == fields(read.fetch_entire_sequence("t"))
    many = regions * 400
    assert [fields(s) for s in mapped.fetch_many(many)] == [fields(s) for s in read.fetch_many(many)]
    middle = str(mapped.fetch(*regions[1]))  # crosses the cut
    kept = middle.rstrip("N") if default_seq else middle
    assert seq[BIG - 1:2 * BIG].startswith(kept) and len(kept) < BIG + 1
    assert len(middle) == (BIG + 1 if default_seq else len(kept))
    capfd.readouterr()


def test_batch_results_of_a_thousand_residues_are_strs_made_once(genome):
    # Such results are written into their str once, small ones copied by
    # str(); results that come out not ASCII are made the usual way.
    path, data = genome
    fx = sekvo.Faidx(path)
    regions = [("one", 1 + i, 1 + i + i % 1900) for i in range(1200)] + [
        ("accented", BIG - 1000, BIG + 20), ("one", 3 * BIG - 10, 3 * BIG + 90), ("small", 40, 40)]
    batch = fx.fetch_many(regions)
    for s, (name, start, end) in zip(batch, regions):
        text = str(s)
        assert type(text) is str and text == text_of(data[name][start - 1:end])
        if len(text) >= 1000:
            assert (str(s) is text) == text.isascii()
    text = str(batch[1100])  # 1101 residues
    before = sys.getrefcount(text)
    del batch
    assert sys.getrefcount(text) == before - 1


@pytest.mark.allocation_failure
def test_memory_running_out_while_a_batch_makes_its_strs(tmp_path):
    # The strs are made while the pool copies into those made before: a
    # failed one must stop the copying workers and raise MemoryError.
    path = write_fasta(tmp_path / "m.fa", [("m", residues(100_000, seed=9))])
    proc = run_python(f"""
        import resource, sekvo
        fa = sekvo.Faidx({path!r})
        regions = [("m", 1, 100_000)] * 3000
        assert len(fa.fetch_many(regions[:1000])) == 1000
        with open("/proc/self/statm") as f:
            used = int(f.read().split()[0]) * resource.getpagesize()
        limits = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (used + (20 << 20), limits[1]))
        try:
            fa.fetch_many(regions)
            print("no error")
        except MemoryError:
            print("MemoryError")
        resource.setrlimit(resource.RLIMIT_AS, limits)
        print(sum(map(len, fa.fetch_many(regions[:1500]))))
    """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["MemoryError", str(1500 * 100_000)]
