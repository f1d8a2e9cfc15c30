"""Many threads on one Fasta and one Faidx, worker processes started by fork
and by spawn, and processes racing to build the same missing index."""
import json
import os
import random
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import sekvo
from conftest import residues, write_fasta

THREADS = 12
ROUNDS = 60


@pytest.fixture
def genome(tmp_path):
    records = [("big", residues(20_000, seed=1)), ("mid", residues(4321, seed=2)),
               ("odd", residues(777, seed=3)), ("tiny", residues(7, seed=4))]
    return write_fasta(tmp_path / "g.fa", [(n + " desc", s) for n, s in records]), dict(records)


@pytest.fixture
def fast_switching():
    """Thread switches every few microseconds, so calls interleave densely."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(interval)


def run_threads(count, target):
    errors = []
    barrier = threading.Barrier(count)

    def run(index):
        try:
            barrier.wait()
            target(index)
        except BaseException as error:  # reported below, with its thread
            errors.append((index, repr(error)))

    threads = [threading.Thread(target=run, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=300)
    assert not any(thread.is_alive() for thread in threads), "a thread hung"
    assert not errors, errors


def test_threads_share_one_fasta_and_one_faidx(genome, fast_switching):
    path, seqs = genome
    fa = sekvo.Fasta(path)
    fx = sekvo.Faidx(path)
    names = sorted(seqs)

    def region(rng, name=None):
        name = name or rng.choice(names)
        start = rng.randint(1, len(seqs[name]))
        return name, start, rng.randint(start, len(seqs[name]))

    def work(index):
        rng = random.Random(index)
        for _ in range(ROUNDS):
            name, start, end = region(rng)
            want = seqs[name][start - 1:end]
            op = rng.randrange(9)
            if op == 0:
                assert fx.fetch(name, start, end).seq == want
            elif op == 1:
                got = fa.get_seq(name, start, end, rc=True)
                assert (-got).seq == want and got.comp
            elif op == 2:
                assert fa[name][start - 1:end].seq == want
            elif op == 3:
                assert str(fa[name]) == seqs[name] and len(fa[name]) == len(seqs[name])
            elif op == 4:
                assert "".join(piece.seq for piece in fa[name]) == seqs[name]
            elif op == 5:  # parallel batches, from several threads at once
                regions = [region(rng) for _ in range(1500)]
                batch = fx.fetch_many(regions) if rng.random() < 0.5 else fa.fetch_many(regions)
                assert [s.seq for s in batch] == [seqs[n][s - 1:e] for n, s, e in regions]
            elif op == 6:
                spans = [region(rng, name)[1:] for _ in range(rng.choice([10, 1200]))]
                batch = fa.fetch_many_same_chr(name, spans)
                assert [s.seq for s in batch] == [seqs[name][s - 1:e] for s, e in spans]
            elif op == 7:
                assert sorted(record.long_name for record in fa) == names == sorted(fa.keys())
            else:
                assert fx.fetch_entire_sequence(name).seq == seqs[name]
                assert [s.seq for s in reversed(fa[name])] == [s.seq for s in reversed(fa[name])]

    run_threads(THREADS, work)


def test_threads_share_one_iterator(genome, fast_switching):
    path, seqs = genome
    fa = sekvo.Fasta(path)
    pieces = iter(fa["big"])
    records = iter(fa)
    got_pieces, got_records = [], []

    def work(_):
        for piece in pieces:
            got_pieces.append((piece.start, piece.seq))
        for record in records:
            got_records.append(record.long_name)

    run_threads(THREADS, work)
    # Every piece and every record exactly once, whichever thread took it.
    assert "".join(seq for _, seq in sorted(got_pieces)) == seqs["big"]
    assert len(got_pieces) == -(-len(seqs["big"]) // 60)
    assert sorted(got_records) == sorted(seqs)


def test_worker_processes_by_fork_and_spawn_match_one_process(genome, tmp_path):
    path, seqs = genome
    rng = random.Random(7)
    tasks = []
    for name in ("big", "mid", "odd", "big", "mid", "big"):
        n = len(seqs[name])
        regions = [(s, min(n, s + rng.randint(0, 300))) for s in (rng.randint(1, n) for _ in range(1200))]
        tasks.append({"name": name, "regions": regions})
    script = tmp_path / "workers.py"
    script.write_text(textwrap.dedent("""
        import json, multiprocessing, sys
        import sekvo

        PATH = sys.argv[1]
        INHERITED = sekvo.Fasta(PATH)  # opened before the fork, read after it

        def open_own():
            global OWN
            OWN = sekvo.Fasta(PATH)

        def work(task):
            fa = OWN if task["own"] else INHERITED
            name, regions = task["name"], [tuple(r) for r in task["regions"]]
            return {
                "batch": [s.seq for s in fa.fetch_many([(name, s, e) for s, e in regions], rc=True)],
                "same": [s.seq for s in fa.fetch_many_same_chr(name, regions)],
                "single": [fa.get_seq(name, s, e).seq for s, e in regions[:50]],
                "record": str(fa[name]),
                "pieces": [p.seq for p in fa[name]][:20],
            }

        if __name__ == "__main__":
            tasks = json.load(open(sys.argv[2]))
            open_own()
            # One process alone; its worker pool is running when the fork comes.
            alone = [work(dict(task, own=True)) for task in tasks]
            results = {"alone": alone}
            for method, own in (("fork", True), ("fork", False), ("spawn", True)):
                context = multiprocessing.get_context(method)
                with context.Pool(3, initializer=open_own) as pool:
                    results[f"{method}-{own}"] = pool.map(work, [dict(t, own=own) for t in tasks], chunksize=1)
            print(json.dumps({key: value == alone for key, value in results.items()}))
            json.dump(alone, open(sys.argv[3], "w"))
    """))
    (tmp_path / "tasks.json").write_text(json.dumps(tasks))
    result = subprocess.run([sys.executable, str(script), path, str(tmp_path / "tasks.json"),
                             str(tmp_path / "alone.json")], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr[-3000:]
    assert json.loads(result.stdout) == {"alone": True, "fork-True": True, "fork-False": True,
                                         "spawn-True": True}
    # And the one process itself read correctly.
    complement = str.maketrans("ACGTacgtNn", "TGCAtgcaNn")
    alone = json.loads((tmp_path / "alone.json").read_text())
    for task, got in zip(tasks, alone):
        want = [seqs[task["name"]][s - 1:e] for s, e in task["regions"]]
        assert got["same"] == want
        assert got["batch"] == [w.translate(complement)[::-1] for w in want]
        assert got["record"] == seqs[task["name"]]


RACER = """
import json, os, sys, time
import sekvo

path, go = sys.argv[1], sys.argv[2]
while not os.path.exists(go):
    time.sleep(0.0005)
fa = sekvo.Faidx(path)
names = fa.keys
print(json.dumps({"count": len(names), "checks": [fa.fetch(n, 1, 20).seq for n in sorted(names)[:50]]}))
"""


@pytest.mark.parametrize("racers", [2, 4])
def test_processes_racing_to_build_one_index(tmp_path, racers):
    records = [(f"r{i}", residues(40 + i % 50, seed=i)) for i in range(60_000)]
    path = write_fasta(tmp_path / "race.fa", records, width=30)
    # The index one process alone writes.
    reference = tmp_path / "reference"
    reference.mkdir()
    alone = write_fasta(reference / "race.fa", records, width=30)
    sekvo.Faidx(alone)
    expected_index = (reference / "race.fa.fai").read_bytes()
    expected = sorted(records)[:50]

    for round_ in range(3):
        go = tmp_path / f"go{round_}"
        procs = [subprocess.Popen([sys.executable, "-c", RACER, path, str(go)], stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, text=True) for _ in range(racers)]
        time.sleep(0.3)  # every racer waiting at the start line
        go.touch()
        for proc in procs:
            out, err = proc.communicate(timeout=120)
            assert proc.returncode == 0, err
            result = json.loads(out)
            assert result["count"] == len(records)
            assert result["checks"] == [seq[:20] for _, seq in expected]
        assert (tmp_path / "race.fa.fai").read_bytes() == expected_index
        # Nothing left beside it: no temporary files of the losing writers.
        assert sorted(os.listdir(tmp_path)) == sorted(["race.fa", "race.fa.fai", "reference"] +
                                                      [f"go{i}" for i in range(round_ + 1)])
        os.unlink(tmp_path / "race.fa.fai")


@pytest.mark.parametrize("call", ["fetch_many", "open ragged", "get_spliced_seq"])
def test_warnings_into_a_pipe_this_process_drains(tmp_path, call):
    # Jupyter kernels send fd 2 into a pipe that one of their own threads
    # reads. Once the pipe is full a warning waits for room without the
    # interpreter lock; every line arrives whole and in order.
    name, count, path = "n" * 300, 3000, str(tmp_path / "w.fa")
    ragged = call == "open ragged"
    (tmp_path / "w.fa").write_text("".join(f">{name}{i}\nACGT\nACGTACGT\n" for i in range(count)) if ragged
                                   else f">{name}\nACGT\n")
    calls = {"open ragged": f"sekvo.Faidx({path!r})",
             "fetch_many": f"sekvo.Faidx({path!r}).fetch_many([({name!r}, 5 + i, 9 + i) for i in range(999)])",
             "get_spliced_seq": f"sekvo.Fasta({path!r}).get_spliced_seq({name!r}, "
                                f"[(5 + i, 9 + i) for i in range({count})])"}
    code = f"""
        import os, threading, sekvo
        r, w = os.pipe()
        os.dup2(w, 2)
        os.close(w)
        chunks = []
        reader = threading.Thread(target=lambda: chunks.extend(iter(lambda: os.read(r, 65536), b"")))
        reader.start()
        {calls[call]}
        os.close(2)
        reader.join()
        print(b"".join(chunks).decode())
    """
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 0, result.stderr
    ragged_line = "WARNING: sequence '{name}{i}' has lines of differing length; regions of it may be read wrongly"
    bounds_line = "WARNING: coordinates {s}-{e} are out of bounds for sequence '{name}' of length 4"
    want = [(ragged_line if ragged else bounds_line).format(name=name, i=i, s=5 + i, e=9 + i)
            for i in range(999 if call == "fetch_many" else count)]
    assert result.stdout.splitlines()[:-1] == want
