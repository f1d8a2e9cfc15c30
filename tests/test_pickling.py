"""pickle, copy.copy and copy.deepcopy of every class: handles are reopened from
their path(s) and settings, values travel whole, iterators keep their place."""
import copy
import importlib.metadata
import os
import pickle
import shutil
from pathlib import Path

import pytest

import sekvo
from conftest import residues, write_fasta

SEQS = {"chr1": residues(150, seed=1), "chr2": residues(61, seed=2), "chrM": residues(7, seed=3)}


def pickled(obj):
    return pickle.loads(pickle.dumps(obj, protocol=pickle.HIGHEST_PROTOCOL))


# Every way of taking a copy; each must give an object that behaves the same.
ROUND_TRIPS = {
    "pickle-2": lambda obj: pickle.loads(pickle.dumps(obj, protocol=2)),
    "pickle-5": pickled,
    "copy": copy.copy,
    "deepcopy": copy.deepcopy,
}


@pytest.fixture
def fasta_path(tmp_path):
    return write_fasta(tmp_path / "g.fa", [(name + " desc", seq) for name, seq in SEQS.items()], width=50)


def fields(seq):
    return seq.name, seq.seq, seq.start, seq.end, seq.comp


def outcome(call):
    """What a read gives: the Sequence's fields, or the exception's type and text."""
    try:
        result = call()
    except Exception as error:  # compared below, type and message
        return type(error), str(error)
    return [fields(s) for s in result] if isinstance(result, list) else fields(result)


def reads(handle):
    """The same reads on a Faidx or a Fasta, in and out of bounds."""
    fetch = handle.fetch if isinstance(handle, sekvo.Faidx) else handle.get_seq
    regions = [("chr1", 3, 40), ("chr2", 55, 70), ("chrM", 1, 7), ("chr1", 149, 150)]
    return [outcome(lambda r=r: fetch(*r)) for r in regions] + [
        outcome(lambda: handle.fetch_many(regions[:3])),
        outcome(lambda: handle.fetch_many_same_chr("chr2", [(1, 5), (60, 61)])),
    ]


SETTINGS = [
    {},
    {"as_raw": True},
    {"one_based_attributes": False},
    {"strict_bounds": True},
    {"default_seq": "N"},
    {"sequence_always_upper": True},
    {"mutable": True},
    {"key_function": len, "filt_function": str.upper, "split_char": "|", "read_ahead": 1000,
     "read_long_names": True, "duplicate_action": "first"},
]


@pytest.mark.filterwarnings("ignore")
@pytest.mark.parametrize("how", ROUND_TRIPS)
@pytest.mark.parametrize("settings", SETTINGS, ids=lambda s: ",".join(s) or "defaults")
@pytest.mark.parametrize("cls", [sekvo.Fasta, sekvo.Faidx])
def test_handles_round_trip_with_their_settings(fasta_path, cls, settings, how):
    original = cls(fasta_path, **settings)
    twin = ROUND_TRIPS[how](original)
    assert type(twin) is cls and twin is not original
    assert twin.__reduce__()[1] == original.__reduce__()[1]
    assert repr(twin) == repr(original)
    assert reads(twin) == reads(original)


@pytest.mark.parametrize("cls", [sekvo.Fasta, sekvo.Faidx])
def test_given_index_name_and_path_objects_are_kept(tmp_path, fasta_path, cls):
    index = tmp_path / "elsewhere" / "g.idx"
    index.parent.mkdir()
    original = cls(Path(fasta_path), indexname=index)
    assert index.exists() and not os.path.exists(fasta_path + ".fai")
    filename, indexname = original.__reduce__()[1][1][:2]
    assert (filename, indexname) == (fasta_path, str(index))
    os.remove(index)  # the copy must look for the index at the given name again
    twin = pickled(original)
    assert index.exists() and not os.path.exists(fasta_path + ".fai")
    assert reads(twin) == reads(original)


@pytest.mark.parametrize("settings", [{}, {"rebuild": False}, {"build_index": False}])
def test_unpickling_loads_a_current_index_without_writing_it(fasta_path, settings):
    original = sekvo.Fasta(fasta_path)
    index = fasta_path + ".fai"
    # The index is newer than the FASTA file, as a build leaves it.
    os.utime(fasta_path, ns=(1_000_000_000_000_000_000,) * 2)
    os.utime(index, ns=(1_000_000_005_000_000_000,) * 2)
    before = os.stat(index).st_mtime_ns
    twin = pickled(sekvo.Fasta(fasta_path, **settings))
    assert os.stat(index).st_mtime_ns == before
    assert twin.keys() == original.keys()


def test_unpickling_writes_nothing_when_building_is_forbidden(fasta_path):
    sekvo.Faidx(fasta_path)
    data = pickle.dumps(sekvo.Faidx(fasta_path, build_index=False))
    os.remove(fasta_path + ".fai")
    with pytest.raises(Exception, match="IndexNotFoundError") as error:
        pickle.loads(data)
    assert type(error.value) is Exception
    assert not os.path.exists(fasta_path + ".fai")


@pytest.mark.parametrize("cls", [sekvo.Fasta, sekvo.Faidx])
def test_file_moved_away_gives_the_usual_not_found_error(tmp_path, fasta_path, cls):
    data = pickle.dumps(cls(fasta_path))
    shutil.move(fasta_path, tmp_path / "moved.fa")
    with pytest.raises(Exception) as direct:
        cls(fasta_path)
    with pytest.raises(Exception) as unpickled:
        pickle.loads(data)
    assert type(unpickled.value) is type(direct.value)
    assert str(unpickled.value) == str(direct.value) == f"FastaNotFoundError: {fasta_path}"


def test_a_changed_file_is_reindexed_and_a_vanished_record_is_a_key_error(fasta_path):
    fasta = sekvo.Fasta(fasta_path)
    data = pickle.dumps([fasta["chr2"], fasta["chrM"]])
    write_fasta(fasta_path, [("chrM", "ACGTACGT")])
    os.utime(fasta_path, ns=(os.stat(fasta_path + ".fai").st_mtime_ns + 10**9,) * 2)
    with pytest.raises(KeyError, match=f"chr2 not in {fasta_path}."):
        pickle.loads(data)
    assert str(pickled(fasta["chrM"])) == "ACGTACGT"


def test_closed_fasta_still_pickles_since_close_releases_nothing(fasta_path):
    with sekvo.Fasta(fasta_path) as fasta:
        pass
    fasta.close()
    assert str(pickled(fasta)["chrM"]) == SEQS["chrM"]


def test_settings_holding_unpicklable_callables_fail_as_pickle_does(fasta_path):
    for cls in (sekvo.Fasta, sekvo.Faidx):
        with pytest.raises((pickle.PicklingError, AttributeError)):
            pickle.dumps(cls(fasta_path, key_function=lambda name: name))
        # copy.copy shares the callable instead of pickling it.
        assert copy.copy(cls(fasta_path, filt_function=lambda name: True)) is not None


# --- values ------------------------------------------------------------------------


def sequences(fasta_path):
    fasta = sekvo.Fasta(fasta_path)
    raw = sekvo.Fasta(fasta_path, as_raw=True)
    return {
        "fetched": fasta.get_seq("chr1", 5, 20),
        "reverse-complement": fasta.get_seq("chr1", 5, 20, rc=True),
        "raw": raw.get_seq("chr2", 1, 10),
        "whole": fasta["chr1"][:],
        "built": sekvo.Sequence("x", "AcGt", 7, 10, True),
        "empty": sekvo.Sequence(),
        "cut-character": sekvo.Sequence("é", "aé")[:2],  # ends inside a UTF-8 character
        "zero-start": sekvo.Sequence("z", "A", 0, 2**64 - 1),
    }


@pytest.mark.parametrize("how", ROUND_TRIPS)
def test_sequences_travel_by_value(fasta_path, how):
    for label, original in sequences(fasta_path).items():
        twin = ROUND_TRIPS[how](original)
        assert twin is not original
        assert fields(twin) == fields(original), label
        assert (twin.long_name, repr(twin)) == (original.long_name, repr(original)), label


def test_a_copied_sequence_changes_on_its_own(fasta_path):
    original = sekvo.Fasta(fasta_path).get_seq("chr1", 1, 10)
    for twin in (copy.copy(original), copy.deepcopy(original), pickled(original)):
        twin.seq, twin.start, twin.comp = "NNN", 99, True
        assert fields(original) == ("chr1", SEQS["chr1"][:10], 1, 10, False)


@pytest.mark.parametrize("how", ROUND_TRIPS)
@pytest.mark.parametrize("settings", [{}, {"one_based_attributes": False, "default_seq": "N"},
                                      {"mutable": True, "as_raw": True}])
def test_records_travel_with_their_fasta(fasta_path, settings, how):
    original = sekvo.Fasta(fasta_path, **settings)["chr2"]
    twin = ROUND_TRIPS[how](original)
    assert twin.name == "chr2" and repr(twin) == 'FastaRecord("chr2")'
    assert str(twin) == SEQS["chr2"] and len(twin) == len(SEQS["chr2"])
    assert [fields(s) for s in (twin[3:9], twin[-1], *twin)] == \
        [fields(s) for s in (original[3:9], original[-1], *original)]


def test_many_records_of_one_fasta_pickle_it_once(fasta_path):
    fasta = sekvo.Fasta(fasta_path, key_function=len)
    one = len(pickle.dumps(fasta["chr1"]))
    many = pickle.loads(pickle.dumps(fasta.values() * 50))
    assert len(pickle.dumps(fasta.values() * 50)) < 20 * one
    assert [r.name for r in many[:3]] == fasta.keys()


# --- iterators: pickled with their position ----------------------------------------


@pytest.mark.parametrize("how", ROUND_TRIPS)
@pytest.mark.parametrize("taken", [0, 1, 3, 4])
def test_fasta_iterator_resumes_where_it_was(fasta_path, how, taken):
    iterator = iter(sekvo.Fasta(fasta_path))
    for _ in range(taken):
        next(iterator, None)
    twin = ROUND_TRIPS[how](iterator)
    rest = [r.name for r in twin]
    assert rest == [r.name for r in iterator] == list(SEQS)[taken:]


@pytest.mark.parametrize("how", ROUND_TRIPS)
@pytest.mark.parametrize("taken", [0, 1, 3, 5])
@pytest.mark.parametrize("settings", [{}, {"one_based_attributes": False}])
def test_sequence_iterator_resumes_where_it_was(fasta_path, how, taken, settings):
    iterator = iter(sekvo.Fasta(fasta_path, **settings)["chr1"])  # three lines of 50, then the end
    for _ in range(taken):
        next(iterator, None)
    twin = ROUND_TRIPS[how](iterator)
    assert [fields(s) for s in twin] == [fields(s) for s in iterator]
    assert next(twin, "end") == "end"


def test_mutable_record_round_trips(how="pickle"):
    record = sekvo._reconstruct("MutableFastaRecord", ())
    for twin in (pickled(record), copy.copy(record), copy.deepcopy(record)):
        assert type(twin) is sekvo.MutableFastaRecord
        with pytest.raises(NotImplementedError, match="Mutable FASTA records not yet implemented"):
            twin[0] = "A"


@pytest.mark.parametrize("kind, state, error, message", [
    ("Nothing", (), ValueError, "unknown kind 'Nothing'"),
    (5, (), TypeError, "argument 'kind'"),
    ("Fasta", {"filename": "g.fa"}, TypeError, "must be a tuple"),
    ("Faidx", ("g.fa",), TypeError, "must hold 16 settings, not 1"),
    ("Fasta", (5,) + (None,) * 15, TypeError, "argument 'filename'"),
    ("Faidx", ("g.fa", None, None) + (False,) * 13, TypeError, "argument 'as_raw'"),
    ("Sequence", {"name": "x"}, TypeError, "must be a tuple"),
    ("Sequence", ("x", 5), TypeError, "argument 'seq'"),
    ("FastaRecord", ("not a fasta", "chr1"), TypeError, "argument 'fasta'"),
    ("FastaRecord", (None,), TypeError, "missing"),
    ("FastaIterator", [], TypeError, "the state of FastaIterator must be a tuple"),
    ("FastaIterator", (None, [], 0), TypeError, "argument 'fasta'"),
    ("SequenceIterator", (None, "chr1", -1, False), TypeError, "argument 'fasta'"),
    ("MutableFastaRecord", (1,), TypeError, "must be empty"),
])
def test_reconstruct_refuses_malformed_states(kind, state, error, message):
    with pytest.raises(error, match=message):
        sekvo._reconstruct(kind, state)


@pytest.mark.parametrize("kind, state, error", [
    ("FastaRecord", ("FASTA", 0), TypeError),
    ("FastaIterator", ("FASTA", ["chr1", 5], 0), TypeError),
    ("SequenceIterator", ("FASTA", "chr1", -1, False), OverflowError),
])
def test_reconstruct_checks_the_items_after_the_fasta(fasta_path, kind, state, error):
    fasta = sekvo.Fasta(fasta_path)
    with pytest.raises(error):
        sekvo._reconstruct(kind, tuple(fasta if item == "FASTA" else item for item in state))


# --- small things ------------------------------------------------------------------


class BytesPath:
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return os.fsencode(self.path)


@pytest.mark.parametrize("wrap", [Path, BytesPath], ids=["pathlib", "bytes-fspath"])
@pytest.mark.parametrize("cls", [sekvo.Fasta, sekvo.Faidx])
def test_paths_may_be_path_objects(tmp_path, fasta_path, cls, wrap):
    handle = cls(wrap(fasta_path), indexname=wrap(str(tmp_path / "x.fai")))
    assert repr(handle) == f'{cls.__name__}("{fasta_path}")'
    assert (tmp_path / "x.fai").exists()


@pytest.mark.parametrize("parameter", ["filename", "indexname"])
@pytest.mark.parametrize("value, shown", [(5, "int"), (b"g.fa", "bytes"), (["g.fa"], "list")])
def test_other_path_types_are_refused_as_before(fasta_path, parameter, value, shown):
    arguments = {"filename": fasta_path, parameter: value}
    with pytest.raises(TypeError, match=f"argument '{parameter}': '{shown}' object cannot be converted to 'PyString'"):
        sekvo.Faidx(**arguments)


def test_fspath_errors_propagate(fasta_path):
    class Broken:
        def __fspath__(self):
            raise OSError("no path today")

    with pytest.raises(OSError, match="no path today"):
        sekvo.Fasta(Broken())


def test_version_is_the_package_version():
    assert sekvo.__version__ == importlib.metadata.version("sekvo")


# --- SequenceArray: by value, its columns out of band under protocol 5 ---------------


def array_fields(arr):
    return ([fields(s) for s in arr], arr.names, arr.labels, list(arr.starts), list(arr.ends), bytes(arr.data),
            list(arr.offsets), arr.to_pylist())


def arrays(fasta_path, tmp_path):
    regions = [("chr1", 1, 20), ("chr2", 50, 61), ("chrM", 2, 7), ("chr1", 100, 150)]
    bed = tmp_path / "r.bed"
    bed.write_text("track x\nchr1\t0\t10\tfirst\t0\t-\nchrM\t2\t7\tsecond\t0\t+\n")
    return {
        "regions": sekvo.Fasta(fasta_path).fetch_array(regions),
        "rc-raw": sekvo.Faidx(fasta_path, as_raw=True).fetch_array(regions, rc=True),
        "zero-based": sekvo.Fasta(fasta_path, one_based_attributes=False).fetch_array(regions),
        "uniform": sekvo.Faidx(fasta_path).fetch_array([("chr1", s, s + 9) for s in range(1, 100, 7)]),
        "bed-strand": sekvo.Fasta(fasta_path).fetch_bed(str(bed), strand=True),
        "empty": sekvo.Faidx(fasta_path).fetch_array([]),
    }


def out_of_band(obj):
    buffers = []
    data = pickle.dumps(obj, protocol=5, buffer_callback=buffers.append)
    return pickle.loads(data, buffers=buffers)


@pytest.mark.parametrize("how", [*ROUND_TRIPS, "out-of-band"])
def test_sequence_arrays_travel_by_value(tmp_path, fasta_path, how):
    copy_of = out_of_band if how == "out-of-band" else ROUND_TRIPS[how]
    for label, original in arrays(fasta_path, tmp_path).items():
        twin = copy_of(original)
        assert type(twin) is sekvo.SequenceArray and twin is not original
        assert array_fields(twin) == array_fields(original), label
    np = pytest.importorskip("numpy")
    uniform = arrays(fasta_path, tmp_path)["uniform"]
    assert (np.asarray(copy_of(uniform)) == np.asarray(uniform)).all()


def test_sequence_array_columns_leave_without_a_copy(fasta_path):
    np = pytest.importorskip("numpy")
    arr = sekvo.Faidx(fasta_path).fetch_array([("chr1", 1, 150)] * 400)
    buffers = []
    data = pickle.dumps(arr, protocol=5, buffer_callback=buffers.append)
    assert len(data) < 1000 < len(arr.data)  # the residues are not in the pickle
    residues = np.frombuffer(arr.data, dtype=np.uint8)
    assert any(np.shares_memory(np.frombuffer(b.raw(), dtype=np.uint8), residues) for b in buffers)
    want = array_fields(arr)
    del arr, residues  # the buffers keep the memory alive
    assert array_fields(pickle.loads(data, buffers=buffers)) == want


def sequence_array_state(fasta_path, **changes):
    arr = sekvo.Fasta(fasta_path).fetch_array([("chr1", 1, 4), ("chr2", 1, 3)])
    function, (kind, state) = arr.__reduce_ex__(2)
    names = ["record_names", "records", "starts", "ends", "strands", "labels", "residues", "offsets",
             "value_starts", "value_ends", "value_flags"]
    state = dict(zip(names, state), **changes)
    return kind, tuple(state[name] for name in names)


@pytest.mark.parametrize("changes, error, message", [
    ({"records": (5).to_bytes(4, "little") * 2}, ValueError, "refers to a record name it lacks"),
    ({"offsets": b"\0" * 24}, ValueError, "offsets do not fit"),
    ({"offsets": (0).to_bytes(8, "little") + (8).to_bytes(8, "little") + (7).to_bytes(8, "little")},
     ValueError, "offsets do not fit"),
    ({"offsets": b"\0" * 23}, ValueError, "not a whole number"),
    ({"ends": b"\0" * 8}, ValueError, "differ in length"),
    ({"strands": b"+x"}, ValueError, r"not '\.', '\+' or '-'"),
    ({"labels": ["a"]}, ValueError, "labels do not match"),
    ({"residues": "ACGTACG"}, TypeError, "bytes-like"),
    ({"record_names": [1, 2]}, TypeError, "record_names"),
])
def test_sequence_array_states_are_checked(fasta_path, changes, error, message):
    kind, state = sequence_array_state(fasta_path, **changes)
    with pytest.raises(error, match=message):
        sekvo._reconstruct(kind, state)
    with pytest.raises(TypeError, match="tuple of 11 items"):
        sekvo._reconstruct(kind, state[:-1])


def test_non_ascii_residues_are_found_again(tmp_path):
    path = write_fasta(tmp_path / "u.fa", [("u", "ACGé")])
    arr = pickled(sekvo.Faidx(path).fetch_array([("u", 1, 5)]))
    assert arr.to_pylist() == ["ACGé"]
