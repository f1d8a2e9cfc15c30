"""Building, writing, loading and rebuilding the .fai index."""
import os

import pytest

import sekvo
from conftest import residues, write_fasta


def build(tmp_path, data, **kwargs):
    path = tmp_path / "a.fa"
    path.write_bytes(data)
    handle = sekvo.Faidx(str(path), **kwargs)
    return handle, (tmp_path / "a.fa.fai").read_bytes()


@pytest.mark.parametrize("data, expected", [
    (b">chr1 some description\nACGT\nAC\n", b"chr1\t6\t23\t4\t5\n"),
    (b">chr1 some description\r\nACGT\r\nAC\r\n", b"chr1\t6\t24\t4\t6\n"),
    # The last line may lack its terminator.
    (b">chr1\nACGT\nAC", b"chr1\t6\t6\t4\t5\n"),
    # A blank first line fixes the layout at 0 residues in 1 byte.
    (b">chr1\n\nACGT\n", b"chr1\t4\t6\t0\t1\n"),
    # Every byte but CR and LF is a residue, blanks included.
    (b">s\nA C\tG\n", b"s\t5\t3\t5\t6\n"),
    # Lines before the first header and unnamed records are dropped.
    (b"ACGT\n>\nAAAA\n>  \t\nCC\n>x\nG\n", b"x\t1\t23\t1\t2\n"),
    # Zero-length records are written.
    (b">empty\n>full\nAC\n", b"empty\t0\t7\t0\t0\nfull\t2\t13\t2\t3\n"),
])
def test_index_bytes(tmp_path, data, expected):
    _, written = build(tmp_path, data)
    assert written == expected


@pytest.mark.parametrize("header", [
    "chr1\tx", " chr1 x", "chr1\u00a0x", "\u3000chr1\u2028x", "chr1\u0085", "chr1\u202fx\u205f",
    "chr1\x0bx", "chr1\x0cx",
])
def test_name_is_first_word_under_unicode_whitespace(tmp_path, header):
    handle, _ = build(tmp_path, (">" + header + "\nACGT\n").encode())
    assert handle.keys == ["chr1"]


def test_duplicate_names_write_every_record_and_keep_the_last(tmp_path):
    handle, written = build(tmp_path, b">chr1\nAAAA\n>chr2\nCC\n>chr1 again\nGGG\n")
    assert written == b"chr1\t4\t6\t4\t5\nchr2\t2\t17\t2\t3\nchr1\t3\t32\t3\t4\n"
    assert handle.keys == ["chr1", "chr2"]  # the first occurrence keeps its place
    assert handle.fetch("chr1", 1, 3).seq == "GGG"


def test_names_enumerate_in_file_order(tmp_path):
    names = [f"seq{i}" for i in (5, 3, 9, 1, 7, 0)]
    path = write_fasta(tmp_path / "m.fa", [(n, "ACGT") for n in names])
    assert sekvo.Faidx(path).keys == names
    assert sekvo.Faidx(path).keys == names  # loaded from the index file: same order


def test_missing_fasta_names_the_path_as_given(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(Exception) as info:
        sekvo.Faidx("sub/none.fa")
    assert type(info.value) is Exception
    assert str(info.value) == "FastaNotFoundError: sub/none.fa"


def test_missing_index_without_build(tmp_path):
    path = write_fasta(tmp_path / "a.fa", [("chr1", "ACGT")])
    with pytest.raises(Exception, match=r"^IndexNotFoundError: .*a\.fa\.fai$"):
        sekvo.Faidx(path, build_index=False)
    assert not os.path.exists(path + ".fai")
    sekvo.Faidx(path)
    assert os.path.exists(path + ".fai")


def test_custom_index_path(tmp_path):
    path = write_fasta(tmp_path / "a.fa", [("chr1", "ACGT")])
    index = str(tmp_path / "elsewhere.fai")
    assert sekvo.Faidx(path, indexname=index).keys == ["chr1"]
    assert open(index).read() == "chr1\t4\t6\t4\t5\n"
    assert not os.path.exists(path + ".fai")


def set_times(path, ns):
    os.utime(path, ns=(ns, ns))


@pytest.mark.parametrize("rebuild, build_index, index_ns, rebuilt", [
    (True, True, 1_000_000_000_000_000_000, True),   # index older: rebuilt
    (False, True, 1_000_000_000_000_000_000, False),
    (True, False, 1_000_000_000_000_000_000, False),
    (True, True, 1_000_000_000_000_000_001, False),  # equal times: current
    (True, True, 1_000_000_000_000_000_002, False),  # index newer
])
def test_stale_index_rules(tmp_path, rebuild, build_index, index_ns, rebuilt):
    path = write_fasta(tmp_path / "a.fa", [("chr1", "ACGT")])
    index = path + ".fai"
    with open(index, "w") as out:
        out.write("old\t4\t5\t4\t5\n")
    set_times(index, index_ns)
    set_times(path, 1_000_000_000_000_000_001)  # one nanosecond apart matters
    keys = sekvo.Faidx(path, rebuild=rebuild, build_index=build_index).keys
    assert keys == (["chr1"] if rebuilt else ["old"])


@pytest.mark.parametrize("lines, keys", [
    ("chr1\t4\t6\t4\t5\textra\n", []),
    ("chr1\t4\t6\t4\n", []),
    ("\n\nchr1\t4\t6\t4\t5\n\n", ["chr1"]),
    ("  chr1\t+4\t6\t4\t5  \r\n", ["chr1"]),
    ("a name\t4\t6\t4\t5\n", ["a name"]),
    ("\t4\t6\t4\t5\n", []),  # the trim removes the empty first column
    ("", []),
])
def test_loader_line_rules(tmp_path, lines, keys):
    path = write_fasta(tmp_path / "a.fa", [("chr1", "ACGT")])
    with open(path + ".fai", "w", newline="") as out:
        out.write(lines)
    assert sekvo.Faidx(path, rebuild=False).keys == keys


@pytest.mark.parametrize("line, message", [
    ("chr1\t-6\t6\t4\t5", "Invalid rlen"),
    ("chr1\t6\tx\t4\t5", "Invalid offset"),
    ("chr1\t6\t6\t4.0\t5", "Invalid lenc"),
    ("chr1\t6\t6\t4\t18446744073709551616", "Invalid lenb"),
    ("chr1\t\t6\t4\t5", "Invalid rlen"),
    ("chr1\t++6\t6\t4\t5", "Invalid rlen"),
])
def test_loader_number_errors(tmp_path, line, message):
    path = write_fasta(tmp_path / "a.fa", [("chr1", "ACGT")])
    with open(path + ".fai", "w") as out:
        out.write("ok\t1\t1\t1\t2\n" + line + "\n")
    with pytest.raises(Exception) as info:
        sekvo.Faidx(path, rebuild=False)
    assert type(info.value) is Exception
    assert str(info.value) == "FastaIndexingError: " + message


def test_invalid_utf8_fasta_cannot_be_indexed_but_an_index_loads(tmp_path):
    path = tmp_path / "bad.fa"
    path.write_bytes(b">chr1\nAC\xffGT\n")
    with pytest.raises(Exception, match=r"^IOError: stream did not contain valid UTF-8$"):
        sekvo.Faidx(str(path))
    assert not os.path.exists(str(path) + ".fai")
    with open(str(path) + ".fai", "w") as out:
        out.write("chr1\t5\t6\t5\t6\n")
    assert sekvo.Faidx(str(path), rebuild=False).fetch("chr1", 1, 2).seq == "AC"


def test_invalid_utf8_index_line(tmp_path):
    path = write_fasta(tmp_path / "a.fa", [("chr1", "ACGT")])
    with open(path + ".fai", "wb") as out:
        out.write(b"chr\xff1\t4\t6\t4\t5\n")
    with pytest.raises(Exception, match=r"^IOError: stream did not contain valid UTF-8$"):
        sekvo.Faidx(path, rebuild=False)


def test_unwritable_index_location_is_an_io_error(tmp_path):
    path = write_fasta(tmp_path / "a.fa", [("chr1", "ACGT")])
    with pytest.raises(Exception, match=r"^IOError: .*\(os error \d+\)$"):
        sekvo.Faidx(path, indexname=str(tmp_path / "missing-dir" / "a.fai"))


def test_mutable_open_failure_is_an_io_error(tmp_path):
    # A directory cannot be opened for writing, whoever we are.
    with pytest.raises(Exception, match=r"^IOError: .*\(os error 21\)$"):
        sekvo.Faidx(str(tmp_path), mutable=True)


def test_index_write_leaves_no_temporary_files(tmp_path):
    write_fasta(tmp_path / "a.fa", [("chr1", residues(500))])
    for _ in range(3):
        sekvo.Faidx(str(tmp_path / "a.fa"), build_index=True)
        os.utime(tmp_path / "a.fa")  # newer than the index: rebuilt next time
    assert sorted(os.listdir(tmp_path)) == ["a.fa", "a.fa.fai"]


def test_ragged_record_is_indexed_with_one_warning(tmp_path, capfd):
    data = b">ragged\nACGT\nAC\nACGT\n>fine\nACGT\nAC\n\n\n>tail\nAAAA\nAAAA\n"
    _, written = build(tmp_path, data)
    assert written.splitlines()[0] == b"ragged\t10\t8\t4\t5"
    err = capfd.readouterr().err
    assert err == ("WARNING: sequence 'ragged' has lines of differing length; "
                   "regions of it may be read wrongly\n")


@pytest.mark.parametrize("tail", [b"", b">bad\nAC\xffGT\n"])
def test_large_file_scanned_in_parts_gives_the_index_of_a_plain_scan(tmp_path, capfd, tail):
    # Large enough to be scanned in parts on the worker pool when mapped;
    # opened as mutable it is read front to back. Records of every layout
    # are spread through the file so that parts begin inside all of them.
    line = b"ACGTNacgtn" * 6 + b"\n"
    records = [b">regular desc\n" + line * 20_000 + b"ACG\n",
               b">crlf\r\n" + line.replace(b"\n", b"\r\n") * 15_000,
               b">ragged\n" + line * 9_000 + b"AC\n" + line * 9_000,
               b">blanks\n" + line * 12_000 + b"\n\n"]
    body = b"".join(records[i % 4].replace(b">", b">%d_" % i, 1) for i in range(80))
    assert len(body) > 64 << 20
    fasta = tmp_path / "big.fa"
    fasta.write_bytes(body + tail)
    results = []
    for mutable in (False, True):
        try:
            sekvo.Faidx(str(fasta), mutable=mutable)
            results.append((fasta.with_suffix(".fa.fai").read_bytes(), capfd.readouterr().err))
        except Exception as error:
            results.append((str(error), capfd.readouterr().err))
        if os.path.exists(str(fasta) + ".fai"):
            os.remove(str(fasta) + ".fai")
    assert results[0] == results[1]
    assert results[0][1].count("WARNING: sequence '") == 20
    if tail:
        assert results[0][0] == "IOError: stream did not contain valid UTF-8"
    else:
        assert results[0][0].count(b"\n") == 80
