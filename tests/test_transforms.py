"""Complement, reverse, reverse complement, orientation and GC measures of Sequence."""
import pytest

from sekvo import Sequence

PAIRS = dict(zip("ABCDGHKMNRSTVWXY", "TVGHCDMKNYSABWXR"))
PAIRS.update({k.lower(): v.lower() for k, v in PAIRS.items()})


def as_text(data):
    """Text whose Sequence holds exactly these bytes."""
    return data.decode("utf-8", "surrogateescape")


def test_complement_table_for_every_byte():
    for byte in range(256):
        got = Sequence(seq=as_text(bytes([byte]))).complement.seq
        expected = PAIRS.get(chr(byte), "N") if byte < 128 else "N"
        assert got == expected, byte


@pytest.mark.parametrize("text, complement", [
    ("ACGTN", "TGCAN"), ("acgtn", "tgcan"), ("Uu-*", "NNNN"), ("RYKMBVDH", "YRMKVBHD"), ("", ""),
])
def test_complement_examples(text, complement):
    assert Sequence(seq=text).complement.seq == complement


def test_complement_keeps_coordinates_and_toggles_comp():
    s = Sequence("n", "AC", None, None)
    assert (s.complement.start, s.complement.end, s.complement.comp) == (None, None, True)
    assert s.complement.complement.comp is False
    t = Sequence("n", "AC", 9, 4, True).complement
    assert (t.name, t.start, t.end, t.comp) == ("n", 9, 4, False)


def test_transforms_of_a_forward_region():
    s = Sequence("chr1", "AACG", 1, 4, False)
    expected = {
        "minus": ("CGTT", 4, 1, True, -1),
        "reverse": ("GCAA", 4, 1, False, None),
        "complement": ("TTGC", 1, 4, True, None),
        "self": ("AACG", 1, 4, False, 1),
    }
    got = {"minus": -s, "reverse": s.reverse, "complement": s.complement, "self": s}
    for key, r in got.items():
        assert (r.seq, r.start, r.end, r.comp, r.orientation) == expected[key], key
        assert r.name == "chr1"
    assert (s.seq, s.start, s.end, s.comp) == ("AACG", 1, 4, False)  # unchanged


@pytest.mark.parametrize("start, end", [(3, None), (None, 3), (None, None)])
def test_partial_coordinates_are_not_swapped(start, end):
    s = Sequence("n", "AACG", start, end)
    for r in (-s, s.reverse):
        assert (r.start, r.end) == (start, end)


def test_double_reverse_complement():
    text = as_text(bytes(range(256)))
    twice = -(-Sequence("n", text, 5, 9))
    assert (twice.start, twice.end, twice.comp) == (5, 9, False)
    assert twice.seq == "".join(c if c in PAIRS else "N" for c in text)
    assert str(Sequence(seq="ACGTRYKMacgt").reverse.reverse) == "ACGTRYKMacgt"


@pytest.mark.parametrize("start, end, comp, orientation", [
    (1, 4, False, 1), (4, 1, True, -1), (4, 4, False, None), (4, 4, True, None),
    (1, 4, True, None), (4, 1, False, None), (None, 4, False, None), (1, None, False, None),
    (0, 2**64 - 1, False, 1), (2**64 - 1, 0, True, -1),
])
def test_orientation(start, end, comp, orientation):
    assert Sequence("n", "A", start, end, comp).orientation == orientation


@pytest.mark.parametrize("text, gc, gc_strict, gc_iupac", [
    ("", 0.0, 0.0, 0.0),
    ("GCNN", 0.5, 1.0, (1 + 1 + 0.25 + 0.25) / 4),
    ("NNNN", 0.0, 0.0, 0.25),
    ("gcAT", 0.5, 0.5, 0.5),
    ("SNWK", 0.0, 0.0, 0.4375),
    ("xyz", 0.0, 0.0, 0.5),
    ("BVDH-.*", 0.0, 0.0, (0.67 + 0.67 + 0.33 + 0.33) / 4),
    ("ACGU", 0.5, 2 / 3, (0 + 1 + 1) / 3),
    ("é-", 0.0, 0.0, 0.0),
])
def test_gc_measures(text, gc, gc_strict, gc_iupac):
    s = Sequence(seq=text)
    assert (s.gc, s.gc_strict, s.gc_iupac) == pytest.approx((gc, gc_strict, gc_iupac), abs=1e-15)
