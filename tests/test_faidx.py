"""The Faidx class: construction, settings, names, membership, repr, docs."""
import pytest

import sekvo
from conftest import write_fasta

SIGNATURE = ("(filename, indexname=None, as_raw=False, strict_bounds=False, "
             "sequence_always_upper=False, rebuild=True, build_index=True, "
             "one_based_attributes=True, default_seq=None, mutable=False, key_function=None, "
             "split_char=None, filt_function=None, read_long_names=False, duplicate_action=..., "
             "read_ahead=None)")


@pytest.fixture
def path(tmp_path):
    return write_fasta(tmp_path / "g.fa", [("chr1", "ACGTACGTAC"), ("chr2", "GGGCCC")])


def test_class_documentation():
    assert sekvo.Faidx.__text_signature__ == SIGNATURE
    assert sekvo.Faidx.fetch.__text_signature__ == "($self, name, start, end)"
    assert sekvo.Faidx.fetch_entire_sequence.__doc__ == (
        "Ultra-fast method for fetching entire sequences - bypasses all bounds checking")
    assert sekvo.Faidx.fetch_many.__doc__ == (
        "High-performance batch fetch for many sequences\n\n"
        "Efficiently processes large numbers of regions (e.g., 200,000+) using smart batching:\n"
        "- Sequential processing for small batches (< 1000 regions) to avoid overhead\n"
        "- Parallel processing for large batches to maximize throughput\n\n"
        "Args:\n    regions: List of (name, start, end) tuples specifying regions to fetch\n\n"
        "Returns:\n    List of Sequence objects in the same order as input regions\n\n"
        "Example:\n"
        '    >>> regions = [("chr1", 1000, 2000), ("chr2", 5000, 6000)]\n'
        "    >>> sequences = faidx.fetch_many(regions)")
    assert sekvo.Faidx.fetch_many_same_chr.__doc__ == (
        "Ultra-fast batch fetch for regions from the same chromosome\n\n"
        "Optimized for BED file processing where many regions come from the same chromosome.\n"
        "Uses smart batching like fetch_many but optimized for single chromosome access.\n\n"
        "Args:\n    name: Chromosome/sequence name\n    regions: List of (start, end) tuples\n\n"
        "Returns:\n    List of Sequence objects in the same order as input regions\n\n"
        "Example:\n"
        "    >>> regions = [(1000, 2000), (5000, 6000), (10000, 11000)]\n"
        '    >>> sequences = faidx.fetch_many_same_chr("chr1", regions)')


def test_keys_is_a_stable_list_attribute(path):
    fa = sekvo.Faidx(path)
    assert fa.keys == ["chr1", "chr2"]
    assert fa.keys is not fa.keys


def test_membership(path):
    fa = sekvo.Faidx(path)
    assert "chr1" in fa and "CHR1" not in fa and "chr" not in fa
    with pytest.raises(TypeError, match="^argument 'name': 'int' object cannot be converted to 'PyString'$"):
        5 in fa


def test_repr_shows_the_path_unchanged(tmp_path, monkeypatch):
    (tmp_path / "sub dir").mkdir()
    write_fasta(tmp_path / "sub dir" / 'q"x.fa', [("a", "AC")])
    monkeypatch.chdir(tmp_path)
    assert repr(sekvo.Faidx('sub dir/q"x.fa')) == 'Faidx("sub dir/q"x.fa")'


def test_none_defaults_and_kept_settings(path):
    plain = sekvo.Faidx(path)
    for options in ({"indexname": None, "default_seq": None, "read_ahead": None},
                    {"key_function": 5, "split_char": "|", "read_long_names": True, "read_ahead": 1000,
                     "filt_function": object(), "duplicate_action": "first"}):
        other = sekvo.Faidx(path, **options)
        assert other.keys == plain.keys
        assert other.fetch("chr1", 2, 5) == plain.fetch("chr1", 2, 5)


@pytest.mark.parametrize("options, message", [
    ({"as_raw": None}, "argument 'as_raw': 'NoneType' object cannot be converted to 'PyBool'"),
    ({"duplicate_action": None},
     "argument 'duplicate_action': 'NoneType' object cannot be converted to 'PyString'"),
    ({"strict_bounds": 1}, "argument 'strict_bounds': 'int' object cannot be converted to 'PyBool'"),
    ({"indexname": 3}, "argument 'indexname': 'int' object cannot be converted to 'PyString'"),
])
def test_constructor_argument_errors(path, options, message):
    with pytest.raises(TypeError) as info:
        sekvo.Faidx(path, **options)
    assert str(info.value) == message


def test_read_ahead_must_be_non_negative(path):
    with pytest.raises(OverflowError):
        sekvo.Faidx(path, read_ahead=-1)


def test_all_sixteen_parameters_by_position(path):
    fa = sekvo.Faidx(path, None, True, False, True, True, True, True, None, False, None, None, None,
                     False, "stop", None)
    assert (fa.fetch("chr1", 1, 3).seq, fa.fetch("chr1", 1, 3).start) == ("ACG", None)
    with pytest.raises(TypeError, match=r"^Faidx.__new__\(\) takes from 1 to 16 positional arguments but 17 were given$"):
        sekvo.Faidx(path, None, True, False, True, True, True, True, None, False, None, None, None,
                    False, "stop", None, None)


@pytest.mark.parametrize("call, message", [
    (lambda fa: fa.fetch("chr1", 1), "Faidx.fetch() missing 1 required positional argument: 'end'"),
    (lambda fa: fa.fetch(), "Faidx.fetch() missing 3 required positional arguments: 'name', 'start' and 'end'"),
    (lambda fa: fa.fetch("chr1", 1, stop=3), "Faidx.fetch() got an unexpected keyword argument 'stop'"),
    (lambda fa: fa.fetch("chr1", 1, 2, name="x"), "Faidx.fetch() got multiple values for argument 'name'"),
    (lambda fa: fa.fetch("chr1", 1, 2, 3), "Faidx.fetch() takes 3 positional arguments but 4 were given"),
    (lambda fa: fa.fetch("chr1", 1.5, 2),
     "argument 'start': 'float' object cannot be interpreted as an integer"),
    (lambda fa: fa.fetch_many("chr1"), "argument 'regions': Can't extract `str` to `Vec`"),
    (lambda fa: fa.fetch_many({("chr1", 1, 2)}),
     "argument 'regions': 'set' object cannot be converted to 'Sequence'"),
    (lambda fa: fa.fetch_many([["chr1", 1, 2]]),
     "argument 'regions': 'list' object cannot be converted to 'PyTuple'"),
    (lambda fa: fa.fetch_many_same_chr("chr1", [(1, 2, 3)]),
     "expected tuple of length 2, but got tuple of length 3"),
])
def test_method_argument_errors(path, call, message):
    with pytest.raises((TypeError, ValueError)) as info:
        call(sekvo.Faidx(path))
    assert str(info.value) == message


def test_negative_coordinates_are_refused(path):
    with pytest.raises(OverflowError):
        sekvo.Faidx(path).fetch("chr1", -1, 5)


def test_region_items_accept_tuple_subclasses_and_index_objects(path):
    class Pair(tuple):
        pass

    class Index:
        def __index__(self):
            return 3

    fa = sekvo.Faidx(path)
    assert [s.seq for s in fa.fetch_many([Pair(("chr1", 1, Index()))])] == ["ACG"]
    assert [s.seq for s in fa.fetch_many_same_chr("chr2", (Pair((2, 4)),))] == ["GGC"]


def test_faidx_has_no_mapping_protocol(path):
    fa = sekvo.Faidx(path)
    for op in (len, iter, lambda f: f["chr1"]):
        with pytest.raises(TypeError):
            op(fa)
