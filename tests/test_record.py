"""FastaRecord: length, text, indexing, slicing, reversal, iteration."""
import itertools

import pytest

import sekvo
from conftest import residues, write_fasta

WARN_PREFIX = "WARNING: "


@pytest.fixture
def genome(tmp_path):
    records = [("chr1", residues(100, seed=1)), ("pad", "NNNACGTNN"), ("allN", "nNnN"),
               ("exact", residues(60, seed=4))]
    return write_fasta(tmp_path / "r.fa", records, width=60), dict(records)


def test_basics(genome):
    path, seqs = genome
    record = sekvo.Fasta(path)["chr1"]
    assert len(record) == 100
    assert repr(record) == 'FastaRecord("chr1")'
    assert str(record) == seqs["chr1"]
    assert record.long_name == "chr1"
    assert (record[0].seq, record[0].start, record[0].end) == (seqs["chr1"][0], 1, 1)
    assert record[-1].seq == record[99].seq == seqs["chr1"][99]
    with pytest.raises(TypeError, match="^Invalid index type$"):
        record[1.5]
    with pytest.raises(TypeError, match="^Invalid index type$"):
        record["a"]


def test_index_past_the_end(genome, capfd):
    path, _ = genome
    assert sekvo.Fasta(path)["chr1"][100].seq == ""
    assert capfd.readouterr().err == (
        "WARNING: coordinates 101-101 are out of bounds for sequence 'chr1' of length 100\n")
    with pytest.raises(IndexError):
        sekvo.Fasta(path, strict_bounds=True)["chr1"][100]


@pytest.mark.parametrize("strict", [False, True])
def test_whole_record_slices_never_warn(genome, capfd, strict):
    path, seqs = genome
    record = sekvo.Fasta(path, strict_bounds=strict)["chr1"]
    for piece in (record[:], record[0:100], record[::1], record[None:None:None]):
        assert (piece.seq, piece.start, piece.end) == (seqs["chr1"], 1, 100)
    assert capfd.readouterr().err == ""


def test_empty_slice_follows_the_bounds_policy(genome, capfd):
    path, _ = genome
    assert sekvo.Fasta(path)["chr1"][5:5].seq == ""
    assert capfd.readouterr().err == "WARNING: start coordinate 6 is greater than end coordinate 5\n"
    with pytest.raises(IndexError, match="^start coordinate 6 is greater than end coordinate 5$"):
        sekvo.Fasta(path, strict_bounds=True)["chr1"][5:5]


BOUNDS = [None, 0, 1, 5, 59, 60, 61, 99, 100, 101, 250, -1, -5, -60, -99, -100, -101, -250]
STEPS = [None, 1, 2, 3, 7, -1, -2, -3, -61]


def test_slices_match_python_slicing(genome, capfd):
    path, seqs = genome
    record = sekvo.Fasta(path)["chr1"]
    text = seqs["chr1"]
    for start, stop, step in itertools.product(BOUNDS, BOUNDS, STEPS):
        assert record[start:stop:step].seq == text[start:stop:step], (start, stop, step)
    for line in capfd.readouterr().err.splitlines():
        assert line.startswith(WARN_PREFIX)


def test_strict_slices_refuse_only_empty_ones(genome):
    path, seqs = genome
    record = sekvo.Fasta(path, strict_bounds=True)["chr1"]
    text = seqs["chr1"]
    for start, stop, step in itertools.product(BOUNDS, BOUNDS, STEPS):
        expected = text[start:stop:step]
        try:
            assert record[start:stop:step].seq == expected, (start, stop, step)
        except IndexError:
            assert expected == "", (start, stop, step)
    # Stops of 0 and bounds far outside the record resolve inside it.
    assert record[10:0:-1].seq == text[10:0:-1]
    assert record[250:-250:-1].seq == text[::-1]
    assert record[250:-250:-3].seq == text[::-3]
    # Coordinates are those of slicing the whole record as one Sequence.
    whole = record[:]
    for key in (slice(60, 0, -2), slice(99, 50, -7), slice(3, 90, 4)):
        piece, expected = record[key], whole[key]
        assert (piece.seq, piece.start, piece.end) == (expected.seq, expected.start, expected.end)


def test_stepped_slice_coordinates(genome):
    path, seqs = genome
    record = sekvo.Fasta(path)["chr1"]
    piece = record[10:20:2]
    assert piece.seq == seqs["chr1"][10:20:2]
    assert [record[i].seq for i in range(10, 20, 2)] == list(piece.seq)
    assert record[10:20].start == 11 and record[10:20].end == 20
    assert record[::-1].seq == seqs["chr1"][::-1]


def test_reversed_gives_reversed_line_pieces(genome):
    path, seqs = genome
    fa = sekvo.Fasta(path)
    pieces = reversed(fa["chr1"])
    assert isinstance(pieces, list)
    assert [(p.seq, p.start, p.end) for p in pieces] == [
        (seqs["chr1"][60:][::-1], 100, 61), (seqs["chr1"][:60][::-1], 60, 1)]
    assert "".join(p.seq for p in fa["exact"].__reversed__()) == seqs["exact"][::-1]


def test_unpadded_length(genome):
    fa = sekvo.Fasta(genome[0])
    assert fa["pad"].unpadded_len == 4
    assert fa["allN"].unpadded_len == 0
    text = str(fa["chr1"])
    assert fa["chr1"].unpadded_len == len(text.strip("Nn"))


def test_iteration_yields_line_pieces(genome):
    path, seqs = genome
    fa = sekvo.Fasta(path)
    pieces = list(fa["chr1"])
    assert [(p.seq, p.start, p.end) for p in pieces] == [
        (seqs["chr1"][:60], 1, 60), (seqs["chr1"][60:], 61, 100)]
    assert [p.seq for p in fa["exact"]] == [seqs["exact"]]
    it = iter(fa["exact"])
    assert iter(it) is it
    next(it)
    with pytest.raises(StopIteration):
        next(it)
    with pytest.raises(StopIteration):
        next(it)


def test_zero_length_record(tmp_path):
    path = tmp_path / "z.fa"
    path.write_text(">z\n>y\nAC\n")
    fa = sekvo.Fasta(str(path))
    assert len(fa["z"]) == 0 and list(fa["z"]) == [] and reversed(fa["z"]) == []


@pytest.mark.parametrize("cls", ["FastaRecord", "FastaIterator", "SequenceIterator", "MutableFastaRecord"])
def test_no_constructor(cls):
    with pytest.raises(TypeError, match=f"^No constructor defined for {cls}$"):
        getattr(sekvo, cls)()


class Position:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("mutable", [False, True])
def test_index_protocol_and_bool_keys(genome, mutable):
    path, seqs = genome
    record = sekvo.Fasta(path, mutable=mutable)["chr1"]
    text = seqs["chr1"]
    assert record[True].seq == text[1] and record[False].seq == text[0]
    assert record[Position(-2)].seq == text[-2]
    assert record[Position(3):Position(9):Position(2)].seq == text[3:9:2]
    assert record[True:Position(5)].seq == text[1:5]
    # Whole-record forms by the index protocol too.
    assert record[Position(0):Position(100):True].seq == text


def test_non_integer_step_is_refused(genome):
    record = sekvo.Fasta(genome[0])["chr1"]
    for key in (slice(None, None, "a"), slice(None, None, 1.0), slice(0, 100, "a")):
        with pytest.raises(TypeError, match="slice indices must be integers"):
            record[key]
    with pytest.raises(ValueError, match="slice step cannot be zero"):
        record[::0]


@pytest.mark.parametrize("strict", [False, True])
def test_empty_record_reads_as_empty_text(tmp_path, capfd, strict):
    path = tmp_path / "z.fa"
    path.write_text(">z\n>y\nAC\n")
    record = sekvo.Fasta(str(path), strict_bounds=strict)["z"]
    assert str(record) == "" and record.unpadded_len == 0 and record[:].seq == ""
    assert capfd.readouterr().err == ""


def test_position_before_the_start(genome, capfd):
    path, _ = genome
    record = sekvo.Fasta(path)["chr1"]
    assert record[-101].seq == "" and record[-102].seq == ""
    first, second = capfd.readouterr().err.splitlines()
    assert first == "WARNING: coordinates cannot be 0 (1-based indexing)"
    assert second.startswith("WARNING: coordinates 18446744073709551615-18446744073709551615 are out of bounds")
    with pytest.raises(IndexError):
        sekvo.Fasta(path, strict_bounds=True)["chr1"][-101]
