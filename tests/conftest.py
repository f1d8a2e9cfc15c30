import os
import random
import subprocess
import sys
import textwrap

import pytest


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "allocation_failure: needs an impossible allocation to raise MemoryError")


def pytest_collection_modifyitems(config, items):
    # Under `make sanitize` the AddressSanitizer runtime's operator new aborts
    # the process on an impossible allocation instead of throwing.
    if not os.environ.get("SEKVO_SANITIZER"):
        return
    skip = pytest.mark.skip(reason="the sanitizer runtime aborts on impossible allocations")
    for item in items:
        if "allocation_failure" in item.keywords:
            item.add_marker(skip)


def residues(length, seed=0, alphabet="ACGTacgtN"):
    rng = random.Random(seed)
    return "".join(rng.choice(alphabet) for _ in range(length))


def write_fasta(path, records, width=60, eol="\n"):
    """Write (header, residues) pairs as FASTA with lines of `width` residues."""
    with open(path, "w", newline="") as out:
        for header, seq in records:
            out.write(">" + header + eol)
            for i in range(0, len(seq), width):
                out.write(seq[i:i + width] + eol)
    return str(path)


def run_python(code, timeout=120, env=None):
    """Run code in a fresh interpreter; returns the CompletedProcess."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout, env=full_env)


@pytest.fixture
def chr1_100(tmp_path):
    """One record chr1 of 100 residues in 60-residue lines, and its text."""
    seq = residues(100, seed=1)
    return write_fasta(tmp_path / "one.fa", [("chr1 test record", seq)]), seq
