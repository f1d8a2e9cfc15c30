"""Module import and the facts every class shares: names, docs, no subclassing."""
import sys

import pytest

import sekvo
from conftest import run_python

ORDER = ["Fasta", "Faidx", "Sequence", "FastaRecord", "FastaIterator", "SequenceIterator",
         "MutableFastaRecord", "SequenceArray"]
SIGNATURES = {
    "Sequence": "(name=..., seq=..., start=None, end=None, comp=False)",
    "Faidx": "(filename, indexname=None, as_raw=False, strict_bounds=False, sequence_always_upper=False, "
             "rebuild=True, build_index=True, one_based_attributes=True, default_seq=None, mutable=False, "
             "key_function=None, split_char=None, filt_function=None, read_long_names=False, "
             "duplicate_action=..., read_ahead=None)",
    "Fasta": "(filename, indexname=None, default_seq=None, key_function=None, as_raw=False, "
             "strict_bounds=False, read_ahead=None, mutable=False, split_char=None, filt_function=None, "
             "one_based_attributes=True, read_long_names=False, duplicate_action=..., "
             "sequence_always_upper=False, rebuild=True, build_index=True)",
}
PRESENT = [name for name in ORDER if hasattr(sekvo, name)]
WITHOUT_CONSTRUCTOR = [name for name in PRESENT if name not in SIGNATURES]


def test_all_lists_the_classes_in_registration_order():
    assert "Sequence" in PRESENT
    assert sekvo.__all__ == PRESENT
    public = [name for name in dir(sekvo) if not name.startswith("_")]
    assert sorted(public) == sorted(PRESENT)


@pytest.mark.parametrize("name", PRESENT)
def test_class_names_and_module(name):
    cls = getattr(sekvo, name)
    assert (cls.__name__, cls.__qualname__, cls.__module__) == (name, name, "builtins")
    assert repr(cls) == f"<class 'builtins.{name}'>"


@pytest.mark.parametrize("name", PRESENT)
def test_classes_cannot_be_subclassed(name):
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Sub", (getattr(sekvo, name),), {})


@pytest.mark.parametrize("name", [name for name in PRESENT if name in SIGNATURES])
def test_text_signature_and_empty_doc(name):
    cls = getattr(sekvo, name)
    assert cls.__text_signature__ == SIGNATURES[name]
    assert cls.__doc__ == ""


@pytest.mark.parametrize("name", WITHOUT_CONSTRUCTOR)
def test_classes_without_constructor(name):
    cls = getattr(sekvo, name)
    assert (cls.__doc__ is None) == (name != "SequenceArray")
    with pytest.raises(TypeError, match=f"^No constructor defined for {name}$"):
        cls()


def test_reimport_returns_the_same_module_and_classes():
    classes = [getattr(sekvo, name) for name in PRESENT]
    saved = sys.modules.pop("sekvo")
    try:
        import sekvo as again
        assert again is saved
        assert [getattr(again, name) for name in PRESENT] == classes
    finally:
        sys.modules["sekvo"] = saved


def test_module_doc_is_one_sentence():
    doc = sekvo.__doc__
    assert doc and doc.endswith(".") and "\n" not in doc


def test_sub_interpreter_is_refused():
    result = run_python("""
        import sekvo
        try:
            import _interpreters
        except ImportError:
            print("SKIP")
            raise SystemExit
        interp = _interpreters.create("legacy")
        failure = _interpreters.exec(interp, "import sekvo")
        _interpreters.destroy(interp)
        print(failure.type.__name__)
        print(failure.msg)
        import sekvo as again
        print(again is sekvo)
    """, timeout=60)
    assert result.returncode == 0, result.stderr
    if result.stdout.startswith("SKIP"):
        pytest.skip("no _interpreters module")
    kind, message, same = result.stdout.splitlines()
    assert kind == "ImportError"
    assert "sub-interpreters" in message
    assert same == "True"
