"""Single-region and whole-record retrieval through Faidx."""
import random

import pytest

import sekvo
from conftest import residues, write_fasta


def coords(s):
    return s.seq, s.start, s.end


def test_regions_across_line_breaks(chr1_100, capfd):
    path, seq = chr1_100
    fa = sekvo.Faidx(path)
    assert coords(fa.fetch("chr1", 1, 60)) == (seq[:60], 1, 60)
    assert coords(fa.fetch("chr1", 60, 61)) == (seq[59:61], 60, 61)
    assert coords(fa.fetch("chr1", 1, 100)) == (seq, 1, 100)
    assert fa.fetch("chr1", 7, 7).name == "chr1"
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize("start, end, expected, warnings", [
    (95, 120, ("<95:100>", 95, 100),
     ["WARNING: coordinates 95-120 are out of bounds for sequence 'chr1' of length 100"]),
    (150, 160, ("", 150, 150),
     ["WARNING: coordinates 150-160 are out of bounds for sequence 'chr1' of length 100"]),
    (0, 10, ("", 0, 10), ["WARNING: coordinates cannot be 0 (1-based indexing)"]),
    (20, 10, ("", 20, 10), ["WARNING: start coordinate 20 is greater than end coordinate 10"]),
    (0, 200, ("", 0, 100),
     ["WARNING: coordinates 0-200 are out of bounds for sequence 'chr1' of length 100",
      "WARNING: coordinates cannot be 0 (1-based indexing)"]),
    (100, 150, ("<100:100>", 100, 100),
     ["WARNING: coordinates 100-150 are out of bounds for sequence 'chr1' of length 100"]),
])
def test_lenient_bounds_warn_and_correct(chr1_100, capfd, start, end, expected, warnings):
    path, seq = chr1_100
    text, s, e = expected
    if text.startswith("<"):
        a, b = map(int, text[1:-1].split(":"))
        text = seq[a - 1:b]
    for options in ({}, {"as_raw": True}, {"one_based_attributes": False}):
        result = sekvo.Faidx(path, **options).fetch("chr1", start, end)
        if text == "":  # the early results keep their coordinates
            assert coords(result) == (text, s, e)
        else:
            assert result.seq == text
        assert capfd.readouterr().err == "".join(w + "\n" for w in warnings)


@pytest.mark.parametrize("start, end, message", [
    (95, 120, "coordinates 95-120 are out of bounds for sequence 'chr1' of length 100"),
    (150, 160, "coordinates 150-160 are out of bounds for sequence 'chr1' of length 100"),
    (0, 10, "coordinates cannot be 0 (1-based indexing)"),
    (5, 0, "coordinates cannot be 0 (1-based indexing)"),
    (20, 10, "start coordinate 20 is greater than end coordinate 10"),
    (0, 101, "coordinates 0-101 are out of bounds for sequence 'chr1' of length 100"),
])
def test_strict_bounds_raise_index_error(chr1_100, capfd, start, end, message):
    fa = sekvo.Faidx(chr1_100[0], strict_bounds=True)
    with pytest.raises(IndexError) as info:
        fa.fetch("chr1", start, end)
    assert str(info.value) == message
    assert capfd.readouterr().err == ""


def test_missing_name_is_a_plain_exception(chr1_100):
    fa = sekvo.Faidx(chr1_100[0])
    for call in (lambda: fa.fetch("chrZ", 1, 2), lambda: fa.fetch_entire_sequence("chrZ")):
        with pytest.raises(Exception) as info:
            call()
        assert type(info.value) is Exception
        assert str(info.value) == "FetchError: Sequence 'chrZ' not found"


def test_coordinate_settings(chr1_100):
    path, seq = chr1_100
    assert coords(sekvo.Faidx(path, one_based_attributes=False).fetch("chr1", 1, 10)) == (seq[:10], 0, 10)
    assert coords(sekvo.Faidx(path, as_raw=True).fetch("chr1", 1, 10)) == (seq[:10], None, None)
    entire = sekvo.Faidx(path).fetch_entire_sequence("chr1")
    assert coords(entire) == (seq, 1, 100) and entire.comp is False
    assert coords(sekvo.Faidx(path, one_based_attributes=False).fetch_entire_sequence("chr1")) == (seq, 0, 100)
    assert coords(sekvo.Faidx(path, as_raw=True).fetch_entire_sequence("chr1")) == (seq, None, None)


def test_upper_case_changes_only_letters(tmp_path):
    path = write_fasta(tmp_path / "m.fa", [("m", "acgtNn-*xz0")])
    fa = sekvo.Faidx(path, sequence_always_upper=True)
    assert fa.fetch("m", 1, 11).seq == "ACGTNN-*XZ0"
    assert fa.fetch_entire_sequence("m").seq == "ACGTNN-*XZ0"


def truncated(tmp_path):
    """An index that promises 20 residues where the file holds 8."""
    path = tmp_path / "t.fa"
    path.write_bytes(b">t\nACGT\nACGT\n")
    (tmp_path / "t.fa.fai").write_text("t\t20\t3\t4\t5\n")
    return str(path)


@pytest.mark.parametrize("mutable", [False, True])
def test_default_seq_pads_missing_residues(tmp_path, mutable):
    path = truncated(tmp_path)
    assert sekvo.Faidx(path, rebuild=False, mutable=mutable).fetch("t", 7, 12).seq == "GT"
    padded = sekvo.Faidx(path, rebuild=False, default_seq="N", mutable=mutable)
    assert padded.fetch("t", 7, 12).seq == "GTNNNN"
    # Each missing residue adds the whole filler text.
    assert sekvo.Faidx(path, rebuild=False, default_seq="xy", mutable=mutable).fetch("t", 7, 10).seq == "GTxyxy"
    # The whole-record read is never padded.
    assert padded.fetch_entire_sequence("t").seq == "ACGTACGT"


def test_crlf_gives_the_same_residues(tmp_path):
    seq = residues(500, seed=3)
    lf = sekvo.Faidx(write_fasta(tmp_path / "lf.fa", [("c", seq)], eol="\n"))
    crlf = sekvo.Faidx(write_fasta(tmp_path / "crlf.fa", [("c", seq)], eol="\r\n"))
    rng = random.Random(0)
    for _ in range(200):
        a = rng.randint(1, 500)
        b = rng.randint(a, 500)
        assert crlf.fetch("c", a, b).seq == lf.fetch("c", a, b).seq == seq[a - 1:b]


def test_mapped_and_file_reads_agree(tmp_path):
    records = [(f"r{i}", residues(n, seed=i)) for i, n in enumerate([1, 59, 60, 61, 250, 1000])]
    path = write_fasta(tmp_path / "m.fa", records, width=60)
    mapped, filed = sekvo.Faidx(path), sekvo.Faidx(path, mutable=True)
    rng = random.Random(1)
    for name, seq in records:
        assert filed.fetch_entire_sequence(name).seq == seq
        for _ in range(50):
            a = rng.randint(1, len(seq))
            b = rng.randint(a, len(seq))
            assert mapped.fetch(name, a, b).seq == filed.fetch(name, a, b).seq == seq[a - 1:b]


def test_file_read_is_bounded_like_the_mapped_read(tmp_path):
    # The index promises more residues than the record holds: the file read
    # returns exactly what the mapped read returns, no more.
    path = tmp_path / "o.fa"
    path.write_bytes(b">a\nACGT\n>b\nTTTTTTTTTTTTTTTTTTTT\n")
    (tmp_path / "o.fa.fai").write_text("a\t30\t3\t4\t5\nb\t20\t11\t20\t21\n")
    mapped = sekvo.Faidx(str(path), rebuild=False)
    filed = sekvo.Faidx(str(path), rebuild=False, mutable=True)
    for start, end in [(1, 30), (3, 12), (5, 30)]:
        assert mapped.fetch("a", start, end).seq == filed.fetch("a", start, end).seq


@pytest.mark.parametrize("entry", [
    "x\t9223372036854775807\t3\t60\t61",
    "x\t18446744073709551615\t18446744073709551615\t1\t1",
    "x\t100\t3\t60\t10",       # fewer bytes per line than residues
    "x\t100\t3\t0\t0",         # no residues per line
    "x\t100\t999999\t60\t61",  # offset past the end of the file
    "x\t100\t3\t18446744073709551615\t18446744073709551615",
])
@pytest.mark.parametrize("mutable", [False, True])
def test_crafted_index_entries_never_crash(tmp_path, entry, mutable):
    path = tmp_path / "c.fa"
    path.write_bytes(b">x\n" + b"ACGTACGTAC\n" * 10)
    (tmp_path / "c.fa.fai").write_text(entry + "\n")
    fa = sekvo.Faidx(str(path), rebuild=False, mutable=mutable)
    for start, end in [(1, 10), (50, 100), (1, 1), (2**63, 2**63 + 5)]:
        result = fa.fetch("x", start, end)
        assert len(result.seq) <= end - start + 1
        assert set(result.seq) <= set("ACGT")
    try:
        assert set(fa.fetch_entire_sequence("x").seq) <= set("ACGT")
    except MemoryError:
        pass
