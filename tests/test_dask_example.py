"""examples/dask_regions.py on a LocalCluster of two worker processes writes
what the single-process command line writes, byte for byte."""
import os
import random
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import residues, write_fasta

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "dask_regions.py"


@pytest.fixture(scope="module")
def dask_installed():
    for module in ("dask", "distributed"):
        pytest.importorskip(module, reason=f"{module} is not installed (pip install '.[test]')")


@pytest.mark.parametrize("strand", [False, True], ids=["plain", "strand"])
def test_cluster_output_matches_the_command_line(dask_installed, tmp_path, strand):
    lengths = {"chr1": 30_000, "chr2": 12_345, "chrM": 500}
    fasta = write_fasta(tmp_path / "g.fa", [(n + " x", residues(n_, seed=i)) for i, (n, n_) in
                                            enumerate(lengths.items())], width=61)
    rng = random.Random(3)
    with open(tmp_path / "r.bed", "w") as bed:
        bed.write("track name=test\n")
        for i in range(5000):
            name = rng.choice(list(lengths))
            start = rng.randrange(lengths[name])
            end = min(lengths[name], start + rng.randint(1, 400))
            bed.write(f"{name}\t{start}\t{end}\tr{i}\t0\t{rng.choice('+-.')}\n")
    flags = ["-s"] if strand else []
    single = subprocess.run([sys.executable, "-m", "sekvo_cli", "getfasta", fasta, "--bed",
                             str(tmp_path / "r.bed"), "-o", str(tmp_path / "single.fa"), *flags],
                            capture_output=True, text=True, timeout=120)
    assert single.returncode == 0, single.stderr
    env = dict(os.environ)
    if "ASAN_OPTIONS" in env:
        # Under the sanitizer: Dask leaves its threads running when the
        # interpreters exit, and the objects they hold would be reported as leaks.
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    cluster = subprocess.run([sys.executable, str(EXAMPLE), fasta, str(tmp_path / "r.bed"), "-o",
                              str(tmp_path / "cluster.fa"), "--workers", "2", "--partitions", "7", *flags],
                             capture_output=True, text=True, timeout=300, cwd=tmp_path, env=env)
    assert cluster.returncode == 0, cluster.stderr[-3000:]
    assert "5,000 intervals on 2 workers" in cluster.stderr
    produced = (tmp_path / "cluster.fa").read_bytes()
    assert produced.count(b">") == 5000
    assert produced == (tmp_path / "single.fa").read_bytes()
