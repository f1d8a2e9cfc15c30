"""The `sekvo` command: output identical to samtools faidx and bedtools getfasta,
and one-line errors for a user's mistakes."""

import csv
import io
import os
import random
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import residues, write_fasta

ROOT = Path(__file__).resolve().parent.parent
if str(ROOT / "python") not in sys.path:
    sys.path.insert(0, str(ROOT / "python"))

import sekvo  # noqa: E402
from sekvo_cli.__main__ import main  # noqa: E402

PEERS = ROOT.parent / "shared" / "testdata" / "peers"
if not PEERS.is_dir():
    PEERS = Path("/work/shared/testdata/peers")


def need(tool):
    if shutil.which(tool) is None:
        pytest.skip(f"{tool} is not installed (make test installs it with apt-get when root)")


def sekvo_out(tmp_path, *argv):
    """Run the command in-process; its output file's bytes."""
    out = tmp_path / "sekvo.out"
    assert main([*argv, "-o", str(out)]) == 0
    return out.read_bytes()


def copy_into(directory, source):
    directory.mkdir(exist_ok=True)
    return str(shutil.copy(source, directory))


def read_fai(path):
    entries = {}
    for line in Path(path).read_text().splitlines():
        name, *numbers = line.split("\t")
        entries.setdefault(name, []).append(numbers)
    return entries


# ---- samtools faidx -------------------------------------------------------

PEER_FASTAS = sorted(p.name.removesuffix(".regions.tsv") for p in PEERS.glob("*.regions.tsv")
                     if "chr9_whitespace" not in p.name)


def peer_regions(fasta_name, mine, theirs):
    """Region strings of the peer table, plus whole, to-the-end and past-the-end
    forms, for records that both indexes describe alike (no duplicate names)."""
    ours, samtools = read_fai(mine), read_fai(theirs)
    same = {n for n in ours if len(ours[n]) == 1 and ours[n] == samtools.get(n)}
    quote = lambda n: f"{{{n}}}" if ":" in n or not n else n  # noqa: E731
    regions = []
    for row in (PEERS / f"{fasta_name}.regions.tsv").read_text().splitlines()[1:]:
        name, start, end, _ = row.split("\t")
        if name in same:
            regions.append(f"{quote(name)}:{start}-{end}")
    for name in sorted(same):
        length = int(ours[name][0][0])
        regions += [f"{quote(name)}:{max(1, length - 2)}-{length + 5}",
                    f"{quote(name)}:{length + 1}-{length + 3}",
                    f"{quote(name)}:{(length + 1) // 2}"]
        if name.rpartition(":")[0] not in ours:
            regions.append(name)
    return regions


@pytest.mark.parametrize("options", [[], ["-i"], ["-n", "7"], ["-i", "-n", "1"], ["region-file"]],
                         ids=["plain", "rc", "width7", "rc-width1", "region-file"])
@pytest.mark.parametrize("fasta_name", PEER_FASTAS)
def test_faidx_matches_samtools(tmp_path, fasta_name, options):
    need("samtools")
    mine = copy_into(tmp_path / "sekvo", PEERS / fasta_name)
    theirs = copy_into(tmp_path / "samtools", PEERS / fasta_name)
    assert main(["index", mine]) == 0
    subprocess.run(["samtools", "faidx", theirs], check=True, capture_output=True, timeout=60)
    regions = peer_regions(fasta_name, mine + ".fai", theirs + ".fai")
    if not regions:
        pytest.skip("no record indexed alike by both")
    if options == ["region-file"]:
        (tmp_path / "regions.txt").write_text("\n".join(regions) + "\n")
        options, regions = ["-r", str(tmp_path / "regions.txt")], []
    expected = subprocess.run(["samtools", "faidx", theirs, *options, *regions],
                              capture_output=True, timeout=60, check=True).stdout
    assert sekvo_out(tmp_path, "faidx", mine, *options, *regions) == expected


@pytest.mark.parametrize("options", [["--mark-strand", "sign"], ["-i", "--mark-strand", "sign"],
                                     ["-i", "--mark-strand", "no"], ["-i", "--mark-strand", "custom,<,>"],
                                     ["-i", "-n", "70", "--continue"]])
def test_faidx_strand_marks_match_samtools(tmp_path, options):
    need("samtools")
    regions = ["chr2:3-77", "chr1:10-9000", "chrM", "chr2:1-1"]
    mine = copy_into(tmp_path / "sekvo", ROOT / "examples" / "data" / "example.fa")
    theirs = copy_into(tmp_path / "samtools", ROOT / "examples" / "data" / "example.fa")
    expected = subprocess.run(["samtools", "faidx", theirs, *options, *regions],
                              capture_output=True, timeout=60, check=True).stdout
    assert sekvo_out(tmp_path, "faidx", mine, *options, *regions) == expected


ODD_FORMS = ["c:-3", "c:3-", "c:0", "c:1-0", "c:-0", "c:", "{c}", "{c}:", "{c}:2-4", "c:1.5-4",
             "c:3-4.9", "c:1e1", "c:1E+0-3", "c:3-4,", "c:,3-4", "c:3-,", "c: 3-4", "c:3- 4",
             "c:00003-4", "c:8-20", "c:11-20", "c:1k-2k", "c:1,0", "c:2-2"]
REFUSED_FORMS = ["c:5-3", "c:abc", "c:3-x", "c:--3", "c:3--4", "{c:2-4", "{c}2-4", "c:3 -4",
                 "c:1,000-2", "c:-5-3", "c:99999999999999999999-2", "d:1-2", "c:3-4 "]


@pytest.mark.parametrize("region", ODD_FORMS + REFUSED_FORMS)
def test_faidx_reads_region_forms_as_samtools_does(tmp_path, region):
    need("samtools")
    fa = write_fasta(tmp_path / "c.fa", [("c", "AACCGCGGTT")])
    theirs = subprocess.run(["samtools", "faidx", fa, region], capture_output=True, timeout=60)
    assert (theirs.returncode == 0) == (region in ODD_FORMS)
    if region in ODD_FORMS:
        assert sekvo_out(tmp_path, "faidx", fa, region) == theirs.stdout
    else:
        assert main(["faidx", fa, region]) == 1


@pytest.mark.parametrize("region", ["c:0-3", "c:0-0", "c:-", "c:-+3"])
def test_faidx_refuses_a_zero_start(small, capsys, region):
    # samtools prints an empty record for these; a 0 start is a mistake in 1-based terms.
    tmp_path, fa = small
    assert main(["faidx", fa, region.replace("c", "s", 1)]) == 1
    assert "the start must be at least 1" in capsys.readouterr().err


def test_faidx_whole_line_and_names_with_colons(tmp_path, capsys):
    fa = write_fasta(tmp_path / "c.fa", [("a", "ACGTACGT"), ("a:1-3", "TTTTGGGG"), ("b:x", "CCCCAAAA")])
    assert sekvo_out(tmp_path, "faidx", fa, "a:1-3:2-3", "{a}:2-4", "b:x", "b:x:2-3", "a", "-n", "0") == \
        b">a:1-3:2-3\nTT\n>{a}:2-4\nCGT\n>b:x\nCCCCAAAA\n>b:x:2-3\nCC\n>a\nACGTACGT\n"
    assert main(["faidx", fa, "a:1-3"]) == 1
    assert "ambiguous: use '{a:1-3}'" in capsys.readouterr().err


@pytest.mark.parametrize("width", [1, 7, 10, 11, 0])
def test_long_sequences_are_wrapped_in_pieces_without_seams(monkeypatch, width):
    from sekvo_cli import output
    monkeypatch.setattr(output, "PIECE_RESIDUES", 30)
    seq = residues(1000, seed=3)
    lines = [seq[i:i + width] for i in range(0, len(seq), width)] if width else [seq]
    assert "".join(output.fasta_record("r", seq, width)) == ">r\n" + "\n".join(lines) + "\n"


# ---- bedtools getfasta ----------------------------------------------------

BEDTOOLS_FLAGS = {"-s": "-s", "--name": "-name", "--name+": "-name+", "--name-only": "-nameOnly",
                  "--tab": "-tab", "--bed-out": "-bedOut", "--split": "-split", "--rna": "-rna"}


def bedtools_getfasta(fasta, bed, options):
    return subprocess.run(["bedtools", "getfasta", "-fi", fasta, "-bed", bed, *options],
                          capture_output=True, timeout=120, check=True).stdout


@pytest.fixture(scope="module")
def genome_and_bed(tmp_path_factory):
    """A FASTA of five records and 10,000 BED6 intervals (some past the ends)."""
    base = tmp_path_factory.mktemp("getfasta")
    rng = random.Random(7)
    records = [(f"chr{i}", residues(rng.randint(2_000, 30_000), seed=i, alphabet="ACGTacgtNRY"))
               for i in range(1, 6)]
    fasta = write_fasta(base / "genome.fa", records, width=70)
    lines = []
    for i in range(10_000):
        name, seq = rng.choice(records)
        start = rng.randrange(len(seq) + 5)
        end = start + rng.randint(0 if i % 500 == 0 else 1, 900)
        lines.append(f"{name}\t{start}\t{end}\tiv{i}\t{i % 1000}\t{rng.choice('++--.')}\n")
    (base / "ivs.bed").write_text("".join(lines))
    # The same with what BED files also hold: header lines, blank lines, CRLF
    # line ends and coordinates with leading zeros.
    messy = ["track name=ivs\n", "# intervals\n"]
    for i, line in enumerate(lines):
        if i % 997 == 0:
            messy.append("\n" if i % 2 else "browser position chr1\n")
        if i % 13 == 0:
            chrom, start, rest = line.split("\t", 2)
            line = f"{chrom}\t00{start}\t{rest}"
        messy.append(line.replace("\n", "\r\n") if i % 3 == 0 else line)
    (base / "messy.bed").write_text("".join(messy), newline="")
    return base, fasta, str(base / "ivs.bed")


@pytest.mark.parametrize("bed_file", ["ivs.bed", "messy.bed"])
@pytest.mark.parametrize("options", [[], ["-s"], ["--name"], ["-s", "--name"],
                                     ["-s", "--name-only", "--tab"], ["-s", "--bed-out"]])
def test_getfasta_matches_bedtools_on_10000_intervals(tmp_path, genome_and_bed, options, bed_file):
    need("bedtools")
    base, fasta, _ = genome_and_bed
    bed = str(base / bed_file)
    theirs = copy_into(tmp_path / "bedtools", fasta)
    expected = bedtools_getfasta(theirs, bed, [BEDTOOLS_FLAGS[o] for o in options])
    assert expected.count(b"\n") > 9_000
    assert sekvo_out(tmp_path, "getfasta", fasta, "--bed", bed, *options) == expected


def bedtools_cases():
    with open(PEERS / "bedtools__getfasta.cases.tsv", newline="") as f:
        return [pytest.param(row, id=row["case"]) for row in csv.DictReader(f, delimiter="\t")]


@pytest.mark.parametrize("case", bedtools_cases())
def test_getfasta_reproduces_bedtools_own_cases(tmp_path, case):
    ours = {v: k for k, v in BEDTOOLS_FLAGS.items()} | {"-name+": "--name+"}
    fasta = copy_into(tmp_path, PEERS / case["fasta"])
    options = [ours[o] for o in case["options"].split()]
    got = sekvo_out(tmp_path, "getfasta", fasta, "--bed", str(PEERS / case["bed"]), *options)
    assert got == (PEERS / case["expected"]).read_bytes()


# ---- errors, --continue, index ----------------------------------------------

@pytest.fixture
def small(tmp_path):
    fa = write_fasta(tmp_path / "s.fa", [("s", "ACGTACGTACGT"), ("t desc", "GGGGCCCC")], width=10)
    return tmp_path, fa


@pytest.mark.parametrize("argv, message", [
    (["faidx", "{fa}", "s:1-3", "nope:1-2"], "region 'nope:1-2': no sequence named 'nope'"),
    (["faidx", "{fa}", "s:3-x"], "region 's:3-x': cannot read the coordinates '3-x'"),
    (["faidx", "{fa}", "s:5-3"], "region 's:5-3': start 5 is greater than end 3"),
    (["faidx", "{fa}", "s:0-3"], "the start must be at least 1"),
    (["faidx", "{fa}", "-r", "{dir}/regions.txt"], "regions.txt: line 3: region 'bad:': no sequence"),
    (["faidx", "{dir}/missing.fa", "s"], "cannot open '{dir}/missing.fa': No such file or directory"),
    (["faidx", "{fa}", "-n", "-1", "s"], "--length must be 0 or more"),
    (["getfasta", "{fa}", "--bed", "{dir}/missing.bed"], "cannot open BED file"),
    (["getfasta", "{fa}", "--bed", "{dir}/b1.bed"], "b1.bed: line 3: expected at least 3 tab-separated"),
    (["getfasta", "{fa}", "--bed", "{dir}/b2.bed"], "b2.bed: line 2: start 'x' is not a non-negative"),
    (["getfasta", "{fa}", "--bed", "{dir}/b3.bed"], "b3.bed: line 1: start 5 is greater than end 3"),
    (["getfasta", "{fa}", "--bed", "{dir}/b4.bed"], "b4.bed: line 2: no sequence named 'chrZ'"),
    (["getfasta", "{fa}", "--bed", "{dir}/b5.bed", "--split"], "b5.bed: line 1: block count"),
    (["getfasta", "{fa}", "--bed", "{dir}/b4.bed", "--full-header"], "no sequence named 'chrZ'"),
    (["index", "{dir}/empty.fa"], "no sequences found in '{dir}/empty.fa'"),
    (["faidx", "{fa}", "s", "-o", "{fa}"], "refusing to write the output over the input file '{fa}'"),
    (["getfasta", "{fa}", "--bed", "{dir}/ok.bed", "-o", "{dir}/ok.bed"], "over the input file"),
])
def test_mistakes_give_one_line_and_status_1(small, capsys, argv, message):
    tmp_path, fa = small
    (tmp_path / "regions.txt").write_text("s:1-2\n\nbad:\n")
    (tmp_path / "b1.bed").write_text("# comment\ns\t0\t3\ns 0 3\n")
    (tmp_path / "b2.bed").write_text("s\t0\t3\ns\tx\t3\n")
    (tmp_path / "b3.bed").write_text("s\t5\t3\n")
    (tmp_path / "ok.bed").write_text("s\t0\t3\n")
    (tmp_path / "b4.bed").write_text("s\t0\t3\nchrZ\t0\t3\n")
    (tmp_path / "b5.bed").write_text("s\t0\t8\tn\t0\t+\t0\t8\t0\t3\t2,2,\t0,4,\n")
    (tmp_path / "empty.fa").write_text("")
    fill = {"fa": fa, "dir": str(tmp_path)}
    assert main([a.format(**fill) for a in argv]) == 1
    captured = capsys.readouterr()
    assert captured.out == ""
    assert captured.err.endswith(message.format(**fill) + "\n") or message.format(**fill) in captured.err
    assert captured.err.count("\n") == 1 and captured.err.startswith(f"sekvo {argv[0]}: error: ")
    assert Path(fa).read_text() == ">s\nACGTACGTAC\nGT\n>t desc\nGGGGCCCC\n"


def test_getfasta_lines_of_differing_columns(small):
    tmp_path, fa = small
    (tmp_path / "b.bed").write_text("s\t0\t3\ns\t0\t3\tn1\t0\t-\ns\t2\t5\tn2\n")
    assert sekvo_out(tmp_path, "getfasta", fa, "--bed", str(tmp_path / "b.bed"), "-s", "--name") == \
        b">::s:0-3()\nACG\n>n1::s:0-3(-)\nCGT\n>n2::s:2-5()\nGTA\n"


def test_continue_skips_unknown_names(small, capsys):
    tmp_path, fa = small
    (tmp_path / "b.bed").write_text("s\t0\t3\nchrZ\t0\t3\nt\t2\t4\n")
    assert sekvo_out(tmp_path, "faidx", fa, "s:1-3", "nope", "t:2-3", "-c") == \
        b">s:1-3\nACG\n>nope\n>t:2-3\nGG\n"
    assert sekvo_out(tmp_path, "getfasta", fa, "--bed", str(tmp_path / "b.bed"), "-c") == \
        b">s:0-3\nACG\n>t:2-4\nGG\n"
    err = capsys.readouterr().err
    assert "region 'nope': no sequence named 'nope'; writing an empty record" in err
    assert "line 2: no sequence named 'chrZ'; skipped" in err


def test_index_rebuilds_and_summarises(small, capsys):
    tmp_path, fa = small
    Path(fa + ".fai").write_text("s\t1\t3\t1\t2\n")          # wrong, but newer than the FASTA
    assert main(["index", fa]) == 0
    assert capsys.readouterr().out.startswith(f"{fa}.fai: 2 records, 20 residues, ")
    assert Path(fa + ".fai").read_text() == "s\t12\t3\t10\t11\nt\t8\t25\t8\t9\n"
    assert sorted(os.listdir(tmp_path)) == ["s.fa", "s.fa.fai"]


@pytest.mark.parametrize("lines, drawn", [(100_000, False), (100_001, True)])
def test_progress_bar_only_for_large_bed_on_a_terminal(small, monkeypatch, lines, drawn):
    tmp_path, fa = small
    (tmp_path / "big.bed").write_text("s\t0\t2\n" * lines)

    class Terminal(io.StringIO):
        def isatty(self):
            return True

    monkeypatch.setattr(sys, "stderr", Terminal())
    out = sekvo_out(tmp_path, "getfasta", fa, "--bed", str(tmp_path / "big.bed"))
    assert out == b">s:0-2\nAC\n" * lines
    assert ("[####" in sys.stderr.getvalue()) == drawn


def run_module(*argv, **kwargs):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [str(ROOT / "python"), os.path.dirname(sekvo.__file__), os.environ.get("PYTHONPATH", "")]))
    return subprocess.Popen([sys.executable, "-m", "sekvo_cli", *argv], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kwargs)


def test_usual_getfasta_run_imports_only_what_it_uses(small):
    # Start-up is much of a one-shot run: the Python BED reader (whose
    # patterns are compiled on import) serves only the layouts laid out in Python,
    # and argparse only help and mistakes.
    tmp_path, fa = small
    (tmp_path / "r.bed").write_text("s\t0\t4\n")
    code = ("import sys; from sekvo_cli.__main__ import main; "
            f"status = main(['getfasta', {str(fa)!r}, '-b', {str(tmp_path / 'r.bed')!r}]); "
            "print(status, *(m in sys.modules for m in ('sekvo_cli.bed', 'sekvo_cli.inputs', 'argparse', 're')))")
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, timeout=60,
                          env=dict(os.environ, PYTHONPATH=os.pathsep.join(
                              [str(ROOT / "python"), os.path.dirname(sekvo.__file__)])))
    assert proc.stdout == b">s:0-4\nACGT\n0 False False False False\n", proc.stderr


def test_module_entry_point_errors_and_closed_pipe(small):
    tmp_path, fa = small
    proc = run_module("faidx", fa, "nope")
    out, err = proc.communicate(timeout=60)
    assert (proc.returncode, out) == (1, b"")
    assert err == b"sekvo faidx: error: region 'nope': no sequence named 'nope'\n"

    # A reader that stops early ends the command quietly, without a traceback.
    (tmp_path / "big.bed").write_text("s\t0\t12\n" * 300_000)
    proc = run_module("getfasta", fa, "--bed", str(tmp_path / "big.bed"))
    assert proc.stdout.readline() == b">s:0-12\n"
    proc.stdout.close()
    err = proc.stderr.read()
    proc.wait(timeout=60)
    assert b"Traceback" not in err and proc.returncode in (0, 141)


@pytest.mark.parametrize("case", ["separator name", "short file", "short file, region file", "fifo", "not fasta",
                                  "no arguments"])
def test_faidx_on_awkward_inputs(tmp_path, case):
    fa = tmp_path / "g.fa"
    fa.write_bytes(b">\x1cx\nACGTACGTAC\nACGT\n>chr2\n" + b"A" * 60 + b"\n")
    argv, want = ["faidx", str(fa)], (0, b"", b"")
    if case == "separator name":  # 0x1C-0x1F are not whitespace to the index
        argv.append("\x1cx:2-12")
        want = (0, b">\x1cx:2-12\nCGTACGTACAC\n", b"")
    elif case.startswith("short file"):
        main(["index", str(fa)])
        os.truncate(fa, fa.stat().st_size - 30)
        make_older = fa.stat().st_mtime_ns - 10**9
        os.utime(fa, ns=(make_older, make_older))
        if case.endswith("region file"):
            (tmp_path / "r.txt").write_text("chr2:1-60\n")
            argv += ["-r", str(tmp_path / "r.txt")]
        else:
            argv.append("chr2:1-60")
        want = (1, b">chr2:1-60\n" + b"A" * 31 + b"\n",
                b"sekvo faidx: warning: region 'chr2:1-60': '%s' holds only 31 of its 60 residues "
                b"(truncated file or stale index)\n" % bytes(fa))
    elif case == "fifo":
        os.remove(fa)
        os.mkfifo(fa)
        want = (1, b"", b"sekvo faidx: error: '%s' is a pipe, not a FASTA file; give a regular file\n"
                % bytes(fa))
    elif case == "not fasta":
        fa.write_text("chr2\t0\t10\n")
        want = (1, b"", b"sekvo faidx: error: '%s' holds no FASTA records\n" % bytes(fa))
    else:
        argv = ["faidx"]
    proc = run_module(*argv)
    try:
        out, err = proc.communicate(timeout=30)
    finally:
        proc.kill()  # a FIFO once made it wait for ever
    if case == "no arguments":
        assert proc.returncode == 2 and err.endswith(b"error: the following arguments are required: FILE\n")
        return
    assert (proc.returncode, out, err) == want
    if case in ("fifo", "not fasta"):
        assert sorted(os.listdir(tmp_path)) == ["g.fa"]


def test_index_scratch_file_cannot_be_planted(small, capsys):
    # The scratch index once had a predictable name beside the index; a link
    # planted there redirected the write to any file the user may write.
    tmp_path, fa = small
    victim = tmp_path / "victim"
    victim.write_text("mine\n")
    os.symlink(victim, f"{fa}.fai.{os.getpid()}.tmp")
    assert main(["index", fa]) == 0
    assert victim.read_text() == "mine\n" and not Path(fa + ".fai").is_symlink()
    assert Path(fa + ".fai").read_text() == "s\t12\t3\t10\t11\nt\t8\t25\t8\t9\n"
