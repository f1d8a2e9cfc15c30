"""Handles handed to process pools under every start method: passed as an
argument (pickled), opened in an initializer, and Sequence lists sent back.
Each pool runs in its own interpreter with a timeout."""
import json
import subprocess
import sys
import textwrap

import pytest

from conftest import residues, write_fasta

POOLS = textwrap.dedent("""
    import concurrent.futures, json, multiprocessing, pickle, sys
    import sekvo

    PATH, METHOD, KIND = sys.argv[1:4]
    # Large enough batches that each process runs its own worker pool.
    REGIONS = [("big", s, s + 40) for s in range(1, 19_000, 7)] + [("odd", 1, 777)]

    def open_handle(data):
        global HANDLE
        HANDLE = pickle.loads(data)

    def fetch_with(handle, rc):
        return handle.fetch_many(REGIONS, rc=rc) if rc else handle.fetch_many(REGIONS)

    def fetch_with_own(rc):
        return fetch_with(HANDLE, rc)

    def fields(seqs):
        return [(s.name, s.seq, s.start, s.end, s.comp) for s in seqs]

    if __name__ == "__main__":
        fasta = sekvo.Fasta(PATH, one_based_attributes=False)
        faidx = sekvo.Faidx(PATH)
        want = {"fasta": fields(fasta.fetch_many(REGIONS, rc=True)), "faidx": fields(faidx.fetch_many(REGIONS))}
        context = multiprocessing.get_context(METHOD)
        initargs = (pickle.dumps(fasta),)
        if KIND == "pool":
            with context.Pool(2, initializer=open_handle, initargs=initargs) as pool:
                got = {"fasta": pool.apply_async(fetch_with, (fasta, True)),
                       "faidx": pool.apply_async(fetch_with, (faidx, False)),
                       "own": [pool.apply_async(fetch_with_own, (True,)) for _ in range(3)]}
                got = {key: [r.get(120) for r in value] if isinstance(value, list) else value.get(120)
                       for key, value in got.items()}
        else:
            with concurrent.futures.ProcessPoolExecutor(2, mp_context=context, initializer=open_handle,
                                                        initargs=initargs) as pool:
                got = {"fasta": pool.submit(fetch_with, fasta, True),
                       "faidx": pool.submit(fetch_with, faidx, False),
                       "own": [pool.submit(fetch_with_own, True) for _ in range(3)]}
                got = {key: [r.result(120) for r in value] if isinstance(value, list) else value.result(120)
                       for key, value in got.items()}
        types = {type(s).__name__ for s in got["fasta"] + got["faidx"]}
        print(json.dumps({"types": sorted(types),
                          "fasta": fields(got["fasta"]) == want["fasta"],
                          "faidx": fields(got["faidx"]) == want["faidx"],
                          "own": [fields(seqs) == want["fasta"] for seqs in got["own"]]}))
""")


@pytest.fixture(scope="module")
def genome(tmp_path_factory):
    path = tmp_path_factory.mktemp("pools") / "g.fa"
    return write_fasta(path, [("big desc", residues(20_000, seed=1)), ("odd", residues(777, seed=3))])


@pytest.mark.parametrize("kind", ["pool", "executor"])
@pytest.mark.parametrize("method", ["fork", "spawn", "forkserver"])
def test_handles_and_results_cross_process_pools(genome, tmp_path, method, kind):
    script = tmp_path / "pools.py"
    script.write_text(POOLS)
    result = subprocess.run([sys.executable, str(script), genome, method, kind], capture_output=True,
                            text=True, timeout=180, cwd=tmp_path)
    assert result.returncode == 0, result.stderr[-3000:]
    assert json.loads(result.stdout) == {"types": ["Sequence"], "fasta": True, "faidx": True,
                                         "own": [True, True, True]}
