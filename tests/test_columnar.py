"""Columnar batches: fetch_array, fetch_bed and SequenceArray."""
import gc
import gzip
import random
import sys

import pytest

import sekvo
from conftest import residues, write_fasta

np = pytest.importorskip("numpy")
pa = pytest.importorskip("pyarrow")
pl = pytest.importorskip("polars")

PEERS = "/work/shared/testdata/peers/"
NAMES = ["chr1", "chr2", "a_record_name_longer_than_fifteen"]


@pytest.fixture(scope="module")
def genome(tmp_path_factory):
    records = [(name, residues(2000 + 313 * k, seed=k, alphabet="ACGTacgtNRY")) for k, name in enumerate(NAMES)]
    return write_fasta(tmp_path_factory.mktemp("g") / "g.fa", records, width=61), dict(records)


def random_regions(seqs, count, seed, wild=True):
    rng = random.Random(seed)
    out = []
    for _ in range(count):
        name = rng.choice(NAMES)
        length = len(seqs[name])
        start = rng.randint(1, length)
        end = min(start + rng.randint(0, 250), length)
        if wild and rng.random() < 0.1:
            start, end = rng.randint(0, length + 9), rng.randint(0, length + 9)
        out.append((name, start, end))
    return out


def batch_reference(fasta, regions, rc):
    """fetch_many's results under the rules it uses from 1000 regions on."""
    if not regions:
        return []
    padded = regions * (1000 // len(regions) + 1)
    return fasta.fetch_many(padded, rc=rc)[:len(regions)]


def describe(seqs):
    return [(s.name, s.start, s.end, s.comp, str(s)) for s in seqs]


SETTINGS = [
    {},
    {"as_raw": True},
    {"one_based_attributes": False},
    {"sequence_always_upper": True},
    {"default_seq": "N"},
    {"strict_bounds": True},
]


@pytest.mark.parametrize("settings", SETTINGS, ids=lambda s: ",".join(s) or "defaults")
@pytest.mark.parametrize("count", [0, 1, 7, 999, 1000, 1001, 2500])
@pytest.mark.parametrize("rc", [False, True])
def test_same_as_parallel_fetch_many(genome, settings, count, rc):
    path, seqs = genome
    fasta = sekvo.Fasta(path, **settings)
    regions = random_regions(seqs, count, seed=count, wild=not settings.get("strict_bounds"))
    arr = fasta.fetch_array(regions, rc=rc)
    expected = batch_reference(fasta, regions, rc)
    assert len(arr) == count
    assert describe(arr) == describe(expected)
    assert arr.to_pylist() == [str(s) for s in expected]
    assert [describe([arr[i]]) for i in range(-count, 0)] == [describe([s]) for s in expected]
    columns = fasta.fetch_array(names=[r[0] for r in regions], starts=np.array([r[1] for r in regions], dtype=np.int64),
                                ends=[r[2] for r in regions], rc=rc)
    assert columns.to_pylist() == arr.to_pylist()
    assert arr.names == [r[0] for r in regions]
    assert np.asarray(arr.starts).tolist() == [r[1] for r in regions]
    assert np.asarray(arr.ends).tolist() == [r[2] for r in regions]


@pytest.mark.parametrize("bad", [("missing", 1, 5), ("chr1", 0, 5), ("chr1", 50, 10), ("chr1", 1, 10**6)])
@pytest.mark.parametrize("count", [3, 1500])
def test_failures_are_those_of_parallel_fetch_many(genome, bad, count):
    path, seqs = genome
    faidx = sekvo.Faidx(path, strict_bounds=True)
    regions = random_regions(seqs, count, seed=1, wild=False)
    regions[count // 2] = bad
    with pytest.raises(Exception) as expected:
        faidx.fetch_many(regions * (1000 // count + 1))
    with pytest.raises(type(expected.value)) as got:
        faidx.fetch_array(regions)
    assert str(got.value) == str(expected.value)


@pytest.mark.parametrize("regions", [
    "chr1", [("chr1", 1)], [["chr1", 1, 2]], [("chr1", -1, 2)], [("chr1", 1.5, 2)], [(3, 1, 2)], 5,
])
def test_bad_region_arguments_raise_as_fetch_many(genome, regions):
    faidx = sekvo.Faidx(genome[0])
    try:
        faidx.fetch_many(regions)
        pytest.skip("fetch_many accepts it")
    except Exception as error:
        expected = error
    with pytest.raises(type(expected)) as got:
        faidx.fetch_array(regions)
    assert str(got.value) == str(expected)


@pytest.mark.parametrize("call, error, text", [
    (lambda f: f.fetch_array(), TypeError, "missing regions"),
    (lambda f: f.fetch_array([("chr1", 1, 2)], names=["chr1"]), TypeError, "not both"),
    (lambda f: f.fetch_array(names=["chr1"], starts=[1]), TypeError, "together"),
    (lambda f: f.fetch_array(names=["chr1"], starts=[1, 2], ends=[3]), ValueError, "same length"),
    (lambda f: f.fetch_array(names=["chr1"], starts=np.array([-1]), ends=[3]), OverflowError, "negative"),
    (lambda f: f.fetch_array(names=["chr1"], starts=np.array([1.0]), ends=[3]), TypeError, "integers"),
    (lambda f: f.fetch_array(names=["chr1"], starts=np.ones((1, 1), dtype=np.int64), ends=[3]), TypeError,
     "one-dimensional"),
    (lambda f: f.fetch_array(names=[1], starts=[1], ends=[3]), TypeError, "names"),
    (lambda f: f.fetch_array(names=["chr1"], starts=[1], ends=[3], rc="yes"), TypeError, "rc"),
])
def test_argument_errors(genome, call, error, text):
    with pytest.raises(error, match=text):
        call(sekvo.Faidx(genome[0]))


@pytest.mark.parametrize("dtype", ["int64", "uint32", "int16", "uint64"])
def test_coordinate_buffers_of_any_integer_type(genome, dtype):
    faidx = sekvo.Faidx(genome[0])
    starts = np.array([5, 1, 20], dtype=dtype)
    ends = np.array([14, 10, 29], dtype=dtype)[::1]
    arr = faidx.fetch_array(names=["chr1", "chr2", "chr1"], starts=starts[::1], ends=ends)
    expected = [str(faidx.fetch(n, int(s), int(e))) for n, s, e in zip(["chr1", "chr2", "chr1"], starts, ends)]
    assert arr.to_pylist() == expected
    strided = faidx.fetch_array(names=["chr1", "chr1"], starts=np.arange(1, 5, dtype=dtype)[::2],
                                ends=np.arange(10, 14, dtype=dtype)[::2])
    assert strided.to_pylist() == [str(faidx.fetch("chr1", 1, 10)), str(faidx.fetch("chr1", 3, 12))]


def test_buffers_are_zero_copy_and_read_only(genome):
    arr = sekvo.Faidx(genome[0]).fetch_array([("chr1", 1, 50), ("chr2", 11, 60), ("chr1", 101, 150)])
    matrix = np.asarray(arr)
    data = np.asarray(arr.data)
    assert matrix.shape == (3, 50) and matrix.dtype == np.uint8
    assert matrix.ctypes.data == data.ctypes.data
    assert pa.array(arr).buffers()[2].address == data.ctypes.data
    assert np.asarray(arr.offsets).tolist() == [0, 50, 100, 150]
    assert arr.offsets.format == "q" and arr.data.format == "B" and arr.starts.format == "Q"
    for view in (arr.data, arr.offsets, memoryview(arr), arr.one_hot()):
        assert view.readonly
    with pytest.raises(ValueError):
        matrix[0, 0] = 1


def test_ragged_lengths_point_at_data_and_offsets(genome):
    arr = sekvo.Faidx(genome[0]).fetch_array([("chr1", 1, 50), ("chr2", 1, 10)])
    for convert in (memoryview, np.asarray):
        with pytest.raises(BufferError, match=r"differ in length.*\.data.*\.offsets"):
            convert(arr)
    with pytest.raises(ValueError, match="one length"):
        arr.one_hot()
    data, offsets = bytes(arr.data), np.asarray(arr.offsets)
    assert [data[offsets[i]:offsets[i + 1]].decode() for i in range(2)] == arr.to_pylist()


@pytest.mark.parametrize("close", [False, True])
def test_exports_outlive_every_producer(genome, close):
    fasta = sekvo.Fasta(genome[0])
    arr = fasta.fetch_array([("chr1", 1, 40), ("chr2", 1, 40)])
    expected = arr.to_pylist()
    exports = {
        "numpy": np.asarray(arr), "data": arr.data, "offsets": arr.offsets, "one_hot": np.asarray(arr.one_hot()),
        "arrow": pa.array(arr), "stream": pa.chunked_array(arr), "polars": pl.Series(arr),
        "schema": arr.__arrow_c_schema__(), "capsules": arr.__arrow_c_array__(),
    }
    one_hot_sum = int(exports["one_hot"].sum())
    if close:
        fasta.close()
    del arr, fasta
    gc.collect()
    _ = [bytes(200) for _ in range(1000)]
    assert [bytes(row).decode() for row in exports["numpy"]] == expected
    assert bytes(exports["data"]).decode() == "".join(expected)
    assert exports["arrow"].to_pylist() == expected
    assert exports["stream"].to_pylist() == expected
    assert exports["polars"].to_list() == expected
    assert int(exports["one_hot"].sum()) == one_hot_sum
    assert pa.Array._import_from_c_capsule(*exports["capsules"]).to_pylist() == expected


def test_references_are_given_back(genome):
    arr = sekvo.Faidx(genome[0]).fetch_array([("chr1", 1, 40)] * 3)
    before = sys.getrefcount(arr)
    narrow = pa.string().__arrow_c_schema__()
    for _ in range(100):
        memoryview(arr).release()
        np.asarray(arr)
        arr.data, arr.offsets, arr.names, arr.labels, arr[0], list(arr), arr.__arrow_c_array__(), arr.__arrow_c_stream__()
        pa.Array._import_from_c_capsule(*arr.__arrow_c_array__(narrow)), pa.chunked_array(arr, type=pa.string())
    gc.collect()
    assert sys.getrefcount(arr) == before
    view = memoryview(arr)
    assert sys.getrefcount(arr) == before + 1
    view.release()
    assert sys.getrefcount(arr) == before


@pytest.mark.parametrize("alphabet", ["ACGT", "acgtn", "TGCA", "A"])
def test_one_hot_matches_numpy_lookup(genome, alphabet):
    path, seqs = genome
    regions = [(name, start, start + 99) for name, start, _ in random_regions(seqs, 1500, seed=4, wild=False)
               if start + 99 <= len(seqs[name])]
    arr = sekvo.Faidx(path).fetch_array(regions, rc=None)
    lut = np.zeros((256, len(alphabet)), dtype=np.uint8)
    for k, letter in enumerate(alphabet):
        lut[ord(letter.upper()), k] = lut[ord(letter.lower()), k] = 1
    expected = lut[np.asarray(arr)]
    codes = np.asarray(arr.one_hot(alphabet))
    assert codes.shape == (len(regions), 100, len(alphabet))
    assert np.array_equal(codes, expected)


@pytest.mark.parametrize("alphabet, text", [("", "empty"), ("ACA", "twice"), ("AcC", "twice"), ("AÄ", "ASCII")])
def test_one_hot_alphabet_errors(genome, alphabet, text):
    arr = sekvo.Faidx(genome[0]).fetch_array([("chr1", 1, 4)])
    with pytest.raises(ValueError, match=text):
        arr.one_hot(alphabet)


def test_arrow_refuses_residues_that_are_not_utf8(tmp_path):
    path = tmp_path / "bin.fa"
    path.write_bytes(">x\nACéGT\n".encode())
    arr = sekvo.Faidx(str(path)).fetch_array([("x", 1, 6), ("x", 1, 3)])
    assert bytes(arr.data) == "ACéGT".encode() + b"AC\xc3"
    assert arr.to_pylist() == ["ACéGT", "AC\udcc3"]
    with pytest.raises(ValueError, match="region 1 .*UTF-8"):
        pa.array(arr)


def test_empty_array_exports(genome):
    arr = sekvo.Faidx(genome[0]).fetch_array([])
    assert len(arr) == 0 and list(arr) == [] and arr.to_pylist() == []
    assert np.asarray(arr).shape == (0, 0)
    assert pa.array(arr).to_pylist() == [] and np.asarray(arr.offsets).tolist() == [0]
    with pytest.raises(IndexError):
        arr[0]


@pytest.mark.parametrize("asked, given, values", [
    (pa.string(), pa.string(), lambda texts: texts),
    (pa.large_binary(), pa.large_binary(), lambda texts: [t.encode() for t in texts]),
    (pa.binary(), pa.binary(), lambda texts: [t.encode() for t in texts]),
    (pa.large_string(), pa.large_string(), lambda texts: texts),
    (pa.int32(), pa.large_string(), lambda texts: texts),  # not followed, as the interface allows
    (pa.list_(pa.string()), pa.large_string(), lambda texts: texts),
])
def test_arrow_requested_schema(genome, asked, given, values):
    arr = sekvo.Faidx(genome[0]).fetch_array([("chr1", 1, 50), ("chr2", 11, 15), ("chr1", 7, 7)])
    expected = values(arr.to_pylist())
    schema, array = arr.__arrow_c_array__(asked.__arrow_c_schema__())
    exported = pa.Array._import_from_c_capsule(schema, array)
    assert exported.type == given and exported.to_pylist() == expected
    stream = pa.chunked_array(arr, type=asked) if given == asked else None
    if stream is not None:
        assert stream.type == given and stream.to_pylist() == expected
    # The residues are shared, whatever the offsets' width.
    assert exported.buffers()[2].address == np.asarray(arr.data).ctypes.data


def test_arrow_requested_schema_errors_and_binary_of_non_utf8(tmp_path, genome):
    arr = sekvo.Faidx(genome[0]).fetch_array([("chr1", 1, 5)])
    for method in (arr.__arrow_c_array__, arr.__arrow_c_stream__):
        with pytest.raises(TypeError, match="'arrow_schema' PyCapsule, not str"):
            method("string")
    path = tmp_path / "bin.fa"
    path.write_bytes(">x\nACéGT\n".encode())
    odd = sekvo.Faidx(str(path)).fetch_array([("x", 1, 3)])
    assert pa.array(odd, type=pa.binary()).to_pylist() == [b"AC\xc3"]
    with pytest.raises(ValueError, match="UTF-8"):
        pa.array(odd, type=pa.string())


def test_duckdb_reads_a_sequence_array(genome):
    duckdb = pytest.importorskip("duckdb", reason="duckdb is not installed (pip install duckdb)")
    arr = sekvo.Faidx(genome[0]).fetch_array([("chr1", 1, 20), ("chr2", 5, 9)])
    expected = arr.to_pylist()
    rows = duckdb.sql("select * from arr").fetchall()
    del arr
    assert [row[0] for row in rows] == expected


@pytest.mark.parametrize("call", ["tuples", "columns"])
def test_labels_are_empty_without_a_bed_name_column(genome, tmp_path, call):
    fa = sekvo.Faidx(genome[0])
    arr = (fa.fetch_array([("chr1", 1, 5), ("chr2", 1, 5)]) if call == "tuples" else
           fa.fetch_array(names=["chr1", "chr2"], starts=[1, 1], ends=[5, 5]))
    assert arr.labels == ["", ""]
    path = tmp_path / "mixed.bed"
    path.write_text("chr1\t0\t5\nchr2\t0\t5\tpeak_2\nchr1\t1\t4\t\u00e9\t0\t-\n")
    assert fa.fetch_bed(str(path)).labels == ["", "peak_2", "\u00e9"]


def test_sequence_array_is_not_constructible():
    assert sekvo.__all__[-1] == "SequenceArray"
    with pytest.raises(TypeError):
        sekvo.SequenceArray()


# --- BED files ---------------------------------------------------------------

def bed_reference(fasta, path, strand):
    regions, reverse, labels = [], [], []
    with open(path) as lines:
        for line in lines:
            fields = line.rstrip("\r\n").split("\t")
            if not line.strip() or line.startswith(("#", "track", "browser")):
                continue
            regions.append((fields[0], int(fields[1]) + 1, int(fields[2])))
            reverse.append(strand and len(fields) > 5 and fields[5] == "-")
            labels.append(fields[3] if len(fields) > 3 else "")
    forward = batch_reference(fasta, regions, False)
    flipped = batch_reference(fasta, regions, True)
    return [str(f if not r else b) for f, b, r in zip(forward, flipped, reverse)], regions, labels


@pytest.mark.parametrize("bed, fasta", [
    ("bedtools__rna.bed", "bedtools__rna.fasta"),
    ("bedtools__test.iupac.bed", "bedtools__test.iupac.fa"),
    ("bedtools__getfasta.t134.bed", "bedtools__t.fa"),
])
@pytest.mark.parametrize("strand", [False, True])
@pytest.mark.parametrize("form", ["plain", "gzip", "crlf"])
def test_fetch_bed_on_peer_files(tmp_path, bed, fasta, strand, form):
    source = PEERS + bed
    text = open(source, "rb").read()
    path = tmp_path / ("x.bed.gz" if form == "gzip" else "x.bed")
    path.write_bytes(gzip.compress(text) if form == "gzip" else
                     text.replace(b"\n", b"\r\n") if form == "crlf" else text)
    copy = tmp_path / fasta
    copy.write_bytes(open(PEERS + fasta, "rb").read())
    fa = sekvo.Fasta(str(copy))
    expected, regions, labels = bed_reference(fa, source, strand)
    arr = fa.fetch_bed(str(path), strand=strand)
    assert arr.to_pylist() == expected
    assert arr.names == [r[0] for r in regions]
    assert arr.labels == labels
    assert np.asarray(arr.starts).tolist() == [r[1] for r in regions]


@pytest.mark.parametrize("text, line, message", [
    ("chr1\t0\t5\nchr1\t5\n", 2, "expected at least 3 tab-separated columns"),
    ("track x\n#c\n\nchr1\tx\t5\n", 4, "start 'x' is not a non-negative whole number"),
    ("chr1\t0\t-5\r\n", 1, "end '-5' is not a non-negative whole number"),
])
def test_fetch_bed_bad_lines(genome, tmp_path, text, line, message):
    path = tmp_path / "bad.bed"
    path.write_text(text)
    with pytest.raises(ValueError) as error:
        sekvo.Faidx(genome[0]).fetch_bed(path)
    assert str(error.value).startswith(f"{path}: line {line}: {message}")


def test_fetch_bed_file_errors(genome, tmp_path):
    faidx = sekvo.Faidx(genome[0])
    with pytest.raises(FileNotFoundError):
        faidx.fetch_bed(tmp_path / "missing.bed")
    broken = tmp_path / "broken.bed.gz"
    broken.write_bytes(gzip.compress(b"chr1\t0\t10\n" * 100)[:-12])
    with pytest.raises(OSError, match="truncated|corrupt"):
        faidx.fetch_bed(broken)
    with pytest.raises(TypeError, match="path"):
        faidx.fetch_bed(5)
    (tmp_path / "unknown.bed").write_text("nope\t0\t10\n")
    with pytest.raises(RuntimeError, match="Sequence 'nope' not found"):
        faidx.fetch_bed(tmp_path / "unknown.bed")


def test_threads_fetch_at_once(genome):
    """The fetch runs without the interpreter lock; threads sharing one Faidx agree."""
    import threading
    path, seqs = genome
    faidx = sekvo.Faidx(path)
    regions = random_regions(seqs, 3000, seed=8, wild=False)
    expected = faidx.fetch_array(regions).to_pylist()
    results, errors = [], []

    def work():
        try:
            for _ in range(5):
                results.append(faidx.fetch_array(regions, rc=False).to_pylist() == expected)
        except Exception as error:  # reported below
            errors.append(error)
    threads = [threading.Thread(target=work) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors and results == [True] * 20


def test_undecodable_names_take_the_generic_way(genome):
    """A name with a lone surrogate stands for a raw byte, in tuples and in columns alike."""
    faidx = sekvo.Faidx(genome[0])
    regions = [("chr1", 1, 5), ("chr\udcff", 1, 5)] * 600
    with pytest.raises(RuntimeError) as expected:
        faidx.fetch_many(regions)
    for call in (lambda: faidx.fetch_array(regions),
                 lambda: faidx.fetch_array(names=[r[0] for r in regions], starts=[1] * 1200, ends=[5] * 1200)):
        with pytest.raises(RuntimeError) as got:
            call()
        assert str(got.value) == str(expected.value)
