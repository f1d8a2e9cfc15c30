"""The command line's quick argument reader: the arguments argparse would give
for every argv it reads, and argparse's own messages for every argv it leaves."""

import contextlib
import io

import pytest

import test_cli  # noqa: F401  (puts python/ on the path)
from sekvo_cli.__main__ import main
from sekvo_cli.arguments import command_module, read_arguments
from sekvo_cli.parser import parse

READ = [
    ["getfasta", "-fi", "g.fa", "-bed", "r.bed"],
    ["getfasta", "g.fa", "-b", "r.bed", "-s", "-name"],
    ["getfasta", "-fi", "g.fa", "-bed", "stdin", "-fo", "o.fa", "-name+", "-tab", "-split", "-rna", "-fullHeader"],
    ["getfasta", "-nameOnly", "-bedOut", "-s", "-fi", "g.fa", "-bed", "-", "-c"],
    ["getfasta", "--bed", "r.bed", "g.fa", "--name-only", "--bed-out", "--output", "-", "--full-header"],
    ["getfasta", "-b", "a.bed", "-b", "b.bed", "g.fa", "-name", "--name", "--strand", "--continue"],
    ["getfasta", "", "--bed", "", "-o", "", "--tab", "-tab", "--rna", "--split", "--fo", "x"],
    ["getfasta"],
    ["faidx", "g.fa"],
    ["faidx", "g.fa", "chr1:1-10", "chr2", "-i", "-n", "0"],
    ["faidx", "-i", "g.fa", "chr1:5", "--continue", "--reverse-complement", "--region-file", "-", "x"],
    ["faidx", "g.fa", "-r", "a.txt", "--mark-strand", "sign", "chr1", "-r", "b.txt", "--length", "+7", "-c",
     "--fai-idx", "x.fai", "--gzi-idx", "x.gzi", "-o", "out", "{chr:1}:2-3", "-n", " 1_0 "],
    ["faidx", "-", "", "-o", "-", "--mark-strand", "custom,<,>"],
    ["index", "g.fa"],
]

LEFT = [
    ["getfasta", "-h"], ["getfasta", "--help"], ["getfasta", "--version"], ["getfasta", "-fi"],
    ["getfasta", "-fi", "g.fa", "-bed"], ["getfasta", "--bed=r.bed"], ["getfasta", "-br.bed", "g.fa"],
    ["getfasta", "-sc", "g.fa"], ["getfasta", "--be", "r.bed"], ["getfasta", "-name", "-nameOnly"],
    ["getfasta", "-tab", "g.fa", "--bed-out"], ["getfasta", "g.fa", "h.fa"], ["getfasta", "--", "g.fa"],
    ["getfasta", "-x", "g.fa"], ["getfasta", "-b", "-s", "g.fa"], ["getfasta", "-b", "-", "-fi", "-g"],
    ["faidx"], ["faidx", "-i"], ["faidx", "g.fa", "-n", "x"], ["faidx", "g.fa", "-n", "-1"],
    ["faidx", "g.fa", "chr1", "-5"], ["faidx", "g.fa", "--mark-strand"], ["faidx", "g.fa", "--length=5"],
    ["faidx", "g.fa", "-ic"], ["faidx", "g.fa", "--len", "5"], ["faidx", "g.fa", "-n", "9" * 5000],
    ["faidx", "g.fa", "-r", "a", "--", "-chr"], ["index"], ["index", "a.fa", "b.fa"], ["index", "-h"],
    [], ["--version"], ["nope"], ["--help"],
]


def argparse_outcome(argv):
    """(attributes or None, exit status, stdout, stderr) of argparse reading argv."""
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        try:
            return vars(parse(argv)), None, out.getvalue(), err.getvalue()
        except SystemExit as exc:
            return None, exc.code, out.getvalue(), err.getvalue()


@pytest.mark.parametrize("argv", READ, ids=" ".join)
def test_quick_reader_gives_what_argparse_gives(argv):
    quick = read_arguments(command_module(argv[0]).add_parser, argv[1:])
    assert quick is not None, "left to argparse"
    assert vars(quick) == argparse_outcome(argv)[0]


@pytest.mark.parametrize("argv", LEFT, ids=" ".join)
def test_other_argv_are_left_to_argparse(argv, capsys):
    if argv and argv[0] in ("getfasta", "faidx", "index"):
        assert read_arguments(command_module(argv[0]).add_parser, argv[1:]) is None
    values, status, out, err = argparse_outcome(argv)
    if values is None:      # argparse refuses it (or prints help): main ends just as argparse does
        with pytest.raises(SystemExit) as exit_:
            main(argv)
        assert (exit_.value.code, *capsys.readouterr()) == (status, out, err)
        assert status == 0 or err.startswith("usage: sekvo")
