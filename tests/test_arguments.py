"""Argument parsing, conversions and borrow conflicts at the Python boundary."""
import numpy
import pytest

import sekvo
from sekvo import Sequence


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def fake_numpy_bool(name, **methods):
    """A class whose fully qualified name is numpy.<name>."""
    return type(name, (), {"__module__": "numpy", "__qualname__": name, **methods})


@pytest.mark.parametrize("call, message", [
    (lambda: Sequence("a", "b", 1, 2, False, 6),
     "Sequence.__new__() takes from 0 to 5 positional arguments but 6 were given"),
    (lambda: Sequence("a", "b", 1, 2, False, 6, 7),
     "Sequence.__new__() takes from 0 to 5 positional arguments but 7 were given"),
    (lambda: Sequence("a", name="b"), "Sequence.__new__() got multiple values for argument 'name'"),
    (lambda: Sequence("a", "b", 1, 2, True, comp=False),
     "Sequence.__new__() got multiple values for argument 'comp'"),
    (lambda: Sequence(stop=3), "Sequence.__new__() got an unexpected keyword argument 'stop'"),
    (lambda: Sequence(**{"Name": "x"}), "Sequence.__new__() got an unexpected keyword argument 'Name'"),
])
def test_parser_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


BAD_VALUES = [
    ("name", 5, "argument 'name': 'int' object cannot be converted to 'PyString'"),
    ("name", None, "argument 'name': 'NoneType' object cannot be converted to 'PyString'"),
    ("seq", b"ACGT", "argument 'seq': 'bytes' object cannot be converted to 'PyString'"),
    ("start", 1.5, "argument 'start': 'float' object cannot be interpreted as an integer"),
    ("end", "7", "argument 'end': 'str' object cannot be interpreted as an integer"),
    ("comp", None, "argument 'comp': 'NoneType' object cannot be converted to 'PyBool'"),
    ("comp", 1, "argument 'comp': 'int' object cannot be converted to 'PyBool'"),
    ("comp", numpy.int64(1), "argument 'comp': 'int64' object cannot be converted to 'PyBool'"),
    ("comp", fake_numpy_bool("bool_")(),
     "argument 'comp': object of type 'numpy.bool_' does not define a '__bool__' conversion"),
]


@pytest.mark.parametrize("attribute, value, message", BAD_VALUES)
def test_conversion_errors_name_the_parameter(attribute, value, message):
    with pytest.raises(TypeError) as info:
        Sequence(**{attribute: value})
    assert str(info.value) == message
    assert info.value.__cause__ is None


@pytest.mark.parametrize("attribute, value, message", BAD_VALUES)
def test_setter_errors_name_the_attribute_and_change_nothing(attribute, value, message):
    s = Sequence("chr1", "ACGT", 1, 4, True)
    with pytest.raises(TypeError) as info:
        setattr(s, attribute, value)
    assert str(info.value) == message
    assert (s.name, s.seq, s.start, s.end, s.comp) == ("chr1", "ACGT", 1, 4, True)


@pytest.mark.parametrize("value", [-1, 2**64, Index(-5)])
def test_out_of_range_coordinates_raise_the_interpreters_overflow_error(value):
    with pytest.raises(OverflowError):
        Sequence(start=value)
    s = Sequence(end=3)
    with pytest.raises(OverflowError):
        s.end = value
    assert s.end == 3


def test_accepted_values():
    class Text(str):
        pass

    s = Sequence(Text("n"), seq=Text("AC"), start=Index(2**64 - 1), end=True, comp=numpy.bool_(True))
    assert (s.name, s.seq, s.start, s.end, s.comp) == ("n", "AC", 2**64 - 1, 1, True)
    s.comp = numpy.False_
    assert s.comp is False
    s.comp = fake_numpy_bool("bool", __bool__=lambda self: True)()
    assert s.comp is True
    s.start = None
    assert s.start is None


def test_only_exact_type_errors_are_renamed_and_the_cause_is_kept():
    class CausedTypeError:
        def __index__(self):
            raise TypeError("inner") from KeyError("why")

    class SubclassError:
        def __index__(self):
            raise type("MyTypeError", (TypeError,), {})("mine")

    class Value:
        def __index__(self):
            raise ValueError("not renamed")

    with pytest.raises(TypeError) as info:
        Sequence(start=CausedTypeError())
    assert str(info.value) == "argument 'start': inner"
    assert isinstance(info.value.__cause__, KeyError)
    with pytest.raises(TypeError, match="^mine$"):
        Sequence(start=SubclassError())
    with pytest.raises(ValueError, match="^not renamed$"):
        Sequence(end=Value())


def test_conversions_run_in_parameter_order():
    with pytest.raises(TypeError, match="^argument 'seq'"):
        Sequence(comp=None, seq=1, start=-1)


def test_setter_callback_reading_the_object_is_refused():
    s = Sequence("n", "ACGT", 1, 4)

    class Reader:
        def __index__(self):
            return len(s.seq)

    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        s.start = Reader()
    assert (s.start, str(s)) == (1, "ACGT")
    refused = []

    def bool_reading_s(self):
        try:
            s.name
        except RuntimeError as error:
            refused.append(str(error))
        return False

    s.comp = fake_numpy_bool("bool_", __bool__=bool_reading_s)()
    assert refused == ["Already mutably borrowed"] and s.comp is False


def test_reentrant_write_during_a_read_is_refused():
    s = Sequence("n", "ACGT")
    refused = []

    class Writer:
        def __index__(self):
            try:
                s.seq = "TTTT"
            except RuntimeError as error:
                refused.append(str(error))
            return 1

    assert s[Writer()].seq == "C"
    assert s[Writer():].seq == "CGT"
    assert refused == ["Already borrowed"] * 2
    s.seq = "GG"  # the uses were given back
    assert str(s) == "GG"


@pytest.mark.skipif(not hasattr(sekvo, "Faidx"), reason="needs the Faidx class")
def test_region_list_conversions(tmp_path):
    path = tmp_path / "a.fa"
    path.write_text(">chr1\nACGTACGT\n")
    fa = sekvo.Faidx(str(path))
    assert [str(s) for s in fa.fetch_many((("chr1", 1, 2), ("chr1", 3, Index(4))))] == ["AC", "GT"]
    for regions, message in [
        ((r for r in [("chr1", 1, 2)]), "argument 'regions': 'generator' object cannot be converted to 'Sequence'"),
        ([("chr1", "1", 2)], "argument 'regions': 'str' object cannot be interpreted as an integer"),
        ([(1, 1, 2)], "argument 'regions': 'int' object cannot be converted to 'PyString'"),
    ]:
        with pytest.raises(TypeError) as info:
            fa.fetch_many(regions)
        assert str(info.value) == message
    with pytest.raises(ValueError, match="^expected tuple of length 3, but got tuple of length 0$"):
        fa.fetch_many([()])
