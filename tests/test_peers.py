"""Cross-check against indexes and regions written by samtools on files from
other projects' test suites (../shared/testdata/peers)."""
import shutil
from pathlib import Path

import pytest

import sekvo

PEERS = Path(__file__).resolve().parents[1].parent / "shared" / "testdata" / "peers"
pytestmark = pytest.mark.skipif(not PEERS.is_dir(), reason=f"peer data not found at {PEERS}")

# Where our indexing rules differ from samtools': (lines only we write,
# lines only samtools writes). We write every record (zero-length ones and
# every duplicate), drop unnamed records, and count every byte but CR/LF.
EXPECTED_DIFFERENCES = {
    "biopython__dups.fasta": ({"alpha\t5\t109\t5\t6"}, set()),
    "biopython__nucleotide_lib.fa": ({"RABGSTB\t902\t17175\t60\t61"}, set()),
    "seqkit__a.fa": ({"A\t3\t14\t3\t4"}, set()),
    "htslib__faidx.fa": (set(), {"\t4\t2\t4\t5"}),
    "samtools__dict.fa": ({"chr9_whitespace\t326\t1861\t51\t52"}, {"chr9_whitespace\t320\t1861\t50\t52"}),
    "seqkit__empty_id_and_seq.fa": ({"s11\t2\t54\t2\t3", "s2\t0\t10\t0\t0", "s8\t0\t37\t0\t0"},
                                    {"\t1\t39\t1\t2", "s11\t1\t54\t1\t3"}),
    "seqkit__empty_id_and_seq2.fa": ({"seq1\t0\t6\t0\t1"}, {"\t4\t20\t4\t5"}),
}
# Records whose regions depend on those rules (the duplicates resolve to the
# last record here, the first there).
AFFECTED_NAMES = {
    "biopython__dups.fasta": {"alpha"}, "biopython__nucleotide_lib.fa": {"RABGSTB"},
    "seqkit__a.fa": {"A"}, "htslib__faidx.fa": {""}, "samtools__dict.fa": {"chr9_whitespace"},
    "seqkit__empty_id_and_seq.fa": {"", "s11"}, "seqkit__empty_id_and_seq2.fa": {""},
}


def peer_fastas():
    return sorted(p.name[:-len(".samtools.fai")] for p in PEERS.glob("*.samtools.fai"))


@pytest.fixture(params=peer_fastas() if PEERS.is_dir() else [])
def indexed_peer(request, tmp_path):
    name = request.param
    copy = tmp_path / name
    shutil.copyfile(PEERS / name, copy)
    return name, sekvo.Faidx(str(copy)), (tmp_path / (name + ".fai")).read_text()


def test_index_matches_samtools(indexed_peer, capfd):
    name, _, ours = indexed_peer
    theirs = (PEERS / (name + ".samtools.fai")).read_text()
    ours_only, theirs_only = EXPECTED_DIFFERENCES.get(name, (set(), set()))
    ours_lines, their_lines = ours.splitlines(), theirs.splitlines()
    assert set(ours_lines) - set(their_lines) == ours_only
    assert set(their_lines) - set(ours_lines) == theirs_only
    if not ours_only and not theirs_only:
        assert ours == theirs


def test_regions_match_samtools(indexed_peer):
    name, faidx, _ = indexed_peer
    table = PEERS / (name + ".regions.tsv")
    if not table.exists():
        pytest.skip("no regions for this file")
    checked = 0
    with open(table) as rows:
        header = rows.readline().rstrip("\n").split("\t")
        for line in rows:
            row = dict(zip(header, line.rstrip("\n").split("\t")))
            if row["name"] in AFFECTED_NAMES.get(name, ()):
                continue
            start, end = int(row["start"]), int(row["end"])
            assert faidx.fetch(row["name"], start, end).seq == row["residues"], row
            checked += 1
    assert checked


def test_files_samtools_refuses_are_indexed_by_our_rules(tmp_path):
    for refused in sorted(PEERS.glob("*.samtools.err")):
        source = PEERS / refused.name[:-len(".samtools.err")]
        copy = tmp_path / source.name
        shutil.copyfile(source, copy)
        keys = sekvo.Faidx(str(copy)).keys
        headers = [line for line in source.read_bytes().splitlines() if line.startswith(b">")]
        assert len(keys) <= len(headers)
