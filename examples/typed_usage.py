"""A small program that uses the whole API with type annotations; the tests
check it with mypy --strict against sekvo's type stubs and also run it.

    python examples/typed_usage.py [path/to/file.fa]
"""
import sys
from pathlib import Path

import sekvo


def gc_by_record(fasta: sekvo.Fasta) -> dict[str, float]:
    return {name: fasta.get_seq(name, 1, len(record)).gc for name, record in fasta.items()}


def line_pieces(record: sekvo.FastaRecord) -> list[tuple[int | None, int | None]]:
    pieces: list[sekvo.Sequence] = list(record)
    return [(piece.start, piece.end) for piece in pieces]


def minus_strand(fasta: sekvo.Fasta, regions: list[tuple[str, int, int]]) -> list[str]:
    return [s.seq for s in fasta.fetch_many(regions, rc=True)]


def main(path: str) -> None:
    with sekvo.Fasta(path, strict_bounds=True) as fasta:
        names: list[str] = fasta.keys()
        first: sekvo.FastaRecord = fasta[0]
        print(repr(first), len(first), first.long_name, first.unpadded_len, len(fasta))
        print(gc_by_record(fasta))
        print(line_pieces(first)[:2])

        s: sekvo.Sequence = first[10:40:3]
        print(s.long_name, str(s), len(s), s.orientation, (-s).comp, s.complement.seq, s.reverse.seq)
        reversed_pieces: list[sekvo.Sequence] = reversed(first)
        print(len(reversed_pieces), first[-1].seq)

        spliced = fasta.get_spliced_seq(names[0], [(1, 5), (11, 15)], rc=False)
        print(spliced.fancy_name, spliced.gc_strict, spliced.gc_iupac)
        print(minus_strand(fasta, [(name, 1, 8) for name in names]))
        same = fasta.fetch_many_same_chr(names[-1], [(1, 4), (5, 8)])
        print([str(piece) for piece in same], names[0] in fasta)
        for record in fasta:
            print(record.long_name, sum(1 for _ in record))

    faidx = sekvo.Faidx(path, one_based_attributes=False, read_ahead=None)
    region: sekvo.Sequence = faidx.fetch(faidx.keys[0], 1, 10)
    whole = faidx.fetch_entire_sequence(faidx.keys[-1])
    batch = faidx.fetch_many([(name, 2, 6) for name in faidx.keys])
    print(region.start, region.end, len(whole), [b.seq for b in batch], "chr1" in faidx, repr(faidx))

    columns: sekvo.SequenceArray = faidx.fetch_array([(name, 1, 8) for name in faidx.keys], rc=True)
    first_region: sekvo.Sequence = columns[0]
    texts: list[str] = columns.to_pylist()
    offsets = columns.offsets.tolist()
    print(len(columns), first_region.comp, texts, offsets, bytes(columns.data), columns.names)
    print(memoryview(columns).shape, columns.one_hot("ACGT").shape, [s.seq for s in columns])

    made = sekvo.Sequence(name="made", seq="ACGT", start=1, end=4)
    made.comp = True
    made.start = None
    print(made == "ACGT", made != region, made.long_name)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else str(Path(__file__).parent / "data" / "example.fa"))
