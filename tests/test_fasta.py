"""The Fasta class: a dictionary of records with region, spliced and batch reads."""
import pytest

import sekvo
from conftest import residues, write_fasta

SIGNATURE = ("(filename, indexname=None, default_seq=None, key_function=None, as_raw=False, "
             "strict_bounds=False, read_ahead=None, mutable=False, split_char=None, "
             "filt_function=None, one_based_attributes=True, read_long_names=False, "
             "duplicate_action=..., sequence_always_upper=False, rebuild=True, build_index=True)")


@pytest.fixture
def genome(tmp_path):
    records = [("chrB", residues(100, seed=1)), ("chrA", residues(250, seed=2)),
               ("chrC", residues(7, seed=3))]
    return write_fasta(tmp_path / "ref.fa", records), dict(records)


def test_documentation():
    assert sekvo.Fasta.__text_signature__ == SIGNATURE
    assert sekvo.Fasta.get_seq.__text_signature__ == "($self, name, start, end, rc=None)"
    assert sekvo.Fasta.__exit__.__text_signature__ == (
        "($self, _exc_type=None, _exc_value=None, _traceback=None)")
    assert sekvo.Fasta.fetch_many.__doc__.splitlines()[:5] == [
        "High-performance batch fetch for many sequences", "",
        "This method is optimized for genomics workloads where you need to fetch",
        "many sequences at once (e.g., 200,000+ regions). It uses parallel processing",
        "and optimized memory access patterns for maximum throughput."]
    assert sekvo.Fasta.fetch_many_same_chr.__doc__.endswith(
        '    >>> sequences = fasta.fetch_many_same_chr("chr1", regions)')
    assert sekvo.Fasta.keys.__doc__ is None or sekvo.Fasta.keys.__doc__ == ""


def test_enumerations_agree(genome):
    fa = sekvo.Fasta(genome[0])
    keys = fa.keys()
    assert keys == ["chrB", "chrA", "chrC"]
    assert [repr(r) for r in fa.values()] == [f'FastaRecord("{k}")' for k in keys]
    assert [k for k, _ in fa.items()] == keys
    assert [repr(r) for _, r in fa.items()] == [repr(fa[k]) for k in keys]
    assert [repr(r) for r in fa] == [repr(fa[i]) for i in range(len(keys))]


def test_subscript(genome):
    fa = sekvo.Fasta(genome[0])
    assert repr(fa["chrA"]) == 'FastaRecord("chrA")'
    assert repr(fa[True]) == repr(fa[1])
    with pytest.raises(KeyError) as info:
        fa["chrZ"]
    assert info.value.args == (f"chrZ not in {genome[0]}.",)
    with pytest.raises(IndexError, match="^Index out of range$"):
        fa[3]
    for key in (-1, 1.0, None, b"chrA", 2**64):
        with pytest.raises(TypeError, match="^Key must be string or integer$"):
            fa[key]


def test_membership_and_total_length(genome):
    fa = sekvo.Fasta(genome[0])
    assert "chrA" in fa and "chra" not in fa
    with pytest.raises(TypeError, match="^argument 'name'"):
        5 in fa
    assert len(fa) == 357
    assert bool(fa)


def test_empty_file_is_false(tmp_path):
    path = tmp_path / "e.fa"
    path.write_text(">empty\n")
    fa = sekvo.Fasta(str(path))
    assert len(fa) == 0 and not fa and fa.keys() == ["empty"]


def test_get_seq_with_reverse_complement(genome):
    path, seqs = genome
    fa = sekvo.Fasta(path)
    plain = fa.get_seq("chrA", 11, 20)
    assert (plain.seq, plain.start, plain.end, plain.comp) == (seqs["chrA"][10:20], 11, 20, False)
    rc = fa.get_seq("chrA", 11, 20, rc=True)
    assert (rc.seq, rc.start, rc.end, rc.comp) == ((-plain).seq, 20, 11, True)
    for flag in (False, None):
        assert fa.get_seq("chrA", 11, 20, rc=flag).seq == plain.seq
    raw = sekvo.Fasta(path, as_raw=True).get_seq("chrA", 11, 20, rc=True)
    assert (raw.start, raw.end) == (None, None)


def test_spliced_sequences(genome):
    path, seqs = genome
    fa = sekvo.Fasta(path)
    s = fa.get_spliced_seq("chrA", [(1, 3), (7, 9)])
    assert (s.name, s.seq, s.start, s.end, s.comp) == (
        "chrA", seqs["chrA"][0:3] + seqs["chrA"][6:9], 1, 9, False)
    rc = fa.get_spliced_seq("chrA", [(1, 3), (7, 9)], rc=True)
    assert (rc.seq, rc.start, rc.end, rc.comp) == ((-s).seq, 1, 9, False)
    empty = fa.get_spliced_seq("nowhere", [])
    assert (empty.name, empty.seq, empty.start, empty.end, empty.comp) == ("nowhere", "", None, None, False)
    raw = sekvo.Fasta(path, as_raw=True).get_spliced_seq("chrA", [(1, 3)])
    assert (raw.start, raw.end) == (None, None)
    strict = sekvo.Fasta(path, strict_bounds=True)
    with pytest.raises(IndexError, match="^start coordinate 9 is greater than end coordinate 7$"):
        strict.get_spliced_seq("chrA", [(1, 3), (9, 7)])


def test_batches_with_reverse_complement(genome):
    path, seqs = genome
    fa = sekvo.Fasta(path)
    for size in (3, 1500):
        regions = [("chrA", 1 + i % 200, 1 + i % 200 + i % 40) for i in range(size)]
        plain = fa.fetch_many(regions)
        rc = fa.fetch_many(regions, rc=True)
        assert [(v.seq, v.start, v.end, v.comp) for v in rc] == [
            ((-p).seq, p.end, p.start, True) for p in plain]
        same = fa.fetch_many_same_chr("chrA", [(s, e) for _, s, e in regions], rc=True)
        assert [v.seq for v in same] == [v.seq for v in rc]
    assert fa.fetch_many([]) == [] and fa.fetch_many_same_chr("chrZ", [], rc=True) == []
    with pytest.raises(TypeError, match="^argument 'regions': Can't extract `str` to `Vec`$"):
        fa.fetch_many("chrA")
    with pytest.raises(TypeError, match="^argument 'regions'"):
        fa.fetch_many([["chrA", 1, 2]])


def test_close_and_context_manager_change_nothing(genome):
    path, seqs = genome
    with sekvo.Fasta(path) as fa:
        assert fa.get_seq("chrC", 1, 7).seq == seqs["chrC"]
    fa.close()
    fa.close()
    assert fa.get_seq("chrC", 1, 7).seq == seqs["chrC"]
    assert fa.__exit__(ValueError, ValueError("x"), None) is None
    with pytest.raises(KeyError):
        with fa:
            raise KeyError("passes through")


def test_repr_and_argument_errors(tmp_path):
    path = write_fasta(tmp_path / 'q"x.fa', [("a", "ACGT")])
    assert repr(sekvo.Fasta(path)) == f'Fasta("{path}")'
    for options, name in (({"as_raw": None}, "as_raw"), ({"duplicate_action": None}, "duplicate_action")):
        with pytest.raises(TypeError, match=f"^argument '{name}'"):
            sekvo.Fasta(path, **options)
    same = sekvo.Fasta(path, None, None, None, False, False, None, False, None, None, True, False,
                       "stop", False, True, True)
    assert same.keys() == sekvo.Fasta(path, indexname=None, key_function=None, read_ahead=None).keys()


def test_records_outlive_their_fasta(genome):
    path, seqs = genome
    record = sekvo.Fasta(path)["chrB"]
    iterator = iter(sekvo.Fasta(path))
    import gc
    gc.collect()
    assert str(record) == seqs["chrB"]
    assert [repr(r) for r in iterator] == ['FastaRecord("chrB")', 'FastaRecord("chrA")', 'FastaRecord("chrC")']


def mapped(path):
    with open("/proc/self/maps") as maps:
        return any(line.rstrip("\n").endswith(" " + path) for line in maps)


def test_file_stays_mapped_while_a_record_or_iterator_lives(genome):
    path, seqs = genome
    record = sekvo.Fasta(path)["chrA"]
    assert mapped(path)
    del record
    assert not mapped(path)
    pieces = iter(sekvo.Fasta(path)["chrA"])
    assert mapped(path)
    assert "".join(p.seq for p in pieces) == seqs["chrA"]
    del pieces
    assert not mapped(path)


def test_total_length_beyond_the_signed_range(tmp_path):
    path = tmp_path / "big.fa"
    path.write_text(">a\nAC\n>b\nAC\n")
    for lengths in ((2**63, 0), (2**62, 2**62), (2**63, 2**63)):
        (tmp_path / "big.fa.fai").write_text(
            "".join(f"{name}\t{n}\t3\t2\t3\n" for name, n in zip("ab", lengths)))
        fa = sekvo.Fasta(str(path), rebuild=False)
        if sum(lengths) < 2**63:
            assert len(fa) == sum(lengths)
        else:
            with pytest.raises(OverflowError):
                len(fa)
    with pytest.raises(OverflowError):
        len(fa["a"])


class Position:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def test_keys_by_index_protocol_and_str_subclass(genome):
    fa = sekvo.Fasta(genome[0])
    assert repr(fa[Position(2)]) == 'FastaRecord("chrC")'
    assert repr(fa[type("Name", (str,), {})("chrA")]) == 'FastaRecord("chrA")'
    # A str that no name can be is a missing key, not a bad key type.
    with pytest.raises(KeyError):
        fa["chr\ud800"]


def test_method_arguments_are_converted_in_order(genome):
    fa = sekvo.Fasta(genome[0])
    with pytest.raises(TypeError, match="^argument 'name'"):
        fa.get_seq(5, 1, 2, rc="yes")
    with pytest.raises(TypeError, match="^argument 'rc'"):
        fa.get_seq("chrA", 1, 2, rc=1)
    with pytest.raises(TypeError, match="^argument 'intervals'"):
        fa.get_spliced_seq("chrA", [[1, 2]], rc="yes")
    with pytest.raises(TypeError, match="^argument 'rc'"):
        fa.fetch_many_same_chr("chrA", [(1, 2)], rc=0)
    with pytest.raises(TypeError, match=r"^Fasta.get_seq\(\) missing 1 required positional argument: 'end'$"):
        fa.get_seq("chrA", 1)
    with pytest.raises(TypeError, match=r"unexpected keyword argument 'stop'"):
        fa.get_seq("chrA", 1, stop=2)
