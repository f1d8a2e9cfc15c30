"""Record and residue iterators, and the refusals of MutableFastaRecord."""
import pytest

import sekvo
from conftest import residues, write_fasta


@pytest.fixture
def genome(tmp_path):
    records = [("b", residues(130, seed=5)), ("a", residues(60, seed=6)), ("c", "")]
    return write_fasta(tmp_path / "g.fa", records), dict(records)


def crafted(tmp_path, fasta_text, index_lines, **options):
    """A Fasta over an index written by hand (kept: rebuild=False)."""
    path = tmp_path / "x.fa"
    path.write_text(fasta_text)
    (tmp_path / "x.fa.fai").write_text("".join(line + "\n" for line in index_lines))
    return sekvo.Fasta(str(path), rebuild=False, **options)


@pytest.mark.parametrize("mutable", [False, True])
def test_record_iterator_walks_names_once(genome, mutable):
    fa = sekvo.Fasta(genome[0], mutable=mutable)
    it = iter(fa)
    assert type(it) is sekvo.FastaIterator and iter(it) is it
    assert [repr(r) for r in it] == ['FastaRecord("b")', 'FastaRecord("a")', 'FastaRecord("c")']
    for _ in range(2):
        with pytest.raises(StopIteration):
            next(it)


def test_record_iterator_keeps_its_snapshot(genome):
    path, seqs = genome
    fa = sekvo.Fasta(path)
    it = iter(fa)
    assert str(next(it)) == seqs["b"]
    # Other enumerations and reads in between leave the iterator where it was.
    fa.keys(), fa.values(), list(fa), fa[0], fa.fetch_many([("a", 1, 5)] * 1200)
    assert [str(r) for r in it] == [seqs["a"], seqs["c"]]


@pytest.mark.parametrize("mutable", [False, True])
def test_residue_iterator_pieces(genome, mutable):
    path, seqs = genome
    fa = sekvo.Fasta(path, mutable=mutable)
    it = iter(fa["b"])
    assert type(it) is sekvo.SequenceIterator and iter(it) is it
    assert [(p.seq, p.start, p.end) for p in it] == [
        (seqs["b"][:60], 1, 60), (seqs["b"][60:120], 61, 120), (seqs["b"][120:], 121, 130)]
    for _ in range(2):
        with pytest.raises(StopIteration):
            next(it)
    assert list(fa["c"]) == []
    # `in` walks the pieces.
    assert seqs["a"] in fa["a"] and "A" not in fa["a"]


def test_pieces_follow_the_settings(genome):
    path, seqs = genome
    fa = sekvo.Fasta(path, sequence_always_upper=True, one_based_attributes=False)
    first = next(iter(fa["a"]))
    assert (first.seq, first.start, first.end) == (seqs["a"].upper(), 0, 60)
    raw = next(iter(sekvo.Fasta(path, as_raw=True)["a"]))
    assert (raw.start, raw.end) == (None, None)


def test_zero_line_length_reads_the_record_as_one_piece(tmp_path):
    fa = crafted(tmp_path, ">t\nACGTACGTAC\n", ["t\t10\t3\t0\t0"])
    assert len(list(fa["t"])) == 1
    assert len(reversed(fa["t"])) == 1


@pytest.mark.allocation_failure
def test_failing_piece_raises_again_without_moving(tmp_path):
    # The index promises 2^62 residues where the file has 10: the filler
    # cannot be allocated, under strict bounds as under lenient ones.
    line = f"t\t{2**62}\t3\t{2**62}\t{2**62 + 1}"
    for strict in (False, True):
        fa = crafted(tmp_path, ">t\nACGTACGTAC\n", [line], default_seq="N", strict_bounds=strict)
        it = iter(fa["t"])
        for _ in range(2):
            with pytest.raises(MemoryError):
                next(it)
        with pytest.raises(MemoryError):
            reversed(fa["t"])


@pytest.mark.parametrize("name", ["FastaRecord", "FastaIterator", "SequenceIterator", "MutableFastaRecord"])
def test_no_way_around_the_missing_constructor(name):
    cls = getattr(sekvo, name)
    with pytest.raises(TypeError):
        object.__new__(cls)
    with pytest.raises(TypeError, match=f"^No constructor defined for {name}$"):
        cls.__new__(cls)

