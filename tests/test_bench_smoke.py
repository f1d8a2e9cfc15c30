"""The benchmark data generator, on a tiny genome: layout, determinism, BED bounds."""

import os
import subprocess
import sys

import pytest

BENCH = os.path.join(os.path.dirname(__file__), "..", "bench")
sys.path.insert(0, BENCH)
import make_data  # noqa: E402

SIZE = 300_000
REGIONS = 500


def generate(out, seed=1):
    subprocess.run([sys.executable, os.path.join(BENCH, "make_data.py"), "--out", str(out),
                    "--size", str(SIZE), "--regions", str(REGIONS), "--seed", str(seed)],
                   check=True, timeout=60, capture_output=True)
    return make_data.make(str(out), SIZE, REGIONS, seed)  # reads the manifest back


def read_records(path):
    records, lines = {}, None
    with open(path, "rb") as f:
        for line in f:
            assert line.endswith(b"\n")
            if line.startswith(b">"):
                lines = records.setdefault(line[1:].strip().decode(), [])
            else:
                lines.append(line[:-1])
    return records


def read_bed(path):
    with open(path) as f:
        return [(c, int(s), int(e)) for c, s, e in (line.rstrip("\n").split("\t") for line in f)]


@pytest.fixture(scope="module")
def data(tmp_path_factory):
    out = tmp_path_factory.mktemp("bench-data")
    return out, generate(out)


def test_same_seed_same_bytes_other_seed_other_bytes(data, tmp_path):
    out, manifest = data
    again = generate(tmp_path / "again")
    other = generate(tmp_path / "other", seed=2)
    for key, name in manifest["files"].items():
        mine = (out / name).read_bytes()
        assert (tmp_path / "again" / again["files"][key]).read_bytes() == mine, key
        assert (tmp_path / "other" / other["files"][key]).read_bytes() != mine, key


def test_genome_layout(data):
    out, manifest = data
    records = read_records(out / manifest["files"]["genome"])
    assert list(records) == [name for name, _ in manifest["records"]]
    assert len(records) == 24
    for name, length in manifest["records"]:
        lines = records[name]
        assert all(len(line) == make_data.LINE_WIDTH for line in lines[:-1]), name
        assert 0 < len(lines[-1]) <= make_data.LINE_WIDTH
        residues = b"".join(lines)
        assert len(residues) == length
        assert set(residues) <= set(b"ACGTNacgt")
        assert residues.startswith(b"N") and residues.endswith(b"N")
    genome = b"".join(b"".join(lines) for lines in records.values())
    assert any(c in genome for c in b"acgt"), "no soft-masked stretch"
    assert abs(os.path.getsize(out / manifest["files"]["genome"]) - SIZE) < SIZE * 0.01


@pytest.mark.parametrize("key, min_len, max_len, one_record", [
    ("var_random", 50, 1000, False),
    ("var_sorted", 50, 1000, False),
    ("fixed100_random", 100, 100, False),
    ("fixed100_sorted", 100, 100, False),
    ("samechr_random", 50, 1000, True),
])
def test_bed_intervals_lie_within_records(data, key, min_len, max_len, one_record):
    out, manifest = data
    lengths = dict(manifest["records"])
    intervals = read_bed(out / manifest["files"][key])
    assert len(intervals) == REGIONS
    for name, start, end in intervals:
        assert 0 <= start and end <= lengths[name]
        assert min_len <= end - start <= max_len
    names = {name for name, _, _ in intervals}
    assert (len(names) == 1) == one_record
    if key.endswith("_sorted"):
        order = {name: i for i, (name, _) in enumerate(manifest["records"])}
        keys = [(order[c], s, e) for c, s, e in intervals]
        assert keys == sorted(keys)
        assert sorted(intervals) == sorted(read_bed(out / manifest["files"][key.replace("sorted", "random")]))


@pytest.mark.parametrize("text, size", [("1G", 10**9), ("50M", 5 * 10**7), ("300k", 300_000),
                                        ("1.5GB", 15 * 10**8), ("12345", 12345)])
def test_parse_size(text, size):
    assert make_data.parse_size(text) == size
