"""`sekvo getfasta` and `sekvo faidx` as drop-in replacements: the peers' own
option spellings, every combination compared byte for byte with the real
tools, and the ways a one-shot run ends early (closed pipe, full disk, ^C)."""

import itertools
import os
import random
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from conftest import residues, write_fasta
from test_cli import ODD_FORMS, PEERS, bedtools_cases, copy_into, need

ROOT = Path(__file__).resolve().parent.parent
from sekvo_cli.__main__ import main  # noqa: E402  (test_cli puts python/ on the path)


def run_module(*argv, **kwargs):
    """Our command in a fresh process (python/ and the built module on the path)."""
    import sekvo
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [str(ROOT / "python"), os.path.dirname(sekvo.__file__), os.environ.get("PYTHONPATH", "")]))
    kwargs.setdefault("stdout", subprocess.PIPE)
    kwargs.setdefault("stderr", subprocess.PIPE)
    return subprocess.Popen([sys.executable, "-m", "sekvo_cli", *argv], env=env, **kwargs)


def run_tool(argv, stdin=None):
    done = subprocess.run(argv, input=stdin, capture_output=True, timeout=120)
    return done.returncode, done.stdout


def sekvo(tmp_path, argv, stdin=None):
    """Our command in a fresh process: (exit status, standard output)."""
    proc = run_module(*argv, stdin=subprocess.PIPE)
    out, _ = proc.communicate(stdin, timeout=120)
    return proc.returncode, out


@pytest.fixture(scope="module")
def blocks_genome(tmp_path_factory):
    """Three records with descriptions, IUPAC codes and both cases, and 600
    BED12 intervals (a few with blocks, some on each strand, a few past the end)."""
    base = tmp_path_factory.mktemp("dropin")
    rng = random.Random(11)
    records = [(f"chr{i} sample {i}", residues(rng.randint(3_000, 9_000), seed=i, alphabet="ACGTUacgtuNRYKM"))
               for i in range(1, 4)]
    fasta = write_fasta(base / "g.fa", records, width=61)
    lines = []
    for i in range(600):
        header, seq = rng.choice(records)
        start = rng.randrange(len(seq) - 400)
        end = start + rng.randint(1, 400)
        count = min(rng.randint(1, 3), end - start)
        offsets = [0] + sorted(rng.sample(range(1, end - start), count - 1))
        sizes = [min(rng.randint(1, 30), after - o) for o, after in zip(offsets, offsets[1:])]
        sizes.append(end - start - offsets[-1])
        lines.append("\t".join(map(str, [header.split()[0], start, end, f"n{i}", i % 900, rng.choice("+-."),
                                          start, end, 0, count, ",".join(map(str, sizes)) + ",",
                                          ",".join(map(str, offsets)) + ","])) + "\n")
    (base / "b12.bed").write_text("".join(lines))
    (base / "b6.bed").write_text("".join("\t".join(line.split("\t")[:6]) + "\n" for line in lines))
    (base / "full.bed").write_text("".join(
        line.replace(f"chr{k}\t", f"chr{k} sample {k}\t", 1) for line in lines[:50] for k in [line[3]]))
    return base, fasta


NAMES = [[], ["-name"], ["-name+"], ["-nameOnly"]]
LAYOUTS = [[], ["-tab"], ["-bedOut"]]
COMBINATIONS = [s + n + lay + sp + r for s, n, lay, sp, r in
                itertools.product([[], ["-s"]], NAMES, LAYOUTS, [[], ["-split"]], [[], ["-rna"]])]


@pytest.mark.parametrize("bed", ["b12.bed", "b6.bed"])
@pytest.mark.parametrize("options", COMBINATIONS, ids=" ".join)
def test_getfasta_every_bedtools_option_combination(tmp_path, blocks_genome, options, bed):
    need("bedtools")
    base, fasta = blocks_genome
    theirs = copy_into(tmp_path / "bedtools", fasta)
    command = ["getfasta", "-fi", "{fa}", "-bed", str(base / bed), *options]
    expected = run_tool(["bedtools", *[a.format(fa=theirs) for a in command]])
    assert expected[0] == 0 and expected[1]
    out = tmp_path / "out.fa"
    assert main([a.format(fa=fasta) for a in command] + ["-fo", str(out)]) == 0
    assert out.read_bytes() == expected[1]


@pytest.mark.parametrize("spelling", [["-bed", "stdin"], ["-bed", "-"], ["--bed", "stdin"]])
def test_getfasta_reads_bed_from_standard_input(tmp_path, blocks_genome, spelling):
    need("bedtools")
    base, fasta = blocks_genome
    theirs = copy_into(tmp_path / "bedtools", fasta)
    bed = (base / "b6.bed").read_bytes()
    expected = run_tool(["bedtools", "getfasta", "-fi", theirs, "-bed", "stdin", "-s"], stdin=bed)
    assert sekvo(tmp_path, ["getfasta", "-fi", fasta, *spelling, "-s"], stdin=bed) == expected


@pytest.mark.parametrize("how", ["gzip file", "bgzip file", "gzip on stdin"])
def test_getfasta_streams_a_compressed_bed(tmp_path, blocks_genome, how):
    need("bedtools")
    import gzip

    base, fasta = blocks_genome
    text = (base / "b6.bed").read_bytes()
    if how.startswith("bgzip"):
        need("bgzip")
        packed = subprocess.run(["bgzip", "-c"], input=text, capture_output=True, check=True).stdout
    else:
        packed = gzip.compress(text)
    (tmp_path / "b.bed.gz").write_bytes(packed)
    expected = run_tool(["bedtools", "getfasta", "-fi", fasta, "-bed", str(base / "b6.bed"), "-s", "-name"])
    if how.endswith("stdin"):
        got = sekvo(tmp_path, ["getfasta", "-fi", fasta, "-bed", "stdin", "-s", "-name"], stdin=packed)
    else:
        got = sekvo(tmp_path, ["getfasta", "-fi", fasta, "-bed", str(tmp_path / "b.bed.gz"), "-s", "-name"])
    assert got == expected


def test_getfasta_damaged_gzip_bed_is_an_error(tmp_path, blocks_genome, capsys):
    import gzip

    base, fasta = blocks_genome
    packed = gzip.compress((base / "b6.bed").read_bytes())
    (tmp_path / "b.bed.gz").write_bytes(packed[:len(packed) // 2])
    assert main(["getfasta", fasta, "-b", str(tmp_path / "b.bed.gz"), "-o", str(tmp_path / "out")]) == 1
    assert "cannot decompress BED file" in capsys.readouterr().err


@pytest.mark.parametrize("options", [[], ["-name", "-s"], ["-tab"]])
def test_getfasta_full_header_names_records_by_their_whole_line(tmp_path, blocks_genome, options):
    need("bedtools")
    base, fasta = blocks_genome
    mine = copy_into(tmp_path / "sekvo", fasta)          # bedtools makes its own index here
    theirs = copy_into(tmp_path / "bedtools", fasta)
    bed = str(base / "full.bed")
    expected = run_tool(["bedtools", "getfasta", "-fi", theirs, "-bed", bed, "-fullHeader", *options])
    assert expected[0] == 0 and expected[1].count(b">") + expected[1].count(b"\t") >= 50
    assert sekvo(tmp_path, ["getfasta", "-fi", mine, "-bed", bed, "-fullHeader", *options]) == expected


@pytest.mark.parametrize("case", bedtools_cases())
def test_getfasta_bedtools_spellings_on_bedtools_cases(tmp_path, case):
    fasta = copy_into(tmp_path, PEERS / case["fasta"])
    out = tmp_path / "out.fa"
    argv = ["getfasta", "-fi", fasta, "-bed", str(PEERS / case["bed"]), *case["options"].split(), "-fo", str(out)]
    assert main(argv) == 0
    assert out.read_bytes() == (PEERS / case["expected"]).read_bytes()


@pytest.mark.parametrize("argv, message", [
    (["getfasta", "-bed", "x.bed"], "no FASTA file given"),
    (["getfasta", "-fi", "{fa}"], "no BED file given"),
    (["getfasta", "{fa}", "-fi", "other.fa", "-bed", "x.bed"], "two FASTA files given"),
])
def test_getfasta_missing_inputs_are_named(tmp_path, capsys, argv, message):
    fa = write_fasta(tmp_path / "s.fa", [("s", "ACGT")])
    assert main([a.format(fa=fa) for a in argv]) == 1
    assert message in capsys.readouterr().err


FAIDX_OPTIONS = [[], ["-i"], ["-n", "7"], ["--length", "1"], ["-i", "--mark-strand", "sign"],
                 ["-i", "--mark-strand", "custom,<,>", "-n", "70"], ["--mark-strand", "no", "-i"],
                 ["-c"], ["-i", "-c", "--length", "13"]]


@pytest.mark.parametrize("where", ["arguments", "region-file", "both"])
@pytest.mark.parametrize("options", FAIDX_OPTIONS, ids=" ".join)
def test_faidx_samtools_options(tmp_path, blocks_genome, options, where):
    need("samtools")
    base, fasta = blocks_genome
    mine = copy_into(tmp_path / "sekvo", fasta)
    theirs = copy_into(tmp_path / "samtools", fasta)
    rng = random.Random(len(options))
    regions = [f"chr{rng.randint(1, 3)}:{s}-{s + rng.randint(0, 300)}"
               for s in (rng.randint(1, 3_500) for _ in range(40))] + ["chr2", "chr3:2990"]
    (tmp_path / "r.txt").write_text("\n".join(regions) + "\n")
    args = {"arguments": regions, "region-file": ["-r", str(tmp_path / "r.txt")],
            "both": ["--region-file", str(tmp_path / "r.txt"), *regions[:5]]}[where]
    expected = run_tool(["samtools", "faidx", theirs, *args, *options])
    got_file = tmp_path / "got.fa"
    assert main(["faidx", mine, *args, *options, "-o", str(got_file)]) == expected[0] == 0
    assert got_file.read_bytes() == expected[1]


@pytest.mark.parametrize("options", [["-c"], ["-c", "-i"], ["--continue", "-i", "--mark-strand", "sign"]])
def test_faidx_continue_writes_an_empty_record_for_each_bad_region(tmp_path, blocks_genome, options):
    need("samtools")
    _, fasta = blocks_genome
    mine = copy_into(tmp_path / "sekvo", fasta)
    theirs = copy_into(tmp_path / "samtools", fasta)
    regions = ["chr1:1-5", "nope", "chr2:5-3", "chr2:abc", "{chr2", "chr3:2-4", "chr1:99999999-99999999"]
    expected = run_tool(["samtools", "faidx", theirs, *options, *regions])
    assert sekvo(tmp_path, ["faidx", mine, *options, *regions]) == expected


@pytest.mark.parametrize("options", [[], ["-i", "-n", "3"], ["-c", "--mark-strand", "sign"]], ids=" ".join)
def test_faidx_region_file_mixing_plain_and_other_forms(tmp_path, options):
    """Plain name:start-end lines are read by the core, the rest by the general
    rules; the output keeps line order either way."""
    need("samtools")

    records = [("c", "AACCGCGGTT"), ("x:1-2", "GGGTTT"), ("d", "ACGTNRYKMacgt")]
    fa = write_fasta(tmp_path / "g.fa", records, width=5)
    rng = random.Random(5)
    lines = []
    for odd in ODD_FORMS + ["x:1-2", "d:13-13", "d:1-13", "c:10-11"]:
        lines += [f"d:{s}-{s + rng.randint(0, 5)}" for s in (rng.randint(1, 8) for _ in range(2))] + [odd]
    if "-c" in options:
        lines += ["c:5-3", "nope:1-2", "c:1-2", "c:abc", "d:0-3"]
    (tmp_path / "r.txt").write_text("\n".join(lines) + "\n")
    expected = run_tool(["samtools", "faidx", fa, "-r", str(tmp_path / "r.txt"), *options])
    assert sekvo(tmp_path, ["faidx", fa, "-r", str(tmp_path / "r.txt"), *options]) == expected


@pytest.mark.parametrize("lines, status, written", [
    ("c:1-2\nc:2-3\nc:9-x\n", 1, None),      # a mistake early: no output file
    ("\n\n", 0, b""),                          # no regions: an empty output file
    ("c:2-3\n  {c}:4-5\t\n", 0, b">c:2-3\nAC\n>{c}:4-5\nCG\n"),
])
def test_faidx_region_file_output_is_opened_when_needed(tmp_path, capsys, lines, status, written):
    fa = write_fasta(tmp_path / "c.fa", [("c", "AACCGCGGTT")])
    (tmp_path / "r.txt").write_text(lines)
    out = tmp_path / "out.fa"
    assert main(["faidx", fa, "-r", str(tmp_path / "r.txt"), "-o", str(out)]) == status
    if written is None:
        assert "r.txt: line 3: region 'c:9-x'" in capsys.readouterr().err
        assert not out.exists()
    else:
        assert out.read_bytes() == written


def test_faidx_index_file_elsewhere(tmp_path, blocks_genome):
    need("samtools")
    _, fasta = blocks_genome
    mine = copy_into(tmp_path / "sekvo", fasta)
    theirs = copy_into(tmp_path / "samtools", fasta)
    argv = ["chr1:5-80", "chr3:1-3", "-i", "--gzi-idx", str(tmp_path / "unused.gzi")]
    expected = run_tool(["samtools", "faidx", theirs, "--fai-idx", str(tmp_path / "theirs.fai"), *argv])
    assert sekvo(tmp_path, ["faidx", mine, "--fai-idx", str(tmp_path / "mine.fai"), *argv]) == expected
    assert (tmp_path / "mine.fai").read_bytes() == (tmp_path / "theirs.fai").read_bytes()
    assert not os.path.exists(mine + ".fai")


# ---- one-shot runs that end early -------------------------------------------

@pytest.fixture(scope="module")
def big_bed(tmp_path_factory):
    base = tmp_path_factory.mktemp("big")
    fa = write_fasta(base / "g.fa", [("g", residues(50_000, seed=5))])
    rng = random.Random(3)
    with open(base / "big.bed", "w") as f:
        for _ in range(400_000):
            start = rng.randrange(49_000)
            f.write(f"g\t{start}\t{start + rng.randint(1, 900)}\n")
    return fa, str(base / "big.bed")


@pytest.mark.parametrize("command", ["getfasta", "faidx"])
def test_closed_pipe_ends_quietly(big_bed, command, tmp_path):
    fa, bed = big_bed
    if command == "getfasta":
        argv = ["getfasta", "-fi", fa, "-bed", bed]
    else:
        (tmp_path / "r.txt").write_text("g:1-1000\n" * 300_000)
        argv = ["faidx", fa, "-r", str(tmp_path / "r.txt")]
    read_end, write_end = os.pipe()
    reader = subprocess.Popen(["head", "-c", "100"], stdin=read_end, stdout=subprocess.PIPE)
    proc = run_module(*argv, stdout=write_end)
    os.close(read_end)
    os.close(write_end)
    assert len(reader.communicate(timeout=120)[0]) == 100
    err = proc.communicate(timeout=120)[1]
    assert proc.returncode in (0, 141) and b"Traceback" not in err and err == b""


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="no /dev/full on this system")
@pytest.mark.parametrize("target", ["stdout", "-fo"])
def test_full_disk_is_an_error(big_bed, target):
    fa, bed = big_bed
    with open("/dev/full", "wb") as full:
        if target == "stdout":
            proc = run_module("getfasta", "-fi", fa, "-bed", bed, stdout=full)
        else:
            proc = run_module("getfasta", "-fi", fa, "-bed", bed, "-fo", "/dev/full")
        _, err = proc.communicate(timeout=120)
    assert proc.returncode == 1
    assert err.startswith(b"sekvo getfasta: error: cannot write") and b"No space left on device" in err
    assert err.count(b"\n") == 1


def test_interrupt_stops_with_status_130(big_bed, tmp_path):
    fa, bed = big_bed
    beds = str(tmp_path / "many.bed")
    with open(beds, "w") as f:                      # long enough to be interrupted
        for _ in range(8):
            f.write(Path(bed).read_text())
    proc = run_module("getfasta", "-fi", fa, "-bed", beds, "-fo", str(tmp_path / "out.fa"))
    time.sleep(0.5)
    proc.send_signal(signal.SIGINT)
    _, err = proc.communicate(timeout=60)
    if proc.returncode == 0:
        pytest.skip("the run finished before the interrupt")
    assert proc.returncode == 130
    assert err.endswith(b"sekvo getfasta: interrupted\n") and b"Traceback" not in err


# ---- windows and pieces of the output engine ---------------------------------

@pytest.fixture(scope="module")
def long_record(tmp_path_factory):
    """A record longer than two fetch pieces, and a short one."""
    base = tmp_path_factory.mktemp("long")
    seq = residues(9_500_000, seed=8, alphabet="ACGTacgtNRYU")
    return write_fasta(base / "long.fa", [("big", seq), ("small", residues(5_000, seed=9))], width=70)


@pytest.mark.parametrize("options", [[], ["-i"], ["-n", "61"], ["-i", "-n", "1000"]])
def test_faidx_records_larger_than_a_piece(tmp_path, long_record, options):
    need("samtools")
    mine = copy_into(tmp_path / "sekvo", long_record)
    theirs = copy_into(tmp_path / "samtools", long_record)
    regions = ["big", "small:10-20", "big:4194000-8388700", "big:9000000"]
    expected = run_tool(["samtools", "faidx", theirs, *options, *regions])
    assert expected[0] == 0
    assert sekvo(tmp_path, ["faidx", mine, *options, *regions]) == expected


@pytest.mark.parametrize("command", ["getfasta", "faidx"])
def test_output_crosses_windows_in_input_order(tmp_path, blocks_genome, command):
    # More regions than one window holds, in random order, some reversed.
    need("bedtools" if command == "getfasta" else "samtools")
    base, fasta = blocks_genome
    lines = (base / "b6.bed").read_text().splitlines(keepends=True) * 120     # 72,000 intervals
    random.Random(4).shuffle(lines)
    bed = tmp_path / "many.bed"
    bed.write_text("".join(lines))
    theirs = copy_into(tmp_path / "peer", fasta)
    if command == "getfasta":
        expected = run_tool(["bedtools", "getfasta", "-fi", theirs, "-bed", str(bed), "-s", "-name"])
        got = sekvo(tmp_path, ["getfasta", "-fi", fasta, "-bed", str(bed), "-s", "-name"])
    else:
        regions = tmp_path / "r.txt"
        regions.write_text("".join(f"{c}:{int(s) + 1}-{e}\n" for c, s, e, *_ in map(str.split, lines)))
        expected = run_tool(["samtools", "faidx", theirs, "-r", str(regions), "-i", "-n", "50"])
        got = sekvo(tmp_path, ["faidx", fasta, "-r", str(regions), "-i", "-n", "50"])
    assert expected[0] == 0 and expected[1].count(b">") == 72_000
    assert got == expected


def test_getfasta_writes_before_its_input_ends(blocks_genome):
    # A window's worth of intervals on a pipe that stays open: the first
    # records must come out before the last interval has been sent.
    import select
    import threading
    base, fasta = blocks_genome
    lines = (base / "b6.bed").read_bytes().splitlines(keepends=True) * 120
    proc = run_module("getfasta", "-fi", fasta, "-bed", "stdin", stdin=subprocess.PIPE)
    first_seen = threading.Event()

    def send():
        proc.stdin.write(b"".join(lines[:70_000]))
        proc.stdin.flush()
        first_seen.wait(60)
        proc.stdin.write(b"".join(lines[70_000:]))
        proc.stdin.close()

    sender = threading.Thread(target=send)
    sender.start()
    try:
        ready, _, _ = select.select([proc.stdout], [], [], 60)
        assert ready and proc.stdout.read(1) == b">"
        assert sender.is_alive()          # the rest of the input is still to come
        first_seen.set()
        rest = proc.stdout.read()
        assert proc.wait(timeout=60) == 0
        assert (b">" + rest).count(b">") == len(lines)
    finally:
        first_seen.set()
        sender.join(60)
        proc.kill()


def test_faidx_region_file_is_read_in_bounded_memory(tmp_path):
    # 48 MB of region lines on standard input are read in pieces: the peak
    # stays far below the input's size (a whole read would hold it twice).
    # The peak is the process's own (VmHWM): ru_maxrss would count pytest's
    # memory, inherited up to exec.
    if os.environ.get("SEKVO_SANITIZER"):
        pytest.skip("the sanitizer's quarantine keeps freed memory resident")
    fa = write_fasta(tmp_path / "g.fa", [("g", "ACGT" * 100)])
    (tmp_path / "r.txt").write_bytes((b"g:1-4" + b" " * 4090 + b"\n") * 12_000)  # blanks are trimmed
    # main() given its arguments returns instead of ending the process.
    report_peak = ("import sys\n"
                   "from sekvo_cli.__main__ import main\n"
                   "status = main(sys.argv[1:])\n"
                   "print([l for l in open('/proc/self/status') if 'VmHWM' in l][0], file=sys.stderr, end='')\n"
                   "sys.exit(status)\n")
    import sekvo
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(ROOT / "python"), os.path.dirname(sekvo.__file__)]))
    with open(tmp_path / "r.txt", "rb") as regions:
        done = subprocess.run([sys.executable, "-c", report_peak, "faidx", fa, "-r", "-"], env=env,
                              stdin=regions, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=120)
    assert done.returncode == 0
    assert int(done.stderr.split()[1]) < 40_000         # kB
