"""BGZF-compressed FASTA files: every read gives the uncompressed file's
result, index files are samtools', other compressed formats and damaged
files are refused with IOError naming the file."""
import bz2
import gzip
import lzma
import os
import random
import shutil
import struct
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

import sekvo
from conftest import residues, run_python, write_fasta

ROOT = Path(__file__).resolve().parent.parent
if str(ROOT / "python") not in sys.path:
    sys.path.insert(0, str(ROOT / "python"))
from sekvo_cli.__main__ import main  # noqa: E402

PEERS = Path("/work/shared/testdata/peers")
BLOCK = 65280  # bytes of text bgzip puts in one block


def need(tool):
    if shutil.which(tool) is None:
        pytest.skip(f"{tool} is not installed (make test installs it with apt-get when root)")


def bgzip(path, *options):
    """Compress `path` beside itself with bgzip (keeping it); the .gz path."""
    need("bgzip")
    subprocess.run(["bgzip", "-kf", *options, str(path)], check=True)
    return str(path) + ".gz"


def ragged_fasta(path, eol="\n"):
    """Records of irregular lines (indexed with a warning), empty records and
    a record after them."""
    text = (f">ragged{eol}" + eol.join(residues(n, seed=n) for n in (60, 61, 59, 60, 3000)) + eol +
            f">empty{eol}>empty2 x{eol}{eol}>after{eol}" + residues(200000, seed=5) + eol)
    Path(path).write_text(text, newline="")
    return str(path)


def generated(tmp_path, width, eol):
    """Records spanning many blocks (one wider than a MiB, which is copied
    block by block in parallel), short ones and an empty one."""
    records = [("big one", residues(1_100_000, seed=1)), ("empty", ""), ("tiny", "ACGTN"),
               ("mid", residues(150001, seed=2)), ("last", residues(70000, seed=3))]
    return write_fasta(tmp_path / "g.fa", records, width=width, eol=eol)


LAYOUTS = {
    "60-lf": lambda tmp: generated(tmp, 60, "\n"),
    "61-crlf": lambda tmp: generated(tmp, 61, "\r\n"),
    "4096-lf": lambda tmp: generated(tmp, 4096, "\n"),
    "ragged": lambda tmp: ragged_fasta(tmp / "r.fa"),
    "ragged-crlf": lambda tmp: ragged_fasta(tmp / "r.fa", "\r\n"),
}


def outcome(call):
    try:
        value = call()
    except Exception as exc:  # compared between the two files, whatever it is
        return ("exc", type(exc).__name__, str(exc))
    return ("ok", value)


def values(seqs):
    return [(s.name, s.start, s.end, s.seq) for s in seqs]


def regions_of(index_path):
    """Random regions, regions across every block boundary, and out-of-range ones."""
    rng = random.Random(7)
    index = {}
    for line in Path(index_path).read_text().splitlines():
        name, length, offset, lenc, lenb = line.split("\t")
        index[name] = tuple(map(int, (length, offset, lenc, lenb)))
    regions = []
    for name, (length, offset, lenc, lenb) in index.items():
        for _ in range(40):
            start = rng.randint(0, length + 2)
            regions.append((name, start, start + rng.choice((0, 10, 300, 70000))))
        for boundary in range(BLOCK, offset + length * 2 + BLOCK, BLOCK):
            if lenc and offset < boundary < offset + length // lenc * lenb:
                at = (boundary - offset) // lenb * lenc
                regions.append((name, max(at - 50, 1), min(at + 50, length)))
        regions.append((name, 1, length))
    return regions


def every_read(path, fx_regions, **options):
    """The results of every read path on one file, with what it wrote to stderr."""
    fx = sekvo.Faidx(path, **options)
    fa = sekvo.Fasta(path, **options)
    out = {"keys": list(fx.keys), "total": outcome(lambda: len(fa))}
    out["fetch"] = [outcome(lambda r=r: values([fx.fetch(*r)])) for r in fx_regions]
    out["many"] = outcome(lambda: values(fx.fetch_many(fx_regions[:900])))
    out["many_parallel"] = outcome(lambda: values(fx.fetch_many(fx_regions * (1000 // len(fx_regions) + 1))))
    for name in out["keys"]:
        spans = [(s, e) for n, s, e in fx_regions if n == name]
        out["same_" + name] = outcome(lambda: values(fx.fetch_many_same_chr(name, spans)))
        out["same_parallel_" + name] = outcome(lambda: values(fx.fetch_many_same_chr(name, spans * 30)))
        out["fasta_many_" + name] = outcome(lambda: [str(s) for s in fa.fetch_many([(name, s, e) for s, e in spans])])
        rec = fa[name]
        out["record_" + name] = [
            outcome(lambda: str(rec)), outcome(lambda: len(rec)), outcome(lambda: rec[5:70000].seq),
            outcome(lambda: rec[70000:5:-3].seq), outcome(lambda: rec[::1001].seq), outcome(lambda: rec[-1].seq),
            outcome(lambda: [s.seq for s in list(reversed(rec))[:4]]),
            outcome(lambda: [s.seq for s in list(iter(rec))[-3:]]),
            outcome(lambda: fa.get_seq(name, 3, 200000, rc=True).seq),
            outcome(lambda: fa.get_spliced_seq(name, [(1, 3), (65000, 66000), (130000, 131000)], rc=True).seq),
            outcome(lambda: fx.fetch_entire_sequence(name).seq),
        ]
    out["iteration"] = [(len(rec), str(rec)[-20:]) for rec in fa]
    # Columnar batches, below and above the pool's threshold.
    for label, batch in (("array", fx_regions[:200]), ("array_parallel", fx_regions * 3)):
        out[label] = outcome(lambda batch=batch: [str(s) for s in fx.fetch_array(batch)])
    return out


@pytest.mark.parametrize("layout", sorted(LAYOUTS))
@pytest.mark.parametrize("options", [{}, {"default_seq": "N"}, {"strict_bounds": True}, {"mutable": True},
                                     {"sequence_always_upper": True, "one_based_attributes": False},
                                     {"as_raw": True}], ids=str)
def test_every_read_on_bgzf_is_the_plain_files(tmp_path, capfd, layout, options):
    plain = LAYOUTS[layout](tmp_path)
    compressed = bgzip(plain)
    assert os.path.getsize(plain) > 3 * BLOCK
    sekvo.Faidx(plain)
    regions = regions_of(plain + ".fai")
    os.remove(plain + ".fai")
    capfd.readouterr()
    expected = every_read(plain, regions, **options)
    expected_warnings = capfd.readouterr().err
    got = every_read(compressed, regions, **options)
    assert capfd.readouterr().err == expected_warnings
    assert got == expected
    assert Path(compressed + ".fai").read_bytes() == Path(plain + ".fai").read_bytes()


def peer_fastas():
    return sorted(p.name for p in PEERS.glob("*.fa*") if p.suffix in (".fa", ".fasta")
                  and not p.name.endswith(".fai")) if PEERS.is_dir() else []


@pytest.mark.parametrize("name", peer_fastas())
def test_index_files_are_samtools_on_peer_files(tmp_path, name):
    need("samtools")
    mine, theirs = tmp_path / "mine", tmp_path / "theirs"
    for directory in (mine, theirs):
        directory.mkdir()
        shutil.copy(PEERS / name, directory / name)
    theirs_gz = bgzip(theirs / name)
    built = subprocess.run(["samtools", "faidx", theirs_gz], capture_output=True)
    if built.returncode != 0:
        pytest.skip(f"samtools cannot index {name}: {built.stderr.decode(errors='replace').strip()}")
    mine_gz = bgzip(mine / name)
    try:
        sekvo.Faidx(mine_gz)
    except Exception as exc:
        pytest.fail(f"samtools indexes {name} but sekvo says {exc}")
    assert Path(mine_gz + ".gzi").read_bytes() == Path(theirs_gz + ".gzi").read_bytes()
    # Where the plain file's index already differs from samtools' (duplicate
    # names are all kept), the compressed file's is the plain file's.
    sekvo.Faidx(str(mine / name))
    subprocess.run(["samtools", "faidx", str(theirs / name)], capture_output=True, check=True)
    plain_fai = Path(mine / (name + ".fai")).read_bytes()
    same_as_samtools = plain_fai == Path(theirs / (name + ".fai")).read_bytes()
    expected = Path(theirs_gz + ".fai").read_bytes() if same_as_samtools else plain_fai
    assert Path(mine_gz + ".fai").read_bytes() == expected
    # samtools' own index files load as they are and read as the plain file.
    stamps = [os.stat(theirs_gz + s).st_mtime_ns for s in (".fai", ".gzi")]
    plain = sekvo.Faidx(str(theirs / name))  # with samtools' index of the plain file
    from_theirs = sekvo.Faidx(theirs_gz)
    for key in plain.keys:
        assert from_theirs.fetch_entire_sequence(key).seq == plain.fetch_entire_sequence(key).seq
    assert [os.stat(theirs_gz + s).st_mtime_ns for s in (".fai", ".gzi")] == stamps


def test_block_index_follows_the_index_files_rules(tmp_path):
    plain = generated(tmp_path, 60, "\n")
    need("bgzip")
    subprocess.run(["bgzip", "-kfi", plain], check=True)  # writes bgzip's own .gzi
    compressed = plain + ".gz"
    reference = Path(compressed + ".gzi").read_bytes()
    os.remove(compressed + ".gzi")
    # An index file without its block index: the block index is built from the
    # block headers, as bgzip writes it.
    sekvo.Faidx(compressed)
    fai = Path(compressed + ".fai").read_bytes()
    Path(compressed + ".gzi").unlink()
    sekvo.Faidx(compressed)
    assert Path(compressed + ".gzi").read_bytes() == reference
    # Older than the file: rebuilt; not with rebuild=False.
    Path(compressed + ".gzi").write_bytes(b"\0" * 8)
    os.utime(compressed + ".gzi", ns=(0, 0))
    with pytest.raises(Exception, match="IOError: .*does not match the file: it lacks the block at offset"):
        sekvo.Faidx(compressed, rebuild=False)
    sekvo.Faidx(compressed)
    assert Path(compressed + ".gzi").read_bytes() == reference
    assert Path(compressed + ".fai").read_bytes() == fai
    # Missing with build_index=False: the block index is not found.
    Path(compressed + ".gzi").unlink()
    with pytest.raises(Exception, match=r"IndexNotFoundError: .*\.gzi"):
        sekvo.Faidx(compressed, build_index=False)
    # Named with gziname: written and read there only.
    custom = str(tmp_path / "blocks.custom")
    sekvo.Faidx(compressed, gziname=custom)
    assert Path(custom).read_bytes() == reference
    assert not Path(compressed + ".gzi").exists()
    Path(compressed + ".gzi").write_bytes(b"garbage")
    os.utime(compressed + ".gzi", ns=(2 * 10**18, 2 * 10**18))
    assert sekvo.Fasta(compressed, gziname=custom)["mid"][:5].seq == residues(150001, seed=2)[:5]
    # A pickled handle keeps its block index path.
    import pickle
    again = pickle.loads(pickle.dumps(sekvo.Faidx(compressed, gziname=custom)))
    assert again.fetch("mid", 1, 5).seq == residues(150001, seed=2)[:5]


def refused_files(tmp_path, text):
    yield "gzip", gzip.compress(text)
    yield "bzip2", bz2.compress(text)
    yield "xz", lzma.compress(text)
    zipped = tmp_path / "z.zip"
    with zipfile.ZipFile(zipped, "w") as archive:
        archive.writestr("a.fa", text)
    yield "zip", zipped.read_bytes()
    yield "zstd", b"\x28\xb5\x2f\xfd" + text
    yield "lz4", b"\x04\x22\x4d\x18" + text


def test_other_compressed_formats_are_refused_whatever_lies_beside_them(tmp_path):
    text = b">chr1\n" + residues(500).encode() + b"\n"
    (tmp_path / "plain.fa").write_bytes(text)
    sekvo.Faidx(str(tmp_path / "plain.fa"))
    (tmp_path / "bad.fa").write_bytes(b">x\n\xff\xfe\n")
    with pytest.raises(Exception) as not_utf8:
        sekvo.Faidx(str(tmp_path / "bad.fa"))
    for kind, data in refused_files(tmp_path, text):
        path = tmp_path / f"genome.{kind}"
        path.write_bytes(data)
        # A valid-looking index beside it changes nothing.
        shutil.copy(tmp_path / "plain.fa.fai", str(path) + ".fai")
        os.utime(str(path) + ".fai", ns=(2 * 10**18, 2 * 10**18))
        for cls in (sekvo.Faidx, sekvo.Fasta):
            with pytest.raises(Exception) as refused:
                cls(str(path))
            assert type(refused.value) is type(not_utf8.value)
            message = str(refused.value)
            assert message.startswith(f"IOError: '{path}' is {kind}"), message
            assert message.endswith("recompress with bgzip")


DAMAGE_PROBE = r'''
import sys, sekvo
path = sys.argv[1]
def attempt(call):
    try:
        call()
        print("ok")
    except Exception as e:
        print(type(e).__name__, e)
attempt(lambda: sekvo.Faidx(path))
try:
    fx = sekvo.Faidx(path)
except Exception:
    sys.exit(0)
attempt(lambda: [fx.fetch_entire_sequence(k).seq for k in fx.keys])
attempt(lambda: fx.fetch_many([(k, s, s + 500) for k in fx.keys for s in range(1, 200000, 97)]))
'''


def blocks_of(data):
    """(offset, size) of each BGZF block."""
    out, at = [], 0
    while at < len(data):
        size = struct.unpack_from("<H", data, at + 16)[0] + 1
        out.append((at, size))
        at += size
    return out


def flip(data, at):
    data = bytearray(data)
    data[at] ^= 0x21
    return bytes(data)


DAMAGES = {
    "truncated": lambda d, b: d[: b[3][0] + 100],
    "no-eof-block": lambda d, b: d[:-28],
    "bad-crc": lambda d, b: flip(d, b[3][0] + b[3][1] - 8),
    "bad-size": lambda d, b: flip(d, b[3][0] + b[3][1] - 4),
    "bad-data": lambda d, b: d[: b[3][0] + 20] + bytes(200) + d[b[3][0] + 220:],
    "bad-header": lambda d, b: flip(d, b[3][0] + 12),
}


@pytest.mark.parametrize("damage", sorted(DAMAGES))
@pytest.mark.parametrize("indexed_before", [False, True])
def test_damaged_files_raise_ioerror_naming_file_and_offset(tmp_path, damage, indexed_before):
    plain = generated(tmp_path, 60, "\n")
    compressed = bgzip(plain)
    data = Path(compressed).read_bytes()
    if indexed_before:
        sekvo.Faidx(compressed)
    Path(compressed).write_bytes(DAMAGES[damage](data, blocks_of(data)))
    if indexed_before:
        for suffix in (".fai", ".gzi"):
            os.utime(compressed + suffix, ns=(2 * 10**18, 2 * 10**18))
    result = subprocess.run([sys.executable, "-c", DAMAGE_PROBE, compressed], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr[-2000:]
    lines = result.stdout.splitlines()
    failures = [line for line in lines if line != "ok"]
    assert failures, lines
    for line in failures:
        # The batch's RuntimeError carries the same error in its display form.
        assert line.startswith((f"Exception IOError: '{compressed}'",
                                f"RuntimeError Error fetching region")), line
        assert f"IO error: '{compressed}'" in line or f"IOError: '{compressed}'" in line, line
        assert " at offset " in line, line


@pytest.mark.parametrize("change", ["shifted", "short", "reordered", "extra-count"])
def test_a_block_index_that_disagrees_with_the_file(tmp_path, change):
    plain = generated(tmp_path, 60, "\n")
    compressed = bgzip(plain)
    sekvo.Faidx(compressed)
    gzi = bytearray(Path(compressed + ".gzi").read_bytes())
    if change == "shifted":
        gzi[8 + 16 * 3] += 7
    elif change == "short":
        gzi = gzi[:-3]
    elif change == "reordered":
        gzi[8:24], gzi[24:40] = gzi[24:40], gzi[8:24]
    else:
        gzi[0] += 1
    Path(compressed + ".gzi").write_bytes(bytes(gzi))
    os.utime(compressed + ".gzi", ns=(2 * 10**18, 2 * 10**18))
    result = subprocess.run([sys.executable, "-c", DAMAGE_PROBE, compressed], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr[-2000:]
    failures = [line for line in result.stdout.splitlines() if line != "ok"]
    assert failures
    for line in failures:
        assert "IOError: '" in line or "IO error: '" in line, line
        assert ".gzi'" in line or " at offset " in line, line


def test_threads_share_one_bgzf_file(tmp_path):
    from concurrent.futures import ThreadPoolExecutor
    plain = generated(tmp_path, 60, "\n")
    fx, fz = sekvo.Faidx(plain), sekvo.Faidx(bgzip(plain))
    rng = random.Random(3)
    regions = [(n, s, s + rng.randint(0, 400)) for n in ("big", "mid") for s in
               (rng.randint(1, 140000) for _ in range(4000))]

    def read(chunk):
        return [fz.fetch(*r).seq for r in chunk] + [s.seq for s in fz.fetch_many(chunk * 2)]

    chunks = [regions[i::4] for i in range(4)]
    with ThreadPoolExecutor(4) as pool:
        got = list(pool.map(read, chunks))
    assert got == [[fx.fetch(*r).seq for r in c] + [s.seq for s in fx.fetch_many(c * 2)] for c in chunks]


def run_cli(*argv, out):
    assert main([*argv, "-o", str(out)]) == 0
    return Path(out).read_bytes()


def test_command_line_reads_bgzf_and_index_writes_both_files(tmp_path, capsys):
    need("samtools")
    # No empty record: samtools leaves those out of its index, sekvo keeps them.
    plain = write_fasta(tmp_path / "g.fa", [("big one", residues(400000, seed=1)), ("tiny", "ACGTN"),
                                            ("mid", residues(150001, seed=2)), ("last", residues(70000, seed=3))],
                        width=61)
    compressed = bgzip(plain)
    regions = ["big:1-100", "mid:65000-140000", "last:69990-70000", "tiny"]
    assert run_cli("faidx", compressed, *regions, out=tmp_path / "a") == \
        run_cli("faidx", plain, *regions, out=tmp_path / "b")
    bed = tmp_path / "r.bed"
    bed.write_text("big\t0\t100\nmid\t64000\t140001\nlast\t5\t69999\n")
    assert run_cli("getfasta", compressed, "--bed", str(bed), out=tmp_path / "c") == \
        run_cli("getfasta", plain, "--bed", str(bed), out=tmp_path / "d")
    for suffix in (".fai", ".gzi"):
        Path(compressed + suffix).write_bytes(b"stale")
    assert main(["index", compressed]) == 0
    theirs = tmp_path / "theirs"
    theirs.mkdir()
    shutil.copy(compressed, theirs / "g.fa.gz")
    subprocess.run(["samtools", "faidx", str(theirs / "g.fa.gz")], check=True)
    for suffix in (".fai", ".gzi"):
        assert Path(compressed + suffix).read_bytes() == (theirs / ("g.fa.gz" + suffix)).read_bytes()
    gzip_file = tmp_path / "plain.fa.gz"
    gzip_file.write_bytes(gzip.compress(Path(plain).read_bytes()))
    capsys.readouterr()
    assert main(["faidx", str(gzip_file), "tiny"]) != 0
    assert "recompress with bgzip" in capsys.readouterr().err


def test_command_line_reads_a_one_block_file_with_named_block_index(tmp_path):
    """A small file's compressed bytes need not hold a header line: the
    command line must look through the compression, and --gzi-idx names the
    block index it reads or makes."""
    plain = write_fasta(tmp_path / "t.fa", [("a", "ACGTACGTAC"), ("b", "GGGCCC")], width=4)
    compressed = bgzip(plain)
    gzi = tmp_path / "elsewhere.gzi"
    assert run_cli("faidx", compressed, "b:2-5", "a", "--gzi-idx", str(gzi), out=tmp_path / "a") == \
        run_cli("faidx", plain, "b:2-5", "a", out=tmp_path / "b")
    assert gzi.exists() and not Path(compressed + ".gzi").exists()
