"""Files the module did not write: truncated FASTA files behind a valid index,
crafted index entries, names in any script, empty files, directories, FIFOs,
unreadable indexes and awkward paths. Each call returns a result or raises
the documented exception; none crashes, hangs or writes outside the index
path. Every open runs in a child interpreter with a time limit."""
import json
import os
import re
import subprocess
import sys
import textwrap
import time

import pytest

from conftest import residues, write_fasta

# Runs every read operation on one file and prints the outcomes as JSON:
# ["ok", value] or ["exc", type name, message] for each.
PROBE = r'''
import itertools, json, sys
import sekvo

scenario = json.loads(sys.argv[1])

def outcome(call):
    try:
        return ["ok", call()]
    except Exception as e:
        return ["exc", type(e).__name__, str(e)]

def seqs(values):
    return [s.seq for s in values]

options = scenario.get("options", {})
out = {"open": outcome(lambda: (sekvo.Faidx(scenario["path"], **options), None)[1])}
if out["open"][0] == "ok":
    fx = sekvo.Faidx(scenario["path"], **options)
    fa = sekvo.Fasta(scenario["path"], **options)
    out["keys"] = sorted(fx.keys)
    regions = [tuple(r) for r in scenario.get("regions", [])]
    out["fetch"] = [outcome(lambda r=r: fx.fetch(*r).seq) for r in regions]
    out["batch"] = outcome(lambda: seqs(fx.fetch_many(regions)))
    repeat = 1000 // max(len(regions), 1) + 1
    out["parallel"] = outcome(lambda: seqs(fx.fetch_many(regions * repeat))[:len(regions)])
    out["records"] = {}
    for name in out["keys"][:8]:
        rec = fa[name]
        out["records"][name] = {
            "entire": outcome(lambda: fx.fetch_entire_sequence(name).seq),
            "len": outcome(lambda: len(rec)),
            "str": outcome(lambda: str(rec)),
            "first": outcome(lambda: rec[0].seq),
            "last": outcome(lambda: rec[-1].seq),
            "slice": outcome(lambda: rec[2:40].seq),
            "step": outcome(lambda: rec[40:2:-3].seq),
            "pieces": outcome(lambda: seqs(itertools.islice(iter(rec), 3))),
            "reversed": outcome(lambda: seqs(reversed(rec))[:3]) if scenario.get("reversed", True) else None,
            "unpadded": outcome(lambda: rec.unpadded_len),
            "spliced": outcome(lambda: fa.get_spliced_seq(name, [(1, 3), (5, 9)], rc=True).seq),
            "repr": outcome(lambda: repr(rec)),
        }
    out["total"] = outcome(lambda: len(fa))
    out["repr"] = [repr(fx), repr(fa)]
print(json.dumps(out))
'''

# What a read may raise: the core's errors (plain Exception with the kind in
# the message) and the built-in types the bindings document.
ERROR_KINDS = ("FastaNotFoundError: ", "IndexNotFoundError: ", "FetchError: ", "FastaIndexingError: ",
               "IOError: ", "RegionError: ")
ALLOWED = {"IndexError", "KeyError", "OverflowError", "RuntimeError", "MemoryError"}


def snapshot(directory):
    """Every path under `directory`: files with their size and modification
    time, directories by their presence alone."""
    found = {}
    for root, dirs, files in os.walk(directory):
        found.update((os.path.join(root, name), "directory") for name in dirs)
        for name in files:
            info = os.lstat(os.path.join(root, name))
            found[os.path.join(root, name)] = (info.st_size, info.st_mtime_ns)
    return found


def probe(scenario, directory=None, allowed_writes=(), timeout=60, preamble=""):
    """Runs PROBE on `scenario`; checks that the child exited normally and that
    nothing under `directory` changed except `allowed_writes`."""
    before = snapshot(directory) if directory else {}
    code = preamble + PROBE
    result = subprocess.run([sys.executable, "-c", code, json.dumps(scenario)], capture_output=True,
                            text=True, timeout=timeout)
    assert result.returncode == 0, result.stderr[-3000:]
    if directory:
        after = snapshot(directory)
        changed = {p for p in set(before) | set(after) if before.get(p) != after.get(p)}
        assert changed <= set(allowed_writes), f"unexpected writes: {sorted(changed - set(allowed_writes))}"
    out = json.loads(result.stdout)
    for value in iter_outcomes(out):
        if value[0] == "exc":
            kind, message = value[1], value[2]
            assert (kind == "Exception" and message.startswith(ERROR_KINDS)) or kind in ALLOWED, value
    return out


def iter_outcomes(out):
    items = [out["open"]] + out.get("fetch", []) + [out.get("batch"), out.get("parallel"), out.get("total")]
    for record in out.get("records", {}).values():
        items.extend(record.values())
    return [item for item in items if item]


def layout(records, width=60, eol="\n"):
    """FASTA text and its index text for (name, residues) pairs."""
    text, index = "", ""
    for name, seq in records:
        text += f">{name} description{eol}"
        offset = len(text.encode())
        for i in range(0, len(seq), width):
            text += seq[i:i + width] + eol
        line = min(width, len(seq))
        index += f"{name}\t{len(seq)}\t{offset}\t{line}\t{line + len(eol) if line else 0}\n"
    return text.encode(), index


def make_index_current(fasta, index):
    info = os.stat(fasta)
    os.utime(index, ns=(info.st_atime_ns, info.st_mtime_ns + 10**9))


A = residues(150, seed=11)
B = residues(100, seed=12)
REGIONS = [("a", 1, 10), ("a", 55, 70), ("a", 140, 150), ("a", 1, 150), ("b", 1, 100), ("b", 95, 100)]


def readable(seq, record_offset, start, end, cut, width=60, eol=1):
    """The residues start..end that lie before byte `cut`."""
    out = ""
    for i in range(start, end + 1):
        if record_offset + (i - 1) // width * (width + eol) + (i - 1) % width >= cut:
            break
        out += seq[i - 1]
    return out


@pytest.mark.parametrize("cut_at", ["second line of a", "header of b", "residues of b", "nothing left"])
@pytest.mark.parametrize("mutable", [False, True])
@pytest.mark.parametrize("default_seq, eol", [(None, "\n"), ("N", "\n"), (None, "\r\n")])
def test_truncated_fasta_behind_a_valid_index(tmp_path, cut_at, mutable, default_seq, eol):
    text, index = layout([("a", A), ("b", B)], eol=eol)
    offsets = {"a": text.index(b"\n") + 1, "b": text.index(b">b") + len(f">b description{eol}")}
    cut = {"second line of a": offsets["a"] + 80, "header of b": text.index(b">b") + 4,
           "residues of b": offsets["b"] + 30, "nothing left": 0}[cut_at]
    fasta = tmp_path / "t.fa"
    fasta.write_bytes(text[:cut])
    (tmp_path / "t.fa.fai").write_text(index)
    make_index_current(fasta, tmp_path / "t.fa.fai")
    options = {"mutable": mutable, "default_seq": default_seq}
    out = probe({"path": str(fasta), "options": options, "regions": REGIONS}, tmp_path)

    truth = {"a": A, "b": B}

    def expected(name, start, end, pad=True):
        got = readable(truth[name], offsets[name], start, end, cut, eol=len(eol))
        return got + default_seq * (end - start + 1 - len(got)) if default_seq and pad else got

    want = [expected(*region) for region in REGIONS]
    assert out["fetch"] == [["ok", w] for w in want]
    assert out["batch"] == ["ok", want] and out["parallel"] == ["ok", want]
    for name, record in out["records"].items():
        length = len(truth[name])
        assert record["len"] == ["ok", length]
        assert record["str"] == ["ok", expected(name, 1, length)]
        assert record["entire"] == ["ok", expected(name, 1, length, pad=False)]


FILE = b">x desc\n" + b"ACGTACGTAC\n" * 10
MAX = 2**64 - 1


@pytest.mark.parametrize("entry", [
    "x\t100\t0\t10\t11",            # offset at the header
    "x\t100\t3\t10\t11",            # offset inside the header
    f"x\t100\t{len(FILE)}\t10\t11",  # offset at the end of the file
    f"x\t100\t{len(FILE) - 1}\t10\t11",
    "x\t100\t8\t0\t0",              # zero residues and bytes per line
    "x\t100\t8\t0\t11",
    "x\t100\t8\t10\t0",             # zero bytes per line
    "x\t100\t8\t11\t10",            # fewer bytes than residues per line
    f"x\t100\t8\t{MAX}\t{MAX}",     # huge line lengths
    f"x\t100\t8\t1\t{MAX}",
    f"x\t{MAX}\t8\t10\t11",         # a record longer than any file
    f"x\t{2**63}\t{MAX}\t{MAX}\t1",
    "x\t0\t8\t10\t11",              # an empty record
])
@pytest.mark.parametrize("mutable", [False, True])
def test_crafted_entries_through_every_read(tmp_path, entry, mutable):
    fasta = tmp_path / "c.fa"
    fasta.write_bytes(FILE)
    (tmp_path / "c.fa.fai").write_text(entry + "\n")
    make_index_current(fasta, tmp_path / "c.fa.fai")
    regions = [("x", 1, 10), ("x", 5, 60), ("x", 95, 100), ("x", 2**62, 2**62 + 3)]
    # Reversing a record of 2^64 residues would need its pieces in memory
    # at once: a MemoryError, which the sanitizer run cannot take.
    huge = int(entry.split("\t")[1]) > 10**6
    out = probe({"path": str(fasta), "options": {"mutable": mutable}, "regions": regions,
                 "reversed": not huge}, tmp_path)
    file_bytes = set(FILE.decode()) - {"\n", "\r"}
    for (_, start, end), result in zip(regions, out["fetch"]):
        if result[0] == "ok":
            assert len(result[1]) <= end - start + 1 and set(result[1]) <= file_bytes
    assert out["batch"][0] == "ok" and out["parallel"] == out["batch"]
    record = out["records"]["x"]
    length = int(entry.split("\t")[1])
    assert record["len"] == (["ok", length] if length < 2**63 else record["len"])
    if length >= 2**63:
        assert record["len"][1] == "OverflowError"
    for key in ("str", "entire", "slice", "step", "first"):
        if record[key][0] == "ok":
            assert set(record[key][1]) <= file_bytes


NAMES = [
    "chr\x01ctl", "esc\x1b[31m", "del\x7f", "nul\x00byte",  # control characters stay in the name
    "хромосома", "染色体", "كروموسوم", "🧬dna", "e\u0301combining", "zero\u200bwidth",
]
# Non-ASCII whitespace ends the name like a space does.
SPLIT = {"nbsp\u00a0tail": "nbsp", "ideo\u3000tail": "ideo", "line\u2028tail": "line", "nel\u0085tail": "nel",
         "ogham\u1680tail": "ogham"}


@pytest.mark.parametrize("eol", ["\n", "\r\n"])
def test_names_in_any_script_round_trip_through_the_index(tmp_path, eol):
    headers = NAMES + list(SPLIT)
    seqs = {h: residues(70 + i, seed=i) for i, h in enumerate(headers)}
    fasta = write_fasta(tmp_path / "n.fa", [(h, seqs[h]) for h in headers], eol=eol)
    names = {SPLIT.get(h, h): seqs[h] for h in headers}
    regions = [(n, 3, 65) for n in names]
    built = probe({"path": fasta, "regions": regions}, tmp_path, allowed_writes=[fasta + ".fai"])
    loaded = probe({"path": fasta, "regions": regions}, tmp_path)  # the index file as written
    for out in (built, loaded):
        assert out["keys"] == sorted(names)
        assert out["fetch"] == [["ok", names[n][2:65]] for n in names]
        assert out["parallel"] == out["batch"] == ["ok", [names[n][2:65] for n in names]]
        for name, record in out["records"].items():
            assert record["repr"] == ["ok", f'FastaRecord("{name}")']
    lines = (tmp_path / "n.fa.fai").read_bytes().decode().split("\n")[:-1]
    assert sorted(line.split("\t")[0] for line in lines) == sorted(names)


@pytest.mark.parametrize("content, index", [
    (b"", ""),
    (b"ACGT\nACGT\n", ""),    # residues but no header
    (b">\n>  \nACGT\n", ""),  # only nameless headers
    (b"\n\n\n", ""),
    # headers only, the last without a line feed
    (b">a\n>b\n>c", "a\t0\t3\t0\t0\nb\t0\t6\t0\t0\nc\t0\t8\t0\t0\n"),
])
def test_empty_and_headerless_files(tmp_path, content, index):
    fasta = tmp_path / "e.fa"
    fasta.write_bytes(content)
    out = probe({"path": str(fasta), "regions": [("a", 1, 5)]}, tmp_path,
                allowed_writes=[str(fasta) + ".fai"])
    assert (tmp_path / "e.fa.fai").read_text() == index
    assert out["keys"] == [line.split("\t")[0] for line in index.splitlines()]
    assert out["total"] == ["ok", 0]
    assert out["fetch"][0] == (["ok", ""] if index else
                               ["exc", "Exception", "FetchError: Sequence 'a' not found"])


def test_empty_index_for_a_full_file(tmp_path):
    fasta = tmp_path / "f.fa"
    fasta.write_bytes(FILE)
    (tmp_path / "f.fa.fai").write_bytes(b"")
    out = probe({"path": str(fasta), "options": {"rebuild": False}, "regions": [("x", 1, 5)]}, tmp_path)
    assert out["keys"] == [] and out["fetch"][0][2] == "FetchError: Sequence 'x' not found"


@pytest.mark.parametrize("mutable", [False, True])
def test_directory_as_fasta_path(tmp_path, mutable):
    directory = tmp_path / "genome.fa"
    directory.mkdir()
    out = probe({"path": str(directory), "options": {"mutable": mutable}}, tmp_path)
    assert out["open"] == ["exc", "Exception", "IOError: Is a directory (os error 21)"]


@pytest.mark.parametrize("index_is_newer", [False, True])
def test_directory_as_index_path(tmp_path, index_is_newer):
    fasta = tmp_path / "d.fa"
    fasta.write_bytes(FILE)
    index = tmp_path / "d.fa.fai"
    index.mkdir()
    if index_is_newer:  # loaded: reading it fails
        make_index_current(fasta, index)
    else:  # rebuilt: a file cannot replace the directory
        os.utime(index, ns=(0, 0))
    out = probe({"path": str(fasta)}, tmp_path)
    assert out["open"] == ["exc", "Exception", "IOError: Is a directory (os error 21)"]
    assert index.is_dir() and os.listdir(index) == []


# Drops the capabilities that let root read and write any file, so that
# file permissions apply to the child as to an ordinary user.
DROP_FILE_CAPABILITIES = r'''
import ctypes, os
if os.geteuid() == 0:
    libc = ctypes.CDLL(None, use_errno=True)
    header = (ctypes.c_uint32 * 2)(0x20080522, 0)
    data = (ctypes.c_uint32 * 6)()
    assert libc.capget(header, data) == 0
    for i in (0, 1):  # the effective and permitted sets of capabilities 0-31
        data[i] &= ~((1 << 1) | (1 << 2))  # CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH
    assert libc.capset(header, data) == 0
'''


@pytest.mark.parametrize("index_is_newer", [True, False])
def test_unreadable_index(tmp_path, index_is_newer):
    fasta = tmp_path / "u.fa"
    fasta.write_bytes(FILE)
    index = tmp_path / "u.fa.fai"
    index.write_text("x\t100\t8\t10\t11\n")
    index.chmod(0)
    if index_is_newer:
        make_index_current(fasta, index)
    else:
        os.utime(index, ns=(0, 0))
    out = probe({"path": str(fasta)}, tmp_path, preamble=DROP_FILE_CAPABILITIES)
    if index_is_newer:  # to be read
        assert out["open"] == ["exc", "Exception", f"IndexNotFoundError: {index}"]
    else:  # to be rebuilt, but it may not be written either
        assert out["open"] == ["exc", "Exception", "IOError: Permission denied (os error 13)"]
    index.chmod(0o644)
    assert index.read_text() == "x\t100\t8\t10\t11\n"


def test_fifo_as_fasta_path_is_refused_without_waiting(tmp_path):
    fifo = tmp_path / "p.fa"
    os.mkfifo(fifo)
    for mutable in (False, True):
        out = probe({"path": str(fifo), "options": {"mutable": mutable}}, tmp_path, timeout=20)
        assert out["open"] == ["exc", "Exception", "IOError: Illegal seek (os error 29)"]


@pytest.mark.parametrize("index_is_newer", [True, False])
def test_fifo_index_without_a_peer_fails_in_bounded_time(tmp_path, index_is_newer):
    fasta = tmp_path / "q.fa"
    fasta.write_bytes(FILE)
    fifo = tmp_path / "q.fa.fai"
    os.mkfifo(fifo)
    if index_is_newer:  # to be read, but nobody writes to it
        make_index_current(fasta, fifo)
        message = "IOError: Connection timed out (os error 110)"
    else:  # to be rebuilt, but nobody reads from it
        os.utime(fifo, ns=(0, 0))
        message = "IOError: No such device or address (os error 6)"
    started = time.monotonic()
    out = probe({"path": str(fasta)}, tmp_path, timeout=20)
    assert out["open"] == ["exc", "Exception", message]
    assert time.monotonic() - started < 15


@pytest.mark.parametrize("index_is_newer", [True, False])
def test_fifo_index_whose_peer_comes_late(tmp_path, index_is_newer):
    fasta = tmp_path / "l.fa"
    fasta.write_bytes(FILE)
    fifo = tmp_path / "l.fa.fai"
    os.mkfifo(fifo)
    if index_is_newer:
        make_index_current(fasta, fifo)
    else:
        os.utime(fifo, ns=(0, 0))
    child = subprocess.Popen([sys.executable, "-c", f"import sekvo; print(sekvo.Faidx({str(fasta)!r}).keys)"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    time.sleep(0.3)
    if index_is_newer:
        fifo.write_text("x\t100\t8\t10\t11\n")
    else:
        assert fifo.read_text() == "x\t100\t8\t10\t11\n"
    out, err = child.communicate(timeout=20)
    assert child.returncode == 0, err
    assert out == "['x']\n"


def test_index_from_a_pipe(tmp_path):
    # As a shell's process substitution passes it: /dev/fd/N of a pipe.
    fasta = tmp_path / "s.fa"
    fasta.write_bytes(FILE)
    os.utime(fasta, ns=(0, 0))
    code = f"""
import os, sekvo
read_end, write_end = os.pipe()
os.write(write_end, b"x\\t100\\t8\\t10\\t11\\n")
os.close(write_end)
fx = sekvo.Faidx({str(fasta)!r}, indexname=f"/dev/fd/{{read_end}}")
print(fx.keys, fx.fetch("x", 9, 12).seq)
"""
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=20)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "['x'] ACAC\n"


def test_double_quote_in_the_path(tmp_path):
    directory = tmp_path / 'say "hi"'
    directory.mkdir()
    fasta = directory / 'we"ird.fa'
    fasta.write_bytes(FILE)
    out = probe({"path": str(fasta), "regions": [("x", 3, 6), ("y", 1, 2)]}, tmp_path,
                allowed_writes=[str(fasta) + ".fai"])
    assert out["fetch"] == [["ok", "GTAC"], ["exc", "Exception", "FetchError: Sequence 'y' not found"]]
    assert out["repr"] == [f'Faidx("{fasta}")', f'Fasta("{fasta}")']
    assert (directory / 'we"ird.fa.fai').read_text() == "x\t100\t8\t10\t11\n"
    missing_path = directory / 'no"pe.fa'
    assert probe({"path": str(missing_path)}, tmp_path)["open"] == [
        "exc", "Exception", f"FastaNotFoundError: {missing_path}"]


@pytest.mark.allocation_failure
def test_reversing_an_impossibly_long_record_is_a_memory_error(tmp_path):
    fasta = tmp_path / "r.fa"
    fasta.write_bytes(FILE)
    (tmp_path / "r.fa.fai").write_text(f"x\t{MAX}\t8\t10\t11\n")
    make_index_current(fasta, tmp_path / "r.fa.fai")
    out = probe({"path": str(fasta)}, tmp_path)
    assert out["records"]["x"]["reversed"][1] == "MemoryError"


def test_file_truncated_while_open(tmp_path):
    # Pages of the mapping past the new end of the file would raise SIGBUS;
    # reads that meet them fail with IOError, and so does every later read
    # through that mapping. A fault anywhere else still takes its course.
    path = write_fasta(tmp_path / "shrink.fa", [("a", residues(300_000, seed=5)), ("b", "ACGT" * 10)])
    code = f"""
        import mmap, os, sekvo
        fx, fa = sekvo.Faidx({path!r}), sekvo.Fasta({path!r})
        by_file = sekvo.Faidx({path!r}, mutable=True)
        assert len(fx.fetch("a", 1, 300_000).seq) == 300_000
        os.truncate({path!r}, 1000)

        def outcome(call):
            try:
                return repr(call())[:40]
            except Exception as e:
                return f"{{type(e).__name__}}: {{e}}"

        print(outcome(lambda: fx.fetch("a", 200_000, 200_010).seq))
        print(outcome(lambda: fx.fetch("a", 1, 5).seq))
        print(outcome(lambda: len(fa.fetch_many([("a", 200_000, 200_010)] * 1500))))
        print(outcome(lambda: by_file.fetch("a", 200_000, 200_010).seq))
        if not os.environ.get("SEKVO_SANITIZER"):  # whose handler reports the fault its own way
            view = mmap.mmap(os.open({path!r}, os.O_RDONLY), 1000, prot=mmap.PROT_READ)
            os.truncate({path!r}, 0)
            view[999]
    """
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                            text=True, timeout=60)
    shrunk = "IOError: FASTA file was truncated or became unreadable while open"
    assert result.stdout.splitlines() == [
        f"Exception: {shrunk}",
        f"Exception: {shrunk}",  # the mapping stays untrusted
        f"RuntimeError: Error fetching region 0: IO error: {shrunk.removeprefix('IOError: ')}",
        "''",  # reads through the open file simply find nothing there
    ]
    # SIGBUS from the interpreter's own mapping
    assert result.returncode == (0 if os.environ.get("SEKVO_SANITIZER") else -7), result.stderr


def test_large_file_truncated_before_a_dense_batch(tmp_path):
    # The lost pages are met on the pool's threads as well as the caller's:
    # each absorbs its fault and the batch fails with IOError.
    path = tmp_path / "large.fa"
    line = b"ACGTACGTAC" * 6 + b"\n"
    path.write_bytes(b">a\n" + line * 1_200_000)  # 73 MB
    code = f"""
        import os, sekvo
        fx = sekvo.Faidx({str(path)!r})
        regions = [("a", 1 + i * 30_000, 100 + i * 30_000) for i in range(2_400)]
        assert len(fx.fetch_many(regions)) == 2_400
        fresh = sekvo.Faidx({str(path)!r})
        os.truncate({str(path)!r}, 1 << 20)
        try:
            fresh.fetch_many(regions)
        except Exception as e:
            print(f"{{type(e).__name__}}: {{e}}")
    """
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                            text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    # Once a thread has met a lost page the mapping is untrusted, so a region
    # before the new end may be the first to report it, never one after.
    first_lost = (1 << 20) // 61 * 60 // 30_000 + 1
    match = re.fullmatch(r"RuntimeError: Error fetching region (\d+): IO error: "
                         r"FASTA file was truncated or became unreadable while open\n", result.stdout)
    assert match and int(match.group(1)) <= first_lost, result.stdout


def test_file_shrunk_inside_a_mapped_page(tmp_path):
    # A file cut inside a page of its mapping raises no fault: the bytes past
    # the new end read as zeros. Every read gives what reading the shorter
    # file gives, or the truncation IOError; never NUL residues.
    text = ">a\n" + ("ACGT" * 15 + "\n") * 200
    path = tmp_path / "t.fa"
    path.write_text(text)
    code = f"""
        import json, os, sekvo
        path, text = {str(path)!r}, {text!r}
        calls = {{
            "fetch": lambda fx, fa: fx.fetch("a", 1000, 1010).seq,
            "fetch_many": lambda fx, fa: [s.seq for s in fx.fetch_many([("a", 1000, 1010)] * 10)],
            "fetch_many parallel": lambda fx, fa: fx.fetch_many([("a", 1000, 1300)] * 1000)[0].seq,
            "same_chr": lambda fx, fa: fx.fetch_many_same_chr("a", [(990, 1300)] * 1000)[0].seq,
            "slice": lambda fx, fa: fa["a"][980:1010].seq,
            "str": lambda fx, fa: str(fa["a"])[-20:],
            "iteration": lambda fx, fa: [s.seq for s in fa["a"]][15:18],
        }}
        out = {{}}
        for default_seq in (None, "N"):
            for name, call in calls.items():
                with open(path, "w") as f:
                    f.write(text)
                fx, fa = (cls(path, default_seq=default_seq) for cls in (sekvo.Faidx, sekvo.Fasta))
                os.truncate(path, 1000)
                try:
                    got = call(fx, fa)
                except Exception as e:
                    got = str(e)
                by_file = call(sekvo.Faidx(path, default_seq=default_seq, mutable=True),
                               sekvo.Fasta(path, default_seq=default_seq, mutable=True))
                out[f"{{name}} {{default_seq}}"] = [got, by_file]
        print(json.dumps(out))
    """
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr
    truncated = "FASTA file was truncated or became unreadable while open"
    for case, (got, by_file) in json.loads(result.stdout).items():
        assert "\\u0000" not in json.dumps([got, by_file]), case
        assert got == by_file or truncated in got, case


def test_truncation_guard_survives_a_later_fault_handler(tmp_path):
    # faulthandler installed after the file was opened hands the fault back
    # by raising SIGBUS again, without its address.
    path = write_fasta(tmp_path / "late.fa", [("a", residues(200_000, seed=7))])
    code = f"""
        import faulthandler, os, sekvo
        fx = sekvo.Faidx({path!r})
        faulthandler.enable()
        os.truncate({path!r}, 1000)
        for region in [("a", 100_000, 100_010), ("a", 1, 5)]:
            try:
                fx.fetch(*region)
            except Exception as e:
                print(e)
    """
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "IOError: FASTA file was truncated or became unreadable while open\n" * 2
