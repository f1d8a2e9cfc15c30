"""Sequence values: fields, text, indexing, slicing and comparison."""
import itertools

import pytest

from sekvo import Sequence

MAX = 2**64 - 1


def fields(s):
    return (s.name, s.seq, s.start, s.end, s.comp)


def test_defaults():
    s = Sequence()
    assert fields(s) == ("", "", None, None, False)
    assert (str(s), repr(s), len(s), s.long_name, s.fancy_name) == ("", ">\n", 0, "", "")


@pytest.mark.parametrize("start, end, comp, long_name", [
    (1, 4, False, "chr1:1-4"),
    (11, 20, True, "chr1:11-20 (complement)"),
    (11, None, True, "chr1 (complement)"),
    (None, 4, False, "chr1"),
    (0, MAX, False, f"chr1:0-{MAX}"),
])
def test_long_name_and_repr(start, end, comp, long_name):
    s = Sequence("chr1", "ACGT", start, end, comp)
    assert s.long_name == s.fancy_name == long_name
    assert repr(s) == ">" + long_name + "\nACGT"
    assert (str(s), len(s)) == ("ACGT", 4)


@pytest.mark.parametrize("attribute", ["name", "seq", "start", "end", "comp"])
def test_attributes_cannot_be_deleted(attribute):
    s = Sequence("n", "AC", 1, 2)
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        delattr(s, attribute)
    assert fields(s) == ("n", "AC", 1, 2, False)


@pytest.mark.parametrize("attribute", ["long_name", "fancy_name", "complement", "reverse", "orientation",
                                       "gc", "gc_strict", "gc_iupac"])
def test_derived_attributes_are_read_only(attribute):
    with pytest.raises(AttributeError):
        setattr(Sequence(), attribute, 1)


def test_setters_store_values():
    s = Sequence()
    s.name, s.seq, s.start, s.end, s.comp = "x", "GG", 0, MAX, True
    assert fields(s) == ("x", "GG", 0, MAX, True)


def test_integer_index():
    s = Sequence("chr1", "ACGTACGTAC", 11, 20, True)
    assert fields(s[0]) == ("chr1", "A", 11, 11, True)
    assert fields(s[-1]) == ("chr1", "C", 20, 20, True)
    assert fields(s[True]) == ("chr1", "C", 12, 12, True)
    assert fields(Sequence("n", "ACGT", 11)[2]) == ("n", "G", 13, 13, False)
    assert fields(Sequence("n", "ACGT", None, 4)[2]) == ("n", "G", None, None, False)


@pytest.mark.parametrize("index", [10, -11, 2**62, -(2**63)])
def test_index_out_of_range(index):
    with pytest.raises(IndexError, match="^Index out of range$"):
        Sequence("n", "ACGTACGTAC")[index]


@pytest.mark.parametrize("key", [1.5, "1", None, 2**63, -(2**63) - 1, 2**100, (1, 2)])
def test_invalid_index_type(key):
    with pytest.raises(TypeError, match="^Invalid index type$"):
        Sequence("n", "ACGT")[key]


@pytest.mark.parametrize("key, text, start, end", [
    (slice(1, 3), "CG", 12, 13),
    (slice(None, None, -1), "CATGCATGCA", 11, 20),
    (slice(8, 2, -2), "AGA", 14, 19),
    (slice(None, None, 2), "AGAGA", 11, 20),
    (slice(5, 2), "", 16, 12),
    (slice(0, 9, 3), "ATG", 11, 19),
    (slice(-100, None, -1), "CATGCATGCA", 11, 20),
    (slice(2, 5, -1), "", 13, 12),
])
def test_slice_cases(key, text, start, end):
    s = Sequence("chr1", "ACGTACGTAC", 11, 20, True)
    assert fields(s[key]) == ("chr1", text, start, end, True)


def reference_slice(seq, start, key):
    """(text, first, last) by the slicing rule, first/last as offsets from start."""
    n = len(seq)
    a, b, k = key.indices(n)
    if k > 0:
        return seq[a:b:k], a, b - 1
    hi = a if 0 <= a <= n - 1 else n - 1
    if b > hi:
        return "", hi, hi - 1
    return (seq[hi:b:k] if b >= 0 else seq[hi::k]), b + 1, hi


BOUNDS = [None, -13, -10, -3, -1, 0, 1, 5, 9, 10, 13]
STEPS = [None, 1, 2, 3, 11, -1, -2, -3, -11]


@pytest.mark.parametrize("seq", ["", "A", "ACGTACGTAC", "ACGTACGTACG"])
def test_slicing_against_reference_model(seq):
    s = Sequence("r", seq, 100, 100 + len(seq) - 1, False)
    bare = Sequence("r", seq, 100, None)
    for lo, hi, step in itertools.product(BOUNDS, BOUNDS, STEPS):
        key = slice(lo, hi, step)
        text, first, last = reference_slice(seq, 100, key)
        a = key.indices(len(seq))[0]
        if not ((step or 1) < 0 and a == -1 and seq):
            assert text == seq[key], key  # same as Python except the walk from the last residue
        got = s[key]
        assert fields(got) == ("r", text, 100 + first, 100 + last, False), key
        assert fields(bare[key]) == ("r", text, None, None, False), key


def test_slice_step_and_bound_errors_come_from_the_interpreter():
    s = Sequence("n", "ACGT", 1, 4)
    with pytest.raises(ValueError, match="slice step cannot be zero"):
        s[::0]
    with pytest.raises(TypeError, match="slice indices must be integers"):
        s["a":]


@pytest.mark.parametrize("key", [slice(-2**100, 2**100), slice(None, None, 2**100), slice(2**100, None, -2**100),
                                 slice(None, None, -(2**63))])
def test_huge_slice_bounds(key):
    s = Sequence("n", "ACGT", 1, 4)
    assert str(s[key]) == "ACGT"[key]


def test_coordinates_that_leave_the_64_bit_range_are_unset():
    assert fields(Sequence("n", "AC", MAX, MAX)[1]) == ("n", "C", None, None, False)
    assert fields(Sequence("n", "AC", MAX - 1, MAX)[1]) == ("n", "C", MAX, MAX, False)
    assert fields(Sequence("n", "AC", 0, 2)[0:0]) == ("n", "", None, None, False)
    assert fields(Sequence("n", "AC", 1, 2)[0:0]) == ("n", "", 1, 0, False)
    assert fields(Sequence("n", "AC", MAX, MAX)[5:]) == ("n", "", None, None, False)


def test_equality():
    s = Sequence("a", "ACGT", 1, 4)
    assert s == "ACGT" and "ACGT" == s and not s != "ACGT"
    assert s != "acgt" and not s == "acgt"
    assert s == Sequence("b", "ACGT", 7, 9, True) and not s != Sequence("b", "ACGT")
    assert s != Sequence("a", "ACG") and s == s
    assert not s == 5 and s != 5 and s != None and s != b"ACGT"
    assert s != type("Text", (str,), {})("ACGU") and s == type("Text", (str,), {})("ACGT")


@pytest.mark.parametrize("op", ["<", "<=", ">", ">="])
def test_no_ordering(op):
    with pytest.raises(TypeError, match="not supported between instances"):
        eval(f"a {op} b", {"a": Sequence(seq="A"), "b": Sequence(seq="B")})
    with pytest.raises(TypeError):
        eval(f"a {op} 'B'", {"a": Sequence(seq="A")})


def test_unhashable():
    with pytest.raises(TypeError, match="unhashable type"):
        hash(Sequence())
    assert Sequence.__hash__ is None


def test_embedded_nul_characters():
    s = Sequence("a\0b", "AC\0GT", 1, 5)
    assert (s.name, str(s), len(s), s[2].seq) == ("a\0b", "AC\0GT", 5, "\0")
    assert repr(s) == ">a\0b:1-5\nAC\0GT"
    assert s == "AC\0GT" and s != "AC"


def test_non_ascii_text_is_bytes_inside():
    s = Sequence("é", "aéb")  # é is two bytes in UTF-8
    assert (s.name, s.seq, len(s)) == ("é", "aéb", 4)
    # A residue or slice that cuts the character shows the byte as a lone surrogate.
    assert s[1].seq == s[1:2].seq == "\udcc3"
    assert str(s[::-1]) == "b\udca9\udcc3a"
    assert repr(s[1]) == ">é\n\\xc3"
    # Such text converts back to the same bytes.
    joined = Sequence(seq=s[1].seq + s[2].seq)
    assert joined == "é" and joined.seq == "é" and len(joined) == 2
    assert s[1] == "\udcc3" and s[1] != "\ud800"


def test_str_with_unpaired_surrogates_outside_the_escape_range_is_refused():
    with pytest.raises(UnicodeEncodeError):
        Sequence(seq="\ud800")


def test_sequence_protocol_fallbacks():
    s = Sequence("n", "ACG", 5, 7)
    assert [str(r) for r in s] == ["A", "C", "G"]
    assert [r.start for r in s] == [5, 6, 7]
    assert "C" in s and "T" not in s
    assert bool(Sequence()) is False and bool(s) is True
